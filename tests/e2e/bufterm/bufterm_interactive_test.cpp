// bufterm at its prompt: lines read from a pipe, and sessions on a pseudo-terminal.

#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "bufterm_expect.h"
#include "scsi.h"

using namespace bufterm_e2e;
using e2e::Enclosure;
using e2e::RunResult;

// Each row: the enclosure's faults, the lines typed (through a pipe), what the run shows ("":
// not compared) and what reached the console (its transcript). Only the exact exit word ends the
// session, and the end of input; a line under two characters gets a fresh prompt; a line that
// reaches the limit goes at once, whole, and the rest of it up to Enter is dropped; a transport
// failure while polling is reported and the prompt returns.
TEST(BuftermInteractive, LinesThroughAPipe)
{
    const std::string longLine = "echo " + std::string(600, 'z');
    const std::string p = kPrintedPrompt;
    const struct
    {
        std::vector<std::string> init;
        std::string keys, err, out, console;
    } rows[] = {
        {{}, "y\nquit \nQUIT\nquit\nrev\n", "",
         p + "y\n" + p + "quit \nunknown command: quit (try help)\n" + p + "QUIT\nunknown command: QUIT (try help)\n" + p +
             "quit\n\n",
         "> quit \nunknown command: quit (try help)\n> QUIT\nunknown command: QUIT (try help)\n"},
        {{}, "echo bye\n", "", p + "echo bye\nbye\n" + p + "\n", "> echo bye\nbye\n"},
        {{}, longLine + "\nrev\n", "", "",
         "> " + longLine.substr(0, 509) + "\n" + std::string(504, 'z') + "\n> rev\nrevision 0100\n"},
        // Commands: 1 REQUEST SENSE, 2 INQUIRY, 3 probe, 4 WRITE BUFFER, 5 its first poll fails.
        {{"--fault", "errno@cmd=5,errno=EIO"}, "echo first\necho second\n", "scsiinit: Input/output error\n" + kReadFailed,
         p + "echo first\n" + p + "echo second\nsecond\n" + p + "\n", "> echo first\n> echo second\nsecond\n"},
    };
    for (const auto& row : rows)
    {
        Enclosure enclosure(row.init);
        e2e::RunOptions options;
        options.stdinData = row.keys;
        RunResult r = enclosure.Run(Argv({Enclosure::kDevice}), options);
        EXPECT_EQ(r.exitStatus, 0) << row.keys;
        EXPECT_EQ(r.err, row.err);
        EXPECT_TRUE(row.out.empty() || r.out == row.out) << r.out;
        EXPECT_EQ(e2e::ReadFile(enclosure.File("console.log")), row.console);
    }
}

namespace
{

bool IsRaw(const termios& settings)
{
    return (settings.c_lflag & (ICANON | ECHO)) == 0 && (settings.c_lflag & ISIG) != 0;
}

} // namespace

TEST(BuftermTerminal, SessionRecallsRedrawsAndRestoresTheTerminalOnQuit)
{
    Enclosure enclosure;
    e2e::PtySession pty(enclosure.Attached(Argv({Enclosure::kDevice})));
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
        e2e::PtySession pty(enclosure.Attached(Argv(ending.args)));
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
