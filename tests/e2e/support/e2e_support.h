#ifndef E2E_SUPPORT_H
#define E2E_SUPPORT_H

#include <sys/types.h>
#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vocabulary.h"

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

// Runs argv[0] (a path, or a name looked up in PATH) with the arguments, standard output and
// error captured separately, in a process group of its own.
RunResult Run(const std::vector<std::string>& argv, const RunOptions& options = RunOptions());

// A program run with a pseudo-terminal as its controlling terminal, standard input and standard
// output (a session of its own, so the terminal's keys raise signals in it as at a console).
// Standard error goes to a pipe, so the two streams stay apart. Output processing (OPOST) is off,
// so the program's bytes arrive unchanged (no CR before LF).
class PtySession
{
  public:
    explicit PtySession(const std::vector<std::string>& argv);
    ~PtySession(); // kills whatever still runs in the session
    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;

    // Types bytes at the terminal.
    void Send(const std::string& bytes);
    // Waits until text appears in the output after the end of the previous match, and moves the
    // match point past it. False on timeout or when the terminal closes first.
    bool WaitFor(const std::string& text, int timeoutMs = 5000);
    // Output between the previous match point and the end of the latest match.
    const std::string& LastSegment() const { return segment_; }
    const std::string& Output() const { return out_; }
    const std::string& Err() const { return err_; }
    // Waits for the program to end (killing it after timeoutMs) and for every holder of the
    // terminal to let go; the result carries everything written.
    RunResult Finish(int timeoutMs = 10000);
    // The terminal's settings now, and as they were before the program started.
    termios Settings() const;
    const termios& InitialSettings() const { return initial_; }
    pid_t Pid() const { return pid_; }

  private:
    bool Pump(int timeoutMs); // reads what is available; false once the terminal has closed
    int master_ = -1;
    int errFd_ = -1;
    pid_t pid_ = -1;
    bool closed_ = false;
    bool reaped_ = false;
    int waitStatus_ = 0;
    termios initial_{};
    std::string out_, err_, segment_;
    size_t matched_ = 0;
};

using vocab::TempDir;

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

    // A program's command line with the enclosure attached (sesim run DIR -- argv...), and its run.
    std::vector<std::string> Attached(const std::vector<std::string>& argv) const;
    RunResult Run(const std::vector<std::string>& argv, const RunOptions& options = RunOptions()) const;
    // Runs one `sesim` sub-command on this enclosure (e.g. {"fault", "--clear"}).
    RunResult Sesim(const std::string& command, const std::vector<std::string>& args = {}) const;
    // `sesim show` as key/value lookup; empty when the key is missing.
    std::string Show(const std::string& key) const;
    std::vector<LogEntry> Log() const;

  private:
    TempDir dir_;
};

// The value that `sesim show` printed for the key, or "".
std::string ShowField(const std::string& showOutput, const std::string& key);

// Reads a command log in the simulator's format.
std::vector<LogEntry> ReadCommandLog(const std::string& path);
// The log entries with the given operation code, in order.
std::vector<LogEntry> WithOpcode(const std::vector<LogEntry>& log, uint8_t opcode);

// A scripted SCSI generic node (support/scripted_sg.cpp) for device behaviour that the
// simulator does not model: each command is answered by the first rule that matches it.
// Rule syntax: "MATCH COUNT [status=XX] [sense=KK/AA/QQ] [data=HEX] [host=XX]",
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

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
std::string Sha256Hex(const std::string& path); // as sha256sum prints it

// Writes a valid image with `sesim mkimage` (a failure fails the current test); returns its bytes.
std::string MakeImage(const std::string& path, const std::string& revision, uint32_t size);
// An image as `sesim show` describes it: "revision R size N sha256 HEX".
std::string ImageShown(const std::string& revision, uint32_t size, const std::string& path);

} // namespace e2e

#endif
