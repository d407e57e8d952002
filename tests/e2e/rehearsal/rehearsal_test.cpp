// What an operator rehearses on the simulated enclosure must be what a real one does, through the
// programs and tools that meet it: a power cut in the flash write, resets of each kind, a
// directory that is not an enclosure, permissions, and every way the enclosure can end a
// download. A second reader during the storage phase, subenclosures and a restart on activation
// are the model's tests (tests/sim) and fwpush's answers to them the scripted device's.
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "e2e_support.h"

using e2e::Enclosure;
using e2e::RunResult;

namespace
{

constexpr const char* kDevice = Enclosure::kDevice;

std::string Image(const Enclosure& e, const std::string& revision, uint32_t size = 10000)
{
    std::string path = e.File("image." + revision);
    e2e::MakeImage(path, revision, size);
    return path;
}

RunResult Fwpush(const Enclosure& e, std::vector<std::string> args)
{
    args.insert(args.begin(), e2e::Bin("fwpush"));
    return e.Run(args);
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

// A power cut in the flash write: a dual bank flash keeps the old firmware; a single bank one
// has none left, says 0x83 once, and takes a good image to come back.
TEST(Rehearsal, PowerCycleDuringTheFlashWrite)
{
    for (const char* flash : {"dual", "single"})
    {
        SCOPED_TRACE(flash);
        Enclosure e({"--no-unit-attention", "--flash", flash, "--busy-ms", "2000"});
        std::string image = Image(e, "0200");
        RunResult cut;
        std::thread program([&] { cut = Fwpush(e, {kDevice, image}); });
        EXPECT_TRUE(vocab::WaitUntil([&] { return e.Show("download status") == "0x02"; })) << "no storage phase";
        EXPECT_EQ(e.Sesim("power-cycle").exitStatus, 0);
        program.join();
        EXPECT_EQ(cut.exitStatus, 1) << cut.out << cut.err;
        EXPECT_FALSE(Contains(cut.out, "Download complete")) << cut.out;
        bool single = std::string(flash) == "single";
        // fwpush reads the status again after the power-on unit attention: the single bank
        // flash says 0x83 once, to it.
        EXPECT_EQ(cut.err, std::string("RCV_DIAG_RESULT failed: Sense 02,06,29,01\nSend failed status 4\n") +
                               "\nThe enclosure restarted during the download; check its firmware revision\n" +
                               (single ? "\nInternal error 0x83\n" : ""));
        EXPECT_EQ(e.Show("revision"), single ? "----" : "0100");
        EXPECT_EQ(Contains(e.Show("active image"), "flash write cut"), single);
        // The next download brings either back to a running enclosure.
        RunResult again = Fwpush(e, {kDevice, Image(e, "0201")});
        EXPECT_EQ(again.exitStatus, 0) << again.out << again.err;
        EXPECT_TRUE(Contains(again.out, single ? "Revision              : ----" : "Revision              : 0100"));
        EXPECT_EQ(e.Show("revision"), "0201");
    }
}

TEST(Rehearsal, LogicalUnitResetLeavesMicrocodeThatWaitsForAHardReset)
{
    Enclosure e({"--no-unit-attention", "--complete-status", "0x11"});
    RunResult r = Fwpush(e, {kDevice, Image(e, "0500")});
    ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
    e.Run({"sg_turs", kDevice}); // the completion's report
    ASSERT_EQ(e.Run({"sg_reset", "-d", kDevice}).exitStatus, 0);
    EXPECT_EQ(e.Show("revision"), "0100");
    EXPECT_EQ(e.Show("unit attention"), "29/03");
    ASSERT_EQ(e.Run({"sg_reset", "-b", kDevice}).exitStatus, 0);
    EXPECT_EQ(e.Show("revision"), "0500");
    EXPECT_EQ(e.Show("unit attention"), "29/00 3f/01");
}

TEST(Rehearsal, InitRefusesADirectoryThatIsNotAnEnclosure)
{
    e2e::TempDir t;
    std::string dir = t.File("work");
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/images").c_str(), 0755);
    e2e::WriteFile(dir + "/images/photo.jpg", "mine");
    e2e::WriteFile(dir + "/commands.log", "my notes\n");
    RunResult refused = e2e::Run({e2e::Bin("sesim"), "init", dir, "--force"});
    EXPECT_EQ(refused.exitStatus, 2);
    EXPECT_TRUE(Contains(refused.err, dir + "/images/photo.jpg")) << refused.err;
    EXPECT_EQ(e2e::ReadFile(dir + "/images/photo.jpg"), "mine");
    EXPECT_EQ(e2e::ReadFile(dir + "/commands.log"), "my notes\n");
    EXPECT_NE(access((dir + "/state").c_str(), F_OK), 0);

    // An enclosure is replaced only when asked to.
    std::string enclosure = t.File("enclosure");
    ASSERT_EQ(e2e::Run({e2e::Bin("sesim"), "init", enclosure}).exitStatus, 0);
    RunResult again = e2e::Run({e2e::Bin("sesim"), "init", enclosure});
    EXPECT_EQ(again.exitStatus, 2);
    EXPECT_TRUE(Contains(again.err, "--force")) << again.err;
    EXPECT_EQ(e2e::Run({e2e::Bin("sesim"), "init", enclosure, "--force"}).exitStatus, 0);
}

// The node is opened with the caller's rights on the enclosure directory, as a device node is.
TEST(Rehearsal, UserWhoMayNotOpenTheEnclosureIsRefused)
{
    Enclosure e({"--no-unit-attention"});
    chmod(e.Dir().c_str(), 0);
    std::vector<std::string> argv = {e2e::Bin("fwpush"), kDevice, "/dev/null"};
    if (getuid() == 0)
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    RunResult r = e.Run(argv);
    chmod(e.Dir().c_str(), 0700);
    EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
    EXPECT_TRUE(Contains(r.err, "Unable to open SCSI target device /dev/sesim0")) << r.err;
    EXPECT_EQ(e.Show("commands"), "0");
}

// Every way the enclosure can end or steer a download reaches fwpush.
TEST(Rehearsal, EveryDownloadEndingReachesFwpush)
{
    struct Case
    {
        const char* name;
        std::vector<std::string> init;
        std::vector<std::string> args; // before the device
        int exitStatus;
        const char* err; // a line fwpush writes on standard error, or ""
    };
    const Case cases[] = {
        {"cut write", {"--fault", "dl-status@block=2,value=83"}, {}, 1, "Internal error 0x83"},
        {"failed write", {"--fault", "dl-status@block=3,value=84"}, {}, 1, "Internal error 0x84"},
        {"vendor code", {"--fault", "dl-status@block=1,value=70"}, {}, 1, "Download status 0x70"},
        {"vendor error", {"--fault", "dl-status@block=1,value=f0"}, {}, 1, "Download status 0xf0"},
        {"any offset", {"--any-offset"}, {}, 0, ""},
        {"any offset hides a lost block", {"--any-offset", "--fault", "drop@block=2"}, {}, 1,
         "Error in control page fields. Field offset 12"},
        {"buffer ID of the enclosure", {"--buffer-id", "2"}, {"-t=2"}, 0, ""},
        {"another buffer ID", {"--buffer-id", "2"}, {}, 1, "Error in control page fields. Field offset 11"},
        {"generation code moves on", {"--fault", "gencode@block=2"}, {}, 0, ""},
        {"busy in the middle", {"--fault", "status@block=2,value=08"}, {}, 0, "Retrying block 1"},
        {"unit attention in the middle", {"--fault", "check@block=2,sense=06/29/00"}, {}, 0, "Retrying block 1"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::vector<std::string> init = {"--no-unit-attention"};
        init.insert(init.end(), c.init.begin(), c.init.end());
        Enclosure e(init);
        std::vector<std::string> args = c.args;
        args.push_back(kDevice);
        args.push_back(Image(e, "0700"));
        args.insert(args.begin(), "-p=1024");
        RunResult r = Fwpush(e, args);
        EXPECT_EQ(r.exitStatus, c.exitStatus) << r.out << r.err;
        EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
        EXPECT_EQ(e.Show("revision"), c.exitStatus == 0 ? "0700" : "0100");
    }
}
