// The download itself: the control pages on the wire, resends, the storage phase, the final
// status and the activation request.

#include <unistd.h>

#include <gtest/gtest.h>

#include "fwpush_expect.h"

using namespace fwpush_e2e;
using e2e::Enclosure;
using e2e::LogEntry;
using e2e::RunResult;

namespace
{

constexpr uint32_t kGencode = 0x01020304;
const std::string kGencodeOption = std::to_string(kGencode);

std::vector<std::string> Init(std::vector<std::string> extra = {})
{
    std::vector<std::string> options = {"--no-unit-attention", "--gencode", kGencodeOption, "--busy-reads", "1"};
    options.insert(options.end(), extra.begin(), extra.end());
    return options;
}

struct Download
{
    std::string path;
    std::string bytes;
    Params params;
};

Download Image(const Enclosure& enclosure, uint32_t size, const std::string& revision = "0200")
{
    Download d;
    d.path = enclosure.File("fw-" + revision + ".img");
    d.bytes = MakeImage(d.path, revision, size);
    d.params.file = d.path;
    d.params.length = size;
    return d;
}

RunResult Push(const Enclosure& enclosure, const Download& d, const std::vector<std::string>& options = {})
{
    return enclosure.Run(FwpushArgv(options, {kDevice, d.path}));
}

// Checks that the SEND DIAGNOSTIC commands of a run carry exactly the given blocks, each with
// the generation code of the status read before it.
void ExpectBlocks(const std::vector<LogEntry>& log, const Download& d, const std::vector<uint32_t>& offsets,
                  const std::vector<uint32_t>& sizes, uint8_t mode = 0x07, uint8_t bufferId = 0)
{
    std::vector<LogEntry> sends = Sends(log);
    ASSERT_GE(sends.size(), offsets.size());
    for (size_t i = 0; i < offsets.size(); i++)
    {
        uint32_t gencode = GencodeBefore(log, sends[i].index);
        EXPECT_EQ(gencode, kGencode);
        ExpectDataPage(sends[i], vocab::ControlHeader(mode, gencode, offsets[i], d.params.length, sizes[i], bufferId),
                       d.bytes, offsets[i], sizes[i]);
    }
}

// Each row: an image cut into blocks; every block goes out in one page with its offset, length
// and zero pad bytes, and one status read follows it.
TEST(FwpushDownload, BlocksCarryOffsetsLengthsAndZeroPadding)
{
    struct Case
    {
        const char* what;
        std::vector<std::string> init;
        uint32_t size;
        uint32_t maxPage;
        std::vector<uint32_t> offsets;
        std::vector<uint32_t> sizes;
    } cases[] = {
        {"a short last block", {}, 2 * kDefaultBlock + 1, 4096, {0, kDefaultBlock, 2 * kDefaultBlock},
         {kDefaultBlock, kDefaultBlock, 1}},
        {"whole blocks only: no empty block", {}, 2 * kDefaultBlock, 4096, {0, kDefaultBlock},
         {kDefaultBlock, kDefaultBlock}},
        // Not a multiple of four: the page grows by the pad bytes.
        {"odd page size", {"--no-offset-alignment-check"}, 200, 101, {0, 77, 154}, {77, 77, 46}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        Enclosure enclosure(Init(c.init));
        Download d = Image(enclosure, c.size);
        d.params.maxPage = c.maxPage;
        RunResult r = Push(enclosure, d, {"-p=" + std::to_string(c.maxPage)});
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, DownloadOut(d.params, c.sizes) + "\nDownload complete\n");
        std::vector<LogEntry> log = enclosure.Log();
        EXPECT_EQ(Sequence(log), "INQ TUR RD00 RD0E" + Repeat(" SD RD0E", (int)c.sizes.size()) + " RD0E");
        for (const LogEntry& e : log)
        {
            if (e.opcode == 0x1C && e.cdb[2] == 0x0E)
            {
                EXPECT_EQ(vocab::Hex(e.cdb), "1c010e003c00");
            }
        }
        ASSERT_EQ(Sends(log).size(), c.sizes.size());
        ExpectBlocks(log, d, c.offsets, c.sizes);
    }
}

TEST(FwpushDownload, DroppedBlockIsResentUnchanged)
{
    Enclosure enclosure(Init({"--fault", "drop@block=2"}));
    const uint32_t size = 2 * kDefaultBlock + 1;
    Download d = Image(enclosure, size);
    RunResult r = Push(enclosure, d);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "Retrying Block 1, Download Status 1, Offset 4072, Expected Offset 4072 \n");
    // The resend does not advance the progress line.
    EXPECT_EQ(r.out, DownloadOut(d.params, Blocks(size)) + "\nDownload complete\n");
    std::vector<LogEntry> log = enclosure.Log();
    std::vector<LogEntry> sends = Sends(log);
    ASSERT_EQ(sends.size(), 4u);
    ExpectBlocks(log, d, {0, kDefaultBlock, kDefaultBlock, 2 * kDefaultBlock},
                 {kDefaultBlock, kDefaultBlock, kDefaultBlock, 1});
    EXPECT_EQ(vocab::Hex(sends[1].dout), vocab::Hex(sends[2].dout));
}

// Each row: a storage phase, polled until its final status. A completion that needs a reset
// sends no activation request and says so; 0x03, the storage phase of a deferred download, is
// polled like 0x02, not taken for a final status.
TEST(FwpushDownload, StorageIsPolledUntilTheFinalStatus)
{
    const struct
    {
        std::vector<std::string> init, options;
        const char* mode;
        std::string last;
        std::string polls; // after the one block
    } rows[] = {
        {{"--complete-status", "0x11", "--busy-reads", "4"}, {}, "Save and auto activate",
         "New firmware will run after the enclosure is reset\n", Repeat(" RD0E", 5)},
        {{"--deferred-busy-status", "0x03", "--busy-reads", "3"}, {"-d"}, "Save and defer activate",
         "New firmware is stored; activate it with fwpush -A\n", Repeat(" RD0E", 4)},
    };
    for (const auto& row : rows)
    {
        Enclosure enclosure(Init(row.init));
        Download d = Image(enclosure, 100);
        d.params.mode = row.mode;
        RunResult r = Push(enclosure, d, row.options);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, DownloadOut(d.params, {100}) + "\nDownload complete\n" + row.last);
        EXPECT_EQ(Sequence(enclosure.Log()), "INQ TUR RD00 RD0E SD" + row.polls);
        EXPECT_EQ(enclosure.Show("revision"), "0100");
    }
}

// The polls of a storage phase are paced, not a busy loop: 200 ms of storage take a few
// dozen reads at most.
TEST(FwpushDownload, StoragePhasePollsArePaced)
{
    Enclosure enclosure(Init({"--busy-reads", "0", "--busy-ms", "200"}));
    Download d = Image(enclosure, 100);
    RunResult r = Push(enclosure, d);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    std::vector<LogEntry> log = enclosure.Log();
    ASSERT_EQ(Sends(log).size(), 1u);
    // Every command after the block's is a status read.
    size_t polls = (size_t)(log.back().index - Sends(log)[0].index);
    EXPECT_GE(polls, 2u);
    EXPECT_LE(polls, 21u);
}

TEST(FwpushDownload, DeferredDownloadIsActivatedOnRequest)
{
    Enclosure enclosure(Init());
    Download d = Image(enclosure, 2 * kDefaultBlock + 1);
    d.params.mode = "Save and defer activate";
    d.params.activate = true;
    RunResult r = Push(enclosure, d, {"-a"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, DownloadOut(d.params, Blocks(d.params.length)) + "\nDownload complete\nSending activation request\n");
    std::vector<LogEntry> log = enclosure.Log();
    EXPECT_EQ(Sequence(log), "INQ TUR RD00 RD0E SD RD0E SD RD0E SD RD0E RD0E SD RD0E");
    std::vector<LogEntry> sends = Sends(log);
    ASSERT_EQ(sends.size(), 4u);
    ExpectBlocks(log, d, {0, kDefaultBlock, 2 * kDefaultBlock}, {kDefaultBlock, kDefaultBlock, 1}, 0x0E);
    // The enclosure bumped its generation code with the completion: the request carries the new one.
    ExpectActivationPage(sends[3], kGencode + 1, 0, d.params.length);
    EXPECT_EQ(GencodeBefore(log, sends[3].index), kGencode + 1);
    EXPECT_EQ(enclosure.Show("revision"), "0200");
    EXPECT_EQ(enclosure.Show("deferred image"), "none");
}

// -d stores the image; -A alone then sends only the activation request, with no image length.
TEST(FwpushDownload, ActivateOnlyRequestsTheStagedFirmware)
{
    Enclosure enclosure(Init());
    Download d = Image(enclosure, kDefaultBlock + 7, "0300");
    ASSERT_EQ(Push(enclosure, d, {"-d"}).exitStatus, 0);
    EXPECT_EQ(enclosure.Show("revision"), "0100");
    EXPECT_EQ(enclosure.Show("deferred image"), ImageShown("0300", d.params.length, d.path));
    const size_t before = enclosure.Log().size();
    RunResult r = enclosure.Run({Fwpush(), "-A", kDevice});
    Params p;
    p.mode = "Activate only";
    p.activate = true;
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, Banner() + ParameterBlock(p) + Identification() +
                         "Waiting for existing download operations...\nActivating...\nSending activation request\n");
    std::vector<LogEntry> log = enclosure.Log();
    log.erase(log.begin(), log.begin() + (std::ptrdiff_t)before);
    EXPECT_EQ(Sequence(log), "INQ TUR RD00 RD0E SD RD0E");
    ASSERT_EQ(Sends(log).size(), 1u);
    ExpectActivationPage(Sends(log)[0], kGencode + 1, 0, 0);
    EXPECT_EQ(enclosure.Show("active image"), ImageShown("0300", d.params.length, d.path));
    EXPECT_EQ(enclosure.Show("deferred image"), "none");
}

// The largest image a page can describe is announced as it is; this enclosure refuses it.
TEST(FwpushDownload, LargestImageLengthIsAnnouncedExactly)
{
    Enclosure enclosure(Init());
    Download d;
    d.path = enclosure.File("sparse.img");
    e2e::WriteFile(d.path, "");
    ASSERT_EQ(truncate(d.path.c_str(), 0xFFFFFFFFLL), 0);
    RunResult r = enclosure.Run({Fwpush(), kDevice, d.path});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.out.find("File length           : 4294967295 Bytes\nSES"), std::string::npos);
    EXPECT_EQ(r.err, "\nError in control page fields. Field offset 16\n");
    std::vector<LogEntry> sends = Sends(enclosure.Log());
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(vocab::Hex(std::vector<uint8_t>(sends[0].dout.begin(), sends[0].dout.begin() + kHeader)),
              vocab::Hex(vocab::ControlHeader(0x07, kGencode, 0, 0xFFFFFFFF, kDefaultBlock)));
}

} // namespace
