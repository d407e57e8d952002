// Enclosure identification and readiness, and the wait for an idle enclosure: what fwpush
// checks before the first block goes out.

#include <gtest/gtest.h>

#include "fwpush_expect.h"

using namespace fwpush_e2e;
using e2e::Enclosure;
using e2e::RunResult;

namespace
{

// Runs fwpush with a small valid image; returns the run and fills the parameters it prints.
RunResult RunSmallDownload(const Enclosure& enclosure, Params* params, const std::vector<std::string>& options = {})
{
    const std::string image = enclosure.File("fw.img");
    MakeImage(image, "0200", 100);
    params->file = image;
    params->length = 100;
    return enclosure.Run(FwpushArgv(options, {kDevice, image}));
}

std::string UpToReadiness(const Params& p)
{
    const std::string identified = Identification();
    return Banner() + ParameterBlock(p) + identified.substr(0, identified.find("Checking for"));
}

const std::string kIdleWait = "Waiting for existing download operations...\n";
const std::string kPageCheck = "Checking for SES Page 0xE support\n";
const std::string kTurLine = "TEST_UNIT_READY failed: Sense 02,06,29,00\n";

// Each row: the enclosure, and what a small download then prints. An empty `out` stands for the
// whole output of a successful download.
struct Case
{
    const char* what;
    std::vector<std::string> init;
    int exitStatus;
    std::string err;
    std::string (*out)(const Params&);
    std::string sequence;
};

std::string Complete(const Params& p)
{
    return DownloadOut(p, {100}) + "\nDownload complete\n";
}

TEST(FwpushIdentify, IdentificationReadinessAndIdleWait)
{
    const std::string tur = "--no-unit-attention";
    const std::vector<Case> cases = {
        {"the encserv bit qualifies another device type", {tur, "--device-type", "0", "--encserv"}, 0, "", Complete, ""},
        {"the power-on unit attention is cleared with one line", {}, 0, kTurLine, Complete, ""},
        {"four check conditions are retried", {tur, "--fault", "check@op=00,count=4,sense=06/29/00"}, 0,
         Repeat(kTurLine, 4), Complete, ""},
        {"five are not", {tur, "--fault", "check@op=00,count=5,sense=06/29/00"}, 1,
         Repeat(kTurLine, 5) + "Device /dev/sesim0 did not become ready\n", UpToReadiness, "INQ TUR TUR TUR TUR TUR"},
        // A transport failure does not refresh the completion record: no stale sense.
        {"transport failure", {tur, "--fault", "check@cmd=2,sense=06/29/00", "--fault", "host@cmd=3"}, 1,
         kTurLine + "TEST_UNIT_READY failed: Sense 00,00,00,00\nDevice /dev/sesim0 did not become ready\n",
         UpToReadiness, ""},
        {"no download page", {tur, "--no-page-0e"}, 1, "Device /dev/sesim0 does not suport SES Page 0xE download\n",
         [](const Params& p) { return UpToReadiness(p) + kPageCheck; }, "INQ TUR RD00"},
        {"failed INQUIRY", {tur, "--fault", "check@cmd=1,sense=05/24/00"}, 1,
         "INQUIRY failed: Sense 02,05,24,00\nSend failed status 4\n",
         [](const Params& p) { return Banner() + ParameterBlock(p) + "Identifying device\n"; }, ""},
        {"ioctl failure", {tur, "--fault", "errno@cmd=3,errno=EIO"}, 1,
         "scsiinit: Input/output error\nSend failed status c\n",
         [](const Params& p) { return UpToReadiness(p) + kPageCheck; }, ""},
        // The status page must hold one descriptor.
        {"status page too short", {tur, "--fault", "short-status@cmd=4,len=19"}, 1, "Page 0xE status too short\n",
         [](const Params& p) { return Banner() + ParameterBlock(p) + Identification() + kIdleWait; }, ""},
        {"status page just long enough", {tur, "--fault", "short-status@cmd=4,len=20"}, 0, "", Complete, ""},
        // A corrupted answer must not pass for a status: its codes would be believed.
        {"an answer that is not the status page", {tur, "--fault", "garbage-status@cmd=4,seed=22"}, 1,
         "Page 0xE status came back as page 0x5e\n",
         [](const Params& p) { return Banner() + ParameterBlock(p) + Identification() + kIdleWait; }, ""},
        {"inquiry fields keep their padding", {tur, "--vendor", "ABC", "--product", "BOX", "--revision", "0042"}, 0, "",
         [](const Params& p) {
             return Banner() + ParameterBlock(p) + Identification("0042", "ABC     ", "BOX             ") + kIdleWait +
                    "Downloading...\n" + Progress({100}, 100) + "\nDownload complete\n";
         },
         ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        Enclosure enclosure(c.init);
        Params p;
        RunResult r = RunSmallDownload(enclosure, &p);
        EXPECT_EQ(r.exitStatus, c.exitStatus);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, c.out(p));
        if (!c.sequence.empty())
        {
            EXPECT_EQ(Sequence(enclosure.Log()), c.sequence);
        }
    }
}

} // namespace
