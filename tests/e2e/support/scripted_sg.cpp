// A scripted SCSI generic node for end-to-end tests, loaded with LD_PRELOAD: the path named by
// E2E_SCRIPTED_SG_PATH opens as a device whose SG_IO answers come from the rules in the file
// named by E2E_SCRIPTED_SG_SCRIPT. It gives a test device behaviour that no honest enclosure
// model produces (a status page chosen byte by byte, a completion at the wrong moment).
//
// One rule per line, '#' starts a comment:
//   MATCH COUNT [status=XX] [sense=KK/AA/QQ] [data=HEX] [host=XX]
// MATCH is the operation code in hex, optionally "/PP" to match CDB byte 2 as well (the page
// code of RECEIVE DIAGNOSTIC RESULTS). COUNT is how many commands the rule answers, or '*'.
// A command takes the first rule that matches and is not used up; a command no rule answers
// ends with CHECK CONDITION, ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE.
//
// Every command is appended to the script's path + ".log" in the simulator's command log format
// (data-out bytes in full), so that the same log reader serves both.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sesim_scsi.h"

namespace
{

// The sg driver version that SG_GET_VERSION_NUM reports (3.5.27).
constexpr int kSgVersion = 30527;
// The additional sense length counts the bytes after its own field, byte 7.
constexpr uint8_t kFixedSenseAdditionalLength = sesim::kFixedSenseLength - 8;
constexpr int kMaxOpenDevices = 16;

struct Rule
{
    int opcode = -1;
    int byte2 = -1;
    long remaining = -1; // -1: no limit
    uint8_t status = 0;
    bool hasSense = false;
    uint8_t senseKey = 0, asc = 0, ascq = 0;
    std::vector<uint8_t> data;
    uint8_t host = 0;
};

struct State
{
    bool loaded = false;
    std::string path;
    std::string scriptPath;
    std::string logPath;
    std::vector<Rule> rules;
    int fds[kMaxOpenDevices];
    int openCount = 0;
    int commandIndex = 0;
};

State& Global()
{
    static State state;
    return state;
}

std::vector<uint8_t> ParseHex(const std::string& text)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
    {
        bytes.push_back((uint8_t)strtoul(text.substr(i, 2).c_str(), nullptr, 16));
    }
    return bytes;
}

void Load()
{
    State& s = Global();
    if (s.loaded)
        return;
    s.loaded = true;
    const char* path = getenv("E2E_SCRIPTED_SG_PATH");
    const char* script = getenv("E2E_SCRIPTED_SG_SCRIPT");
    if (path == nullptr || script == nullptr)
        return;
    s.path = path;
    s.scriptPath = script;
    s.logPath = std::string(script) + ".log";
    FILE* f = fopen(script, "r");
    if (f == nullptr)
        return;
    char line[16384];
    while (fgets(line, sizeof(line), f) != nullptr)
    {
        char* hash = strchr(line, '#');
        if (hash != nullptr)
            *hash = '\0';
        std::vector<std::string> words;
        for (char* w = strtok(line, " \t\r\n"); w != nullptr; w = strtok(nullptr, " \t\r\n"))
            words.emplace_back(w);
        if (words.size() < 2)
            continue;
        Rule r;
        r.opcode = (int)strtol(words[0].c_str(), nullptr, 16);
        size_t slash = words[0].find('/');
        if (slash != std::string::npos)
            r.byte2 = (int)strtol(words[0].c_str() + slash + 1, nullptr, 16);
        r.remaining = words[1] == "*" ? -1 : strtol(words[1].c_str(), nullptr, 10);
        for (size_t i = 2; i < words.size(); i++)
        {
            const std::string& w = words[i];
            std::string value = w.substr(w.find('=') + 1);
            if (w.rfind("status=", 0) == 0)
                r.status = (uint8_t)strtoul(value.c_str(), nullptr, 16);
            else if (w.rfind("sense=", 0) == 0)
            {
                unsigned k = 0, a = 0, q = 0;
                // The rules are written by the tests themselves; a malformed one shows as zeros.
                sscanf(value.c_str(), "%x/%x/%x", &k, &a, &q); // NOLINT(cert-err34-c)
                r.hasSense = true;
                r.senseKey = (uint8_t)k, r.asc = (uint8_t)a, r.ascq = (uint8_t)q;
            }
            else if (w.rfind("data=", 0) == 0)
                r.data = ParseHex(value);
            else if (w.rfind("host=", 0) == 0)
                r.host = (uint8_t)strtoul(value.c_str(), nullptr, 16);
        }
        s.rules.push_back(r);
    }
    fclose(f);
}

bool IsOurs(int fd)
{
    State& s = Global();
    for (int i = 0; i < s.openCount; i++)
    {
        if (s.fds[i] == fd)
            return true;
    }
    return false;
}

void Forget(int fd)
{
    State& s = Global();
    for (int i = 0; i < s.openCount; i++)
    {
        if (s.fds[i] == fd)
        {
            s.fds[i] = s.fds[--s.openCount];
            return;
        }
    }
}

bool IsScriptedPath(const char* path)
{
    Load();
    return path != nullptr && !Global().path.empty() && Global().path == path;
}

template <typename Fn> Fn Real(const char* name)
{
    return (Fn)dlsym(RTLD_NEXT, name);
}

int OpenScripted()
{
    State& s = Global();
    if (s.openCount == kMaxOpenDevices)
    {
        errno = EMFILE;
        return -1;
    }
    // A real descriptor, so that close and descriptor numbering behave as usual; on the script,
    // so that a lock on the node is one on this device, not on a file every device shares.
    int fd = Real<int (*)(const char*, int, ...)>("open")(s.scriptPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
        s.fds[s.openCount++] = fd;
    return fd;
}

std::string Hex(const uint8_t* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; i++)
    {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

void LogCommand(const sg_io_hdr_t* io, const Rule* rule, size_t dinLength, int ruleIndex)
{
    State& s = Global();
    FILE* f = fopen(s.logPath.c_str(), "a");
    if (f == nullptr)
        return;
    size_t doutLength = io->dxfer_direction == SG_DXFER_TO_DEV ? io->dxfer_len : 0;
    std::string sense = "-";
    if (rule != nullptr && rule->hasSense)
    {
        char text[16];
        snprintf(text, sizeof(text), "%02x/%02x/%02x", rule->senseKey, rule->asc, rule->ascq);
        sense = text;
    }
    fprintf(f, "%d op=%02x cdb=%s dout=%zu:%s status=%02x sense=%s din=%zu fault=- rule=%d\n", s.commandIndex,
            io->cmdp[0], Hex(io->cmdp, io->cmd_len).c_str(), doutLength,
            Hex((const uint8_t*)io->dxferp, doutLength).c_str(), io->status, sense.c_str(), dinLength, ruleIndex);
    fclose(f);
}

int ScriptedSgIo(sg_io_hdr_t* io)
{
    State& s = Global();
    if (io == nullptr || io->interface_id != 'S' || io->cmdp == nullptr || io->cmd_len == 0)
    {
        errno = EINVAL;
        return -1;
    }
    s.commandIndex++;
    io->status = io->masked_status = 0;
    io->host_status = io->driver_status = 0;
    io->sb_len_wr = 0;
    io->resid = 0;
    Rule* rule = nullptr;
    int ruleIndex = 0;
    for (size_t i = 0; i < s.rules.size(); i++)
    {
        Rule& r = s.rules[i];
        if (r.remaining != 0 && r.opcode == io->cmdp[0] &&
            (r.byte2 < 0 || (io->cmd_len > 2 && r.byte2 == io->cmdp[2])))
        {
            rule = &r;
            ruleIndex = (int)i + 1;
            break;
        }
    }
    Rule unscripted;
    if (rule == nullptr)
    {
        unscripted.status = sesim::kStatusCheckCondition;
        unscripted.hasSense = true;
        unscripted.senseKey = sesim::kSenseIllegalRequest, unscripted.asc = sesim::kAscInvalidOpcode;
        rule = &unscripted;
    }
    else if (rule->remaining > 0)
    {
        rule->remaining--;
    }
    io->host_status = rule->host;
    io->status = rule->status;
    io->masked_status = rule->status >> 1;
    size_t din = 0;
    if (io->dxfer_direction == SG_DXFER_FROM_DEV && io->dxferp != nullptr)
    {
        din = rule->data.size() < io->dxfer_len ? rule->data.size() : io->dxfer_len;
        memcpy(io->dxferp, rule->data.data(), din);
        io->resid = (int)(io->dxfer_len - din);
    }
    if (rule->hasSense && io->sbp != nullptr && io->mx_sb_len > 0)
    {
        uint8_t sense[sesim::kFixedSenseLength] = {};
        sense[0] = sesim::kSenseFixedCurrent;
        sense[2] = rule->senseKey;
        sense[7] = kFixedSenseAdditionalLength;
        sense[12] = rule->asc;
        sense[13] = rule->ascq;
        size_t n = io->mx_sb_len < sizeof(sense) ? io->mx_sb_len : sizeof(sense);
        memcpy(io->sbp, sense, n);
        io->sb_len_wr = (unsigned char)n;
    }
    LogCommand(io, rule, din, ruleIndex);
    return 0;
}

} // namespace

extern "C"
{

// The open family: our path, or the next definition of the same function. PARAMS name `path`
// and `flags`; ARGS pass them on, with `mode` after a `...` (a mode comes only with O_CREAT or
// O_TMPFILE).
#define SCRIPTED_OPEN(name, params, args)                                                          \
    int name params                                                                                \
    {                                                                                              \
        if (IsScriptedPath(path))                                                                  \
            return OpenScripted();                                                                 \
        mode_t mode = 0;                                                                           \
        if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)                                 \
        {                                                                                          \
            va_list ap;                                                                            \
            va_start(ap, flags);                                                                   \
            mode = va_arg(ap, mode_t);                                                             \
            va_end(ap);                                                                            \
        }                                                                                          \
        /* NOLINTNEXTLINE(bugprone-macro-parentheses): a parameter list and an argument list */   \
        return Real<int(*) params>(#name) args;                                                    \
    }

SCRIPTED_OPEN(open, (const char* path, int flags, ...), (path, flags, mode))
SCRIPTED_OPEN(open64, (const char* path, int flags, ...), (path, flags, mode))
SCRIPTED_OPEN(openat, (int dirfd, const char* path, int flags, ...), (dirfd, path, flags, mode))
SCRIPTED_OPEN(openat64, (int dirfd, const char* path, int flags, ...), (dirfd, path, flags, mode))

int __open_2(const char* path, int flags)
{
    if (IsScriptedPath(path))
        return OpenScripted();
    return Real<int (*)(const char*, int)>("__open_2")(path, flags);
}

int __open64_2(const char* path, int flags)
{
    if (IsScriptedPath(path))
        return OpenScripted();
    return Real<int (*)(const char*, int)>("__open64_2")(path, flags);
}

int close(int fd)
{
    Forget(fd);
    return Real<int (*)(int)>("close")(fd);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* argument = va_arg(ap, void*);
    va_end(ap);
    if (!IsOurs(fd))
        return Real<int (*)(int, unsigned long, ...)>("ioctl")(fd, request, argument);
    if (request == SG_IO)
        return ScriptedSgIo((sg_io_hdr_t*)argument);
    if (request == SG_GET_VERSION_NUM && argument != nullptr)
    {
        *(int*)argument = kSgVersion;
        return 0;
    }
    errno = EINVAL;
    return -1;
}

} // extern "C"
