// In-process harness for the enclosure model: an enclosure with its state in memory and image
// bytes in a map, a settable clock, and builders for the commands the programs send.
#ifndef SIM_TEST_SUPPORT_H
#define SIM_TEST_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sesim_model.h"
#include "vocabulary.h"

namespace simtest
{

// Image bytes kept in a map, for the in-process tests and the model's fuzz target; either call
// can be made to fail as a full or broken storage would.
class MemoryBacking : public sesim::Backing
{
  public:
    bool CreateImage(uint32_t id) override
    {
        if (failCreate)
            return false;
        images[id].clear();
        return true;
    }
    bool WriteImage(uint32_t id, uint32_t offset, const uint8_t* data, size_t length) override
    {
        if (failWrite || images.count(id) == 0)
            return false;
        std::vector<uint8_t>& image = images[id];
        if (image.size() < offset + length)
            image.resize(offset + length);
        memcpy(image.data() + offset, data, length);
        return true;
    }
    std::map<uint32_t, std::vector<uint8_t>> images;
    bool failCreate = false;
    bool failWrite = false;
};

struct Reply
{
    sesim::Result result;
    std::vector<uint8_t> din;
    uint8_t status() const { return result.status; }
    std::string Sense() const { return vocab::SenseText(result.sense, result.senseLength); }
    bool Good() const { return result.outcome == sesim::Outcome::Completed && result.status == 0; }
};

struct DownloadStatus
{
    uint8_t status = 0;
    uint8_t additional = 0;
    uint32_t generation = 0;
    uint32_t expectedOffset = 0;
    uint32_t maxSize = 0;
};

class Enclosure
{
  public:
    explicit Enclosure(const sesim::Config& config = sesim::Config(),
                       const sesim::InitialState& initial = sesim::InitialState());

    // Runs one command: CDB, data-out bytes and the room offered for data-in.
    Reply Run(const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dout = {}, size_t dinRoom = 0);

    Reply Tur() { return Run({0x00, 0, 0, 0, 0, 0}); }
    Reply RequestSense(bool descriptor = false, uint8_t allocation = 32); // takes a unit attention
    Reply Inquiry(uint16_t allocation = 96);
    Reply ReceiveDiagnostic(uint8_t page, uint16_t allocation = 1024, bool pcv = true);
    Reply SendDiagnostic(const std::vector<uint8_t>& page);
    // Reads page 0x0E and decodes the primary descriptor.
    DownloadStatus Status(uint16_t allocation = 60);
    // Sends IMAGE in blocks of `block` bytes, each followed by a status read as the download
    // program does; polls while busy. Returns the final status read; `seen` gets every status
    // code read after a block.
    DownloadStatus Download(const std::vector<uint8_t>& image, uint8_t mode = 0x07, size_t block = 4072,
                            std::vector<uint8_t>* seen = nullptr);

    Reply ConsoleWrite(const std::string& text);
    Reply ConsoleRead(uint32_t allocation = 508);
    // Sends a console command and returns its output, which must come in one response.
    std::string Console(const std::string& text);

    sesim::Config config;
    MemoryBacking backing;
    sesim::State state;
    std::unique_ptr<sesim::Model> model;
    uint64_t now = 1000000000000ull;
};

// An enclosure's initial state without the power-on unit attention, as most tests want it.
inline sesim::InitialState Quiet()
{
    sesim::InitialState initial;
    initial.unitAttention = false;
    return initial;
}

inline std::vector<uint8_t> Image(const char* revision, uint32_t size)
{
    return sesim::MakeImage(revision, size);
}

} // namespace simtest

#endif
