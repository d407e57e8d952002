// Interactive bufterm in a real terminal emulator (tmux): what the operator sees on the screen.

#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "bufterm_expect.h"

using namespace bufterm_e2e;
using e2e::Enclosure;
using e2e::RunResult;

namespace
{

// A tmux server on a socket of its own and without the user's configuration, so that parallel
// tests and the user's tmux never meet; it is killed with everything in it when the test ends.
class Tmux
{
  public:
    Tmux() : binary_("/usr/bin/tmux"), socket_("bufterm-e2e-" + std::to_string(getpid())) {}
    ~Tmux()
    {
        if (Available())
            Command({"kill-server"});
    }
    bool Available() const { return access(binary_.c_str(), X_OK) == 0; }

    RunResult Command(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv = {binary_, "-L", socket_, "-f", "/dev/null"};
        argv.insert(argv.end(), args.begin(), args.end());
        e2e::RunOptions options;
        options.timeoutMs = 10000;
        options.env = {"TERM=xterm"};
        return e2e::Run(argv, options);
    }

    std::string Screen() const { return Command({"capture-pane", "-p", "-t", "console"}).out; }

    // Polls the screen until it holds the text `times` times (bounded); returns the last screen.
    std::string WaitForScreen(const std::string& text, size_t times = 1) const
    {
        std::string screen;
        for (int attempt = 0; attempt < 100; attempt++)
        {
            screen = Screen();
            size_t count = 0;
            for (size_t at = screen.find(text); at != std::string::npos; at = screen.find(text, at + 1))
                count++;
            if (count >= times)
                return screen;
            struct timespec pause = {0, 50L * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        ADD_FAILURE() << "screen never showed \"" << text << "\" " << times << " times:\n" << screen;
        return screen;
    }

  private:
    std::string binary_;
    std::string socket_;
};

} // namespace

TEST(BuftermInTmux, PromptEchoRecallAndAnswersOnTheScreen)
{
    Tmux tmux;
    ASSERT_TRUE(tmux.Available()) << "tmux is not installed (scripts/deps.sh installs it)";
    Enclosure enclosure;
    // The shell reports the exit status on the screen and keeps the pane open for the last look
    // (tmux's own dead-pane notice depends on it catching every SIGCHLD, which it does not always).
    std::string command = e2e::Bin("sesim") + " run " + enclosure.Dir() + " -- " + Bufterm() + " " +
                          Enclosure::kDevice + "; echo \"[exit $?]\"; exec sleep 60";
    RunResult r = tmux.Command({"new-session", "-d", "-s", "console", "-x", "100", "-y", "30", command});
    ASSERT_EQ(r.exitStatus, 0) << r.err;

    tmux.WaitForScreen(kPrompt);
    tmux.Command({"send-keys", "-t", "console", "echo on screen", "Enter"});
    tmux.WaitForScreen(kPrompt, 2);
    tmux.Command({"send-keys", "-t", "console", "Up"});
    tmux.WaitForScreen(kPrompt + "echo on screen", 2);
    tmux.Command({"send-keys", "-t", "console", "Enter"});
    tmux.WaitForScreen(kPrompt, 3);
    tmux.Command({"send-keys", "-t", "console", "quit", "Enter"});
    tmux.WaitForScreen("[exit ");

    std::string screen = tmux.Screen();
    // Typed and recalled command lines, the interpreter's answers, and the final prompt.
    EXPECT_NE(screen.find(kPrompt + "echo on screen\n"), std::string::npos) << screen;
    size_t first = screen.find(kPrompt + "echo on screen\n");
    size_t second = screen.find(kPrompt + "echo on screen\n", first + 1);
    EXPECT_NE(second, std::string::npos) << screen;
    EXPECT_NE(screen.find("on screen", first + kPrompt.size() + 15), std::string::npos) << screen;
    EXPECT_NE(screen.find("on screen", second + kPrompt.size() + 15), std::string::npos) << screen;
    EXPECT_NE(screen.find(kPrompt + "quit\n\n[exit 0]"), std::string::npos) << screen;
    EXPECT_EQ(SentCommands(enclosure), (std::vector<std::string>{"echo on screen", "echo on screen"}));
}
