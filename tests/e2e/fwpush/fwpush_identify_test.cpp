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
    std::vector<std::string> argv = {Fwpush()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(kDevice);
    argv.push_back(image);
    return enclosure.Run(argv);
}

std::string UpToIdentifying(const Params& p)
{
    return Banner() + ParameterBlock(p) + "Identifying device\n";
}

std::string UpToReadiness(const Params& p)
{
    return UpToIdentifying(p) +
           "Vendor                : SESIM   \n"
           "Product               : SIM ENCLOSURE   \n"
           "Revision              : 0100\n"
           "Device supports SES\n"
           "Checking and clearing Unit Attention Condition\n";
}

TEST(FwpushIdentify, EncservBitQualifiesAnotherDeviceType)
{
    Enclosure enclosure({"--no-unit-attention", "--device-type", "0", "--encserv"});
    Params p;
    RunResult r = RunSmallDownload(enclosure, &p);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, DownloadOut(p, {100}) + "\nDownload complete\n");
    EXPECT_EQ(r.err, "");
}

TEST(FwpushIdentify, InquiryFieldsPrintWithTheirPadding)
{
    Enclosure enclosure({"--no-unit-attention", "--vendor", "ABC", "--product", "BOX", "--revision", "0042"});
    Params p;
    RunResult r = RunSmallDownload(enclosure, &p);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("Vendor                : ABC     \n"
                         "Product               : BOX             \n"
                         "Revision              : 0042\n"),
              std::string::npos)
        << r.out;
}

TEST(FwpushIdentify, PowerOnUnitAttentionIsClearedWithOneLine)
{
    Enclosure enclosure; // init leaves the power-on unit attention pending
    Params p;
    RunResult r = RunSmallDownload(enclosure, &p);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "TEST_UNIT_READY failed: Sense 02,06,29,00\n");
    EXPECT_EQ(r.out, DownloadOut(p, {100}) + "\nDownload complete\n");
}

TEST(FwpushIdentify, FourCheckConditionsAreRetriedFiveAreNot)
{
    const std::string line = "TEST_UNIT_READY failed: Sense 02,06,29,00\n";
    {
        Enclosure enclosure({"--no-unit-attention", "--fault", "check@op=00,count=4,sense=06/29/00"});
        Params p;
        RunResult r = RunSmallDownload(enclosure, &p);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.err, Repeat(line, 4));
    }
    {
        Enclosure enclosure({"--no-unit-attention", "--fault", "check@op=00,count=5,sense=06/29/00"});
        Params p;
        RunResult r = RunSmallDownload(enclosure, &p);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, Repeat(line, 5) + "Device /dev/sesim0 did not become ready\n");
        EXPECT_EQ(r.out, UpToReadiness(p));
        EXPECT_EQ(Sequence(enclosure.Log()), "INQ TUR TUR TUR TUR TUR");
    }
}

// A transport failure does not refresh the completion record; the line must not repeat the
// sense of the attempt before.
TEST(FwpushIdentify, TransportFailureShowsNoStaleSense)
{
    Enclosure enclosure({"--no-unit-attention", "--fault", "check@cmd=2,sense=06/29/00", "--fault", "host@cmd=3"});
    Params p;
    RunResult r = RunSmallDownload(enclosure, &p);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "TEST_UNIT_READY failed: Sense 02,06,29,00\n"
                     "TEST_UNIT_READY failed: Sense 00,00,00,00\n"
                     "Device /dev/sesim0 did not become ready\n");
    EXPECT_EQ(r.out, UpToReadiness(p));
}

TEST(FwpushIdentify, DeviceWithoutDownloadPageIsRefused)
{
    Enclosure enclosure({"--no-unit-attention", "--no-page-0e"});
    Params p;
    RunResult r = RunSmallDownload(enclosure, &p);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "Device /dev/sesim0 does not suport SES Page 0xE download\n");
    EXPECT_EQ(r.out, UpToReadiness(p) + "Checking for SES Page 0xE support\n");
    EXPECT_EQ(Sequence(enclosure.Log()), "INQ TUR RD00");
}

TEST(FwpushIdentify, FailedCommandsShowSenseAndResult)
{
    {
        Enclosure enclosure({"--no-unit-attention", "--fault", "check@cmd=1,sense=05/24/00"});
        Params p;
        RunResult r = RunSmallDownload(enclosure, &p);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, "INQUIRY failed: Sense 02,05,24,00\nSend failed status 4\n");
        EXPECT_EQ(r.out, UpToIdentifying(p));
    }
    {
        Enclosure enclosure({"--no-unit-attention", "--fault", "errno@cmd=3,errno=EIO"});
        Params p;
        RunResult r = RunSmallDownload(enclosure, &p);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, "scsiinit: Input/output error\nSend failed status c\n");
        EXPECT_EQ(r.out, UpToReadiness(p) + "Checking for SES Page 0xE support\n");
    }
}

TEST(FwpushIdleWait, StatusPageMustHoldOneDescriptor)
{
    {
        Enclosure enclosure({"--no-unit-attention", "--fault", "short-status@cmd=4,len=19"});
        Params p;
        RunResult r = RunSmallDownload(enclosure, &p);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, "Page 0xE status too short\n");
        EXPECT_EQ(r.out, Banner() + ParameterBlock(p) + Identification() + "Waiting for existing download operations...\n");
    }
    {
        Enclosure enclosure({"--no-unit-attention", "--fault", "short-status@cmd=4,len=20"});
        Params p;
        RunResult r = RunSmallDownload(enclosure, &p);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
    }
}

// A corrupted answer must not pass for a status: its completion code or generation code would
// be believed.
TEST(FwpushIdleWait, StatusPageMustBeTheDownloadMicrocodePage)
{
    Enclosure enclosure({"--no-unit-attention", "--fault", "garbage-status@cmd=4,seed=22"});
    Params p;
    RunResult r = RunSmallDownload(enclosure, &p);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err.rfind("Page 0xE status came back as page 0x", 0), 0u) << r.err;
    EXPECT_EQ(r.out, Banner() + ParameterBlock(p) + Identification() + "Waiting for existing download operations...\n");
}

} // namespace
