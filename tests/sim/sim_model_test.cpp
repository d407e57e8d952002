// The enclosure model in process: illegal requests and unit attentions, diagnostic pages, the
// download microcode state machine with every field check, activation, the console, and faults.
// The identity (INQUIRY and its pages) is the seslist and sg3-utils tests'.
#include <gtest/gtest.h>

#include <cstring>

#include "sesim_scsi.h"
#include "sim_test_support.h"

using vocab::Be16;
using vocab::Be32;
using simtest::DownloadStatus;
using simtest::Enclosure;
using simtest::Image;
using simtest::Reply;

namespace
{

constexpr uint64_t kMs = 1000000;

sesim::Config ConfigWith(void (*change)(sesim::Config&))
{
    sesim::Config c;
    change(c);
    return c;
}

std::string InquiryRevision(Enclosure& e)
{
    std::vector<uint8_t> d = e.Inquiry().din;
    return d.size() >= 36 ? std::string(d.begin() + 32, d.begin() + 36) : "";
}

// The mode 7 page that carries the 100 bytes of IMAGE at OFFSET.
std::vector<uint8_t> Block(const std::vector<uint8_t>& image, uint32_t offset, uint8_t subenclosure = 0)
{
    return vocab::ControlPage(7, 0, offset, (uint32_t)image.size(),
                              std::vector<uint8_t>(image.begin() + offset, image.begin() + offset + 100), 0,
                              subenclosure);
}

sesim::Config WithFault(const std::string& faultText)
{
    sesim::Config c;
    sesim::FaultSpec f;
    std::string error;
    EXPECT_TRUE(sesim::ParseFault(faultText, &f, &error)) << error;
    EXPECT_TRUE(sesim::AddFault(&c, f, &error)) << error;
    return c;
}

// ---------------------------------------------------------------- commands, unit attention

TEST(Commands, InvalidFieldsAndUnsupportedOpcodesAreIllegalRequests)
{
    Enclosure e(sesim::Config(), simtest::Quiet());
    const std::vector<std::pair<std::vector<uint8_t>, std::string>> cases = {
        {{0x12, 0x01, 0x99, 0, 96, 0}, "05/24/00"},                   // unknown VPD page
        {{0x12, 0x00, 0x80, 0, 96, 0}, "05/24/00"},                   // page code without EVPD
        {{0x12, 0x02, 0, 0, 96, 0}, "05/24/00"},                      // CmdDt
        {{0x00, 0, 0, 0, 0, 0x04}, "05/24/00"},                       // NACA in the control byte
        {{0x1A, 0, 0x3F, 0, 0xFF, 0}, "05/20/00"},                    // MODE SENSE
        {{0xA3, 0x0C, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}, "05/20/00"},     // REPORT SUPPORTED OPERATION CODES
        {{0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0}, "05/24/00"},        // REPORT LUNS below 16 bytes
    };
    for (size_t i = 0; i < cases.size(); i++)
    {
        EXPECT_EQ(e.Run(cases[i].first, {}, 255).Sense(), cases[i].second) << "row " << i;
    }
}

// INQUIRY and REPORT LUNS neither report nor clear it; the next other command reports it once,
// even an unsupported one; REQUEST SENSE returns it as data, in either format, and clears it.
TEST(UnitAttention, PowerOnIsReportedOnceAndRequestSenseTakesIt)
{
    Enclosure e;
    EXPECT_TRUE(e.Inquiry().Good());
    Reply luns = e.Run({0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}, {}, 16);
    ASSERT_TRUE(luns.Good());
    EXPECT_EQ(Be32(luns.din, 0), 8u);
    EXPECT_EQ(e.Run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, 8).Sense(), "06/29/00");
    EXPECT_EQ(e.Run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, 8).Sense(), "05/20/00");
    EXPECT_TRUE(e.Tur().Good());

    Enclosure sensed;
    Reply r = sensed.RequestSense(false, 18);
    ASSERT_EQ(r.din.size(), 18u);
    EXPECT_EQ(r.din[0], 0x70);
    EXPECT_EQ(r.din[2], 0x06);
    EXPECT_EQ(r.din[12], 0x29);
    Reply none = sensed.RequestSense(true, 8);
    ASSERT_EQ(none.din.size(), 8u);
    EXPECT_EQ(none.din[0], 0x72);
    EXPECT_EQ(none.din[1], 0x00);
    EXPECT_TRUE(sensed.Tur().Good());
}

// The sense-key specific field pointer: into the CDB in descriptor format (on request), into the
// parameter list in fixed format.
TEST(Sense, FieldPointersInEitherFormat)
{
    Enclosure e(ConfigWith([](sesim::Config& c) { c.descriptorSense = true; }), simtest::Quiet());
    Reply r = e.ReceiveDiagnostic(0x42);
    ASSERT_EQ(r.status(), 0x02);
    EXPECT_EQ(r.result.sense[0], 0x72);
    EXPECT_EQ(r.Sense(), "05/24/00");
    ASSERT_GE(r.result.senseLength, 16u);
    EXPECT_EQ(r.result.sense[8], 0x02);
    EXPECT_EQ(r.result.sense[12] & 0xC0, 0xC0);
    EXPECT_EQ(r.result.sense[14], 2);

    Enclosure fixed(sesim::Config(), simtest::Quiet());
    r = fixed.SendDiagnostic({0x07, 0, 0, 0});
    ASSERT_EQ(r.Sense(), "05/26/00");
    EXPECT_EQ(r.result.sense[15] & 0xC0, 0x80);
    EXPECT_EQ(r.result.sense[17], 0);
}

// ---------------------------------------------------------------- diagnostic pages

// The supported pages list is the sg3-utils interop test's (sg_senddiag --list).
TEST(DiagnosticPages, PcvZeroFollowsSendDiagnostic)
{
    Enclosure e(sesim::Config(), simtest::Quiet());
    ASSERT_TRUE(e.SendDiagnostic(vocab::ControlPage(0x0F, 0, 0, 0, {})).Good());
    EXPECT_EQ(e.ReceiveDiagnostic(0, 60, false).din[0], 0x0E);
    ASSERT_TRUE(e.SendDiagnostic({0x00, 0, 0, 0}).Good());
    EXPECT_EQ(e.ReceiveDiagnostic(0, 60, false).din[0], 0x00);
    EXPECT_EQ(e.ReceiveDiagnostic(0x0E, 60, false).Sense(), "05/24/00");
}

TEST(DiagnosticPages, WithoutPageOEItIsNeitherListedNorServed)
{
    Enclosure e(ConfigWith([](sesim::Config& c) { c.page0e = false; }), simtest::Quiet());
    Reply list = e.ReceiveDiagnostic(0x00);
    EXPECT_EQ(Be16(list.din, 2), 5u);
    EXPECT_EQ(e.ReceiveDiagnostic(0x0E).Sense(), "05/24/00");
    EXPECT_EQ(e.SendDiagnostic(vocab::ControlPage(7, 0, 0, 100, {1, 2, 3, 4})).Sense(), "05/26/00");
}

TEST(DiagnosticPages, SendDiagnosticSelfTestsAndLengthErrors)
{
    Enclosure e(sesim::Config(), simtest::Quiet());
    EXPECT_TRUE(e.Run({0x1D, 0x04, 0, 0, 0, 0}).Good());                      // default self-test
    EXPECT_EQ(e.Run({0x1D, 0x24, 0, 0, 0, 0}).Sense(), "05/24/00");           // code with SELFTEST
    EXPECT_TRUE(e.Run({0x1D, 0x20, 0, 0, 0, 0}).Good());                      // background short
    EXPECT_EQ(e.Run({0x1D, 0x60, 0, 0, 0, 0}).Sense(), "05/24/00");           // reserved code
    EXPECT_EQ(e.Run({0x1D, 0x00, 0, 0, 4, 0}, {0, 0, 0, 0}).Sense(), "05/24/00"); // PF=0
    EXPECT_EQ(e.Run({0x1D, 0x10, 0, 0, 2, 0}, {0, 0}).Sense(), "05/1a/00");
    EXPECT_EQ(e.Run({0x1D, 0x10, 0, 0, 8, 0}, {0x0E, 0, 0, 20, 0, 0, 0, 0}).Sense(), "05/1a/00");
    // the initiator sent fewer bytes than the CDB announced: the page no longer fits
    EXPECT_EQ(e.Run({0x1D, 0x10, 0, 0, 24, 0}, {0x0E, 0, 0, 20}).Sense(), "05/1a/00");
}

// ---------------------------------------------------------------- download microcode

TEST(Download, ModeSevenRunsThroughInProgressStoringAndCompletionOnce)
{
    Enclosure e(sesim::Config(), simtest::Quiet());
    std::vector<uint8_t> image = Image("0200", 10000);
    DownloadStatus s = e.Status();
    EXPECT_EQ(s.status, 0x00);
    EXPECT_EQ(s.maxSize, 536870912u);
    std::vector<uint8_t> sequence;
    DownloadStatus done = e.Download(image, 7, 4072, &sequence);
    EXPECT_EQ(sequence, (std::vector<uint8_t>{0x01, 0x01, 0x02, 0x02, 0x10}));
    EXPECT_EQ(done.generation, 1u);
    // The unit attention follows the read that reported 0x10.
    EXPECT_EQ(e.Tur().Sense(), "06/3f/01");
    EXPECT_EQ(e.Status().status, 0x00);
    // A page built before the update carries the old generation code: stale, refused.
    e.SendDiagnostic(vocab::ControlPage(7, 0, 0, 100, Image("0300", 100)));
    EXPECT_EQ(e.Status().additional, 4);
    EXPECT_EQ(InquiryRevision(e), "0200");
    EXPECT_EQ(e.backing.images.at(e.state.active.id), image);
    EXPECT_EQ(e.backing.images.size(), 1u); // the old active image was released
}

TEST(Download, DeferredDownloadWaitsForActivation)
{
    Enclosure e(ConfigWith([](sesim::Config& c) { c.deferredBusyStatus = 0x03; }), simtest::Quiet());
    std::vector<uint8_t> image = Image("0300", 9000);
    std::vector<uint8_t> statuses;
    DownloadStatus s = e.Download(image, 0x0E, 4072, &statuses);
    EXPECT_EQ(statuses, (std::vector<uint8_t>{0x01, 0x01, 0x03, 0x03, 0x13}));
    EXPECT_EQ(e.Status().status, 0x00); // reported once; the image stays deferred
    EXPECT_EQ(e.state.pendingKind, sesim::PendingKind::Deferred);
    EXPECT_TRUE(e.Tur().Good());
    EXPECT_EQ(InquiryRevision(e), "0100");

    ASSERT_TRUE(e.SendDiagnostic(vocab::ControlPage(0x0F, s.generation, 0, 0, {})).Good());
    EXPECT_TRUE(e.Tur().Good()) << "the unit attention waits until the next command has completed";
    EXPECT_EQ(e.Tur().Sense(), "06/3f/01");
    DownloadStatus after = e.Status();
    EXPECT_EQ(after.status, 0x00);
    EXPECT_EQ(after.generation, s.generation + 1);
    EXPECT_EQ(InquiryRevision(e), "0300");
    EXPECT_EQ(e.backing.images.at(e.state.active.id), image);
}

// Each reset reports its own 29h condition, and only a hard reset or a power cycle starts the
// microcode that waits for one; a change of firmware adds 3F/01 after the 29h.
TEST(Resets, KindDecidesTheUnitAttentionAndWhatIsActivated)
{
    struct Case
    {
        uint8_t code;
        sesim::ResetKind kind;
        const char* attentions; // reported one per command, then none
        bool activated;
    };
    using K = sesim::ResetKind;
    const Case cases[] = {
        {0x11, K::LogicalUnit, "06/29/03", false}, {0x11, K::Target, "06/29/02", false},
        {0x11, K::Hard, "06/29/00 06/3f/01", true}, {0x12, K::Hard, "06/29/00", false},
        {0x12, K::PowerCycle, "06/29/01 06/3f/01", true},
    };
    for (const Case& k : cases)
    {
        sesim::Config c;
        c.completeStatus = k.code;
        Enclosure e(c, simtest::Quiet());
        EXPECT_EQ(e.Download(Image("0400", 5000)).status, k.code);
        sesim::Released released{};
        e.model->Reset(e.state, k.kind, e.now, released);
        std::string seen;
        for (std::string sense = e.Tur().Sense(); sense != "-"; sense = e.Tur().Sense())
            seen += (seen.empty() ? "" : " ") + sense;
        EXPECT_EQ(seen, k.attentions) << (int)k.kind;
        EXPECT_EQ(std::string(e.state.active.revision, 4), k.activated ? "0400" : "0100") << (int)k.kind;
    }
}

// A power cycle while the flash is written: dual bank keeps the old image; single bank is left
// without firmware, with only the boot code's commands, until a good image. The 29/01, the 0x83
// reported once and the revisions are Rehearsal.PowerCycleDuringTheFlashWrite's, through fwpush.
TEST(Resets, CutFlashWriteFollowsTheFlashModel)
{
    for (sesim::FlashModel flash : {sesim::FlashModel::Dual, sesim::FlashModel::Single})
    {
        sesim::Config c;
        c.flash = flash;
        c.busyReads = 5;
        Enclosure e(c, simtest::Quiet());
        e.SendDiagnostic(vocab::ControlPage(7, 0, 0, 100, Image("0F00", 100)));
        EXPECT_EQ(e.Status().status, 0x02);
        sesim::Released released{};
        e.model->Reset(e.state, sesim::ResetKind::PowerCycle, e.now, released);
        e.Tur();
        e.Status();
        bool single = flash == sesim::FlashModel::Single;
        EXPECT_EQ(e.ConsoleWrite("rev").Sense(), single ? "02/04/00" : "-");
        EXPECT_EQ(e.ReceiveDiagnostic(0x01).Sense(), single ? "02/04/00" : "-");
        EXPECT_EQ(e.ReceiveDiagnostic(0x00).din.size(), single ? 6u : 10u);
        EXPECT_TRUE(e.Tur().Good());
        // Whatever the completion code would be, a good image runs at once on an empty flash.
        EXPECT_EQ(e.Download(Image("0F01", 100), 0x0E).status, single ? 0x10 : 0x13);
        EXPECT_EQ(e.ConsoleWrite("rev").Sense(), single ? "06/3f/01" : "-");
        EXPECT_EQ(std::string(e.state.active.revision, 4), single ? "0F01" : "0100");
    }
}

TEST(Resets, RestartOnActivationReportsResetThenNewMicrocode)
{
    for (bool clears : {false, true})
    {
        sesim::Config c;
        c.restartOnActivation = true;
        c.restartClearsStatus = clears;
        Enclosure e(c, simtest::Quiet());
        e.SendDiagnostic(vocab::ControlPage(7, 0, 0, 100, Image("0B00", 100)));
        EXPECT_EQ(e.Status().status, 0x02);
        EXPECT_EQ(e.Status().status, 0x02);
        EXPECT_EQ(e.Status().status, 0x02); // the read that found the storing over saw it restart
        EXPECT_EQ(e.Tur().Sense(), "06/29/00");
        EXPECT_EQ(e.Tur().Sense(), "06/3f/01");
        EXPECT_EQ(e.Status().status, clears ? 0x00 : 0x10);
        EXPECT_EQ(std::string(e.state.active.revision, 4), "0B00");
    }
}

TEST(Download, BadImageEndsIn81AndKeepsTheActiveImage)
{
    Enclosure e(sesim::Config(), simtest::Quiet());
    std::vector<uint8_t> image = Image("0500", 6000);
    image[3000] ^= 1;
    EXPECT_EQ(e.Download(image).status, 0x81);
    EXPECT_EQ(e.Status().status, 0x00);
    EXPECT_EQ(std::string(e.state.active.revision, 4), "0100");
    EXPECT_EQ(e.backing.images.size(), 1u);
    std::vector<uint8_t> junk(333, 0xAB);
    EXPECT_EQ(e.Download(junk).status, 0x81);
    EXPECT_EQ(e.Download(std::vector<uint8_t>(3, 1)).status, 0x81);
}

TEST(Download, AcceptAnyImageTakesOtherBytes)
{
    Enclosure e(ConfigWith([](sesim::Config& c) { c.acceptAnyImage = true; }), simtest::Quiet());
    std::vector<uint8_t> junk(1001, 0x5A);
    EXPECT_EQ(e.Download(junk, 7, 100).status, 0x10);
    EXPECT_EQ(std::string(e.state.active.revision, 4), "????");
    std::vector<uint8_t> damaged = Image("0600", 700);
    damaged.back() ^= 0xFF;
    e.RequestSense();
    EXPECT_EQ(e.Download(damaged).status, 0x10);
    EXPECT_EQ(std::string(e.state.active.revision, 4), "0600");
}

TEST(Download, BusyPhaseLastsAtLeastBusyMs)
{
    Enclosure e(ConfigWith([](sesim::Config& c) {
        c.busyReads = 0;
        c.busyMs = 50;
    }));
    e.RequestSense();
    std::vector<uint8_t> image = Image("0700", 100);
    e.SendDiagnostic(vocab::ControlPage(7, 0, 0, 100, image));
    EXPECT_EQ(e.Status().status, 0x02);
    e.now += 49 * kMs;
    EXPECT_EQ(e.Status().status, 0x02);
    e.now += 1 * kMs;
    EXPECT_EQ(e.Status().status, 0x10);
}

TEST(Download, IncompleteDownloadTimesOutWith82)
{
    Enclosure e(ConfigWith([](sesim::Config& c) { c.downloadTimeoutMs = 1000; }), simtest::Quiet());
    std::vector<uint8_t> image = Image("0800", 200);
    e.SendDiagnostic(Block(image, 0));
    e.now += 1000 * kMs;
    EXPECT_EQ(e.Status().status, 0x01);
    e.now += 1 * kMs;
    EXPECT_EQ(e.Status().status, 0x82);
    EXPECT_EQ(e.Status().status, 0x00);
    EXPECT_EQ(e.backing.images.size(), 1u);
}

TEST(Download, CompletionCodeCountsAsReportedOnlyWhenItsByteWentOut)
{
    Enclosure e(ConfigWith([](sesim::Config& c) { c.busyReads = 0; }), simtest::Quiet());
    e.SendDiagnostic(vocab::ControlPage(7, 0, 0, 100, Image("0900", 100)));
    Reply cut = e.ReceiveDiagnostic(0x0E, 10);
    EXPECT_EQ(cut.din.size(), 10u);
    EXPECT_TRUE(e.Tur().Good()) << "nothing announced before the code was reported";
    EXPECT_EQ(e.Status().status, 0x10);
    EXPECT_EQ(e.Tur().Sense(), "06/3f/01");
    EXPECT_EQ(e.Status().status, 0x00);
}

// Each row: one field of the second block's page spoilt, and that field's offset. The error is
// status 0x80 with the offset, reported once; the download is aborted and nothing is kept.
TEST(Download, FieldErrorsAbortTheDownloadWith80AndTheFieldOffset)
{
    using Page = std::vector<uint8_t>;
    const struct
    {
        const char* name;
        uint8_t offset;
        void (*spoil)(Page& page);
    } rows[] = {
        {"unknown subenclosure", 1, [](Page& p) { p[1] = 1; }},
        {"page length below 20", 2, [](Page& p) { p.resize(20), p[2] = 0, p[3] = 16; }},
        {"generation code", 4, [](Page& p) { vocab::PutBe(p, 4, 7, 4); }},
        {"unknown mode", 8, [](Page& p) { p[8] = 0x06; }},
        {"mode changed mid-download", 8, [](Page& p) { p[8] = 0x0E; }},
        {"activation mid-download", 8, [](Page& p) { p[8] = 0x0F; }},
        {"buffer ID", 11, [](Page& p) { p[11] = 2; }},
        {"offset not a multiple of four", 12, [](Page& p) { vocab::PutBe(p, 12, 4002, 4); }},
        {"offset not the expected one", 12, [](Page& p) { vocab::PutBe(p, 12, 4004, 4); }},
        {"image length changed", 16, [](Page& p) { vocab::PutBe(p, 16, 8004, 4); }},
        {"image length above the maximum", 16, [](Page& p) { vocab::PutBe(p, 16, 100001, 4); }},
        {"data length above the page", 20, [](Page& p) { vocab::PutBe(p, 20, 4001, 4); }},
        {"page longer than data and pad", 20, [](Page& p) { vocab::PutBe(p, 20, 3996, 4); }},
        {"data beyond the image", 20, [](Page& p) {
             p.resize(24 + 4004), p[2] = (uint8_t)((4004 + 20) >> 8), p[3] = (uint8_t)(4004 + 20);
             vocab::PutBe(p, 20, 4004, 4);
         }},
    };
    const std::vector<uint8_t> image = Image("0A00", 8000);
    const Page first(image.begin(), image.begin() + 4000), second(image.begin() + 4000, image.end());
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        Enclosure e(ConfigWith([](sesim::Config& c) { c.maxImageSize = 100000; }), simtest::Quiet());
        ASSERT_TRUE(e.SendDiagnostic(vocab::ControlPage(7, 0, 0, 8000, first)).Good());
        Page page = vocab::ControlPage(7, 0, 4000, 8000, second);
        row.spoil(page);
        EXPECT_TRUE(e.SendDiagnostic(page).Good()) << "field errors are reported in the status page";
        DownloadStatus s = e.Status();
        EXPECT_EQ(s.status, 0x80);
        EXPECT_EQ(s.additional, row.offset);
        EXPECT_EQ(e.Status().status, 0x00);
        EXPECT_EQ(e.state.download.phase, sesim::DownloadPhase::Idle);
        EXPECT_EQ(e.backing.images.size(), 1u);
        EXPECT_EQ(std::string(e.state.active.revision, 4), "0100");
    }
}

TEST(Download, FieldErrorsOnAFreshDownload)
{
    Enclosure e(ConfigWith([](sesim::Config& c) { c.maxImageSize = 1000; }), simtest::Quiet());
    e.SendDiagnostic(vocab::ControlPage(7, 0, 4, 100, std::vector<uint8_t>(4, 1)));
    EXPECT_EQ(e.Status().additional, 12) << "a new download starts at offset 0";
    e.SendDiagnostic(vocab::ControlPage(7, 0, 0, 0, {}));
    EXPECT_EQ(e.Status().additional, 16) << "image length 0";
    e.SendDiagnostic(vocab::ControlPage(7, 0, 0, 1001, std::vector<uint8_t>(4, 1)));
    EXPECT_EQ(e.Status().additional, 16) << "above --max-image-size";
}

TEST(Download, StorageFailureEndsIn84)
{
    Enclosure e(sesim::Config(), simtest::Quiet());
    e.backing.failWrite = true;
    e.SendDiagnostic(vocab::ControlPage(7, 0, 0, 100, Image("0D00", 100)));
    EXPECT_EQ(e.Status().status, 0x84);
    e.backing.failWrite = false;
    e.backing.failCreate = true;
    e.SendDiagnostic(vocab::ControlPage(7, 0, 0, 100, Image("0D00", 100)));
    EXPECT_EQ(e.Status().status, 0x84);
}

TEST(Download, APageForAnotherSubenclosureLeavesTheRunningDownloadAlone)
{
    Enclosure e(ConfigWith([](sesim::Config& c) { c.secondarySubenclosures = 1; }), simtest::Quiet());
    std::vector<uint8_t> image = Image("0E10", 200);
    e.SendDiagnostic(Block(image, 0));
    e.SendDiagnostic(Block(image, 0, 1));
    Reply r = e.ReceiveDiagnostic(0x0E, 60);
    EXPECT_EQ(r.din[8 + 2], 0x01);
    EXPECT_EQ(Be32(r.din, 8 + 12), 100u);
    EXPECT_EQ(r.din[24 + 2], 0x80);
    EXPECT_EQ(r.din[24 + 3], 1);
    e.SendDiagnostic(Block(image, 100));
    e.Status();
    e.Status();
    EXPECT_EQ(e.Status().status, 0x10);
}

TEST(Download, SecondarySubenclosureHasItsOwnDescriptor)
{
    Enclosure e(ConfigWith([](sesim::Config& c) { c.secondarySubenclosures = 1; }), simtest::Quiet());
    std::vector<uint8_t> image = Image("0E00", 100);
    e.SendDiagnostic(vocab::ControlPage(0x0E, 0, 0, 100, image, 0, 1));
    Reply r = e.ReceiveDiagnostic(0x0E, 60);
    EXPECT_EQ(r.din[10], 0x00);
    EXPECT_EQ(r.din[24 + 1], 1);
    EXPECT_EQ(r.din[24 + 2], 0x03);
    e.Status();
    Reply done = e.ReceiveDiagnostic(0x0E, 60);
    EXPECT_EQ(done.din[24 + 2], 0x13);
    e.SendDiagnostic(vocab::ControlPage(0x0F, Be32(done.din, 4), 0, 0, {}, 0, 1));
    EXPECT_EQ(e.ReceiveDiagnostic(0x0E, 60).din[24 + 2], 0x00);
    EXPECT_EQ(e.Tur().Sense(), "06/3f/01");
    EXPECT_EQ(std::string(e.state.active.revision, 4), "0100");
}

// The storage phase is the enclosure's: another process attaching neither ends nor restarts
// it, and every reader's status reads count towards it.
TEST(Sessions, StoragePhaseOutlivesANewSession)
{
    Enclosure e(sesim::Config(), simtest::Quiet());
    e.SendDiagnostic(vocab::ControlPage(7, 0, 0, 100, Image("0F00", 100)));
    EXPECT_EQ(e.Status().status, 0x02);
    sesim::Released released{};
    e.model->BeginSession(e.state, e.now, released);
    EXPECT_EQ(std::string(e.state.active.revision, 4), "0100");
    EXPECT_EQ(e.Status().status, 0x02);
    EXPECT_EQ(e.Status().status, 0x10);
    EXPECT_EQ(e.Tur().Sense(), "06/3f/01");
}

TEST(Sessions, PowerCycleLosesAnIncompleteDownload)
{
    Enclosure e(sesim::Config(), simtest::Quiet());
    e.SendDiagnostic(vocab::ControlPage(7, 0, 0, 200, std::vector<uint8_t>(100, 1)));
    sesim::Released released{};
    e.model->Reset(e.state, sesim::ResetKind::PowerCycle, e.now, released);
    for (int i = 0; i < released.count; i++)
        e.backing.images.erase(released.ids[i]);
    EXPECT_EQ(e.Tur().Sense(), "06/29/01");
    EXPECT_EQ(e.Status().status, 0x00);
    EXPECT_EQ(e.backing.images.size(), 1u);
}

// ---------------------------------------------------------------- console

// Whole output across responses is the bufterm tests' to check; here the cap per response.
TEST(Console, ALargerAllocationStillGetsAtMost507CharactersPerResponse)
{
    Enclosure e(sesim::Config(), simtest::Quiet());
    e.ConsoleWrite("log 100");
    Reply big = e.ConsoleRead(4096);
    EXPECT_EQ(Be16(big.din, 0), 507u);
    EXPECT_EQ(Be16(big.din, 2), 1u);
}

TEST(Console, ResetActivatesDeferredFirmwareAfterTheAnswerIsRead)
{
    Enclosure e(sesim::Config(), simtest::Quiet());
    EXPECT_EQ(e.Download(Image("1000", 3000), 0x0E).status, 0x13);
    EXPECT_EQ(e.Console("rev"), "revision 0100\ndeferred 1000\n");
    EXPECT_EQ(e.Console("reset"), "resetting\n");
    EXPECT_EQ(e.Tur().Sense(), "06/29/00");
    EXPECT_EQ(e.Tur().Sense(), "06/3f/01");
    EXPECT_EQ(e.Console("rev"), "revision 1000\n");
    EXPECT_EQ(e.Console("reset"), "resetting\n");
    EXPECT_EQ(e.RequestSense().Sense(), "-");
    EXPECT_EQ(e.RequestSense().din[12], 0x00);
}

TEST(Console, InvalidBufferCommandsAreRejected)
{
    Enclosure e(ConfigWith([](sesim::Config& c) { c.readBuffer = false; }), simtest::Quiet());
    EXPECT_EQ(e.ConsoleRead().Sense(), "05/20/00");
    EXPECT_EQ(e.Run({0x3B, 0x02, 0x01, 0, 0, 0, 0, 0, 4, 0}, {1, 0, 'a', 0}).Sense(), "05/24/00");
    EXPECT_EQ(e.Run({0x3B, 0x01, 0x02, 0, 0, 0, 0, 0, 4, 0}, {1, 0, 'a', 0}).Sense(), "05/24/00");
    EXPECT_EQ(e.Run({0x3B, 0x01, 0x01, 0, 0, 4, 0, 0, 4, 0}, {1, 0, 'a', 0}).Sense(), "05/24/00");
    EXPECT_EQ(e.Run({0x3B, 0x01, 0x01, 0, 0, 0, 0, 2, 1, 0}, std::vector<uint8_t>(513, 1)).Sense(), "05/24/00");
    EXPECT_EQ(e.Run({0x3B, 0x01, 0x01, 0, 0, 0, 0, 0, 4, 0}, {2, 0, 'a', 0}).Sense(), "05/26/00");
    EXPECT_EQ(e.Run({0x3B, 0x01, 0x01, 0, 0, 0, 0, 0, 4, 0}, {1, 1, 'a', 0}).Sense(), "05/26/00");
    EXPECT_TRUE(e.Run({0x3B, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0}).Good());
}

TEST(Console, ShortAllocationsConsumeNothing)
{
    Enclosure e(sesim::Config(), simtest::Quiet());
    e.ConsoleWrite("echo abc");
    EXPECT_EQ(e.ConsoleRead(2).din.size(), 2u);
    EXPECT_EQ(e.ConsoleRead(4).din, (std::vector<uint8_t>{0, 0, 0, 1}));
    Reply r = e.ConsoleRead(6);
    EXPECT_EQ(std::string(r.din.begin() + 4, r.din.end()), "ab");
    r = e.ConsoleRead(100);
    EXPECT_EQ(std::string(r.din.begin() + 4, r.din.end()), "c\n");
    EXPECT_EQ(Be16(r.din, 2), 0u);
    Reply descriptor = e.Run({0x3C, 0x03, 0x01, 0, 0, 0, 0, 0, 4, 0}, {}, 4);
    EXPECT_EQ(descriptor.din, (std::vector<uint8_t>{0, 0, 2, 0}));
}

// ---------------------------------------------------------------- faults

TEST(Faults, ReplacingFaultsLeaveTheCommandUndone)
{
    Enclosure check(WithFault("check@cmd=2,sense=03/11/00"));
    EXPECT_EQ(check.Inquiry().status(), 0x00);
    Reply r = check.Tur();
    EXPECT_EQ(r.Sense(), "03/11/00");
    EXPECT_STREQ(r.result.fault, "check");
    EXPECT_EQ(check.Tur().Sense(), "06/29/00") << "the unit attention stayed pending";

    Enclosure desc(WithFault("check@cmd=1,format=desc"));
    EXPECT_EQ(desc.Tur().result.sense[0], 0x72);

    Enclosure nosense(WithFault("check-nosense@cmd=1"));
    Reply n = nosense.Tur();
    EXPECT_EQ(n.status(), 0x02);
    EXPECT_EQ(n.result.senseLength, 0u);

    Enclosure busy(WithFault("status@op=00,value=08,count=2"));
    EXPECT_EQ(busy.Tur().status(), 0x08);
    EXPECT_EQ(busy.Tur().status(), 0x08);
    EXPECT_EQ(busy.Tur().Sense(), "06/29/00");

    Enclosure err(WithFault("errno@cmd=1+,errno=EIO"));
    EXPECT_EQ(err.Tur().result.errnoValue, EIO);
    EXPECT_EQ(err.Inquiry().result.errnoValue, EIO);
}

TEST(Faults, WhenAfterTheEnclosureDoesTheWorkButTheCallerSeesAFailure)
{
    Enclosure e(WithFault("errno@block=2,when=after,errno=EIO"), simtest::Quiet());
    std::vector<uint8_t> image = Image("1200", 300);
    EXPECT_TRUE(e.SendDiagnostic(Block(image, 0)).Good());
    Reply lost = e.SendDiagnostic(Block(image, 100));
    EXPECT_EQ(lost.result.outcome, sesim::Outcome::TransportError);
    EXPECT_EQ(lost.result.errnoValue, EIO);
    EXPECT_EQ(e.Status().expectedOffset, 200u) << "the block was taken";

    Enclosure check(WithFault("check@op=12,when=after,sense=0b/47/00"));
    Reply r = check.Inquiry();
    EXPECT_EQ(r.Sense(), "0b/47/00");
    EXPECT_TRUE(r.din.empty());
}

// A short or garbled status page is FwpushIdentify's to show, exactly as fwpush reads it.
TEST(Faults, StuckStatusRepeatsForItsReads)
{
    Enclosure stuck(WithFault("stuck@cmd=2,reads=3"));
    stuck.RequestSense(); // takes the power-on unit attention
    EXPECT_EQ(stuck.Status().status, 0x02);
    EXPECT_EQ(stuck.Status().status, 0x02);
    EXPECT_EQ(stuck.Status().status, 0x02);
    EXPECT_EQ(stuck.Status().status, 0x00);
}

TEST(Faults, BlockTriggersCountDataPagesOnly)
{
    Enclosure e(WithFault("check@block=2,count=2"), simtest::Quiet());
    std::vector<uint8_t> image = Image("1100", 400);
    EXPECT_TRUE(e.SendDiagnostic(Block(image, 0)).Good());
    e.Status();
    EXPECT_EQ(e.SendDiagnostic(Block(image, 100)).Sense(), "04/44/00");
    EXPECT_EQ(e.SendDiagnostic(Block(image, 100)).Sense(), "04/44/00");
    EXPECT_TRUE(e.SendDiagnostic(Block(image, 100)).Good());
    EXPECT_EQ(e.Status().expectedOffset, 200u);
}

TEST(Faults, DescriptionsParseAndFormatBack)
{
    for (const char* faultText : {"check@cmd=3,sense=05/24/00", "check@cmd=3,count=2,sense=04/44/00,format=desc",
                             "errno@op=1c,count=2,errno=ENODEV", "status@cmd=4+,value=18", "drop@block=2",
                             "stuck@block=3,reads=10", "bad-length@op=3c,value=600", "host@op=00,code=03",
                             "garbage-status@op=1c,seed=9", "short-status@cmd=1,len=3", "gone@cmd=9",
                             "host@block=2,when=after,code=07", "check@op=1d,count=3,when=after,sense=0b/47/00"})
    {
        sesim::FaultSpec f;
        std::string error;
        ASSERT_TRUE(sesim::ParseFault(faultText, &f, &error)) << faultText << ": " << error;
        sesim::FaultSpec again;
        ASSERT_TRUE(sesim::ParseFault(sesim::FormatFault(f), &again, &error)) << sesim::FormatFault(f);
        EXPECT_EQ(sesim::FormatFault(again), sesim::FormatFault(f));
    }
    for (const char* bad : {"check", "check@", "nope@cmd=1", "check@cmd=0", "check@cmd=x", "check@op=123",
                            "check@cmd=1,sense=05/24", "check@cmd=1,sense=15/00/00", "check@cmd=1,reads=3",
                            "errno@cmd=1,errno=EWHAT", "check@cmd=2+,count=3", "status@cmd=1,value=zz",
                            "check@block=1,count=0", "host@cmd=1,code=00", "gone@cmd=1,when=after",
                            "drop@block=1,when=later"})
    {
        sesim::FaultSpec f;
        std::string error;
        EXPECT_FALSE(sesim::ParseFault(bad, &f, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

} // namespace
