// The TCMU ring handling of the kernel attachment, against a region laid out the way the
// kernel lays it out: mailbox, command ring, data area. The kernel's side is played here.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "tcmu_abi.h"
#include "tcmu_ring.h"
#include "vocabulary.h"

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
            Pad(kRingSize - head_);
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
        cdbs.emplace_back(x.cdb, x.cdb + x.cdbLength);
        directions.push_back(x.direction);
        dataOut.assign(x.dataOut, x.dataOut + x.dataOutLength);
        capacity = x.dataInCapacity;
        if (x.dataIn != nullptr)
            memset(x.dataIn, dataByte, std::min(x.dataInCapacity, dataLength));
        x.dataInLength = dataLength;
        x.status = status;
        if (!sense.empty())
            memcpy(x.sense, sense.data(), sense.size());
        x.senseLength = sense.size();
    }

    std::vector<std::vector<uint8_t>> cdbs;
    std::vector<Direction> directions;
    std::vector<uint8_t> dataOut;
    size_t capacity = 0;
    uint8_t status = 0;
    std::vector<uint8_t> sense;
    size_t dataLength = 0;
    uint8_t dataByte = 0xAB;
};

long Process(FakeKernel& kernel, sesim::tcmu::Responder& responder)
{
    sesim::tcmu::Ring ring(kernel.Base(), kernel.Size());
    std::string why;
    EXPECT_TRUE(ring.Check(&why)) << why;
    return ring.ProcessPending(responder, &why);
}

// One command through the ring: what the responder was handed, and what the kernel reads back.
// Every kernel-lane run sends single-segment commands with the read-length capability; these rows
// are what it never sends.
TEST(TcmuRingData, DirectionLengthAndStatusOfOneCommand)
{
    using Segments = std::vector<std::vector<uint8_t>>;
    const std::vector<uint8_t> none;
    struct Case
    {
        const char* name;
        std::vector<uint8_t> cdb;
        Segments segments;
        uint16_t flags;            // the mailbox's capabilities
        size_t answered;           // data-in bytes the responder produces
        uint8_t status;            // and its status; CHECK CONDITION carries fixed sense 05/20/00
        Direction direction;       // what the responder was handed
        size_t capacity;
        std::vector<uint8_t> dataOut;
        size_t written;            // data-in bytes that reached the initiator's segments
        long readLen;              // -1: no READ_LEN flag in the reply
    } cases[] = {
        // The allocation length allows 508, more than the initiator's buffer.
        {"clipped", {kReadBuffer, kReadBuffer + 10}, {std::vector<uint8_t>(16, kUntouched)},
         SESIM_TCMU_MAILBOX_FLAG_CAP_READ_LEN, 508, 0, Direction::In, 16, none, 16, 16},
        {"data-out gathered", {kSendDiagnostic, kSendDiagnostic + 6}, {{1, 2, 3, 4}, {5, 6}},
         SESIM_TCMU_MAILBOX_FLAG_CAP_READ_LEN, 0, 0, Direction::Out, 0, {1, 2, 3, 4, 5, 6}, 0, -1},
        // Without the capability the whole transfer counts.
        {"no read-length capability", {kInquiry, kInquiry + 6}, {std::vector<uint8_t>(96, kUntouched)}, 0, 36, 0,
         Direction::In, 96, none, 36, -1},
        // Two segments, so that the reply's sense bytes lie over the request's segment list.
        {"check condition", {kReadBuffer, kReadBuffer + 10},
         {std::vector<uint8_t>(8, kUntouched), std::vector<uint8_t>(8, kUntouched)},
         SESIM_TCMU_MAILBOX_FLAG_CAP_READ_LEN, 16, 0x02, Direction::In, 16, none, 0, -1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        FakeKernel kernel(kRegionSize, c.flags);
        const uint32_t at = kernel.Queue(c.cdb.data(), c.cdb.size(), c.segments);
        kernel.Publish();
        ScriptedResponder responder;
        responder.dataLength = c.answered;
        responder.status = c.status;
        if (c.status != 0)
            responder.sense = vocab::FixedSense(0x05, 0x20, 0x00);

        EXPECT_EQ(Process(kernel, responder), 1);
        EXPECT_EQ(responder.directions.at(0), c.direction);
        EXPECT_EQ(responder.cdbs.at(0), c.cdb);
        EXPECT_EQ(responder.capacity, c.capacity);
        EXPECT_EQ(responder.dataOut, c.dataOut);
        auto* entry = kernel.Entry(at);
        EXPECT_EQ(entry->rsp.scsi_status, c.status);
        if (c.direction == Direction::In)
        {
            const uint8_t* data = kernel.Base() + kDataOffset;
            EXPECT_EQ(std::vector<uint8_t>(data, data + c.written), std::vector<uint8_t>(c.written, 0xAB));
            EXPECT_EQ(data[c.written], kUntouched);
        }
        EXPECT_EQ((entry->hdr.uflags & SESIM_TCMU_UFLAG_READ_LEN) != 0, c.readLen >= 0);
        EXPECT_EQ(entry->rsp.read_len, c.readLen >= 0 ? (uint32_t)c.readLen : 0u);
        const uint8_t* sense = entry->rsp.sense_buffer;
        const std::vector<uint8_t> wanted = c.status != 0 ? vocab::FixedSense(0x05, 0x20, 0x00) : std::vector<uint8_t>(18, 0);
        EXPECT_EQ(std::vector<uint8_t>(sense, sense + 18), wanted);
        EXPECT_EQ(std::vector<uint8_t>(sense + 18, sense + 96), std::vector<uint8_t>(78, 0));
        EXPECT_EQ(kernel.Mailbox()->cmd_tail, kernel.Head());
    }
}

// Each row: the kernel's side spoilt one way. A command that asks for memory outside the region
// or too much of it is answered with INVALID FIELD IN CDB without reaching the device; a ring or
// mailbox that cannot be walked safely stops the serving, with the reason.
TEST(TcmuRingRefusals, MalformedEntriesNeverReachTheDevice)
{
    const struct
    {
        const char* name;
        void (*spoil)(FakeKernel& kernel);
        const char* why; // nullptr: the command is refused, and the walk goes on
    } rows[] = {
        {"segment outside the region",
         [](FakeKernel& k) {
             k.SetNextData(k.Size() - 4);
             uint8_t* iov = reinterpret_cast<uint8_t*>(k.Entry(k.Queue(kInquiry, sizeof(kInquiry), {{0, 0}}))) +
                            offsetof(sesim_tcmu_cmd_entry, req.iov);
             sesim_tcmu_segment segment;
             memcpy(&segment, iov, sizeof(segment));
             segment.length = 96;
             memcpy(iov, &segment, sizeof(segment));
         },
         nullptr},
        {"transfer above the limit",
         [](FakeKernel& k) {
             k.Queue(kSendDiagnostic, sizeof(kSendDiagnostic),
                     {std::vector<uint8_t>(sesim::tcmu::kMaxTransferLength / 2, 1),
                      std::vector<uint8_t>(sesim::tcmu::kMaxTransferLength / 2 + 1, 2)});
         },
         nullptr},
        {"entry of length zero",
         [](FakeKernel& k) {
             k.Pad(0);
             k.Mailbox()->cmd_head = 8;
         },
         "length 0"},
        {"head outside the ring",
         [](FakeKernel& k) {
             k.Queue(kTestUnitReady, sizeof(kTestUnitReady), {});
             k.Mailbox()->cmd_head = kRingSize;
         },
         "head"},
        {"mailbox of another version", [](FakeKernel& k) { k.Mailbox()->version = 1; }, "version"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        FakeKernel kernel(kDataOffset + sesim::tcmu::kMaxTransferLength + 8);
        row.spoil(kernel);
        if (kernel.Mailbox()->cmd_head == 0)
            kernel.Publish();
        ScriptedResponder responder;
        sesim::tcmu::Ring ring(kernel.Base(), kernel.Size());
        std::string why;
        long processed = ring.Check(&why) ? ring.ProcessPending(responder, &why) : -1;
        EXPECT_TRUE(responder.cdbs.empty());
        if (row.why != nullptr)
        {
            EXPECT_EQ(processed, -1);
            EXPECT_NE(why.find(row.why), std::string::npos) << why;
            EXPECT_EQ(kernel.Mailbox()->cmd_tail, 0u);
            continue;
        }
        EXPECT_EQ(processed, 1);
        auto* entry = kernel.Entry(0);
        EXPECT_EQ(entry->rsp.scsi_status, 0x02);
        EXPECT_EQ(vocab::SenseText(entry->rsp.sense_buffer, 18), "05/24/00");
    }
}

// Commands queued together are answered in order, past the padding that the kernel writes where
// an entry would not fit before the ring's end.
TEST(TcmuRingWalk, EveryQueuedCommandIsAnsweredInOrderAcrossTheRingsEnd)
{
    FakeKernel kernel;
    kernel.StartAt(kRingSize - 128);
    kernel.Queue(kTestUnitReady, sizeof(kTestUnitReady), {});
    kernel.Queue(kInquiry, sizeof(kInquiry), {std::vector<uint8_t>(96, 0)});
    kernel.Queue(kSendDiagnostic, sizeof(kSendDiagnostic), {{1, 2, 3, 4, 5, 6}});
    kernel.Publish();
    ASSERT_LT(kernel.Head(), kRingSize - 128) << "the queue did not wrap";
    ScriptedResponder responder;

    EXPECT_EQ(Process(kernel, responder), 3);
    ASSERT_EQ(responder.cdbs.size(), 3u);
    EXPECT_EQ(responder.cdbs[0][0], 0x00);
    EXPECT_EQ(responder.cdbs[1][0], 0x12);
    EXPECT_EQ(responder.cdbs[2][0], 0x1D);
    EXPECT_EQ(kernel.Mailbox()->cmd_tail, kernel.Head());
    EXPECT_EQ(Process(kernel, responder), 0) << "nothing new: nothing to do";
}

// The groups whose commands no kernel-lane run carries; the enclosure's own commands (6 and 10
// bytes, and their data directions) cross the ring in every one.
TEST(TcmuCommandShape, CdbLengthFollowsTheGroupCode)
{
    uint8_t cdb[8] = {};
    const std::pair<uint8_t, size_t> cases[] = {{0x5A, 10}, {0xA0, 12}, {0x88, 16}, {0x9E, 16}, {0xC7, 16}};
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
