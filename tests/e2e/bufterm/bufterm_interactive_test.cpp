// bufterm at its prompt: lines read from a pipe, and sessions on a pseudo-terminal.

#include <signal.h>
#include <sys/resource.h>

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

// A line that reaches the limit goes at once, whole; the rest of it up to Enter is dropped.
TEST(BuftermInteractive, AnOverlongLineIsSentWholeAtTheLimitAndItsTailDropped)
{
    Enclosure enclosure;
    const std::string line = "echo " + std::string(600, 'z');
    RunResult r = Session(enclosure, line + "\nrev\n");
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    std::vector<e2e::LogEntry> writes = WithOpcode(enclosure.Log(), SCSI_OP_WRITE_BUFFER);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(vocab::Hex(writes[0].cdb), WriteBufferCdb(509));
    EXPECT_EQ(e2e::ReadFile(enclosure.File("console.log")),
              "> " + line.substr(0, 509) + "\n" + std::string(504, 'z') + "\n> rev\nrevision 0100\n");
}

TEST(BuftermInteractive, TransportFailureWhilePollingReturnsToThePrompt)
{
    // Commands: 1 REQUEST SENSE, 2 INQUIRY, 3 probe, 4 WRITE BUFFER, 5 its first poll fails.
    Enclosure enclosure({"--fault", "errno@cmd=5,errno=EIO"});
    RunResult r = Session(enclosure, "echo first\necho second\n");
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "scsiinit: Input/output error\n" + kReadFailed);
    EXPECT_EQ(SentCommands(enclosure), (std::vector<std::string>{"echo first", "echo second"}));
    EXPECT_EQ(r.out, kPrintedPrompt + "echo first\n" + kPrintedPrompt + "echo second\nsecond\n" + kPrintedPrompt + "\n");
}

namespace
{

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

TEST(BuftermTerminal, SessionRecallsRedrawsAndRestoresTheTerminalOnQuit)
{
    Enclosure enclosure;
    e2e::PtySession pty(UnderSimulator(enclosure, {Enclosure::kDevice}));
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
    // Ctrl-Z gives the terminal back and takes it again with the line redrawn (in this session the
    // process group is orphaned, so the stop itself does not happen).
    pty.Send("ec");
    ASSERT_TRUE(pty.WaitFor("ec"));
    kill(pty.Pid(), SIGTSTP);
    ASSERT_TRUE(pty.WaitFor("\r" + kPrompt + "ec"));
    EXPECT_TRUE(IsRaw(pty.Settings()));
    pty.Send("ho abc\r");
    ASSERT_TRUE(pty.WaitFor(kPrintedPrompt));
    pty.Send("quit\r");
    RunResult r = pty.Finish();
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(SentCommands(enclosure), (std::vector<std::string>{"echo abc", "echo abc", "echo abc"}));
    EXPECT_TRUE(SameSettings(pty.Settings(), pty.InitialSettings()));
}

// Every other way a run ends, each with the terminal as it was found.
TEST(BuftermTerminal, EveryOtherEndingLeavesTheTerminalAsFound)
{
    // Ctrl-\ would otherwise leave a core file behind.
    const rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    const struct
    {
        std::vector<std::string> args;
        std::string keys; // typed at the prompt; without keys, `signal` is sent with kill
        int signal;       // the signal that ends the program; 0: it fails with exit status 1
    } endings[] = {
        {{Enclosure::kDevice}, "\x03", SIGINT}, {{Enclosure::kDevice}, "\x1c", SIGQUIT},
        {{Enclosure::kDevice}, "", SIGTERM},    {{Enclosure::kDevice}, "", SIGHUP},
        {{"/dev/sesim-absent"}, "", 0},         {{}, "", 0},
    };
    for (const auto& ending : endings)
    {
        SCOPED_TRACE(std::to_string(ending.signal) + (ending.args.empty() ? " no device" : " " + ending.args[0]));
        Enclosure enclosure;
        e2e::PtySession pty(UnderSimulator(enclosure, ending.args));
        if (ending.signal != 0)
        {
            EXPECT_TRUE(pty.WaitFor(kPrintedPrompt) && IsRaw(pty.Settings())) << pty.Output() << pty.Err();
            if (ending.keys.empty())
                kill(-pty.Pid(), ending.signal);
            else
                pty.Send(ending.keys);
        }
        RunResult r = pty.Finish();
        // sesim run becomes the program, so this is bufterm's own end: by the signal, as without
        // the handler.
        EXPECT_EQ(r.signal, ending.signal);
        EXPECT_EQ(r.exitStatus, ending.signal != 0 ? -1 : 1);
        EXPECT_EQ(r.err, ending.args.empty() ? kUsage : r.err);
        EXPECT_TRUE(SameSettings(pty.Settings(), pty.InitialSettings()));
    }
}
