// fwpush in process: the verdict on one attempt to send a block, and commands that a stop
// cannot cut short.
#define FWPUSH_NO_MAIN
#include "fwpush.cpp" // NOLINT(bugprone-suspicious-include): a program is tested through its source

#include <gtest/gtest.h>

#include <string>

#include "unit_support.h"

namespace
{

// What the stand-in driver saw of the stop recorded while it carried a command out.
sig_atomic_t g_stopSeenByDriver = -1;

// An SG_IO request that a SIGTERM interrupts, and that completes with good status.
int AnswerSgIo(int, sg_io_hdr_t* header)
{
    raise(SIGTERM);
    g_stopSeenByDriver = g_stopSignal;
    header->status = header->host_status = header->driver_status = 0;
    return 0;
}

} // namespace

UNIT_SG_IO_STAND_IN(AnswerSgIo)

namespace
{

// The driver would carry an interrupted command out anyway, or run it twice on a restarted
// call: the stop waits until the command has ended.
TEST(FwpushStop, ArrivesBetweenCommandsNeverDuringOne)
{
    CommandOptions_t options;
    DownloadStatus_t status;
    InitOptions(&options, &status);
    ASSERT_EQ(SCSI_Initiator_OpenDevice("/dev/null", &options.hDevice), OSW_STATUS_SUCCESS);
    CatchStopSignals();
    uint8_t cdb[CDB6_LENGTH] = {SCSI_OP_TEST_UNIT_READY};
    HAL_SCSI_ResponseData_t response;
    EXPECT_EQ(SendCommand(&options, cdb, SCSI_INITIATOR_DATA_IN, NULL, 0, &response), OSW_STATUS_SUCCESS);
    EXPECT_EQ(g_stopSeenByDriver, 0);
    EXPECT_EQ(g_stopSignal, SIGTERM);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    g_stopSignal = 0;
    Cleanup(&options);
}

TEST(FwpushBlockVerdict, EachStatusAnswerGivesOneVerdictAndItsLine)
{
    const uint32_t offset = 3 * 4072;
    const uint32_t length = 4072;
    const uint32_t big = 0x80000000u; // offsets of 2 GiB and more print unsigned
    struct Case
    {
        const char* what;
        bool_t sendFailed;
        uint8_t code;
        uint32_t offset;
        uint32_t expected;
        uint32_t sends;
        BlockVerdict_t verdict;
        std::string message;
    } cases[] = {
        {"taken", FALSE, DL_STATUS_IN_PROGRESS, offset, offset + length, 1, BLOCK_ACCEPTED, ""},
        {"any offset after a good send", FALSE, DL_STATUS_IN_PROGRESS, offset, DL_EXPECTED_OFFSET_ANY, 1,
         BLOCK_ACCEPTED, ""},
        {"dropped", FALSE, DL_STATUS_IN_PROGRESS, big, big, 4, BLOCK_RESEND,
         "Retrying Block 3, Download Status 1, Offset 2147483648, Expected Offset 2147483648 \n"},
        {"dropped a fifth time", FALSE, DL_STATUS_IN_PROGRESS, offset, offset, 5, BLOCK_FAILED, "Download Failed\n"},
        {"failed send, still awaited", TRUE, DL_STATUS_IN_PROGRESS, offset, offset, 4, BLOCK_RESEND,
         "Retrying block 3\n"},
        {"failed send to an enclosure that takes any offset", TRUE, DL_STATUS_IN_PROGRESS, offset,
         DL_EXPECTED_OFFSET_ANY, 1, BLOCK_RESEND, "Retrying block 3\n"},
        {"failed send a fifth time", TRUE, DL_STATUS_IN_PROGRESS, offset, offset, 5, BLOCK_FAILED, "Download Failed\n"},
        {"failed send the enclosure took", TRUE, DL_STATUS_IN_PROGRESS, offset, offset + length, 5, BLOCK_ACCEPTED,
         "Enclosure thinks block 3 transfered. Continuing\n"},
        // Any other status: the decoding after the block tells what became of it.
        {"failed send, then completion", TRUE, DL_STATUS_COMPLETE_ACTIVE, offset, 0, 5, BLOCK_ACCEPTED, ""},
        {"storing", FALSE, DL_STATUS_UPDATING, offset, offset, 1, BLOCK_ACCEPTED, ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        DownloadStatus_t status;
        memset(&status, 0, sizeof(status));
        status.downloadStatus = c.code;
        status.expectedOffset = c.expected;
        char message[BLOCK_VERDICT_MESSAGE_LENGTH];
        memset(message, 'x', sizeof(message));
        EXPECT_EQ(DecideBlockAttempt(c.sendFailed, &status, 3, c.offset, length, c.sends, message, sizeof(message)),
                  c.verdict);
        EXPECT_EQ(std::string(message), c.message);
    }
}

} // namespace
