// bufterm with the command on its command line, and the start-up that every run goes through.

#include <chrono>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

#include "bufterm_expect.h"
#include "scsi.h"

using namespace bufterm_e2e;
using e2e::Enclosure;
using e2e::RunResult;

TEST(BuftermStartup, ClearsSenseProbesTheConsoleThenSendsTheCommand)
{
    Enclosure enclosure;
    RunResult r = enclosure.Run(Argv({Enclosure::kDevice, "status"}));
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The unit attention is gone by the time the interpreter answers.
    EXPECT_EQ(r.out, "\ndownload status 0x00\ngeneration code 0\nunit attention none\n");
    std::vector<e2e::LogEntry> log = enclosure.Log();
    ASSERT_GE(log.size(), 5u);
    // The power-on unit attention is taken by REQUEST SENSE, so the console commands run clean;
    // INQUIRY shows an enclosure before any buffer command goes out.
    EXPECT_EQ(vocab::Hex(log[0].cdb), kRequestSenseCdb);
    EXPECT_EQ(log[0].dinLength, 16u);
    EXPECT_EQ(vocab::Hex(log[1].cdb), kInquiryCdb);
    EXPECT_EQ(vocab::Hex(log[2].cdb), kReadBufferCdb);
    EXPECT_EQ(vocab::Hex(log[3].cdb), WriteBufferCdb(6));
    EXPECT_EQ(log[3].doutLength, 9u);
    EXPECT_EQ(vocab::Hex(log[3].dout), CommandMessageHex("status"));
    for (size_t i = 0; i < log.size(); i++)
    {
        EXPECT_TRUE(i < 4 || vocab::Hex(log[i].cdb) == kReadBufferCdb) << log[i].line;
        EXPECT_EQ(log[i].status, SCSI_STATUS_GOOD) << log[i].line;
    }
}

TEST(BuftermStartup, PendingOutputIsShownOnlyAtThePrompt)
{
    // Three responses with the pending flag set, then one without.
    const std::vector<std::string> init = {"--pending-output", "one|", "--pending-output", "two|",
                                           "--pending-output", "three|", "--pending-output", "four|"};
    Enclosure interactive(init);
    e2e::RunOptions options;
    options.stdinData = "quit\n";
    RunResult r = interactive.Run(Argv({Enclosure::kDevice}), options);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "one|two|three|four|" + kPrintedPrompt + "quit\n\n");
    EXPECT_EQ(WithOpcode(interactive.Log(), SCSI_OP_READ_BUFFER).size(), 4u);

    Enclosure oneShot(init);
    r = oneShot.Run(Argv({Enclosure::kDevice, "rev"}));
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out.find('|'), std::string::npos) << r.out;
}

// Each row: the command on the command line, and the one WRITE BUFFER it makes (its text of up to
// 509 characters with the NUL; a single character is a command too) or, empty, none at all.
TEST(BuftermOneShot, TheCommandGoesInOneWriteBufferCutTo509Characters)
{
    const std::string longCommand = "echo " + std::string(600, 'z');
    const struct
    {
        std::string command;
        std::string sent;
        int exitStatus;
        std::string err, out;
    } rows[] = {
        {"x", "x", 0, "", "\nunknown command: x (try help)\n"},
        {longCommand, longCommand.substr(0, 509), 0, "", "\n" + std::string(504, 'z') + "\n"},
        {"", "", 1, kSendFailed, "\n"},
    };
    for (const auto& row : rows)
    {
        Enclosure enclosure;
        RunResult r = enclosure.Run(Argv({Enclosure::kDevice, row.command}));
        EXPECT_EQ(r.exitStatus, row.exitStatus);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.out, row.out);
        std::vector<e2e::LogEntry> writes = WithOpcode(enclosure.Log(), SCSI_OP_WRITE_BUFFER);
        ASSERT_EQ(writes.size(), row.sent.empty() ? 0u : 1u);
        if (!row.sent.empty())
        {
            EXPECT_EQ(vocab::Hex(writes[0].cdb), WriteBufferCdb(row.sent.size()));
            EXPECT_EQ(writes[0].doutLength, row.sent.size() + 3);
            EXPECT_EQ(vocab::Hex(writes[0].dout), CommandMessageHex(row.sent).substr(0, 2 * writes[0].dout.size()));
        }
    }
}

TEST(BuftermOneShot, OutputSpreadOverSeveralResponsesIsPrintedWhole)
{
    Enclosure enclosure;
    RunResult r = enclosure.Run(Argv({Enclosure::kDevice, "log 40"}));
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    std::string expected = "\n";
    for (int i = 1; i <= 40; i++)
        expected += "event " + std::to_string(i) + " of 40: all elements OK\n";
    EXPECT_EQ(r.out, expected);
    // One probe, then polls while the device reports output pending, and not one more.
    std::vector<e2e::LogEntry> reads = WithOpcode(enclosure.Log(), SCSI_OP_READ_BUFFER);
    ASSERT_GE(reads.size(), 4u);
    for (size_t i = 1; i + 1 < reads.size(); i++)
    {
        EXPECT_NE(reads[i].note.find("pending"), std::string::npos) << reads[i].line;
    }
    EXPECT_EQ(reads.back().note.find("pending"), std::string::npos) << reads.back().line;
}

TEST(BuftermOneShot, EmptyPendingResponsesPrintNothingAndArePolledAgain)
{
    Enclosure enclosure;
    auto start = std::chrono::steady_clock::now();
    // Long enough that even a loaded machine, whose 10 ms pauses stretch, polls several times.
    RunResult r = enclosure.Run(Argv({Enclosure::kDevice, "sleep 200"}));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "\nslept 200 ms\n");
    // The 10 ms pauses, one after the WRITE BUFFER and one after each poll, pace the polling:
    // several polls, but no busy loop.
    size_t polls = WithOpcode(enclosure.Log(), SCSI_OP_READ_BUFFER).size() - 1;
    EXPECT_GE(polls, 3u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(10 * (polls + 1)));
}

// Each row: an enclosure (its init options) for a one-shot run of "echo hello". Commands:
// 1 REQUEST SENSE, 2 INQUIRY, 3 the probe, 4 WRITE BUFFER, 5 the first poll.
TEST(BuftermOneShot, DeviceConditionsEndTheRunWithTheirOwnMessage)
{
    struct Case
    {
        std::string init;
        int exitStatus;
        std::string err;
        std::string out; // "" when the run never reached the console command
    } cases[] = {
        // The field claims more text than came: only what the device sent is shown, never
        // leftovers of the command message that filled the buffer before.
        {"--fault bad-length@cmd=5,value=507", 0, "", "\nhello\n"},
        {"--fault bad-length@cmd=5,value=508", 1, kReadFailed, "\n"},
        {"--fault bad-length@cmd=3,value=508", 1, kNotSupported, ""},
        {"--no-read-buffer", 1, "Send failed: Sense 02,05,20,00\n" + kNotSupported, ""},
        {"--fault errno@cmd=1,errno=EIO", 1,
         "scsiinit: Input/output error\nFailed to clear sense data on target\n", ""},
        {"--fault check@cmd=2,sense=05/24/00", 1,
         "Send failed: Sense 02,05,24,00\nFailed to read inquiry data from target\n", ""},
        {"--fault check@cmd=4,sense=05/24/00", 1, "Send failed: Sense 02,05,24,00\n" + kSendFailed, "\n"},
        {"--fault check@cmd=5,sense=04/44/00", 1, "Send failed: Sense 02,04,44,00\n" + kReadFailed, "\n"},
        // A transport failure loses the rest of the output too, so the run cannot end as a success.
        {"--fault errno@cmd=5,errno=EIO", 1, "scsiinit: Input/output error\n" + kReadFailed, "\n"},
        // Only an enclosure services device (type 0Dh, or EncServ set) gets a console command.
        {"--device-type 0 --no-encserv", 1, "Device /dev/sesim0 is not an enclosure services device\n", ""},
        {"--device-type 0 --encserv", 0, "", "\nhello\n"},
        {"--device-type 13 --no-encserv", 0, "", "\nhello\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.init);
        std::istringstream words(c.init);
        Enclosure enclosure({std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()});
        RunResult r = enclosure.Run(Argv({Enclosure::kDevice, "echo hello"}));
        EXPECT_EQ(r.exitStatus, c.exitStatus);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, c.out);
    }
    RunResult r = e2e::Run(Argv({"/nonexistent/sg0", "rev"}));
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "Unable to open SCSI target device\n");
}
