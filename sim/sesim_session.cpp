#include "sesim_session.h"

#include <sys/prctl.h>
#include <time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sesim_scsi.h"

namespace sesim
{

namespace
{

constexpr size_t kLoggedDataOut = 64;
constexpr size_t kLogLineCapacity = 1024;
const char kHex[] = "0123456789abcdef";

size_t AppendHex(char* out, size_t capacity, size_t used, const uint8_t* data, size_t length)
{
    for (size_t i = 0; i < length && used + 2 < capacity; i++)
    {
        out[used++] = kHex[data[i] >> 4];
        out[used++] = kHex[data[i] & 0xF];
    }
    return used;
}

size_t Append(char* out, size_t capacity, size_t used, const char* format, ...) __attribute__((format(printf, 4, 5)));
size_t Append(char* out, size_t capacity, size_t used, const char* format, ...)
{
    if (used >= capacity)
    {
        return used;
    }
    va_list args;
    va_start(args, format);
    // va_start has just initialised args; the analyzer loses track of it here.
    int n = vsnprintf(out + used, capacity - used, format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    if (n < 0)
    {
        return used;
    }
    return std::min(capacity - 1, used + (size_t)n);
}

// Sense key, ASC and ASCQ from fixed or descriptor format sense data.
bool DecodeSense(const Result& r, uint8_t* key, uint8_t* asc, uint8_t* ascq)
{
    if (r.senseLength < 4)
    {
        return false;
    }
    uint8_t code = r.sense[0] & 0x7F;
    if (code >= kSenseDescriptorCurrent)
    {
        *key = r.sense[1] & 0x0F;
        *asc = r.sense[2];
        *ascq = r.sense[3];
        return true;
    }
    if (r.senseLength < 14)
    {
        return false;
    }
    *key = r.sense[2] & 0x0F;
    *asc = r.sense[12];
    *ascq = r.sense[13];
    return true;
}

} // namespace

uint64_t RealtimeNs()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

size_t FormatLogLine(char* out, size_t capacity, const Command& command, const Result& result)
{
    uint8_t op = command.cdbLength > 0 ? command.cdb[0] : 0;
    size_t n = Append(out, capacity, 0, "%llu op=%02x cdb=", (unsigned long long)result.index, op);
    n = AppendHex(out, capacity, n, command.cdb, std::min(command.cdbLength, kMaxCdbLength));
    n = Append(out, capacity, n, " dout=%zu:", command.dataOutLength);
    n = AppendHex(out, capacity, n, command.dataOut, std::min(command.dataOutLength, kLoggedDataOut));
    if (command.dataOutLength > kLoggedDataOut)
    {
        n = Append(out, capacity, n, "...");
    }
    uint8_t key = 0, asc = 0, ascq = 0;
    char sense[16] = "-";
    if (result.outcome == Outcome::Completed && DecodeSense(result, &key, &asc, &ascq))
    {
        snprintf(sense, sizeof(sense), "%02x/%02x/%02x", key, asc, ascq);
    }
    n = Append(out, capacity, n, " status=%02x sense=%s din=%zu fault=%s ", result.status, sense,
               result.dataInLength, result.fault != nullptr ? result.fault : "-");
    if (result.outcome == Outcome::HostError)
    {
        n = Append(out, capacity, n, "host status %02x: ", result.hostStatus);
    }
    else if (result.outcome == Outcome::TransportError)
    {
        n = Append(out, capacity, n, "ioctl fails with %s: ", strerror(result.errnoValue));
    }
    n = Append(out, capacity, n, "%s", result.note);
    if (n + 1 >= capacity)
    {
        n = capacity - 2;
    }
    out[n++] = '\n';
    out[n] = '\0';
    return n;
}

bool Session::Open(const std::string& dir, std::string* error)
{
    if (!store_.Open(dir, error))
    {
        return false;
    }
    if (!store_.Lock())
    {
        *error = dir + "/lock cannot be taken";
        return false;
    }
    if (!store_.Load(&state_, true))
    {
        store_.Unlock();
        *error = dir + "/state holds no valid enclosure state";
        return false;
    }
    configGeneration_ = state_.configGeneration;
    Released released{};
    model_.BeginSession(state_, clock_(), released);
    store_.Save(state_);
    store_.RemoveImages(released);
    store_.CollectGarbage(state_);
    store_.Unlock();
    return true;
}

bool Session::LoadLocked()
{
    if (!store_.Load(&state_, false))
    {
        return false;
    }
    if (state_.configGeneration != configGeneration_)
    {
        std::string ignored;
        if (!store_.ReloadConfig(&ignored))
        {
            return false;
        }
        configGeneration_ = state_.configGeneration;
    }
    return true;
}

namespace
{

constexpr int64_t kNsPerUs = 1000;
constexpr int64_t kNsPerSecond = 1000000000;
// The scheduler wakes a sleeper some tens of microseconds late; the last stretch before a
// command's deadline is spent polling the clock so that the modelled pace is kept exactly.
constexpr int64_t kSpinNs = 60 * kNsPerUs;

void WaitUntil(int64_t deadlineNs)
{
    int64_t wakeNs = deadlineNs - kSpinNs;
    if (wakeNs > MonotonicNs())
    {
        // The default timer slack alone (50 us) could carry the wake-up past the deadline; the
        // program's own setting is put back afterwards.
        int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0);
        timespec wake{(time_t)(wakeNs / kNsPerSecond), (long)(wakeNs % kNsPerSecond)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR)
        {
        }
        if (slack > 0)
        {
            prctl(PR_SET_TIMERSLACK, (unsigned long)slack, 0, 0, 0);
        }
    }
    while (MonotonicNs() < deadlineNs)
    {
    }
}

} // namespace

int64_t MonotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * kNsPerSecond + ts.tv_nsec;
}

void Session::Execute(const Command& command, Result* result, int64_t arrivalNs)
{
    if (arrivalNs == 0)
    {
        arrivalNs = MonotonicNs();
    }
    if (!store_.Lock() || !LoadLocked())
    {
        store_.Unlock();
        memset(result, 0, sizeof(*result));
        result->outcome = Outcome::TransportError;
        result->errnoValue = EIO;
        snprintf(result->note, sizeof(result->note), "enclosure state cannot be read");
        return;
    }
    model_.Execute(state_, command, clock_(), *result);
    store_.Save(state_);
    char line[kLogLineCapacity];
    size_t length = FormatLogLine(line, sizeof(line), command, *result);
    store_.AppendLog(line, length);
    RecordConsole(command, *result);
    store_.RemoveImages(result->released);
    store_.Unlock();
    // A modelled enclosure takes its latency from the command's arrival, its own work included.
    uint32_t latency = store_.config().latencyUs;
    deadlineNs_ = latency > 0 ? arrivalNs + (int64_t)latency * kNsPerUs : 0;
}

void Session::Pace()
{
    if (deadlineNs_ != 0)
    {
        WaitUntil(deadlineNs_);
        deadlineNs_ = 0;
    }
}

// Console traffic in people's terms: "> command" lines, then the output as it was read.
void Session::RecordConsole(const Command& command, const Result& result)
{
    if (command.cdbLength < 3 || result.outcome != Outcome::Completed || result.status != kStatusGood ||
        (command.cdb[1] & kBufferModeMask) != kBufferModeVendor || command.cdb[2] != kConsoleBufferId)
    {
        return;
    }
    if (command.cdb[0] == kOpWriteBuffer && result.dataOutUsed > 2)
    {
        const char* text = reinterpret_cast<const char*>(command.dataOut) + 2;
        size_t length = strnlen(text, result.dataOutUsed - 2);
        store_.AppendConsole("> ", 2);
        store_.AppendConsole(text, length);
        store_.AppendConsole("\n", 1);
    }
    else if (command.cdb[0] == kOpReadBuffer && result.dataInLength > kConsoleResponseHeaderLength)
    {
        size_t length = ((size_t)command.dataIn[0] << 8) | command.dataIn[1];
        length = std::min(length, result.dataInLength - kConsoleResponseHeaderLength);
        store_.AppendConsole(reinterpret_cast<const char*>(command.dataIn) + kConsoleResponseHeaderLength, length);
    }
}

bool Session::Reset(ResetKind kind)
{
    if (!store_.Lock() || !LoadLocked())
    {
        store_.Unlock();
        return false;
    }
    Released released{};
    model_.Reset(state_, kind, clock_(), released);
    store_.Save(state_);
    store_.RemoveImages(released);
    store_.Unlock();
    return true;
}

bool Session::Gone()
{
    if (!store_.Lock() || !LoadLocked())
    {
        store_.Unlock();
        return false;
    }
    bool gone = state_.gone != 0;
    store_.Unlock();
    return gone;
}

} // namespace sesim
