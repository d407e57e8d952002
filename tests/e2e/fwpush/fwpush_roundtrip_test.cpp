// Round trips: the image that fwpush sends is the firmware the enclosure then runs.

#include <gtest/gtest.h>

#include "fwpush_expect.h"

using namespace fwpush_e2e;
using e2e::Enclosure;
using e2e::RunResult;

namespace
{

// The revision that INQUIRY reports, through a run that identifies the enclosure and stops at
// an empty image; returns also what the unit attention check printed.
std::string InquiryRevision(const Enclosure& enclosure, std::string* err)
{
    const std::string empty = enclosure.File("empty.img");
    e2e::WriteFile(empty, "");
    RunResult r = enclosure.Run({Fwpush(), kDevice, empty});
    *err = r.err;
    const std::string key = "Revision              : ";
    size_t at = r.out.find(key);
    return at == std::string::npos ? "" : r.out.substr(at + key.size(), 4);
}

TEST(FwpushRoundTrip, DefaultDownloadBecomesTheActiveFirmware)
{
    Enclosure enclosure({"--no-unit-attention", "--busy-reads", "1"});
    const uint32_t size = 3 * kDefaultBlock + 100;
    const std::string image = enclosure.File("fw-0200.img");
    MakeImage(image, "0200", size);
    RunResult r = enclosure.Run({Fwpush(), kDevice, image});
    ASSERT_EQ(r.exitStatus, 0) << r.err;

    EXPECT_EQ(enclosure.Show("revision"), "0200");
    EXPECT_EQ(enclosure.Show("active image"), ImageShown("0200", size, image));
    EXPECT_EQ(enclosure.Show("deferred image"), "none");
    std::string err;
    EXPECT_EQ(InquiryRevision(enclosure, &err), "0200");
    // The new microcode announces itself once.
    EXPECT_EQ(err, "TEST_UNIT_READY failed: Sense 02,06,3f,01\nUnexpected end of file\n");
}

TEST(FwpushRoundTrip, DeferredFirmwareWaitsForActivateOnly)
{
    Enclosure enclosure({"--no-unit-attention", "--busy-reads", "1"});
    const uint32_t size = kDefaultBlock + 7;
    const std::string image = enclosure.File("fw-0300.img");
    MakeImage(image, "0300", size);
    RunResult r = enclosure.Run({Fwpush(), "-d", kDevice, image});
    ASSERT_EQ(r.exitStatus, 0) << r.err;

    std::string err;
    EXPECT_EQ(enclosure.Show("revision"), "0100");
    EXPECT_EQ(enclosure.Show("deferred image"), ImageShown("0300", size, image));
    EXPECT_EQ(InquiryRevision(enclosure, &err), "0100");

    const uint32_t gencode = (uint32_t)std::stoul(enclosure.Show("generation code"));
    enclosure.Sesim("fault", {"--clear"}); // restarts the command log numbering
    const size_t before = enclosure.Log().size();
    r = enclosure.Run({Fwpush(), "-A", kDevice});
    Params p;
    p.mode = "Activate only";
    p.activate = true;
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, Banner() + ParameterBlock(p) + Identification("0100") +
                         "Waiting for existing download operations...\nActivating...\nSending activation request\n");
    std::vector<e2e::LogEntry> log = enclosure.Log();
    log.erase(log.begin(), log.begin() + (std::ptrdiff_t)before);
    EXPECT_EQ(Sequence(log), "INQ TUR RD00 RD0E SD RD0E");
    ASSERT_EQ(Sends(log).size(), 1u);
    ExpectActivationPage(Sends(log)[0], gencode, 0, 0);

    EXPECT_EQ(enclosure.Show("revision"), "0300");
    EXPECT_EQ(enclosure.Show("active image"), ImageShown("0300", size, image));
    EXPECT_EQ(enclosure.Show("deferred image"), "none");
    EXPECT_EQ(InquiryRevision(enclosure, &err), "0300");
}

// An activation request that the enclosure takes but cannot carry out is a failure, not a success.
TEST(FwpushRoundTrip, ActivationWithNothingStagedFails)
{
    Enclosure enclosure({"--no-unit-attention"});
    RunResult r = enclosure.Run({Fwpush(), "-A", kDevice});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "Enclosure has no deferred microcode to activate\nActivation failed\n");
    EXPECT_EQ(Sequence(enclosure.Log()), "INQ TUR RD00 RD0E SD RD0E");
    EXPECT_EQ(enclosure.Show("revision"), "0100");
}

} // namespace
