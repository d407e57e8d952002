// fwpush in process: the verdict on one attempt to send a block, and commands that a stop
// cannot cut short.
#define FWPUSH_NO_MAIN
#include "fwpush.cpp" // NOLINT(bugprone-suspicious-include): a program is tested through its source

#include <gtest/gtest.h>

#include <string>

#include "vocabulary.h"

namespace
{

// An SG_IO request during which a SIGTERM arrives, and that completes with good status.
int AnswerSgIo(int, sg_io_hdr_t* header)
{
    raise(SIGTERM);
    header->status = header->host_status = header->driver_status = 0;
    return 0;
}

} // namespace

VOCAB_SG_IO_STAND_IN(AnswerSgIo)

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
    signal(SIGINT, SIG_IGN); // started ignored, as in a script's background job: stays ignored
    HoldStopSignals();
    uint8_t cdb[CDB6_LENGTH] = {SCSI_OP_TEST_UNIT_READY};
    HAL_SCSI_ResponseData_t response;
    // Had the stop been delivered, the test process would have died inside the command.
    EXPECT_EQ(SendCommand(&options, cdb, SCSI_INITIATOR_DATA_IN, NULL, 0, &response), OSW_STATUS_SUCCESS);
    EXPECT_EQ(PendingStop(), SIGTERM);
    raise(SIGINT);
    EXPECT_EQ(PendingStop(), SIGTERM);
    signal(SIGTERM, SIG_IGN); // discards the held stop before it is let through
    ReleaseStopSignals();
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    Cleanup(&options);
}

// Each row: the attempt, the status read after it, and the verdict with its line.
TEST(FwpushBlockVerdict, EachStatusAnswerGivesOneVerdictAndItsLine)
{
    const uint32_t at = 3 * 4072, length = 4072, big = 0x80000000u, any = DL_EXPECTED_OFFSET_ANY;
    const std::string retry = "Retrying block 3\n";
    struct Case
    {
        bool_t sendFailed;
        uint8_t code;
        uint32_t offset, expected, sends;
        BlockVerdict_t verdict;
        std::string message;
    } cases[] = {
        {FALSE, DL_STATUS_IN_PROGRESS, at, at + length, 1, BLOCK_ACCEPTED, ""},
        {FALSE, DL_STATUS_IN_PROGRESS, at, any, 1, BLOCK_ACCEPTED, ""},
        {FALSE, DL_STATUS_IN_PROGRESS, big, big, 4, BLOCK_RESEND, // offsets of 2 GiB and more print unsigned
         "Retrying Block 3, Download Status 1, Offset 2147483648, Expected Offset 2147483648 \n"},
        {TRUE, DL_STATUS_IN_PROGRESS, at, at, 4, BLOCK_RESEND, retry},
        {TRUE, DL_STATUS_IN_PROGRESS, at, any, 1, BLOCK_RESEND, retry}, // it cannot say whether the block came
        {TRUE, DL_STATUS_IN_PROGRESS, at, at, 5, BLOCK_FAILED, "Download Failed\n"},
        {TRUE, DL_STATUS_IN_PROGRESS, at, at + length, 5, BLOCK_ACCEPTED,
         "Enclosure thinks block 3 transfered. Continuing\n"},
        {TRUE, DL_STATUS_COMPLETE_ACTIVE, at, 0, 5, BLOCK_ACCEPTED, ""}, // the status after the block decides
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++)
    {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        DownloadStatus_t status;
        memset(&status, 0, sizeof(status));
        status.downloadStatus = c.code;
        status.expectedOffset = c.expected;
        char message[BLOCK_VERDICT_MESSAGE_LENGTH];
        EXPECT_EQ(DecideBlockAttempt(c.sendFailed, &status, 3, c.offset, length, c.sends, message, sizeof(message)),
                  c.verdict);
        EXPECT_EQ(std::string(message), c.message);
    }
}

} // namespace
