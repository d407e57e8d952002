// The enclosure's state directory under kill -9: 100 downloads by fwpush, each killed (the whole
// process group, program and attachment) at a random moment, from before the first command to
// after the last. Every state directory must still load and show the enclosure either before or
// after the command that was cut off, never a mixture; and it must take the next download.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "e2e_support.h"

using e2e::Enclosure;
using e2e::RunResult;

namespace
{

constexpr int kDownloads = 100;
constexpr uint32_t kImageSize = 20000;
constexpr uint32_t kPageLength = 1024;
constexpr uint32_t kBlockSize = kPageLength - 24;
// Each command takes a little longer than the kill's jitter, so the kill lands anywhere inside
// one: in the model, in the state save, in the log append.
const std::vector<std::string> kInit = {"--latency-us", "300", "--busy-reads", "3"};
constexpr int kMaxJitterUs = 400;
// Commands of a clean run: identification, idle wait, 20 blocks with their status reads, the
// storage phase and, with -a, the activation.
constexpr int kMaxKillCommand = 50;
constexpr int kRunLimitMs = 30000;
// Every this many rounds, the interrupted enclosure must also take a whole new download.
constexpr int kRedownloadEvery = 10;

long long NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

size_t LinesIn(const std::string& path)
{
    std::string text = e2e::ReadFile(path);
    return (size_t)std::count(text.begin(), text.end(), '\n');
}

// Runs argv in a process group of its own, output discarded, and kills the group with SIGKILL
// once the command log has `afterCommands` lines plus a jitter; true when the kill came before
// the run ended by itself.
bool RunAndKill(const std::vector<std::string>& argv, const std::string& log, size_t afterCommands, int jitterUs)
{
    pid_t pid = fork();
    if (pid == 0)
    {
        setpgid(0, 0);
        int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 1);
        dup2(devNull, 2);
        std::vector<std::string> copy = argv;
        std::vector<char*> args;
        for (std::string& a : copy)
            args.push_back(&a[0]);
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    setpgid(pid, pid); // either side may run first
    long long deadline = NowMs() + kRunLimitMs;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0)
    {
        if (LinesIn(log) >= afterCommands || NowMs() > deadline)
        {
            usleep((useconds_t)jitterUs);
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            return WIFSIGNALED(status);
        }
        usleep(100);
    }
    return false;
}

std::string ShowValue(const std::string& show, const std::string& key)
{
    size_t at = show.find(key + ": ");
    if (at == std::string::npos)
    {
        return "";
    }
    at += key.size() + 2;
    return show.substr(at, show.find('\n', at) - at);
}

// The image file of a download in progress holds the image's bytes up to the expected offset
// (and may already hold the next block, whose command the kill cut off).
bool SomeImageFileHoldsPrefix(const Enclosure& enclosure, const std::string& image, uint32_t length)
{
    for (const auto& entry : std::filesystem::directory_iterator(enclosure.Dir() + "/images"))
    {
        std::string bytes = e2e::ReadFile(entry.path().string());
        if (bytes.size() >= length && bytes.compare(0, length, image, 0, length) == 0)
        {
            return true;
        }
    }
    return false;
}

} // namespace

TEST(StateUnderKill, EveryInterruptedDownloadLeavesAStateBeforeOrAfterItsLastCommand)
{
    e2e::TempDir work;
    std::string imagePath = work.File("fw.img");
    RunResult made = e2e::Run({e2e::Bin("sesim"), "mkimage", "--revision", "0300", "--size",
                               std::to_string(kImageSize), imagePath});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    const std::string image = e2e::ReadFile(imagePath);
    const std::string newImage =
        "revision 0300 size " + std::to_string(kImageSize) + " sha256 " + e2e::Sha256Hex(imagePath);

    // Reproducible by default; SES_KILL_SEED picks other kill points.
    const char* seedText = getenv("SES_KILL_SEED");
    unsigned seed = seedText != nullptr ? (unsigned)strtoul(seedText, nullptr, 0) : 20240611u;
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> killCommand(0, kMaxKillCommand);
    std::uniform_int_distribution<int> jitterUs(0, kMaxJitterUs);
    const std::vector<std::vector<std::string>> modes = {{}, {"-d"}, {"-a"}};

    int killed = 0, midDownload = 0;
    std::string oldImage;
    for (int round = 0; round < kDownloads; round++)
    {
        SCOPED_TRACE("download " + std::to_string(round) + ", seed " + std::to_string(seed));
        Enclosure enclosure(kInit);
        if (round == 0)
        {
            oldImage = enclosure.Show("active image"); // the same on every new enclosure
        }
        std::vector<std::string> argv = {e2e::Bin("fwpush"), "-p=" + std::to_string(kPageLength)};
        const std::vector<std::string>& mode = modes[(size_t)round % modes.size()];
        argv.insert(argv.end(), mode.begin(), mode.end());
        argv.push_back(Enclosure::kDevice);
        argv.push_back(imagePath);
        argv.insert(argv.begin(), {e2e::Bin("sesim"), "run", enclosure.Dir(), "--"});
        int command = killCommand(random);
        killed += RunAndKill(argv, enclosure.File("commands.log"), (size_t)command, jitterUs(random)) ? 1 : 0;

        RunResult show = enclosure.Sesim("show");
        ASSERT_EQ(show.exitStatus, 0) << "the state no longer loads: " << show.err;
        // Each command saves the state, then logs its line: the kill may fall between the two.
        size_t logged = enclosure.Log().size();
        unsigned long commands = std::stoul(ShowValue(show.out, "commands"));
        EXPECT_TRUE(commands == logged || commands == logged + 1) << logged << " logged, " << commands << "\n"
                                                                  << show.out;
        // Images are whole: the old one, or the new one exactly.
        std::string active = ShowValue(show.out, "active image");
        std::string deferred = ShowValue(show.out, "deferred image");
        EXPECT_TRUE(active == oldImage || active == newImage) << show.out;
        EXPECT_TRUE(deferred == "none" || deferred == newImage) << show.out;
        // A download in progress stands at a block boundary with its bytes stored.
        std::string status = ShowValue(show.out, "download status");
        if (status == "0x01")
        {
            midDownload++;
            unsigned long expected = std::stoul(ShowValue(show.out, "expected offset"));
            EXPECT_EQ(expected % kBlockSize, 0u) << show.out;
            EXPECT_LT(expected, kImageSize) << show.out;
            EXPECT_TRUE(SomeImageFileHoldsPrefix(enclosure, image, (uint32_t)expected)) << show.out;
        }
        else
        {
            EXPECT_TRUE(status == "0x00" || status == "0x02" || status == "0x03" || status == "0x10" || status == "0x13") << show.out;
        }

        // The enclosure takes the next download: after a power cycle (an interrupted download is
        // lost, a deferred image becomes active) a complete run ends with the new image active.
        if (round % kRedownloadEvery != 0)
        {
            continue;
        }
        ASSERT_EQ(enclosure.Sesim("power-cycle").exitStatus, 0);
        RunResult again = enclosure.Run({e2e::Bin("fwpush"), "-p=" + std::to_string(kPageLength),
                                         Enclosure::kDevice, imagePath});
        EXPECT_EQ(again.exitStatus, 0) << again.out << again.err;
        EXPECT_EQ(enclosure.Show("active image"), newImage);
    }
    printf("state under kill -9: %d downloads, %d killed (%d in the middle of the transfer), seed %u\n", kDownloads,
           killed, midDownload, seed);
    // The kill points must really land in runs, most of them inside the transfer.
    EXPECT_GT(killed, kDownloads * 3 / 4);
    EXPECT_GT(midDownload, kDownloads / 2);
}
