// The state directory of a simulated enclosure:
//   config         settings, "key value" lines (sesim init, sesim fault)
//   state          the running state: a header and two slots, each a whole State with a
//                  sequence number and a CRC; a save goes to the older slot and sets its sequence
//                  number last, so a process killed at any point leaves the previous state intact
//   images/N.img   firmware images (active, deferred, the one being downloaded)
//   commands.log   one line per command
//   console.log    the console transcript
//   device         the file that descriptors of the attached node are opened on
// A process-shared robust mutex in the state file's header is held around every change.
// Whole files (config, a new state) are written to a temporary name and renamed into place.
#ifndef SESIM_STORE_H
#define SESIM_STORE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "sesim_config.h"
#include "sesim_model.h"

namespace sesim
{

constexpr uint32_t kInitialImageSize = 4096;
// The file that a descriptor of the attached node is opened on: a lock on the descriptor is a
// lock on this enclosure, and the directory's permissions decide who may open the node.
constexpr const char* kNodeFileName = "device";

class Store final : public Backing
{
  public:
    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Creates an enclosure in DIR (missing or empty), or replaces the one there with `force`.
    // A directory that holds anything else is refused and left as it is.
    static bool Create(const std::string& dir, const Config& config, const InitialState& initial, bool force,
                       std::string* error);

    // Opens an existing enclosure; false with a message when DIR is missing or not valid.
    bool Open(const std::string& dir, std::string* error);
    const std::string& dir() const { return dir_; }
    const Config& config() const { return config_; }

    // Lock may fail (a damaged file, or the timeout in ms passed); Unlock is then a no-op.
    bool Lock(int timeoutMs = -1);
    void Unlock();
    // The newest valid state. `verify` also checks the slot's CRC (done when a process opens the
    // enclosure; afterwards only this store's own saves touch the slots).
    bool Load(State* state, bool verify);
    void Save(const State& state);

    // Rereads the settings file (after `sesim fault` changed it).
    bool ReloadConfig(std::string* error);
    // Replaces the settings file.
    bool WriteConfig(const Config& config, std::string* error);

    std::string ImagePath(uint32_t id) const;
    void RemoveImages(const Released& released);
    // Removes image files that the state does not refer to (left by a killed process).
    void CollectGarbage(const State& state);

    void AppendLog(const char* text, size_t length);
    // The console transcript: commands sent and the output read back.
    void AppendConsole(const char* text, size_t length);

    bool CreateImage(uint32_t id) override;
    bool WriteImage(uint32_t id, uint32_t offset, const uint8_t* data, size_t length) override;

  private:
    bool OpenImage(uint32_t id, bool truncate);

    std::string dir_;
    Config config_;
    int stateFd_ = -1;
    int logFd_ = -1;
    int consoleFd_ = -1;
    int imageFd_ = -1;
    uint32_t imageFdId_ = 0;
    uint8_t* map_ = nullptr;
    size_t mapLength_ = 0;
    uint64_t sequence_ = 0;
    bool locked_ = false;
};

// Reads a whole small file; false when it cannot be read.
bool ReadTextFile(const std::string& path, std::string* text);
// Writes a file through a temporary name and a rename.
bool WriteFileAtomically(const std::string& path, const void* data, size_t length, std::string* error);

} // namespace sesim

#endif
