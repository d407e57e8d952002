#ifndef E2E_SUPPORT_H
#define E2E_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace e2e
{

// Outcome of one program run. exitStatus is -1 when the program was ended by a signal.
struct RunResult
{
    int exitStatus = -1;
    int signal = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct RunOptions
{
    std::string stdinData;           // written to the program's standard input, then closed
    int timeoutMs = 60000;           // the program is killed after this long
    std::vector<std::string> env;    // extra NAME=VALUE entries
};

// Path of a built program (sesim, fwpush, bufterm ...).
std::string Bin(const std::string& program);

// Runs argv[0] with the arguments, standard output and error captured separately.
RunResult Run(const std::vector<std::string>& argv, const RunOptions& options = RunOptions());

// A fresh directory under $TMPDIR, removed with its contents when the object goes.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// One line of the simulator's command log.
struct LogEntry
{
    int index = 0;
    uint8_t opcode = 0;
    std::vector<uint8_t> cdb;
    size_t doutLength = 0;
    std::vector<uint8_t> dout; // the logged prefix of the data-out bytes
    uint8_t status = 0;
    std::string sense;         // "kk/aa/qq" or "-"
    size_t dinLength = 0;
    std::string fault;         // fault kind or "-"
    std::string note;
    std::string line;          // the whole line, for failure messages
};

// A simulated enclosure in its own temporary state directory.
class Enclosure
{
  public:
    // Runs `sesim init` with the options; a failing init fails the current test.
    explicit Enclosure(const std::vector<std::string>& initOptions = {});
    const std::string& Dir() const { return dir_.Path(); }
    std::string File(const std::string& name) const { return dir_.File(name); }
    static constexpr const char* kDevice = "/dev/sesim0";

    // Runs a program with the enclosure attached (sesim run DIR -- argv...).
    RunResult Run(const std::vector<std::string>& argv, const RunOptions& options = RunOptions()) const;
    // Runs one `sesim` sub-command on this enclosure (e.g. {"fault", "--clear"}).
    RunResult Sesim(const std::string& command, const std::vector<std::string>& args = {}) const;
    // `sesim show` as key/value lookup; empty when the key is missing.
    std::string Show(const std::string& key) const;
    std::vector<LogEntry> Log() const;

  private:
    TempDir dir_;
};

// Reads a command log in the simulator's format.
std::vector<LogEntry> ReadCommandLog(const std::string& path);

// A scripted SCSI generic node (support/scripted_sg.cpp) for device behaviour that the
// simulator does not model: each command is answered by the first rule that matches it.
// Rule syntax: "MATCH COUNT [status=XX] [sense=KK/AA/QQ] [data=HEX] [host=XX] [errno=N]",
// MATCH the operation code in hex with an optional "/PP" for CDB byte 2, COUNT a number or '*'.
class ScriptedDevice
{
  public:
    static constexpr const char* kDevice = "/dev/scripted0";
    void Add(const std::string& rule) { rules_.push_back(rule); }
    // Runs a program that sees kDevice answer as the rules say.
    RunResult Run(const std::vector<std::string>& argv, const RunOptions& options = RunOptions()) const;
    std::vector<LogEntry> Log() const;
    std::string File(const std::string& name) const { return dir_.File(name); }

  private:
    TempDir dir_;
    std::vector<std::string> rules_;
};

std::vector<uint8_t> FromHex(const std::string& hex);
std::string ToHex(const std::vector<uint8_t>& bytes);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
std::string Sha256Hex(const std::string& path); // as sha256sum prints it
uint32_t Be32(const std::vector<uint8_t>& bytes, size_t at);
uint16_t Be16(const std::vector<uint8_t>& bytes, size_t at);

} // namespace e2e

#endif
