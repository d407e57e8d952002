// Enclosure answers that an honest enclosure model does not give (a completion before the last
// byte, an expected offset of 0xFFFFFFFF, a status that never clears), from a scripted device.

#include <gtest/gtest.h>

#include "fwpush_expect.h"

using namespace fwpush_e2e;
using e2e::RunResult;
using e2e::ScriptedDevice;

namespace
{

const std::string kScripted = ScriptedDevice::kDevice;

// A rule that answers `count` status reads with a page of one descriptor.
std::string Status(const std::string& count, uint8_t code, uint32_t expectedOffset, uint8_t additional = 0)
{
    return "1c/0e " + count + " data=" + vocab::Hex(vocab::StatusPage(code, expectedOffset, additional));
}

// An enclosure that identifies itself, is ready and lists page 0x0E.
void Identity(ScriptedDevice& device)
{
    device.Add("12 * data=0d000502" "1f000000" + vocab::Hex("SCRIPTEDSCRIPTED ENCL   0100"));
    device.Add("00 *");
    device.Add("1c/00 * data=00000005000102070e");
}

// The same, idle at the first status read; the status rules of the test answer the later ones.
void Enclosure(ScriptedDevice& device)
{
    Identity(device);
    device.Add(Status("1", 0x00, 0));
}

std::string Image(const ScriptedDevice& device, uint32_t size)
{
    std::string path = device.File("fw.img");
    std::string bytes(size, '\0');
    for (uint32_t i = 0; i < size; i++)
        bytes[i] = (char)(i * 7);
    e2e::WriteFile(path, bytes);
    return path;
}

// Runs fwpush with the options on the scripted device and the image (none when empty).
RunResult Push(const ScriptedDevice& device, const std::string& image, const std::vector<std::string>& options = {})
{
    return device.Run(FwpushArgv(options, image.empty() ? std::vector<std::string>{kScripted}
                                                         : std::vector<std::string>{kScripted, image}));
}

std::string FailedSend(int block, uint32_t offset)
{
    return "SEND_DIAG failed: Sense 02,04,44,00\nSend failed status 4\n"
           "Failed to send Page E Control Request, block " +
           std::to_string(block) + ", status 4, offset " + std::to_string(offset) + "\n";
}

const std::string kSendCheck = "1d 1 status=02 sense=04/44/00";

// 0xFFFFFFFF takes data at any offset: a good send needs no resend, a failed one is repeated.
TEST(FwpushScripted, AnyOffsetExpectedMatchesEveryOffset)
{
    ScriptedDevice device;
    Enclosure(device);
    device.Add(kSendCheck);
    device.Add("1d *");
    device.Add(Status("3", 0x01, 0xFFFFFFFF));
    device.Add(Status("*", 0x10, 0));
    const uint32_t size = 2 * kDefaultBlock + 1;
    RunResult r = Push(device, Image(device, size));
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, FailedSend(0, 0) + "Retrying block 0\n");
    std::vector<e2e::LogEntry> sends = Sends(device.Log());
    ASSERT_EQ(sends.size(), 4u);
    EXPECT_EQ(vocab::Be32(sends[1].dout, 12), 0u);
    EXPECT_EQ(vocab::Be32(sends[2].dout, 12), kDefaultBlock);
    EXPECT_EQ(vocab::Be32(sends[3].dout, 12), 2 * kDefaultBlock);
}

// Each busy code, the storage phase of a deferred download (0x03) included, pauses a pass of the
// idle wait for a second.
TEST(FwpushScripted, BusyStatusesPauseTheIdleWait)
{
    for (uint8_t code : {0x01, 0x02, 0x03})
    {
        SCOPED_TRACE(code);
        ScriptedDevice device;
        Identity(device);
        device.Add(Status("2", code, 0));
        device.Add(Status("*", 0x00, 0));
        device.Add("1d *");
        long long started = vocab::NowMs();
        RunResult r = Push(device, "", {"-A"});
        EXPECT_GE(vocab::NowMs() - started, 1000);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(Sequence(device.Log()), "INQ TUR RD00 RD0E RD0E RD0E SD RD0E");
    }
}

// Each row: the device's answers after it has identified itself (and, unless `identityOnly`, been
// idle at the first status read), the options, and how the run ends.
struct ScriptCase
{
    const char* what;
    std::vector<std::string> script;
    std::vector<std::string> options; // "-A" runs without an image
    uint32_t imageSize;
    int exitStatus;
    std::string err;
    std::string sequence; // compared when not empty
    bool identityOnly = false;
};

TEST(FwpushScripted, AnswersDecideHowTheRunEnds)
{
    const std::string sendFailed = "SEND_DIAG failed: Sense 02,04,44,00\nSend failed status 4\n";
    const std::string took = FailedSend(0, 0) + "Enclosure thinks block 0 transfered. Continuing\n";
    const std::string notListed = "Device /dev/scripted0 does not suport SES Page 0xE download\n";
    auto final = [](uint8_t code) { return std::vector<std::string>{"1d *", Status("*", code, 0, 8)}; };
    const std::string uaFailed = "RCV_DIAG_RESULT failed: Sense 02,06,";
    auto restart = [&](const std::string& sense, uint8_t code) {
        return std::vector<std::string>{"1d *", "1c/0e 1 status=02 sense=06/" + sense, Status("*", code, 0)};
    };
    // An identity with the given supported pages list, then the rest.
    auto identified = [](const std::string& list, std::vector<std::string> rest) {
        rest.insert(rest.begin(), {"12 * data=0d00050200000000", "00 *", "1c/00 * data=" + list});
        return rest;
    };
    auto pages = [&](const std::string& list) {
        return identified(list, {Status("1", 0x00, 0), "1d *", Status("*", 0x10, 0)});
    };
    const std::vector<ScriptCase> cases = {
        {"field error", final(0x80), {}, 100, 1, "\nError in control page fields. Field offset 8\n", ""},
        {"timeout", final(0x82), {}, 100, 1, "\nDownload timeout\n", ""},
        {"enclosure offset out of step", {kSendCheck, Status("*", 0x01, 100)}, {}, 2 * kDefaultBlock, 1,
         took + "Offset mismatch. Our offset 4072, enclosure offset 100\n", ""},
        // The last block was a whole one: no empty block follows it.
        {"enclosure wants more than the image holds", {"1d *", Status("*", 0x01, kDefaultBlock)}, {}, kDefaultBlock,
         1, "Unexpected end of file\n", "INQ TUR RD00 RD0E SD RD0E"},
        // Immediate activation reported: an activation request would be pointless.
        {"-a after an immediate activation", {"1d *", Status("*", 0x10, 0)}, {"-a"}, 100, 0, "",
         "INQ TUR RD00 RD0E SD RD0E"},
        {"-a with a refused activation", {"1d 1", kSendCheck, Status("*", 0x13, 0)}, {"-a"}, 100, 1,
         sendFailed + "Activation failed\n", ""},
        {"-A refused", {kSendCheck}, {"-A"}, 0, 1, sendFailed + "Activation failed\n", ""},
        {"-A with nothing staged", {"1d *", Status("*", 0x85, 0)}, {"-A"}, 0, 1,
         "Enclosure has no deferred microcode to activate\nActivation failed\n", "INQ TUR RD00 RD0E SD RD0E"},
        {"-A taken but failed", {"1d *", Status("*", 0x80, 0)}, {"-A"}, 0, 1,
         "Activation status 0x80\nActivation failed\n", "INQ TUR RD00 RD0E SD RD0E"},
        // A status left over from an earlier operation is polled 60 times, without pauses since
        // it is not a busy code (60 pauses of a second would outlast the run's time limit).
        {"status that never clears", identified("000000010e", {Status("*", 0x13, 0x1234)}), {"-A"}, 0, 1,
         "Enclosure not ready, Download status 13, expected offset 4660\n", "INQ TUR RD00" + Repeat(" RD0E", 120),
         true},
        {"completion with a byte left", {"1d *", Status("1", 0x01, kDefaultBlock), Status("*", 0x10, 0)}, {},
         2 * kDefaultBlock + 1, 1, "Download completed but 1 byte remains in file\n", "INQ TUR RD00 RD0E SD RD0E SD RD0E"},
        {"completion with bytes left", {"1d *", Status("1", 0x01, kDefaultBlock), Status("*", 0x10, 0)}, {},
         2 * kDefaultBlock + 5, 1, "Download completed but 5 bytes remain in file\n", ""},
        // Only the first read of a pass can end the idle wait; the second must still succeed.
        {"failed second status read of an idle-wait pass",
         identified("000000010e", {Status("1", 0x13, 0), "1c/0e 1 status=02 sense=04/44/00"}), {"-A"}, 0, 1,
         "RCV_DIAG_RESULT failed: Sense 02,04,44,00\nSend failed status 4\n", "INQ TUR RD00 RD0E RD0E", true},
        // Both kinds of resend count towards the same five sends.
        {"failed send, then dropped sends", {kSendCheck, "1d *", Status("*", 0x01, 0)}, {}, 100, 1,
         FailedSend(0, 0) + "Retrying block 0\n" +
             Repeat("Retrying Block 0, Download Status 1, Offset 0, Expected Offset 0 \n", 3) + "Download Failed\n",
         "INQ TUR RD00 RD0E" + Repeat(" SD RD0E", 5)},
        // A unit attention on the status read after a block: the enclosure restarted. On new
        // microcode (3F/01) the download is complete unless the status shows an error.
        {"restart on new microcode", restart("3f/01", 0x00), {}, 100, 0, uaFailed + "3f,01\nSend failed status 4\n",
         "INQ TUR RD00 RD0E SD RD0E RD0E"},
        {"restart on new microcode after storing",
         {"1d *", Status("1", 0x02, 0), "1c/0e 1 status=02 sense=06/29/00", "1c/0e 1 status=02 sense=06/3f/01",
          Status("*", 0x10, 0)},
         {}, 100, 0, uaFailed + "29,00\nSend failed status 4\n" + uaFailed + "3f,01\nSend failed status 4\n",
         "INQ TUR RD00 RD0E SD RD0E RD0E RD0E RD0E"},
        {"restart on new microcode that refused the image", restart("3f/01", 0x81), {}, 100, 1,
         uaFailed + "3f,01\nSend failed status 4\n\nError in download image data\n", ""},
        {"restart without new microcode", restart("29/00", 0x00), {}, 100, 1,
         uaFailed + "29,00\nSend failed status 4\n\nThe enclosure restarted during the download; check its "
                    "firmware revision\n",
         ""},
        // After a block the download cannot go on blind.
        {"failed status read after a block", {"1d *", "1c/0e 1 status=02 sense=04/44/00"}, {}, 100, 1,
         "RCV_DIAG_RESULT failed: Sense 02,04,44,00\nSend failed status 4\nDownload Failed\n", ""},
        // While storing, the polling ends and the last status stands.
        {"failed status read while storing", {"1d *", Status("2", 0x02, 0), "1c/0e 1 host=07"}, {}, 100, 1,
         "Send failed status 5\n\nDownload status 0x2\n", "INQ TUR RD00 RD0E SD RD0E RD0E RD0E"},
        // An enclosure may restart on its new microcode as soon as it takes the activation
        // request; a status read that then fails says nothing against the activation.
        {"unreadable outcome of an accepted activation", {"1c/0e 1 status=02 sense=06/3f/01", "1d *"}, {"-A"}, 0, 0,
         "", "INQ TUR RD00 RD0E SD RD0E"},
        // Only the bytes the pages list's length covers count.
        {"page 0x0E listed", pages("000000040001020e"), {"-A"}, 0, 0, "", "", true},
        {"empty pages list", pages("00000000"), {"-A"}, 0, 1, notListed, "", true},
        {"page 0x0E beyond the list's length", pages("0000000400010207" "0e"), {"-A"}, 0, 1, notListed, "", true},
    };
    for (const ScriptCase& c : cases)
    {
        SCOPED_TRACE(c.what);
        ScriptedDevice device;
        if (!c.identityOnly)
            Enclosure(device);
        for (const std::string& line : c.script)
            device.Add(line);
        bool activateOnly = !c.options.empty() && c.options[0] == "-A";
        RunResult r = Push(device, activateOnly ? "" : Image(device, c.imageSize), c.options);
        EXPECT_EQ(r.exitStatus, c.exitStatus);
        EXPECT_EQ(r.err, c.err);
        if (!c.sequence.empty())
        {
            EXPECT_EQ(Sequence(device.Log()), c.sequence);
        }
    }
}

} // namespace
