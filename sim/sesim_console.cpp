// The enclosure's console: a small command interpreter reached with WRITE BUFFER (a command
// message) and READ BUFFER (its output, a piece at a time, with a command-pending flag), mode 01h,
// buffer ID 1.
#include <cerrno>
#include <cstdlib>

#include "sesim_model_internal.h"

namespace sesim
{

namespace
{

constexpr size_t kConsoleMaxText = 507; // console clients refuse a text length of 508 or more
constexpr uint32_t kLogMaxLines = 1000000;
constexpr uint32_t kSleepMaxMs = 600000;
constexpr size_t kLogLineMax = 64;
constexpr uint64_t kNsPerMs = 1000000;

const char kHelpText[] = "commands:\n"
                         "  help       this list\n"
                         "  rev        firmware revisions\n"
                         "  status     download status, generation code, unit attention\n"
                         "  echo TEXT  prints TEXT\n"
                         "  log N      prints N event lines\n"
                         "  sleep MS   keeps the command pending for MS milliseconds\n"
                         "  reset      hard reset (activates deferred microcode)\n";

void Emit(ConsoleState& con, const char* text, size_t length)
{
    size_t room = kConsoleOutCapacity - con.outLength;
    length = std::min(length, room);
    memcpy(con.out + con.outLength, text, length);
    con.outLength = (uint16_t)(con.outLength + length);
}

void Emitf(ConsoleState& con, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Emitf(ConsoleState& con, const char* format, ...)
{
    char line[kConsoleOutCapacity];
    va_list args;
    va_start(args, format);
    // va_start has just initialised args; the analyzer loses track of it here.
    int n = vsnprintf(line, sizeof(line), format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    if (n > 0)
    {
        Emit(con, line, std::min((size_t)n, sizeof(line) - 1));
    }
}

void RefillLog(ConsoleState& con)
{
    while (con.job == ConsoleJob::Log && con.outLength + kLogLineMax <= kConsoleOutCapacity)
    {
        if (con.logNext > con.logTotal)
        {
            con.job = ConsoleJob::None;
            break;
        }
        Emitf(con, "event %u of %u: all elements OK\n", con.logNext, con.logTotal);
        con.logNext++;
    }
}

// Parses a decimal argument; false when it is missing, not a number or above `max`.
bool Argument(const char* text, size_t length, uint32_t max, uint32_t* value)
{
    if (length == 0 || length > 10)
    {
        return false;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < length; i++)
    {
        if (text[i] < '0' || text[i] > '9')
        {
            return false;
        }
        v = v * 10 + (uint64_t)(text[i] - '0');
    }
    if (v > max)
    {
        return false;
    }
    *value = (uint32_t)v;
    return true;
}

bool Word(const char* text, size_t length, const char* word)
{
    return strlen(word) == length && memcmp(text, word, length) == 0;
}

} // namespace

// The console is one vendor-specific buffer, written and read from its start: false, with the
// first bad field reported, for a WRITE BUFFER or READ BUFFER that asks for anything else.
bool Model::ConsoleBufferCdb(Ctx& c)
{
    if ((c.cdb[1] & kBufferModeMask) != kBufferModeVendor)
    {
        c.InvalidCdbField(1, 4);
        return false;
    }
    if (c.cdb[2] != kConsoleBufferId)
    {
        c.InvalidCdbField(2);
        return false;
    }
    if (Be24(c.cdb + 3) != 0)
    {
        c.InvalidCdbField(3);
        return false;
    }
    return true;
}

void Model::WriteBuffer(Ctx& c)
{
    uint32_t parameterListLength = Be24(c.cdb + 6);
    if (!ConsoleBufferCdb(c))
    {
        return;
    }
    if (parameterListLength > kConsoleBufferCapacity)
    {
        c.InvalidCdbField(6);
        return;
    }
    size_t n = c.TakeDataOut(parameterListLength);
    if (n == 0)
    {
        c.Note("empty console message");
        return;
    }
    const uint8_t* message = c.cmd.dataOut;
    if (message[0] != kConsoleCommandMarker)
    {
        c.InvalidParameterField(0);
        return;
    }
    if (n >= 2 && message[1] != 0)
    {
        c.InvalidParameterField(1);
        return;
    }
    const char* text = n > 2 ? (const char*)message + 2 : "";
    size_t length = n > 2 ? strnlen(text, n - 2) : 0;
    ConsoleCommand(c, text, length);
}

void Model::ConsoleCommand(Ctx& c, const char* text, size_t length)
{
    State& s = c.s;
    ConsoleState& con = s.console;
    if (con.resetPending)
    {
        // The reset that an unread `reset` answer announced happens before the next command.
        Restart(s, ResetKind::Hard, c.r.released);
    }
    memset(&con, 0, sizeof(con));
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == '\t'))
    {
        length--;
    }
    size_t start = 0;
    while (start < length && (text[start] == ' ' || text[start] == '\t'))
    {
        start++;
    }
    const char* word = text + start;
    size_t wordLength = 0;
    while (start + wordLength < length && word[wordLength] != ' ' && word[wordLength] != '\t')
    {
        wordLength++;
    }
    const char* arg = word + wordLength;
    size_t argLength = length - start - wordLength;
    while (argLength > 0 && (*arg == ' ' || *arg == '\t'))
    {
        arg++;
        argLength--;
    }
    c.Note("console: %.*s", (int)std::min(length, (size_t)64), text);
    uint32_t value = 0;
    if (wordLength == 0)
    {
        return;
    }
    if (Word(word, wordLength, "help"))
    {
        Emit(con, kHelpText, sizeof(kHelpText) - 1);
    }
    else if (Word(word, wordLength, "rev"))
    {
        Emitf(con, "revision %.4s\n", s.active.revision);
        if (s.pendingKind != PendingKind::None)
        {
            Emitf(con, "deferred %.4s\n", s.pending.revision);
        }
    }
    else if (Word(word, wordLength, "status"))
    {
        uint8_t additional = 0;
        uint8_t status = PeekDownloadStatus(s, 0, &additional);
        Emitf(con, "download status 0x%02x\ngeneration code %u\nunit attention %s\n", status, s.generationCode,
              s.uaCount == 0 ? "none" : "pending");
    }
    else if (Word(word, wordLength, "echo"))
    {
        Emit(con, arg, argLength);
        Emit(con, "\n", 1);
    }
    else if (Word(word, wordLength, "log"))
    {
        if (!Argument(arg, argLength, kLogMaxLines, &value))
        {
            Emitf(con, "usage: log N (N from 0 to %u)\n", kLogMaxLines);
            return;
        }
        con.job = value > 0 ? ConsoleJob::Log : ConsoleJob::None;
        con.logNext = 1;
        con.logTotal = value;
        RefillLog(con);
    }
    else if (Word(word, wordLength, "sleep"))
    {
        if (!Argument(arg, argLength, kSleepMaxMs, &value))
        {
            Emitf(con, "usage: sleep MS (MS from 0 to %u)\n", kSleepMaxMs);
            return;
        }
        con.job = ConsoleJob::Sleep;
        con.sleepMs = value;
        con.sleepUntilNs = c.now + (uint64_t)value * kNsPerMs;
    }
    else if (Word(word, wordLength, "reset"))
    {
        Emitf(con, "resetting\n");
        con.resetPending = 1;
    }
    else
    {
        Emitf(con, "unknown command: %.*s (try help)\n", (int)std::min(wordLength, (size_t)64), word);
    }
}

void Model::ReadBuffer(Ctx& c)
{
    if (!config_.readBuffer)
    {
        c.Check(kSenseIllegalRequest, kAscInvalidOpcode, 0);
        c.Note("READ BUFFER not supported");
        return;
    }
    uint32_t allocation = Be24(c.cdb + 6);
    if ((c.cdb[1] & kBufferModeMask) == kBufferModeDescriptor)
    {
        if (c.cdb[2] != kConsoleBufferId)
        {
            c.InvalidCdbField(2);
            return;
        }
        uint8_t descriptor[kReadBufferDescriptorLength] = {0};
        PutBe24(descriptor + 1, (uint32_t)kConsoleBufferCapacity);
        c.Deliver(descriptor, sizeof(descriptor), allocation);
        c.Note("console buffer descriptor");
        return;
    }
    if (!ConsoleBufferCdb(c))
    {
        return;
    }
    size_t length = ConsoleResponse(c, scratch_, c.Deliverable(allocation));
    c.Deliver(scratch_, length, allocation);
}

size_t Model::ConsoleResponse(Ctx& c, uint8_t* out, size_t deliverable)
{
    ConsoleState& con = c.s.console;
    size_t maxText = deliverable > kConsoleResponseHeaderLength
                         ? std::min(deliverable - kConsoleResponseHeaderLength, kConsoleMaxText)
                         : 0;
    if (con.job == ConsoleJob::Sleep && c.now >= con.sleepUntilNs)
    {
        con.job = ConsoleJob::None;
        Emitf(con, "slept %u ms\n", con.sleepMs);
    }
    if (con.outPosition == con.outLength && con.job == ConsoleJob::Log)
    {
        con.outPosition = con.outLength = 0;
        RefillLog(con);
    }
    size_t take = std::min(maxText, (size_t)(con.outLength - con.outPosition));
    if (con.breakCount > 0 && con.breaks[0] > con.outPosition)
    {
        take = std::min(take, (size_t)(con.breaks[0] - con.outPosition));
    }
    memcpy(out + kConsoleResponseHeaderLength, con.out + con.outPosition, take);
    con.outPosition = (uint16_t)(con.outPosition + take);
    while (con.breakCount > 0 && con.breaks[0] <= con.outPosition)
    {
        memmove(con.breaks, con.breaks + 1, sizeof(con.breaks[0]) * (size_t)(con.breakCount - 1));
        con.breakCount--;
    }
    if (con.outPosition == con.outLength)
    {
        con.outPosition = con.outLength = 0;
        RefillLog(con);
    }
    bool pending = con.outLength > con.outPosition || con.job != ConsoleJob::None;
    uint32_t textLength = (uint32_t)take;
    if (c.badLength != nullptr)
    {
        textLength = c.badLength->textLength;
        c.Note("console text length field %u instead of %zu; ", textLength, take);
    }
    PutBe16(out, textLength);
    PutBe16(out + 2, pending ? 1 : 0);
    c.Note("console response %zu bytes%s", take, pending ? ", pending" : "");
    if (!pending && con.resetPending)
    {
        c.resetAfter = true;
    }
    return kConsoleResponseHeaderLength + take;
}

} // namespace sesim
