// bufterm in a real terminal emulator (tmux): the shell around the program (job control,
// redirections, nohup) and what the screen shows. Exact bytes, and every key, are the
// pseudo-terminal tests' business (tests/editor, bufterm_interactive_test.cpp).

#include <unistd.h>

#include <gtest/gtest.h>

#include "bufterm_expect.h"
#include "scsi.h"

using namespace bufterm_e2e;
using e2e::Enclosure;
using e2e::RunResult;

namespace
{

size_t Count(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        count++;
    return count;
}

// A tmux server on a socket of its own, without the user's configuration, with one window of a
// fixed size in UTF-8; it is killed with everything in it when the test ends.
class Tmux
{
  public:
    explicit Tmux(const std::string& command) : socket_("bufterm-e2e-" + std::to_string(getpid()))
    {
        RunResult r = Command({"new-session", "-d", "-s", "console", "-x", "100", "-y", "40", command});
        EXPECT_EQ(r.exitStatus, 0) << r.err << "(scripts/deps.sh installs tmux)";
    }
    ~Tmux() { Command({"kill-server"}); }

    RunResult Command(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv = {"tmux", "-u", "-L", socket_, "-f", "/dev/null"};
        argv.insert(argv.end(), args.begin(), args.end());
        e2e::RunOptions options;
        options.timeoutMs = 10000;
        options.env = {"TERM=xterm", "LANG=C.UTF-8"};
        return e2e::Run(argv, options);
    }
    void Keys(std::vector<std::string> keys) const
    {
        keys.insert(keys.begin(), {"send-keys", "-t", "console"});
        Command(keys);
    }
    void Type(const std::string& text) const { Keys({"-l", text}); }
    std::string Screen() const { return Command({"capture-pane", "-p", "-t", "console"}).out; }
    // Waits until the screen holds the text `times` times.
    ::testing::AssertionResult WaitForScreen(const std::string& text, size_t times = 1) const
    {
        std::string screen;
        if (vocab::WaitUntil([&] { return Count(screen = Screen(), text) >= times; }))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "screen never showed \"" << text << "\" " << times << " times:\n"
                                             << screen;
    }

  private:
    std::string socket_;
};

} // namespace

// The shell around the program: Ctrl-Z and fg, a run in the background, nohup and a hang-up,
// output to a full disk, closed descriptors (standard input closed: the end of input at once);
// the terminal settings are the same after each.
TEST(BuftermInTmux, TheShellAroundTheProgram)
{
    // Slow enough that a hang-up comes while the output of "log 1000" is still being read.
    Enclosure enclosure({"--latency-us", "20000"});
    e2e::TempDir work;
    // dash, which leaves the terminal settings as the stopped program left them (bash would put
    // its own back and hide a program that did not restore them).
    Tmux tmux("env PS1='$ ' ENV= sh -i");
    int step = 0;
    auto shell = [&](const std::string& command) {
        step++;
        tmux.Type(command + "; echo \"step $((" + std::to_string(step) + "))\"");
        tmux.Keys({"Enter"});
        // The typed line shows "$((N))": only the output reads "step N".
        return tmux.WaitForScreen("step " + std::to_string(step) + "\n");
    };
    const std::string bufterm =
        e2e::Bin("sesim") + " run " + enclosure.Dir() + " -- " + Bufterm() + " " + Enclosure::kDevice;
    ASSERT_TRUE(shell("stty -a >" + work.File("before")));

    // Started in the background, it stops when it would read a key; fg brings the prompt back.
    tmux.Type(bufterm + " &");
    tmux.Keys({"Enter"});
    ASSERT_TRUE(tmux.WaitForScreen(kPrompt));
    tmux.Type("fg");
    tmux.Keys({"Enter"});
    ASSERT_TRUE(tmux.WaitForScreen(kPrompt, 2));
    tmux.Type("echo ab");
    // Keys not yet read when Ctrl-Z comes would be flushed by the terminal.
    ASSERT_TRUE(tmux.WaitForScreen(kPrompt + "echo ab"));
    tmux.Keys({"C-z"});
    ASSERT_TRUE(tmux.WaitForScreen("Stopped  "));
    ASSERT_TRUE(shell("stty -a >" + work.File("stopped")));
    tmux.Type("fg");
    tmux.Keys({"Enter"});
    // Back in raw mode with the line redrawn: a key is taken at once and echoed once.
    ASSERT_TRUE(tmux.WaitForScreen(kPrompt + "echo ab", 2));
    tmux.Type("c");
    tmux.Keys({"Enter"});
    ASSERT_TRUE(tmux.WaitForScreen(kPrompt + "echo abc\nabc\n"));
    tmux.Type("quit");
    tmux.Keys({"Enter"});
    ASSERT_TRUE(shell("stty -a >" + work.File("after")));

    // A one-shot run in the background neither stops nor touches the terminal.
    ASSERT_TRUE(shell(bufterm + " 'log 200' >" + work.File("log.out") + " & wait $!; echo \"[bg $?]\""));
    ASSERT_TRUE(tmux.WaitForScreen("[bg 0]"));
    // Under nohup a hang-up does not cut the run short.
    ASSERT_TRUE(shell("nohup " + bufterm + " 'log 1000' </dev/null >" + work.File("nohup.out") +
                      " 2>&1 & until grep -q ' op=3b .*log 1000' " + enclosure.File("commands.log") +
                      "; do sleep 0.05; done; kill -HUP $!; wait $!; echo \"[nohup $?]\""));
    ASSERT_TRUE(tmux.WaitForScreen("[nohup 0]"));
    // Output lost to a full disk fails the run; closed descriptors behave as /dev/null (the device
    // and the enclosure's files never take their numbers).
    ASSERT_TRUE(shell(bufterm + " rev >/dev/full; echo \"[full $?]\"; " + bufterm + " <&-; echo \"[in $?]\"; " +
                      bufterm + " rev >&-; echo \"[out $?]\""));
    ASSERT_TRUE(tmux.WaitForScreen("Failed to write command output\n[full 1]\n"));
    ASSERT_TRUE(tmux.WaitForScreen(kPrompt + "\n[in 0]\n[out 0]\n"));
    ASSERT_TRUE(shell("stty -a >" + work.File("scripted")));

    const std::string before = e2e::ReadFile(work.File("before"));
    EXPECT_NE(before.find(" icanon "), std::string::npos) << before;
    for (const char* file : {"stopped", "after", "scripted"})
        EXPECT_EQ(e2e::ReadFile(work.File(file)), before) << file;
    EXPECT_EQ(SentCommands(enclosure),
              (std::vector<std::string>{"echo abc", "log 200", "log 1000", "rev", "rev"}));
    EXPECT_EQ(Count(e2e::ReadFile(work.File("log.out")), " of 200: all elements OK\n"), 200u);
    EXPECT_EQ(Count(e2e::ReadFile(work.File("nohup.out")), " of 1000: all elements OK\n"), 1000u);
    EXPECT_EQ(enclosure.Show("revision"), "0100");
}
