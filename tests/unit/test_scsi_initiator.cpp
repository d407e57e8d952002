#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "scsi.h"
#include "scsi_initiator.h"
#include "vocabulary.h"

using vocab::StderrCapture;

// The ioctl of this executable stands in for the C library's for the initiator linked into it:
// it answers SG_IO as a device would, keeping a copy of the header it was given, and passes
// every other request through.
namespace
{

struct
{
    // The answer
    int error = 0; // non-zero: the ioctl fails with this errno
    uint8_t status = 0;
    uint16_t hostStatus = 0;
    std::vector<uint8_t> sense;
    // What arrived
    int calls = 0;
    int fd = -1;
    std::string path;
    int openFlags = 0;
    sg_io_hdr_t header = {};
    uint8_t senseOnEntry[SCSI_INITIATOR_SENSE_LENGTH] = {};
} g_device;

int AnswerSgIo(int fd, sg_io_hdr_t* header)
{
    g_device.calls++;
    g_device.fd = fd;
    g_device.header = *header;
    g_device.openFlags = fcntl(fd, F_GETFL);
    char link[64];
    char target[PATH_MAX] = {};
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof(target) - 1);
    g_device.path.assign(target, length > 0 ? (size_t)length : 0);
    if (header->sbp != nullptr && header->mx_sb_len >= sizeof(g_device.senseOnEntry))
        memcpy(g_device.senseOnEntry, header->sbp, sizeof(g_device.senseOnEntry));

    if (g_device.error != 0)
    {
        errno = g_device.error;
        return -1;
    }
    header->status = g_device.status;
    header->masked_status = (uint8_t)(g_device.status >> 1);
    header->host_status = g_device.hostStatus;
    size_t senseLength = g_device.sense.size() < header->mx_sb_len ? g_device.sense.size() : header->mx_sb_len;
    if (senseLength > 0)
        memcpy(header->sbp, g_device.sense.data(), senseLength);
    header->sb_len_wr = (uint8_t)senseLength;
    return 0;
}

} // namespace

VOCAB_SG_IO_STAND_IN(AnswerSgIo)

namespace
{

// The record as hex: status, sense key, ASC, ASCQ.
std::string Shown(const HAL_SCSI_ResponseData_t& r)
{
    return vocab::Hex(&r.status, sizeof(r));
}

class ScsiInitiator : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_device.error = 0;
        g_device.status = SCSI_STATUS_GOOD;
        g_device.hostStatus = 0;
        g_device.sense.clear();
        g_device.calls = 0;
        char pathTemplate[] = "/tmp/unit_sg_XXXXXX";
        int fd = mkstemp(pathTemplate);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = pathTemplate;
        ASSERT_EQ(0, SCSI_Initiator_OpenDevice(path_.c_str(), &device_));
    }

    void TearDown() override
    {
        if (device_ != nullptr)
            SCSI_Initiator_CloseDevice(device_);
        unlink(path_.c_str());
    }

    // Sends a TEST UNIT READY; returns the result code.
    OSW_STATUS Send(HAL_SCSI_ResponseData_t* record)
    {
        uint8_t cdb[6] = {SCSI_OP_TEST_UNIT_READY};
        return SCSI_Initiator_SendRequest(device_, cdb, sizeof(cdb), SCSI_INITIATOR_DATA_IN, nullptr, 0, record);
    }

    std::string path_;
    SCSI_Device_t device_ = nullptr;
};

} // namespace

// A header the driver cannot take (another interface id, no CDB, no sense buffer, flags or an
// I/O vector) fails every command of the e2e and kernel lanes; these are the fields those runs
// would not notice.
TEST_F(ScsiInitiator, HeaderCarriesTheRequestAsGiven)
{
    uint8_t cdb[10] = {SCSI_OP_READ_BUFFER, 0x01, 0x01};
    uint8_t data[512];
    HAL_SCSI_ResponseData_t record = {0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(0, SCSI_Initiator_SendRequest(device_, cdb, sizeof(cdb), 0, data, sizeof(data), &record));

    ASSERT_EQ(1, g_device.calls);
    const sg_io_hdr_t& h = g_device.header;
    EXPECT_EQ(path_, g_device.path) << "the ioctl goes to the opened node";
    EXPECT_EQ(O_RDWR | O_NONBLOCK, g_device.openFlags & (O_ACCMODE | O_NONBLOCK));
    EXPECT_EQ(SG_DXFER_FROM_DEV, h.dxfer_direction);
    EXPECT_EQ(10, h.cmd_len);
    EXPECT_EQ(512u, h.dxfer_len);
    EXPECT_EQ(32, h.mx_sb_len);
    EXPECT_EQ(60000u, h.timeout);
    EXPECT_EQ(2, h.pack_id);
}

TEST_F(ScsiInitiator, AnyNonZeroDirectionSendsDataAndTheCdbLengthIsCutTo8Bits)
{
    uint8_t cdb[16] = {SCSI_OP_SEND_DIAGNOSTIC};
    uint8_t data[4] = {};
    HAL_SCSI_ResponseData_t record = {};
    for (int direction : {1, 2, -1})
    {
        ASSERT_EQ(0, SCSI_Initiator_SendRequest(device_, cdb, 6, direction, data, sizeof(data), &record));
        EXPECT_EQ(SG_DXFER_TO_DEV, g_device.header.dxfer_direction) << direction;
    }
    ASSERT_EQ(0, SCSI_Initiator_SendRequest(device_, cdb, 0x106, 0, data, 0, &record));
    EXPECT_EQ(6, g_device.header.cmd_len);
    EXPECT_EQ(0u, g_device.header.dxfer_len);
    EXPECT_EQ(data, g_device.header.dxferp);
}

TEST_F(ScsiInitiator, AnswerDecidesTheResultAndTheCompletionRecord)
{
    const std::vector<uint8_t> fixed = vocab::FixedSense(0x05, 0x24, 0x01);
    struct Case
    {
        const char* what;
        int error;
        uint8_t status;
        uint16_t hostStatus;
        std::vector<uint8_t> sense;
        OSW_STATUS result;
        HAL_SCSI_ResponseData_t record;
        std::string err;
    } cases[] = {
        // GOOD, and statuses whose bits under the mask are GOOD, write only the status.
        {"good", 0, 0x00, 0, fixed, 0, {0x00, 0xFF, 0xFF, 0xFF}, ""},
        {"good with reserved bits", 0, 0x81, 0, fixed, 0, {0x00, 0xFF, 0xFF, 0xFF}, ""},
        {"reserved bits masked", 0, 0x80 | SCSI_STATUS_CHECK_CONDITION | 0x01, 0, fixed, 4, {0x02, 0x05, 0x24, 0x01}, ""},
        {"fixed current", 0, 0x02, 0, fixed, 4, {0x02, 0x05, 0x24, 0x01}, ""},
        {"fixed deferred, VALID bit", 0, 0x02, 0, vocab::FixedSense(0x05, 0x24, 0x01, 0xF1), 4, {0x02, 0x05, 0x24, 0x01}, ""},
        {"flag bits above the key", 0, 0x02, 0, vocab::FixedSense(0xE5, 0x24, 0x01), 4, {0x02, 0x05, 0x24, 0x01}, ""},
        {"unknown response code read as fixed", 0, 0x02, 0, vocab::FixedSense(0x05, 0x24, 0x01, 0x00), 4,
         {0x02, 0x05, 0x24, 0x01}, ""},
        {"the example sense of a rejected CDB field", 0, 0x02, 0,
         {0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x24, 0x00}, 4,
         {0x02, 0x05, 0x24, 0x00}, ""},
        {"descriptor 72", 0, 0x02, 0, {0x72, 0xF5, 0x24, 0x00, 0, 0, 0, 0}, 4, {0x02, 0x05, 0x24, 0x00}, ""},
        {"descriptor F3", 0, 0x02, 0, {0xF3, 0xF5, 0x24, 0x00, 0, 0, 0, 0}, 4, {0x02, 0x05, 0x24, 0x00}, ""},
        {"descriptor 7F", 0, 0x02, 0, {0x7F, 0xF5, 0x24, 0x00, 0, 0, 0, 0}, 4, {0x02, 0x05, 0x24, 0x00}, ""},
        // A transport failure leaves the record as it was.
        {"host error with good status", 0, 0x00, 0x0001, fixed, 5, {0xFF, 0xFF, 0xFF, 0xFF}, ""},
        {"host error with sense", 0, 0x02, 0x0001, fixed, 5, {0xFF, 0xFF, 0xFF, 0xFF}, ""},
        {"EIO", EIO, 0, 0, {}, 12, {0xFF, 0xFF, 0xFF, 0xFF}, std::string("scsiinit: ") + strerror(EIO) + "\n"},
        {"ENODEV", ENODEV, 0, 0, {}, 12, {0xFF, 0xFF, 0xFF, 0xFF}, std::string("scsiinit: ") + strerror(ENODEV) + "\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        g_device.error = c.error;
        g_device.status = c.status;
        g_device.hostStatus = c.hostStatus;
        g_device.sense = c.sense;
        HAL_SCSI_ResponseData_t record = {0xFF, 0xFF, 0xFF, 0xFF};
        StderrCapture capture;
        EXPECT_EQ(c.result, Send(&record));
        EXPECT_EQ(c.err, capture.Text());
        EXPECT_EQ(Shown(c.record), Shown(record));
    }
}

TEST_F(ScsiInitiator, StatusWithoutSenseNeverShowsAnEarlierCommandsSense)
{
    g_device.status = SCSI_STATUS_CHECK_CONDITION;
    g_device.sense = vocab::FixedSense(0x03, 0x11, 0x05);
    HAL_SCSI_ResponseData_t record = {};
    ASSERT_EQ(4, Send(&record));
    ASSERT_EQ(Shown(record), "02031105");

    for (uint8_t status : {SCSI_STATUS_BUSY, SCSI_STATUS_RESERVATION_CONFLICT})
    {
        g_device.status = status;
        g_device.sense.clear();
        record = {0xFF, 0xFF, 0xFF, 0xFF};
        EXPECT_EQ(4, Send(&record));
        EXPECT_EQ(Shown(record), Shown({status, 0, 0, 0}));
        uint8_t clear[SCSI_INITIATOR_SENSE_LENGTH] = {};
        EXPECT_EQ(0, memcmp(clear, g_device.senseOnEntry, sizeof(clear))) << "sense buffer not cleared";
    }
}

TEST_F(ScsiInitiator, CloseReleasesTheDescriptor)
{
    HAL_SCSI_ResponseData_t record = {};
    ASSERT_EQ(0, Send(&record));
    int fd = g_device.fd;
    ASSERT_NE(-1, fcntl(fd, F_GETFD));
    SCSI_Initiator_CloseDevice(device_);
    device_ = nullptr;
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
    EXPECT_EQ(EBADF, errno);
}

TEST(ScsiInitiatorOpen, UnopenablePathFailsSilentlyAndLeavesTheHandle)
{
    // A handle value that points nowhere: the call must leave it as it was.
    SCSI_Device_t sentinel = (SCSI_Device_t)(uintptr_t)0x5a5a5a50; // NOLINT(performance-no-int-to-ptr)
    SCSI_Device_t handle = sentinel;
    StderrCapture capture;
    EXPECT_EQ(4, SCSI_Initiator_OpenDevice("/nonexistent/unit/sg0", &handle));
    EXPECT_EQ(4, SCSI_Initiator_OpenDevice("", &handle));
    EXPECT_EQ("", capture.Text());
    EXPECT_EQ(sentinel, handle);
}
