// The command line, the download parameters and the image checks: everything fwpush decides
// before it talks to the enclosure.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fwpush_expect.h"

using namespace fwpush_e2e;
using e2e::Enclosure;
using e2e::RunResult;

namespace
{

// A path that fails to open, so that a command line that wrongly passes the parser shows up
// as "Unable to open SCSI target device".
const char* const kNoDevice = "/nonexistent/sg0";

// Every row prints the help text on standard output; help reached with one further argument
// ends with success, anything else names what was wrong before the device is opened.
TEST(FwpushCommandLine, HelpCountAndFirstRejectedArgument)
{
    struct Case
    {
        std::vector<std::string> args;
        std::string err; // empty: help, exit status 0
    };
    const std::string count = "Invalid argument count\n";
    auto rejected = [](const std::string& arg) { return "Invalid argument '" + arg + "'\n"; };
    const std::vector<Case> cases = {
        {{"-h", "x"}, ""},
        {{kNoDevice, "-h"}, ""},
        {{}, count},
        {{"-h"}, count},
        {{"-h", "-d", "-d", "-d", "-d", "-d"}, count},
        {{kNoDevice}, count},
        {{kNoDevice, "img", "third"}, rejected("third")},
        {{kNoDevice, "img", "third", "-h"}, rejected("third")}, // parsing stops before -h
        {{"-p=4097", kNoDevice, "img"}, rejected("-p=4097")},
        {{"-p=-1", kNoDevice, "img"}, rejected("-p=-1")},
        {{"-p=", kNoDevice, "img"}, rejected("-p=")},
        {{"-p=abc", kNoDevice, "img"}, rejected("-p=abc")},
        {{"-p4096", kNoDevice, "img"}, rejected("-p4096")},
        // No room for image bytes: the page would carry nothing but its header.
        {{"-p=24", kNoDevice, "img"}, rejected("-p=24")},
        {{"-p=0", kNoDevice, "img"}, rejected("-p=0")},
        // Would be 100 if narrowed to 32 bits before the range test.
        {{"-p=4294967396", kNoDevice, "img"}, rejected("-p=4294967396")},
        {{"-t", kNoDevice, "img"}, rejected("-t")},
        {{"-t=x", kNoDevice, "img"}, rejected("-t=x")},
        {{"-t=99999999999999999999", kNoDevice, "img"}, rejected("-t=99999999999999999999")},
        {{"-x", kNoDevice, "img"}, rejected("-x")},
        {{kNoDevice, "-", "img"}, rejected("-")},
        {{"-d", "-a"}, "Missing SCSI target device name\n"},
        {{"-A", "-t=1"}, "Missing SCSI target device name\n"},
        {{"-d", kNoDevice}, "Missing firmware file name\n"},
        {{kNoDevice, "-p=100"}, "Missing firmware file name\n"},
    };
    for (size_t i = 0; i < cases.size(); i++)
    {
        const Case& c = cases[i];
        RunResult r = e2e::Run(FwpushArgv(c.args));
        SCOPED_TRACE("row " + std::to_string(i));
        EXPECT_EQ(r.exitStatus, c.err.empty() ? 0 : 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, Help());
    }
}

// A device that is not an enclosure ends the run right after INQUIRY, which shows the
// parameter block of every option combination cheaply.
TEST(FwpushParameters, PrintOutFollowsTheOptions)
{
    Enclosure enclosure({"--no-unit-attention", "--device-type", "0", "--no-encserv"});
    const std::string image = enclosure.File("fw.img");
    MakeImage(image, "0200", 2 * kDefaultBlock + 1);
    struct Case
    {
        std::vector<std::string> options;
        Params params;
    };
    Params plain;
    plain.file = image;
    plain.length = 2 * kDefaultBlock + 1;
    auto with = [&](auto change) {
        Params p = plain;
        change(p);
        return p;
    };
    const std::string defer = "Save and defer activate";
    const std::string identified = Identification();
    const std::vector<Case> cases = {
        {{}, plain},
        {{"-d"}, with([&](Params& p) { p.mode = defer; })},
        {{"-a"}, with([&](Params& p) { p.mode = defer, p.activate = true; })},
        {{"-a", "-d"}, with([&](Params& p) { p.mode = defer, p.activate = true; })},
        {{"-dx"}, with([&](Params& p) { p.mode = defer; })},
        {{"-A"}, with([&](Params& p) { p.mode = "Activate only", p.activate = true, p.file = "<N/A>", p.length = 0; })},
        {{"-d", "-A"}, with([&](Params& p) { p.mode = "Activate only", p.activate = true, p.file = "<N/A>", p.length = 0; })},
        {{"-p=0x1000", "-t=0x102"}, with([&](Params& p) { p.bufferId = 2; })},
        {{"-p=512k", "-t=7x"}, with([&](Params& p) { p.maxPage = 512, p.bufferId = 7; })},
        {{"-p=25", "-t=-1"}, with([&](Params& p) { p.maxPage = 25, p.bufferId = 255; })},
        {{"-p=0100"}, with([&](Params& p) { p.maxPage = 64; })},
    };
    for (const Case& c : cases)
    {
        RunResult r = enclosure.Run(FwpushArgv(c.options, {kDevice, image}));
        SCOPED_TRACE(c.options.empty() ? "no options" : c.options[0]);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, Banner() + ParameterBlock(c.params) + identified.substr(0, identified.find("Device supports")));
        EXPECT_EQ(r.err, "Device /dev/sesim0 is not an enclosure services device\n");
    }
}

// Nothing may reach the enclosure when the image is not a regular file that the control pages
// can describe; none of these names may hang the run either.
TEST(FwpushImage, ImagesThatCannotBeSentAreRefusedBeforeAnyCommand)
{
    Enclosure enclosure({"--no-unit-attention"});
    const std::string huge = enclosure.File("huge.img");
    e2e::WriteFile(huge, "");
    ASSERT_EQ(truncate(huge.c_str(), 0x100000000LL), 0); // sparse: 4 GiB exactly
    const std::string dir = enclosure.File("dir");
    const std::string fifo = enclosure.File("fifo");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    auto notRegular = [](const std::string& name) { return "Firmware file " + name + " is not a regular file\n"; };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {enclosure.File("missing.img"), "Unable to open firmware file " + enclosure.File("missing.img") + "\n"},
        {dir, notRegular(dir)},
        {fifo, notRegular(fifo)}, // no writer: an open that waited would never return
        {"/dev/zero", notRegular("/dev/zero")},
        {huge,
         "Firmware file " + huge + " is too large: 4294967296 bytes, at most 4294967295 bytes can be downloaded\n"},
    };
    for (const auto& c : cases)
    {
        e2e::RunOptions options;
        options.timeoutMs = 20000;
        RunResult r = enclosure.Run({Fwpush(), kDevice, c.first}, options);
        EXPECT_EQ(r.exitStatus, 1) << c.first;
        EXPECT_EQ(r.err, c.second);
        EXPECT_EQ(r.out, Banner());
    }
    EXPECT_TRUE(enclosure.Log().empty());
}

} // namespace
