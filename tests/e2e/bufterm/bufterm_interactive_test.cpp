// bufterm at its prompt: lines read from a pipe, and sessions on a pseudo-terminal.

#include <signal.h>

#include <gtest/gtest.h>

#include "bufterm_expect.h"
#include "scsi.h"

using namespace bufterm_e2e;
using e2e::Enclosure;
using e2e::RunResult;

namespace
{

RunResult Session(const Enclosure& enclosure, const std::string& keys)
{
    e2e::RunOptions options;
    options.stdinData = keys;
    return enclosure.Run(Argv({Enclosure::kDevice}), options);
}

} // namespace

TEST(BuftermInteractive, OnlyTheExactExitWordEndsTheSessionAndShortLinesAreSkipped)
{
    Enclosure enclosure;
    RunResult r = Session(enclosure, "y\nquit \nQUIT\nquit\nrev\n");
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(SentCommands(enclosure), (std::vector<std::string>{"quit ", "QUIT"}));
    // The skipped line gets a fresh prompt; nothing after "quit" is read.
    EXPECT_EQ(r.out, kPrintedPrompt + "y\n" + kPrintedPrompt + "quit \nunknown command: quit (try help)\n" +
                         kPrintedPrompt + "QUIT\nunknown command: QUIT (try help)\n" + kPrintedPrompt + "quit\n\n");
}

TEST(BuftermInteractive, EndOfInputEndsTheSessionCleanly)
{
    Enclosure enclosure;
    RunResult r = Session(enclosure, "echo bye\n");
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(SentCommands(enclosure), (std::vector<std::string>{"echo bye"}));
    EXPECT_EQ(r.out, kPrintedPrompt + "echo bye\nbye\n" + kPrintedPrompt + "\n");
}

TEST(BuftermInteractive, A509CharacterLineIsSentWithoutEnter)
{
    Enclosure enclosure;
    const std::string line = "echo " + std::string(504, 'q');
    RunResult r = Session(enclosure, line + "quit\n");
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    std::vector<e2e::LogEntry> writes = WithOpcode(enclosure.Log(), SCSI_OP_WRITE_BUFFER);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(e2e::ToHex(writes[0].cdb), WriteBufferCdb(509));
}

TEST(BuftermInteractive, TransportFailureWhilePollingReturnsToThePrompt)
{
    // Commands: 1 REQUEST SENSE, 2 probe, 3 WRITE BUFFER, 4 its first poll fails.
    Enclosure enclosure({"--fault", "errno@cmd=4,errno=EIO"});
    RunResult r = Session(enclosure, "echo first\necho second\n");
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "scsiinit: Input/output error\n" + kReadFailed);
    EXPECT_EQ(SentCommands(enclosure), (std::vector<std::string>{"echo first", "echo second"}));
    EXPECT_EQ(r.out, kPrintedPrompt + "echo first\n" + kPrintedPrompt + "echo second\nsecond\n" + kPrintedPrompt + "\n");
}

namespace
{

e2e::PtyOptions Terminal()
{
    e2e::PtyOptions options;
    options.rawOutput = true;
    return options;
}

std::vector<std::string> UnderSimulator(const Enclosure& enclosure, const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {e2e::Bin("sesim"), "run", enclosure.Dir(), "--", Bufterm()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

bool IsRaw(const termios& settings)
{
    return (settings.c_lflag & (ICANON | ECHO)) == 0 && (settings.c_lflag & ISIG) != 0;
}

} // namespace

TEST(BuftermTerminal, NoArgumentsPrintsBannerAndUsageAndLeavesTheTerminalAsFound)
{
    e2e::PtySession pty({Bufterm()}, Terminal());
    RunResult r = pty.Finish();
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(SameSettings(pty.Settings(), pty.InitialSettings()));
}

TEST(BuftermTerminal, SessionRecallsTheLastCommandAndRestoresTheTerminalOnQuit)
{
    Enclosure enclosure;
    e2e::PtySession pty(UnderSimulator(enclosure, {Enclosure::kDevice}), Terminal());
    ASSERT_TRUE(pty.WaitFor(kPrintedPrompt)) << pty.Output() << pty.Err();
    EXPECT_TRUE(IsRaw(pty.Settings()));
    pty.Send("echo abc\r");
    ASSERT_TRUE(pty.WaitFor(kPrintedPrompt));
    EXPECT_EQ(pty.LastSegment().substr(0, 9), "echo abc\n");
    pty.Send("\x1b[A");
    // The recall blanks the prompt and redraws it with the line.
    std::string blank = std::string(8, '\b') + std::string(8, ' ') + std::string(8, '\b');
    ASSERT_TRUE(pty.WaitFor(blank + kPrompt + "echo abc"));
    pty.Send("\r");
    ASSERT_TRUE(pty.WaitFor(kPrintedPrompt));
    pty.Send("quit\r");
    RunResult r = pty.Finish();
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(SentCommands(enclosure), (std::vector<std::string>{"echo abc", "echo abc"}));
    EXPECT_TRUE(SameSettings(pty.Settings(), pty.InitialSettings()));
}

class BuftermTerminalSignal : public ::testing::TestWithParam<int>
{
};

TEST_P(BuftermTerminalSignal, TerminalIsRestoredBeforeTheSignalEndsTheProgram)
{
    const int signalNumber = GetParam();
    Enclosure enclosure;
    e2e::PtySession pty(UnderSimulator(enclosure, {Enclosure::kDevice}), Terminal());
    ASSERT_TRUE(pty.WaitFor(kPrintedPrompt)) << pty.Output() << pty.Err();
    ASSERT_TRUE(IsRaw(pty.Settings()));
    if (signalNumber == SIGINT)
        pty.Send("\x03"); // the interrupt key, as the operator presses it
    else
        kill(-pty.Pid(), signalNumber);
    RunResult r = pty.Finish();
    EXPECT_FALSE(r.timedOut);
    // sesim run becomes the program, so this is bufterm's own end: by the signal, as without
    // the handler.
    EXPECT_EQ(r.signal, signalNumber);
    EXPECT_TRUE(SameSettings(pty.Settings(), pty.InitialSettings()));
}

INSTANTIATE_TEST_SUITE_P(Signals, BuftermTerminalSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGINT    ? "Interrupt"
                                                : info.param == SIGTERM ? "Terminate"
                                                                        : "Hangup");
                         });
