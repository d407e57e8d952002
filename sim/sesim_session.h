// One initiator process attached to an enclosure: runs commands against the model with the
// state loaded from and saved to the store under its lock, and logs every command. Used by the
// preload attachment and by the sesim command.
#ifndef SESIM_SESSION_H
#define SESIM_SESSION_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "sesim_model.h"
#include "sesim_store.h"

namespace sesim
{

// Wall-clock time in nanoseconds: the state outlives processes, so its times must compare
// across them.
uint64_t RealtimeNs();

class Session
{
  public:
    using Clock = uint64_t (*)();
    // state_ is loaded from the store before any use.
    // cppcheck-suppress uninitMemberVar
    explicit Session(Clock clock = RealtimeNs) : model_(store_.config(), store_), clock_(clock) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the enclosure and begins a new session (a storage phase of an earlier one ends).
    bool Open(const std::string& dir, std::string* error);
    // Runs one command and logs it. A store that cannot be read fails the command with EIO.
    // arrivalNs (MonotonicNs) is when the command reached the attachment, 0 for now: the
    // enclosure's latency counts from then.
    void Execute(const Command& command, Result* result, int64_t arrivalNs = 0);
    // Waits until the latency of the last command executed has passed, so that an attachment
    // can hand the results back first; a second call does nothing.
    void Pace();
    // When Pace will return (MonotonicNs), 0 when there is no latency to wait out.
    int64_t DeadlineNs() const { return deadlineNs_; }
    // A reset from the host.
    bool Reset(ResetKind kind);
    // True when the device has been removed by a `gone` fault.
    bool Gone();

    Store& store() { return store_; }
    const Model& model() const { return model_; }

  private:
    bool LoadLocked();
    void RecordConsole(const Command& command, const Result& result);

    Store store_;
    Model model_;
    Clock clock_;
    State state_;
    uint32_t configGeneration_ = 0;
    int64_t deadlineNs_ = 0;
};

// The monotonic clock in nanoseconds, for command arrival times.
int64_t MonotonicNs();

// The command log line for one command, newline included; returns its length.
size_t FormatLogLine(char* out, size_t capacity, const Command& command, const Result& result);

} // namespace sesim

#endif
