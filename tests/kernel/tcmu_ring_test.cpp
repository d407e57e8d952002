// The TCMU ring handling of the kernel attachment, against a region laid out the way the
// kernel lays it out: mailbox, command ring, data area. The kernel's side is played here.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "tcmu_abi.h"
#include "tcmu_ring.h"

namespace
{

using sesim::tcmu::Direction;
using sesim::tcmu::Exchange;

constexpr uint32_t kRingOffset = 128; // the kernel puts the ring right after the mailbox
constexpr uint32_t kRingSize = 4096;
constexpr uint32_t kDataOffset = 8192;
constexpr size_t kRegionSize = kDataOffset + 64 * 1024;
constexpr uint8_t kUntouched = 0x5A;

constexpr uint8_t kInquiry[6] = {0x12, 0x00, 0x00, 0x00, 0x60, 0x00};
constexpr uint8_t kTestUnitReady[6] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kSendDiagnostic[6] = {0x1D, 0x10, 0x00, 0x00, 0x06, 0x00};
constexpr uint8_t kReadBuffer[10] = {0x3C, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFC, 0x00};

// The kernel's part: queues entries, publishes the head, reads replies.
class FakeKernel
{
  public:
    explicit FakeKernel(size_t regionSize = kRegionSize, uint16_t flags = SESIM_TCMU_MAILBOX_FLAG_CAP_READ_LEN)
        : words_((regionSize + 7) / 8), size_(regionSize)
    {
        memset(Base(), kUntouched, size_);
        auto* mailbox = Mailbox();
        memset(mailbox, 0, sizeof(*mailbox));
        mailbox->version = SESIM_TCMU_MAILBOX_VERSION;
        mailbox->flags = flags;
        mailbox->cmdr_off = kRingOffset;
        mailbox->cmdr_size = kRingSize;
        memset(Base() + kRingOffset, 0, kRingSize);
    }

    uint8_t* Base() { return reinterpret_cast<uint8_t*>(words_.data()); }
    size_t Size() const { return size_; }
    sesim_tcmu_mailbox* Mailbox() { return reinterpret_cast<sesim_tcmu_mailbox*>(Base()); }
    sesim_tcmu_cmd_entry* Entry(uint32_t at) { return reinterpret_cast<sesim_tcmu_cmd_entry*>(Base() + kRingOffset + at); }

    // Queues one command whose data segments hold the given bytes (data-out) or are that long
    // (data-in, filled with kUntouched); returns where its entry starts in the ring.
    uint32_t Queue(const uint8_t* cdb, size_t cdbLength, const std::vector<std::vector<uint8_t>>& segments)
    {
        const size_t segmentsAt = offsetof(sesim_tcmu_cmd_entry, req.iov);
        const uint32_t cdbAt = static_cast<uint32_t>(segmentsAt + segments.size() * sizeof(sesim_tcmu_segment));
        uint32_t length = static_cast<uint32_t>(std::max(sizeof(sesim_tcmu_cmd_entry), size_t{cdbAt} + cdbLength));
        length = (length + SESIM_TCMU_OP_ALIGN_SIZE - 1) & ~uint32_t{SESIM_TCMU_OP_ALIGN_SIZE - 1};
        if (kRingSize - head_ < length)
        {
            Pad(kRingSize - head_);
        }
        const uint32_t at = head_;
        uint8_t* entry = Base() + kRingOffset + at;
        memset(entry, 0, length);
        auto* header = reinterpret_cast<sesim_tcmu_entry_header*>(entry);
        header->len_op = length | SESIM_TCMU_OP_CMD;
        header->cmd_id = ++commandId_;
        auto* command = reinterpret_cast<sesim_tcmu_cmd_entry*>(entry);
        command->req.iov_cnt = static_cast<uint32_t>(segments.size());
        command->req.cdb_off = kRingOffset + at + cdbAt;
        memcpy(entry + cdbAt, cdb, cdbLength);
        for (size_t i = 0; i < segments.size(); i++)
        {
            sesim_tcmu_segment segment = {dataNext_, segments[i].size()};
            memcpy(entry + segmentsAt + i * sizeof(segment), &segment, sizeof(segment));
            memcpy(Base() + dataNext_, segments[i].data(), segments[i].size());
            dataNext_ += segments[i].size();
        }
        head_ = (head_ + length) % kRingSize;
        return at;
    }

    void Pad(uint32_t length)
    {
        auto* header = reinterpret_cast<sesim_tcmu_entry_header*>(Base() + kRingOffset + head_);
        header->len_op = length | SESIM_TCMU_OP_PAD;
        head_ = (head_ + length) % kRingSize;
    }

    // Moves the head (and the tail) to `at` with an empty ring, as after earlier traffic.
    void StartAt(uint32_t at)
    {
        head_ = at;
        Mailbox()->cmd_head = at;
        Mailbox()->cmd_tail = at;
    }

    void Publish() { Mailbox()->cmd_head = head_; }
    uint32_t Head() const { return head_; }
    void SetNextData(uint64_t offset) { dataNext_ = offset; }

  private:
    std::vector<uint64_t> words_; // 8-byte aligned like the kernel's mapping
    size_t size_;
    uint32_t head_ = 0;
    uint16_t commandId_ = 0;
    uint64_t dataNext_ = kDataOffset;
};

// Records what it was given and answers as told.
class ScriptedResponder : public sesim::tcmu::Responder
{
  public:
    void Execute(Exchange& x) override
    {
        calls++;
        cdbs.emplace_back(x.cdb, x.cdb + x.cdbLength);
        directions.push_back(x.direction);
        dataOut.assign(x.dataOut, x.dataOut + x.dataOutLength);
        capacity = x.dataInCapacity;
        if (x.dataIn != nullptr)
        {
            memset(x.dataIn, dataByte, std::min(x.dataInCapacity, dataLength));
        }
        x.dataInLength = dataLength;
        x.status = status;
        if (!sense.empty())
        {
            memcpy(x.sense, sense.data(), sense.size());
        }
        x.senseLength = sense.size();
    }

    int calls = 0;
    std::vector<std::vector<uint8_t>> cdbs;
    std::vector<Direction> directions;
    std::vector<uint8_t> dataOut;
    size_t capacity = 0;
    uint8_t status = 0;
    std::vector<uint8_t> sense;
    size_t dataLength = 0;
    uint8_t dataByte = 0xAB;
};

long Process(FakeKernel& kernel, sesim::tcmu::Responder& responder, std::string* why = nullptr)
{
    sesim::tcmu::Ring ring(kernel.Base(), kernel.Size());
    std::string ignored;
    EXPECT_TRUE(ring.Check(&ignored)) << ignored;
    return ring.ProcessPending(responder, why != nullptr ? why : &ignored);
}

std::vector<uint8_t> Fixed(uint8_t key, uint8_t asc, uint8_t ascq)
{
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = key;
    sense[7] = 10;
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

TEST(TcmuRingData, DataInReachesTheInitiatorWithItsLength)
{
    FakeKernel kernel;
    const uint32_t at = kernel.Queue(kInquiry, sizeof(kInquiry), {std::vector<uint8_t>(96, kUntouched)});
    kernel.Publish();
    ScriptedResponder responder;
    responder.dataLength = 36;

    EXPECT_EQ(Process(kernel, responder), 1);
    EXPECT_EQ(responder.directions.at(0), Direction::In);
    EXPECT_EQ(responder.capacity, 96u);
    EXPECT_EQ(responder.cdbs.at(0), std::vector<uint8_t>(kInquiry, kInquiry + 6));
    const uint8_t* data = kernel.Base() + kDataOffset;
    EXPECT_EQ(std::vector<uint8_t>(data, data + 36), std::vector<uint8_t>(36, 0xAB));
    EXPECT_EQ(data[36], kUntouched);
    auto* entry = kernel.Entry(at);
    EXPECT_EQ(entry->rsp.scsi_status, 0);
    EXPECT_TRUE(entry->hdr.uflags & SESIM_TCMU_UFLAG_READ_LEN);
    EXPECT_EQ(entry->rsp.read_len, 36u);
    EXPECT_EQ(kernel.Mailbox()->cmd_tail, kernel.Head());
}

TEST(TcmuRingData, DataInNeverExceedsTheInitiatorsTransferLength)
{
    FakeKernel kernel;
    const uint32_t at = kernel.Queue(kReadBuffer, sizeof(kReadBuffer), {std::vector<uint8_t>(16, kUntouched)});
    kernel.Publish();
    ScriptedResponder responder;
    responder.dataLength = 508; // what the allocation length allows, more than the initiator's buffer

    EXPECT_EQ(Process(kernel, responder), 1);
    EXPECT_EQ(kernel.Entry(at)->rsp.read_len, 16u);
    EXPECT_EQ(kernel.Base()[kDataOffset + 15], 0xAB);
    EXPECT_EQ(kernel.Base()[kDataOffset + 16], kUntouched);
}

TEST(TcmuRingData, DataOutIsGatheredFromEverySegment)
{
    FakeKernel kernel;
    const uint32_t at = kernel.Queue(kSendDiagnostic, sizeof(kSendDiagnostic), {{1, 2, 3, 4}, {5, 6}});
    kernel.Publish();
    ScriptedResponder responder;

    EXPECT_EQ(Process(kernel, responder), 1);
    EXPECT_EQ(responder.directions.at(0), Direction::Out);
    EXPECT_EQ(responder.dataOut, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_FALSE(kernel.Entry(at)->hdr.uflags & SESIM_TCMU_UFLAG_READ_LEN);
}

TEST(TcmuRingData, CommandWithoutDataHasNoDirection)
{
    FakeKernel kernel;
    kernel.Queue(kTestUnitReady, sizeof(kTestUnitReady), {});
    kernel.Publish();
    ScriptedResponder responder;

    EXPECT_EQ(Process(kernel, responder), 1);
    EXPECT_EQ(responder.directions.at(0), Direction::None);
    EXPECT_EQ(responder.capacity, 0u);
}

TEST(TcmuRingData, WithoutTheReadLengthCapabilityTheWholeTransferCounts)
{
    FakeKernel kernel(kRegionSize, 0);
    const uint32_t at = kernel.Queue(kInquiry, sizeof(kInquiry), {std::vector<uint8_t>(96, kUntouched)});
    kernel.Publish();
    ScriptedResponder responder;
    responder.dataLength = 36;

    EXPECT_EQ(Process(kernel, responder), 1);
    EXPECT_FALSE(kernel.Entry(at)->hdr.uflags & SESIM_TCMU_UFLAG_READ_LEN);
    EXPECT_EQ(kernel.Entry(at)->rsp.read_len, 0u);
}

TEST(TcmuRingStatus, CheckConditionCarriesTheSenseAndNoData)
{
    FakeKernel kernel;
    // Two segments, so that the reply's sense bytes lie over the request's segment list.
    const uint32_t at =
        kernel.Queue(kReadBuffer, sizeof(kReadBuffer), {std::vector<uint8_t>(8, kUntouched), std::vector<uint8_t>(8, kUntouched)});
    kernel.Publish();
    ScriptedResponder responder;
    responder.status = 0x02;
    responder.sense = Fixed(0x05, 0x20, 0x00);
    responder.dataLength = 16;

    EXPECT_EQ(Process(kernel, responder), 1);
    EXPECT_EQ(responder.capacity, 16u);
    auto* entry = kernel.Entry(at);
    EXPECT_EQ(entry->rsp.scsi_status, 0x02);
    EXPECT_EQ(std::vector<uint8_t>(entry->rsp.sense_buffer, entry->rsp.sense_buffer + 18), Fixed(0x05, 0x20, 0x00));
    EXPECT_EQ(std::vector<uint8_t>(entry->rsp.sense_buffer + 18, entry->rsp.sense_buffer + 96), std::vector<uint8_t>(78, 0));
    EXPECT_EQ(kernel.Base()[kDataOffset], kUntouched);
    EXPECT_FALSE(entry->hdr.uflags & SESIM_TCMU_UFLAG_READ_LEN);
}

TEST(TcmuRingStatus, SegmentOutsideTheRegionIsRefusedWithoutReachingTheDevice)
{
    FakeKernel kernel;
    kernel.SetNextData(kernel.Size() - 4);
    const uint32_t at = kernel.Queue(kInquiry, sizeof(kInquiry), {std::vector<uint8_t>(2, 0)});
    // The kernel's segment now runs past the end of the region.
    auto* entry = kernel.Entry(at);
    sesim_tcmu_segment segment;
    memcpy(&segment, reinterpret_cast<uint8_t*>(entry) + offsetof(sesim_tcmu_cmd_entry, req.iov), sizeof(segment));
    segment.length = 96;
    memcpy(reinterpret_cast<uint8_t*>(entry) + offsetof(sesim_tcmu_cmd_entry, req.iov), &segment, sizeof(segment));
    kernel.Publish();
    ScriptedResponder responder;

    EXPECT_EQ(Process(kernel, responder), 1);
    EXPECT_EQ(responder.calls, 0);
    EXPECT_EQ(entry->rsp.scsi_status, 0x02);
    EXPECT_EQ(entry->rsp.sense_buffer[2], 0x05);
    EXPECT_EQ(entry->rsp.sense_buffer[12], 0x24);
}

TEST(TcmuRingStatus, TransferAboveTheLimitIsRefused)
{
    FakeKernel kernel(kDataOffset + sesim::tcmu::kMaxTransferLength + 8);
    const uint32_t at = kernel.Queue(kSendDiagnostic, sizeof(kSendDiagnostic),
                                     {std::vector<uint8_t>(sesim::tcmu::kMaxTransferLength / 2, 1),
                                      std::vector<uint8_t>(sesim::tcmu::kMaxTransferLength / 2 + 1, 2)});
    kernel.Publish();
    ScriptedResponder responder;

    EXPECT_EQ(Process(kernel, responder), 1);
    EXPECT_EQ(responder.calls, 0);
    EXPECT_EQ(kernel.Entry(at)->rsp.scsi_status, 0x02);
    EXPECT_EQ(kernel.Entry(at)->rsp.sense_buffer[12], 0x24);
}

TEST(TcmuRingWalk, EveryQueuedCommandIsAnsweredInOrder)
{
    FakeKernel kernel;
    kernel.Queue(kTestUnitReady, sizeof(kTestUnitReady), {});
    kernel.Queue(kInquiry, sizeof(kInquiry), {std::vector<uint8_t>(96, 0)});
    kernel.Queue(kSendDiagnostic, sizeof(kSendDiagnostic), {{1, 2, 3, 4, 5, 6}});
    kernel.Publish();
    ScriptedResponder responder;

    EXPECT_EQ(Process(kernel, responder), 3);
    ASSERT_EQ(responder.cdbs.size(), 3u);
    EXPECT_EQ(responder.cdbs[0][0], 0x00);
    EXPECT_EQ(responder.cdbs[1][0], 0x12);
    EXPECT_EQ(responder.cdbs[2][0], 0x1D);
    EXPECT_EQ(kernel.Mailbox()->cmd_tail, kernel.Head());
    // Nothing new: nothing to do.
    EXPECT_EQ(Process(kernel, responder), 0);
}

TEST(TcmuRingWalk, PaddingIsSkippedAndTheRingWraps)
{
    FakeKernel kernel;
    kernel.StartAt(kRingSize - 64); // too little room for an entry with a segment: the kernel pads
    kernel.Queue(kInquiry, sizeof(kInquiry), {std::vector<uint8_t>(96, 0)});
    kernel.Publish();
    ASSERT_LT(kernel.Head(), kRingSize - 64);
    ScriptedResponder responder;

    EXPECT_EQ(Process(kernel, responder), 1);
    EXPECT_EQ(responder.calls, 1);
    EXPECT_EQ(kernel.Mailbox()->cmd_tail, kernel.Head());
}

TEST(TcmuRingWalk, AnEntryOfLengthZeroStopsServing)
{
    FakeKernel kernel;
    kernel.Pad(0);
    kernel.Mailbox()->cmd_head = 8;
    ScriptedResponder responder;
    std::string why;

    EXPECT_EQ(Process(kernel, responder, &why), -1);
    EXPECT_NE(why.find("length 0"), std::string::npos) << why;
    EXPECT_EQ(responder.calls, 0);
}

TEST(TcmuRingWalk, AMailboxOfAnotherVersionIsRejected)
{
    FakeKernel kernel;
    kernel.Mailbox()->version = 1;
    sesim::tcmu::Ring ring(kernel.Base(), kernel.Size());
    std::string why;
    EXPECT_FALSE(ring.Check(&why));
    EXPECT_NE(why.find("version"), std::string::npos);
}

TEST(TcmuCommandShape, DataDirectionFollowsTheOperationCode)
{
    EXPECT_EQ(sesim::tcmu::DataDirection(0x1D), Direction::Out); // SEND DIAGNOSTIC
    EXPECT_EQ(sesim::tcmu::DataDirection(0x3B), Direction::Out); // WRITE BUFFER
    EXPECT_EQ(sesim::tcmu::DataDirection(0x15), Direction::Out); // MODE SELECT(6)
    EXPECT_EQ(sesim::tcmu::DataDirection(0x1C), Direction::In);  // RECEIVE DIAGNOSTIC RESULTS
    EXPECT_EQ(sesim::tcmu::DataDirection(0x3C), Direction::In);  // READ BUFFER
    EXPECT_EQ(sesim::tcmu::DataDirection(0x03), Direction::In);  // REQUEST SENSE
    EXPECT_EQ(sesim::tcmu::DataDirection(0x00), Direction::None);
}

TEST(TcmuCommandShape, CdbLengthFollowsTheGroupCode)
{
    uint8_t cdb[8] = {};
    const std::pair<uint8_t, size_t> cases[] = {{0x12, 6}, {0x3C, 10}, {0x5A, 10}, {0xA0, 12}, {0x88, 16}, {0x9E, 16}};
    for (const auto& c : cases)
    {
        cdb[0] = c.first;
        EXPECT_EQ(sesim::tcmu::CdbLength(cdb), c.second) << std::hex << int{c.first};
    }
    cdb[0] = 0x7F;
    cdb[7] = 0x18;
    EXPECT_EQ(sesim::tcmu::CdbLength(cdb), 32u);
}

} // namespace
