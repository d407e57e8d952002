#include "e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace e2e
{

extern "C" char** environ;

std::string Bin(const std::string& program)
{
    return std::string(SES_BIN_DIR) + "/" + program;
}

using vocab::NowMs;

// Sets NAME=VALUE in an environment, replacing an earlier entry of that name: with two, a
// program would see only the first.
static void SetEnvEntry(std::vector<std::string>& env, const std::string& entry)
{
    std::string prefix = entry.substr(0, entry.find('=') + 1);
    auto same = std::find_if(env.begin(), env.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    if (same != env.end())
        *same = entry;
    else
        env.push_back(entry);
}

// The test's own environment plus the extra entries, for a program started by the helpers.
static std::vector<std::string> Environment(const std::vector<std::string>& extra)
{
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; e++)
        envStrings.emplace_back(*e);
    // A sanitized program refuses a preload library that comes before its runtime otherwise.
    // Appended to the caller's own sanitizer options, since ASan takes the last of a repeated flag.
    std::string asanOptions = "verify_asan_link_order=0:detect_leaks=1:abort_on_error=1";
    const char* outerAsan = getenv("ASAN_OPTIONS");
    SetEnvEntry(envStrings, "ASAN_OPTIONS=" + (outerAsan != nullptr ? std::string(outerAsan) + ":" : "") + asanOptions);
    for (const std::string& e : extra)
        SetEnvEntry(envStrings, e);
    return envStrings;
}

// execve's view of a string list; valid while the strings live.
static std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// With SES_E2E_WRAPPER set (blank-separated words, e.g. "valgrind -q --error-exitcode=99"), the
// product programs run inside that command wherever a command line starts one: as the program
// itself, or after the "--" of `sesim run`. The simulator and the test tools run as they are.
static std::vector<std::string> Wrapped(const std::vector<std::string>& argv)
{
    const char* wrapper = getenv("SES_E2E_WRAPPER");
    if (wrapper == nullptr || *wrapper == '\0')
        return argv;
    std::istringstream split(wrapper);
    const std::vector<std::string> words{std::istream_iterator<std::string>(split), std::istream_iterator<std::string>()};
    std::vector<std::string> wrapped;
    for (size_t i = 0; i < argv.size(); i++)
    {
        std::string name = argv[i].substr(argv[i].rfind('/') + 1);
        bool starts = i == 0 || argv[i - 1] == "--";
        if (starts && (name == "fwpush" || name == "bufterm"))
            wrapped.insert(wrapped.end(), words.begin(), words.end());
        wrapped.push_back(argv[i]);
    }
    return wrapped;
}

// Starts argv with the extra environment entries; in the child, `descriptors` sets up 0, 1 and
// 2 first. Returns the child's process id.
template <typename Descriptors>
static pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, Descriptors descriptors)
{
    std::vector<std::string> envStrings = Environment(env);
    std::vector<char*> envp = Pointers(envStrings);
    std::vector<std::string> args = Wrapped(argv);
    std::vector<char*> argp = Pointers(args);
    pid_t pid = fork();
    if (pid == 0)
    {
        descriptors();
        execvpe(argp[0], argp.data(), envp.data());
        dprintf(2, "exec %s: %s\n", argp[0], strerror(errno));
        _exit(127);
    }
    signal(SIGPIPE, SIG_IGN);
    return pid;
}

// Writes all the bytes, through interruptions; false when the descriptor takes no more.
static bool WriteAll(int fd, const std::string& bytes)
{
    for (size_t done = 0; done < bytes.size();)
    {
        ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
        if (w <= 0 && errno != EINTR)
            return false;
        done += w > 0 ? (size_t)w : 0;
    }
    return true;
}

// Appends what the descriptor has to the sink; at its end (or an error) closes it and sets it to -1.
static void ReadInto(int& fd, std::string* sink)
{
    char chunk[65536];
    ssize_t r = read(fd, chunk, sizeof(chunk));
    if (r > 0)
        sink->append(chunk, (size_t)r);
    else if (r == 0 || errno != EINTR)
    {
        close(fd);
        fd = -1;
    }
}

static void TakeWaitStatus(int status, RunResult* result)
{
    if (WIFEXITED(status))
        result->exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result->signal = WTERMSIG(status);
}

RunResult Run(const std::vector<std::string>& argv, const RunOptions& options)
{
    RunResult result;
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
    {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return result;
    }
    pid_t pid = Spawn(argv, options.env, [&] {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        setpgid(0, 0);
    });
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    // Standard input is fed beside the reads, so that a program which writes a lot before it
    // reads cannot deadlock against us.
    std::thread feeder([fd = inPipe[1], &options] {
        WriteAll(fd, options.stdinData);
        close(fd);
    });
    int fds[2] = {outPipe[0], errPipe[0]};
    std::string* sinks[2] = {&result.out, &result.err};
    long long deadline = NowMs() + options.timeoutMs;
    while (fds[0] >= 0 || fds[1] >= 0)
    {
        pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        long long left = deadline - NowMs();
        if (left <= 0)
        {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            break;
        }
        if (poll(polled, 2, (int)left) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++)
        {
            if (fds[i] >= 0 && polled[i].revents != 0)
                ReadInto(fds[i], sinks[i]);
        }
    }
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    feeder.join();
    TakeWaitStatus(status, &result);
    return result;
}

PtySession::PtySession(const std::vector<std::string>& argv)
{
    int slave = -1;
    int errPipe[2];
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    if (openpty(&master_, &slave, nullptr, nullptr, &size) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
    {
        ADD_FAILURE() << "openpty: " << strerror(errno);
        closed_ = reaped_ = true;
        return;
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    tcgetattr(slave, &initial_);
    initial_.c_oflag &= ~(tcflag_t)OPOST;
    tcsetattr(slave, TCSANOW, &initial_);
    pid_ = Spawn(argv, {}, [&] {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(errPipe[1], 2);
        if (slave > 2)
            close(slave);
        signal(SIGPIPE, SIG_DFL);
    });
    close(slave);
    close(errPipe[1]);
    errFd_ = errPipe[0];
}

PtySession::~PtySession()
{
    if (!reaped_ && pid_ > 0)
    {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0)
        close(master_);
    if (errFd_ >= 0)
        close(errFd_);
}

void PtySession::Send(const std::string& bytes)
{
    if (!WriteAll(master_, bytes))
        ADD_FAILURE() << "write to terminal: " << strerror(errno);
}

bool PtySession::Pump(int timeoutMs)
{
    pollfd fds[2];
    int n = 0;
    if (!closed_)
        fds[n++] = {master_, POLLIN, 0};
    if (errFd_ >= 0)
        fds[n++] = {errFd_, POLLIN, 0};
    if (n == 0)
        return false;
    if (poll(fds, n, timeoutMs) <= 0)
        return !closed_;
    for (int i = 0; i < n; i++)
    {
        if (fds[i].revents == 0)
            continue;
        if (fds[i].fd != master_)
        {
            ReadInto(errFd_, &err_);
            continue;
        }
        char chunk[4096];
        ssize_t r = read(master_, chunk, sizeof(chunk));
        // EIO: the last holder of the terminal's other side has closed it.
        if (r > 0)
            out_.append(chunk, (size_t)r);
        else if (r == 0 || errno != EINTR)
            closed_ = true;
    }
    return !closed_;
}

bool PtySession::WaitFor(const std::string& text, int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    for (;;)
    {
        size_t at = out_.find(text, matched_);
        if (at != std::string::npos)
        {
            size_t end = at + text.size();
            segment_ = out_.substr(matched_, end - matched_);
            matched_ = end;
            return true;
        }
        long long left = deadline - NowMs();
        if (closed_ || left <= 0)
            return false;
        Pump((int)left);
    }
}

RunResult PtySession::Finish(int timeoutMs)
{
    RunResult result;
    long long deadline = NowMs() + timeoutMs;
    while (!reaped_)
    {
        if (waitpid(pid_, &waitStatus_, WNOHANG) == pid_)
        {
            reaped_ = true;
            break;
        }
        if (NowMs() >= deadline)
        {
            result.timedOut = true;
            kill(-pid_, SIGKILL);
            waitpid(pid_, &waitStatus_, 0);
            reaped_ = true;
            break;
        }
        Pump(20);
    }
    // The terminal and the error pipe close once every process that held them has gone.
    long long drainDeadline = NowMs() + 2000;
    while ((!closed_ || errFd_ >= 0) && NowMs() < drainDeadline)
        Pump(50);
    TakeWaitStatus(waitStatus_, &result);
    result.out = out_;
    result.err = err_;
    return result;
}

termios PtySession::Settings() const
{
    // On Linux the master side reports the settings of the terminal itself.
    termios settings{};
    tcgetattr(master_, &settings);
    return settings;
}

Enclosure::Enclosure(const std::vector<std::string>& initOptions)
{
    RunResult r = Sesim("init", initOptions);
    EXPECT_EQ(r.exitStatus, 0) << "sesim init failed: " << r.err;
}

std::vector<std::string> Enclosure::Attached(const std::vector<std::string>& argv) const
{
    std::vector<std::string> full = {Bin("sesim"), "run", dir_.Path(), "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

RunResult Enclosure::Run(const std::vector<std::string>& argv, const RunOptions& options) const
{
    return e2e::Run(Attached(argv), options);
}

RunResult Enclosure::Sesim(const std::string& command, const std::vector<std::string>& args) const
{
    std::vector<std::string> argv = {Bin("sesim"), command, dir_.Path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return e2e::Run(argv);
}

std::string ShowField(const std::string& showOutput, const std::string& key)
{
    std::istringstream lines(showOutput);
    std::string line;
    while (std::getline(lines, line))
        if (line.compare(0, key.size() + 2, key + ": ") == 0)
            return line.substr(key.size() + 2);
    return "";
}

std::string Enclosure::Show(const std::string& key) const
{
    RunResult r = Sesim("show");
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    return ShowField(r.out, key);
}

static std::string Field(const std::string& line, const std::string& name)
{
    std::string key = " " + name + "=";
    size_t at = line.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    size_t end = line.find(' ', at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::vector<LogEntry> Enclosure::Log() const
{
    return ReadCommandLog(File("commands.log"));
}

RunResult ScriptedDevice::Run(const std::vector<std::string>& argv, const RunOptions& options) const
{
    std::string script;
    for (const std::string& rule : rules_)
        script += rule + "\n";
    WriteFile(File("script"), script);
    RunOptions withDevice = options;
    withDevice.env.push_back(std::string("LD_PRELOAD=") + SES_LIB_DIR + "/libe2e_scripted_sg.so");
    withDevice.env.push_back(std::string("E2E_SCRIPTED_SG_PATH=") + kDevice);
    withDevice.env.push_back("E2E_SCRIPTED_SG_SCRIPT=" + File("script"));
    return e2e::Run(argv, withDevice);
}

std::vector<LogEntry> ScriptedDevice::Log() const
{
    return ReadCommandLog(File("script.log"));
}

std::vector<LogEntry> ReadCommandLog(const std::string& path)
{
    std::vector<LogEntry> entries;
    std::istringstream lines(ReadFile(path));
    std::string line;
    while (std::getline(lines, line))
    {
        if (line.empty())
            continue;
        LogEntry e;
        e.line = line;
        e.index = (int)strtol(line.c_str(), nullptr, 10);
        e.opcode = (uint8_t)strtoul(Field(line, "op").c_str(), nullptr, 16);
        e.cdb = vocab::FromHex(Field(line, "cdb"));
        std::string dout = Field(line, "dout");
        size_t colon = dout.find(':');
        e.doutLength = strtoul(dout.c_str(), nullptr, 10);
        if (colon != std::string::npos)
            e.dout = vocab::FromHex(dout.substr(colon + 1, dout.find("...", colon) - colon - 1));
        e.status = (uint8_t)strtoul(Field(line, "status").c_str(), nullptr, 16);
        e.sense = Field(line, "sense");
        e.dinLength = strtoul(Field(line, "din").c_str(), nullptr, 10);
        e.fault = Field(line, "fault");
        size_t faultAt = line.find(" fault=");
        size_t noteAt = faultAt == std::string::npos ? faultAt : line.find(' ', faultAt + 1);
        e.note = noteAt == std::string::npos ? "" : line.substr(noteAt + 1);
        entries.push_back(e);
    }
    return entries;
}

std::vector<LogEntry> WithOpcode(const std::vector<LogEntry>& log, uint8_t opcode)
{
    std::vector<LogEntry> matching;
    std::copy_if(log.begin(), log.end(), std::back_inserter(matching),
                 [opcode](const LogEntry& entry) { return entry.opcode == opcode; });
    return matching;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

std::string Sha256Hex(const std::string& path)
{
    RunResult r = Run({"/usr/bin/sha256sum", path});
    return r.out.substr(0, 64);
}

std::string MakeImage(const std::string& path, const std::string& revision, uint32_t size)
{
    RunResult r = Run({Bin("sesim"), "mkimage", "--revision", revision, "--size", std::to_string(size), path});
    EXPECT_EQ(r.exitStatus, 0) << "sesim mkimage: " << r.err;
    return ReadFile(path);
}

std::string ImageShown(const std::string& revision, uint32_t size, const std::string& path)
{
    return "revision " + revision + " size " + std::to_string(size) + " sha256 " + Sha256Hex(path);
}

} // namespace e2e
