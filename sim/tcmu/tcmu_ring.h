#ifndef SESIM_TCMU_RING_H
#define SESIM_TCMU_RING_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The simulator's kernel attachment: an enclosure served behind the kernel's TCMU user
// backstore. The kernel queues each SCSI command in a ring inside a memory region shared
// through a uio device; a Responder answers it and the ring carries status, sense and data back.
struct sesim_tcmu_segment;

namespace sesim::tcmu
{

// The longest CDB carried to a responder; longer (variable-length) CDBs are cut, and no
// enclosure command is that long.
constexpr size_t kMaxCdbLength = 32;
// Sense bytes the ring can return (the kernel's SCSI sense buffer).
constexpr size_t kSenseLength = 96;
// The largest data transfer served. The sg driver's largest single transfer without scatter
// lists is well below it; a longer one is refused with ILLEGAL REQUEST.
constexpr size_t kMaxTransferLength = 1u << 20;
// Data segments of one command; the kernel builds one per contiguous run of its data blocks.
constexpr size_t kMaxSegments = 256;

enum class Direction
{
    None,
    In,  // device to initiator
    Out, // initiator to device
};

// The ring does not say which way data moves: it follows from the operation code.
Direction DataDirection(uint8_t opcode);

// Length of a CDB from its operation code's group, as the SCSI standards define the groups;
// reads byte 7 of a variable-length CDB, so cdb holds at least 8 bytes.
size_t CdbLength(const uint8_t* cdb);

// One command as a responder sees it, and the responder's answer.
struct Exchange
{
    uint8_t cdb[kMaxCdbLength] = {};
    size_t cdbLength = 0;
    Direction direction = Direction::None;
    const uint8_t* dataOut = nullptr; // the data-out bytes, dataOutLength of them
    size_t dataOutLength = 0;
    uint8_t* dataIn = nullptr;        // room for dataInCapacity bytes: the initiator's transfer length
    size_t dataInCapacity = 0;

    uint8_t status = 0;
    uint8_t sense[kSenseLength] = {};
    size_t senseLength = 0;
    size_t dataInLength = 0;          // bytes written to dataIn; the rest is the residual
};

class Responder
{
  public:
    virtual ~Responder() = default;
    virtual void Execute(Exchange& exchange) = 0;
};

// The shared region of one TCMU device: mailbox, command ring and data area. Works on any
// mapping, so that tests can lay out a region the way the kernel does.
class Ring
{
  public:
    Ring(uint8_t* base, size_t size);
    // False, with the reason, when the mailbox does not describe a ring this code understands.
    bool Check(std::string* why) const;
    // Answers every entry queued between the tail and the head; returns how many commands it
    // completed, or -1 (with the reason) when the ring is corrupt and serving must stop.
    long ProcessPending(Responder& responder, std::string* why);

  private:
    void Execute(uint8_t* entry, uint32_t entryLength, Responder& responder);
    bool SegmentsValid(const sesim_tcmu_segment* segments, uint32_t count) const;

    uint8_t* base_;
    size_t size_;
    std::vector<uint8_t> transfer_; // one command's data, allocated once
    Exchange exchange_;
};

// The uio device of a TCMU backstore: /dev/uioN, mapped whole.
class UioDevice
{
  public:
    UioDevice() = default;
    ~UioDevice();
    UioDevice(const UioDevice&) = delete;
    UioDevice& operator=(const UioDevice&) = delete;

    bool Open(const std::string& path, std::string* why);
    uint8_t* Base() const { return base_; }
    size_t Size() const { return size_; }
    // Blocks until the kernel signals new work (or work that arrived since the last wait).
    bool WaitForWork(std::string* why);
    // Tells the kernel to collect the completed entries.
    bool Kick(std::string* why);

  private:
    int fd_ = -1;
    uint8_t* base_ = nullptr;
    size_t size_ = 0;
};

// Serves the device until an error ends it; returns the reason.
std::string Serve(UioDevice& device, Responder& responder);

} // namespace sesim::tcmu

#endif
