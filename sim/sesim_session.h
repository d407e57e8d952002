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
    void Execute(const Command& command, Result* result);
    // A hard reset from the host (logical unit reset).
    bool HardReset();
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
};

// The command log line for one command, newline included; returns its length.
size_t FormatLogLine(char* out, size_t capacity, const Command& command, const Result& result);

} // namespace sesim

#endif
