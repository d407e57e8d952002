#include "tcmu_ring.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstddef>

#include "sesim_model.h"
#include "sesim_scsi.h"
#include "tcmu_abi.h"

namespace sesim::tcmu
{
namespace
{

// The variable-length CDB's operation code; its length is not in the group code.
constexpr uint8_t kVariableLengthOpcode = 0x7F;
constexpr size_t kVariableLengthHeader = 8; // additional CDB length at byte 7 counts from here

uint32_t LoadAcquire(const uint32_t* p)
{
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}

void StoreRelease(uint32_t* p, uint32_t value)
{
    __atomic_store_n(p, value, __ATOMIC_RELEASE);
}

} // namespace

// From the enclosure's command table. A command it does not implement is refused without a
// data phase, so none is offered.
Direction DataDirection(uint8_t opcode)
{
    const Model::CommandInfo* info = Model::FindCommand(opcode);
    if (info == nullptr || info->direction == DataDirection::None)
    {
        return Direction::None;
    }
    return info->direction == DataDirection::Out ? Direction::Out : Direction::In;
}

size_t CdbLength(const uint8_t* cdb)
{
    const size_t length = CdbLengthForOpcode(cdb[0]);
    if (length != 0)
    {
        return length;
    }
    // Reserved and vendor-specific groups: copy as much as the longest fixed-length CDB.
    return cdb[0] == kVariableLengthOpcode ? kVariableLengthHeader + cdb[7] : 16;
}

Ring::Ring(uint8_t* base, size_t size) : base_(base), size_(size), transfer_(kMaxTransferLength)
{
}

bool Ring::Check(std::string* why) const
{
    if (size_ < sizeof(sesim_tcmu_mailbox))
    {
        *why = "region smaller than the mailbox";
        return false;
    }
    auto* mailbox = reinterpret_cast<const sesim_tcmu_mailbox*>(base_);
    if (mailbox->version != SESIM_TCMU_MAILBOX_VERSION)
    {
        *why = "mailbox version " + std::to_string(mailbox->version) + ", expected " +
               std::to_string(SESIM_TCMU_MAILBOX_VERSION);
        return false;
    }
    if (mailbox->cmdr_off < sizeof(sesim_tcmu_mailbox) || mailbox->cmdr_size == 0 ||
        uint64_t{mailbox->cmdr_off} + mailbox->cmdr_size > size_ || mailbox->cmdr_size % SESIM_TCMU_OP_ALIGN_SIZE != 0)
    {
        *why = "command ring outside the region";
        return false;
    }
    return true;
}

long Ring::ProcessPending(Responder& responder, std::string* why)
{
    auto* mailbox = reinterpret_cast<sesim_tcmu_mailbox*>(base_);
    uint8_t* ring = base_ + mailbox->cmdr_off;
    const uint32_t ringSize = mailbox->cmdr_size;
    uint32_t tail = mailbox->cmd_tail;
    long completed = 0;
    // The kernel publishes the head after the entries it covers.
    for (uint32_t head = LoadAcquire(&mailbox->cmd_head); tail != head; head = LoadAcquire(&mailbox->cmd_head))
    {
        // A head that no entry boundary reaches would have the walk go round the ring answering
        // stale entries for ever.
        if (head >= ringSize || head % SESIM_TCMU_OP_ALIGN_SIZE != 0)
        {
            *why = "ring head " + std::to_string(head) + " is not an entry boundary";
            return -1;
        }
        // Entries never wrap: the kernel pads to the ring's end instead.
        if (tail >= ringSize || tail % SESIM_TCMU_OP_ALIGN_SIZE != 0 || ringSize - tail < sizeof(sesim_tcmu_entry_header))
        {
            *why = "ring tail " + std::to_string(tail) + " is not an entry boundary";
            return -1;
        }
        auto* header = reinterpret_cast<sesim_tcmu_entry_header*>(ring + tail);
        const uint32_t entryLength = header->len_op & ~uint32_t{SESIM_TCMU_OP_MASK};
        if (entryLength == 0 || entryLength > ringSize - tail)
        {
            *why = "ring entry at " + std::to_string(tail) + " has length " + std::to_string(entryLength);
            return -1;
        }
        // Padding and task management notices need no answer: moving past them is enough.
        if ((header->len_op & SESIM_TCMU_OP_MASK) == SESIM_TCMU_OP_CMD)
        {
            Execute(ring + tail, entryLength, responder);
            completed++;
        }
        tail = (tail + entryLength) % ringSize;
        // The kernel reads the reply once the tail has moved past it.
        StoreRelease(&mailbox->cmd_tail, tail);
    }
    return completed;
}

bool Ring::SegmentsValid(const sesim_tcmu_segment* segments, uint32_t count) const
{
    for (uint32_t i = 0; i < count; i++)
    {
        const uint64_t offset = segments[i].offset;
        if (offset > size_ || segments[i].length > size_ - offset)
        {
            return false;
        }
    }
    return true;
}

void Ring::Execute(uint8_t* entryBytes, uint32_t entryLength, Responder& responder)
{
    auto* entry = reinterpret_cast<sesim_tcmu_cmd_entry*>(entryBytes);
    const auto* mailbox = reinterpret_cast<const sesim_tcmu_mailbox*>(base_);
    Exchange& x = exchange_;
    x = Exchange();

    // The reply overlays the request (sense over the segment list), so everything the request
    // says is copied out before any reply byte is written.
    sesim_tcmu_segment segments[kMaxSegments];
    const size_t segmentsAt = offsetof(sesim_tcmu_cmd_entry, req.iov);
    const size_t segmentRoom = entryLength > segmentsAt ? (entryLength - segmentsAt) / sizeof(sesim_tcmu_segment) : 0;
    uint32_t segmentCount = entry->req.iov_cnt;
    const uint64_t cdbOffset = entry->req.cdb_off;
    bool refused = segmentCount > kMaxSegments || segmentCount > segmentRoom;
    if (!refused)
    {
        memcpy(segments, entryBytes + segmentsAt, segmentCount * sizeof(sesim_tcmu_segment));
        refused = !SegmentsValid(segments, segmentCount);
    }
    if (entryLength < sizeof(sesim_tcmu_cmd_entry) || cdbOffset >= size_)
    {
        refused = true;
    }
    else
    {
        // Copy what may be the CDB, then keep only as much as its operation code says.
        const size_t available = std::min(kMaxCdbLength, size_ - static_cast<size_t>(cdbOffset));
        memcpy(x.cdb, base_ + cdbOffset, available);
        x.cdbLength = std::min(CdbLength(x.cdb), available);
        memset(x.cdb + x.cdbLength, 0, kMaxCdbLength - x.cdbLength);
    }

    uint64_t transferLength = 0;
    if (!refused)
    {
        for (uint32_t i = 0; i < segmentCount; i++)
        {
            transferLength += segments[i].length;
        }
        refused = transferLength > kMaxTransferLength;
    }
    if (refused)
    {
        segmentCount = 0;
        x.status = kStatusCheckCondition;
        x.senseLength = BuildSense(x.sense, sizeof(x.sense), false, kSenseIllegalRequest, kAscInvalidFieldInCdb, 0,
                                   FieldPointer{false, false, 0, -1});
    }
    else
    {
        x.direction = transferLength == 0 ? Direction::None : DataDirection(x.cdb[0]);
        if (x.direction == Direction::Out)
        {
            size_t at = 0;
            for (uint32_t i = 0; i < segmentCount; i++)
            {
                memcpy(transfer_.data() + at, base_ + segments[i].offset, segments[i].length);
                at += segments[i].length;
            }
            x.dataOut = transfer_.data();
            x.dataOutLength = at;
        }
        else if (x.direction == Direction::In)
        {
            x.dataIn = transfer_.data();
            x.dataInCapacity = transferLength;
        }
        responder.Execute(x);
        x.senseLength = std::min(x.senseLength, kSenseLength);
        x.dataInLength = std::min(x.dataInLength, x.dataInCapacity);
    }

    // The kernel copies sense only with CHECK CONDITION, and data only without it.
    entry->rsp.scsi_status = x.status;
    entry->rsp.pad1 = 0;
    entry->rsp.pad2 = 0;
    entry->rsp.read_len = 0;
    memset(entry->rsp.sense_buffer, 0, sizeof(entry->rsp.sense_buffer));
    if (x.status == kStatusCheckCondition)
    {
        memcpy(entry->rsp.sense_buffer, x.sense, x.senseLength);
    }
    else if (x.direction == Direction::In)
    {
        size_t at = 0;
        for (uint32_t i = 0; i < segmentCount && at < x.dataInLength; i++)
        {
            const size_t piece = std::min(static_cast<size_t>(segments[i].length), x.dataInLength - at);
            memcpy(base_ + segments[i].offset, transfer_.data() + at, piece);
            at += piece;
        }
        // Without the READ_LEN capability the initiator sees the whole transfer as sent.
        if (mailbox->flags & SESIM_TCMU_MAILBOX_FLAG_CAP_READ_LEN)
        {
            entry->hdr.uflags |= SESIM_TCMU_UFLAG_READ_LEN;
            entry->rsp.read_len = static_cast<uint32_t>(x.dataInLength);
        }
    }
}

UioDevice::~UioDevice()
{
    if (base_ != nullptr)
    {
        munmap(base_, size_);
    }
    if (fd_ >= 0)
    {
        close(fd_);
    }
}

bool UioDevice::Open(const std::string& path, std::string* why)
{
    // The map size is published in sysfs under the device's name.
    const std::string name = path.substr(path.find_last_of('/') + 1);
    const std::string sizePath = "/sys/class/uio/" + name + "/maps/map0/size";
    FILE* sizeFile = fopen(sizePath.c_str(), "r");
    if (sizeFile == nullptr)
    {
        *why = sizePath + ": " + strerror(errno);
        return false;
    }
    char text[32] = {};
    const bool haveSize = fgets(text, sizeof(text), sizeFile) != nullptr;
    fclose(sizeFile);
    char* end = nullptr;
    const unsigned long long size = haveSize ? strtoull(text, &end, 0) : 0;
    if (size == 0 || size > SIZE_MAX)
    {
        *why = sizePath + ": no usable size";
        return false;
    }
    fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0)
    {
        *why = path + ": " + strerror(errno);
        return false;
    }
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (map == MAP_FAILED)
    {
        *why = path + ": mmap: " + strerror(errno);
        return false;
    }
    base_ = static_cast<uint8_t*>(map);
    size_ = size;
    return true;
}

bool UioDevice::WaitForWork(std::string* why)
{
    uint32_t events = 0;
    for (;;)
    {
        const ssize_t n = read(fd_, &events, sizeof(events));
        if (n == sizeof(events))
        {
            return true;
        }
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        *why = std::string("uio read: ") + (n < 0 ? strerror(errno) : "short read");
        return false;
    }
}

bool UioDevice::Kick(std::string* why)
{
    const uint32_t any = 0;
    if (write(fd_, &any, sizeof(any)) != sizeof(any))
    {
        *why = std::string("uio write: ") + strerror(errno);
        return false;
    }
    return true;
}

std::string Serve(UioDevice& device, Responder& responder)
{
    Ring ring(device.Base(), device.Size());
    std::string why;
    if (!ring.Check(&why))
    {
        return why;
    }
    for (;;)
    {
        // Work queued before the first wait (a restarted handler) is served at once.
        const long completed = ring.ProcessPending(responder, &why);
        if (completed < 0)
        {
            return why;
        }
        if (completed > 0 && !device.Kick(&why))
        {
            return why;
        }
        if (!device.WaitForWork(&why))
        {
            return why;
        }
    }
}

} // namespace sesim::tcmu
