// fwpush run the way operators run it: through pagers and pipes that close early, started with
// its standard descriptors closed, over a terminal that goes away, interrupted, twice at once,
// on a file that changes under it. Each scenario is a bash script run with the
// enclosure attached; fwpush's own output goes to files of the scenario.

#include <gtest/gtest.h>

#include "fwpush_expect.h"

using namespace fwpush_e2e;
using e2e::Enclosure;
using e2e::LogEntry;
using e2e::RunResult;

namespace
{

// Every command takes 10 ms, so that a download of kBlocks blocks lasts over a second and a
// script can act in the middle of it.
constexpr uint32_t kBlocks = 60;
constexpr uint32_t kSize = kBlocks * kDefaultBlock;

std::vector<std::string> SlowEnclosure(const std::vector<std::string>& extra = {})
{
    std::vector<std::string> options = {"--no-unit-attention", "--busy-reads", "1", "--latency-us", "10000"};
    options.insert(options.end(), extra.begin(), extra.end());
    return options;
}

// `wait_sends N`: waits until the enclosure's log shows N SEND DIAGNOSTIC commands, while $pid
// runs; `wait_text TEXT FILE`: until FILE holds TEXT. Generous limits: a loaded machine is slow.
const std::string kPrelude = R"sh(
wait_sends() {
    for i in $(seq 6000); do
        [ "$(grep -c ' op=1d ' "$LOG")" -ge "$1" ] && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.01
    done
    return 1
}
wait_text() {
    for i in $(seq 6000); do grep -q "$1" "$2" && return 0; sleep 0.01; done
    return 1
}
)sh";

// Runs a scenario with FW (fwpush), IMG (the image), TMP (a scratch directory), LOG (the
// enclosure's command log) and SESIM set.
RunResult Scenario(const Enclosure& enclosure, const std::string& script, const std::string& image,
                   const e2e::TempDir& scratch)
{
    e2e::RunOptions options;
    options.env = {"FW=" + Fwpush(), "IMG=" + image, "TMP=" + scratch.Path(), "LOG=" + enclosure.File("commands.log"),
                   "SESIM=" + e2e::Bin("sesim")};
    // The harness ignores SIGPIPE, and an ignored signal is inherited: the scenario starts clean.
    return enclosure.Run({"env", "--default-signal", "bash", "-c", kPrelude + script}, options);
}

// Output that goes nowhere must not abandon the download: a pager that closes early, a reader
// gone before the first byte, descriptors 0, 1 and 2 closed (which the device or the
// enclosure's files must not inherit). The download ends well and the enclosure saw nothing else.
TEST(FwpushOperator, OutputThatGoesNowhereDoesNotStopTheDownload)
{
    const std::pair<const char*, const char*> cases[] = {
        {"head", R"("$FW" /dev/sesim0 "$IMG" 2>"$TMP/err" | head -3 >/dev/null; echo "status ${PIPESTATUS[0]}")"},
        {"closed reader", R"(mkfifo "$TMP/ready"
            { read -r _ <"$TMP/ready"; exec "$FW" /dev/sesim0 "$IMG" 2>"$TMP/err"; } |
                { exec 0<&-; echo >"$TMP/ready"; }
            echo "status ${PIPESTATUS[0]}")"},
        {"closed descriptors", R"("$FW" /dev/sesim0 "$IMG" <&- >&- 2>&-; echo "status $?")"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.first);
        Enclosure enclosure({"--no-unit-attention", "--busy-reads", "1"});
        e2e::TempDir scratch;
        const std::string image = enclosure.File("fw.img");
        MakeImage(image, "0200", 3 * kDefaultBlock);
        RunResult r = Scenario(enclosure, c.second, image, scratch);
        EXPECT_EQ(r.out, "status 0\n") << r.err;
        EXPECT_EQ(e2e::ReadFile(scratch.File("err")), "");
        EXPECT_EQ(Sequence(enclosure.Log()), "INQ TUR RD00 RD0E SD RD0E SD RD0E SD RD0E RD0E");
        EXPECT_EQ(e2e::ReadFile(enclosure.File("console.log")), "");
        EXPECT_EQ(enclosure.Show("active image"), ImageShown("0200", 3 * kDefaultBlock, image));
    }
}

// SIGHUP changes nothing. SIGTERM during the download ends it between two commands with exit
// status 1 and says what the enclosure holds; before the first block it takes its default
// action. The next run waits until the enclosure has discarded the incomplete download.
TEST(FwpushOperator, HangupIsIgnoredAndTerminateSaysWhatTheEnclosureHolds)
{
    Enclosure enclosure(SlowEnclosure({"--download-timeout-ms", "3000"}));
    e2e::TempDir scratch;
    const std::string image = enclosure.File("fw.img");
    MakeImage(image, "0200", kSize);
    RunResult r = Scenario(enclosure, R"(
        "$FW" /dev/sesim0 "$IMG" >"$TMP/out1" 2>"$TMP/err1" & pid=$!
        wait_sends 2 && kill -HUP $pid && wait_sends 4 && kill -TERM $pid
        wait $pid; echo "download $?"
        cp "$LOG" "$TMP/log1"
        "$FW" /dev/sesim0 "$IMG" >"$TMP/out2" 2>"$TMP/err2" & pid=$!
        wait_text "Waiting for existing" "$TMP/out2" && kill -TERM $pid
        wait $pid; echo "idle wait $?"
        "$FW" /dev/sesim0 "$IMG" >"$TMP/out3" 2>"$TMP/err3"; echo "next $?")",
                           image, scratch);
    EXPECT_EQ(r.out, "download 1\nidle wait 143\nnext 0\n") << r.err;

    // The interrupted run (SIGHUP would have ended it with 129): every block it sent was
    // answered, and the message names the last.
    std::vector<LogEntry> log = e2e::ReadCommandLog(scratch.File("log1"));
    const uint32_t confirmed = (uint32_t)Sends(log).size();
    EXPECT_EQ(Sequence(log), "INQ TUR RD00 RD0E" + Repeat(" SD RD0E", (int)confirmed));
    EXPECT_EQ(e2e::ReadFile(scratch.File("err1")),
              "\nDownload interrupted; last block confirmed by the enclosure: " + std::to_string(confirmed) + " of " +
                  std::to_string(kBlocks) + " (" + std::to_string(confirmed * kDefaultBlock) + " of " +
                  std::to_string(kSize) + " bytes)\nThe enclosure holds an incomplete download until it discards it\n");
    EXPECT_EQ(e2e::ReadFile(scratch.File("err2")), "");
    EXPECT_EQ(enclosure.Show("active image"), ImageShown("0200", kSize, image));
}

// Others acting during a download: a second fwpush on the same node is refused before it sends
// anything, one on another enclosure is not; an image rewritten meanwhile ends the download
// before its last block, so the enclosure never completes a mix of two files.
TEST(FwpushOperator, OthersActingDuringADownload)
{
    Enclosure enclosure(SlowEnclosure());
    Enclosure other({"--no-unit-attention", "--busy-reads", "1"});
    e2e::TempDir scratch;
    const std::string image = enclosure.File("fw.img");
    MakeImage(image, "0200", kSize);
    MakeImage(scratch.File("other.img"), "0300", kSize);
    const std::string downloaded = ImageShown("0200", kSize, image);
    RunResult r = Scenario(enclosure, R"(
        "$FW" /dev/sesim0 "$IMG" >"$TMP/out1" 2>"$TMP/err1" & pid=$!
        wait_sends 1
        "$FW" /dev/sesim0 "$IMG"; echo "same $?"
        "$SESIM" run ")" + other.Dir() + R"(" --at /dev/sesim1 -- "$FW" /dev/sesim1 "$IMG" >"$TMP/out2" 2>&1
        echo "other $?"
        cp "$TMP/other.img" "$IMG"
        wait $pid; echo "first $?")",
                           image, scratch);
    EXPECT_EQ(r.out, Banner() + "same 1\nother 0\nfirst 1\n");
    EXPECT_EQ(r.err, "SCSI target device /dev/sesim0 is locked by another fwpush run\n");
    EXPECT_EQ(other.Show("active image"), downloaded);
    EXPECT_EQ(e2e::ReadFile(scratch.File("err1")),
              "\nFirmware file " + image +
                  " changed during the download: nothing more was sent, and the enclosure holds an incomplete "
                  "download until it discards it\n");
    EXPECT_LT(Sends(enclosure.Log()).size(), kBlocks);
    EXPECT_EQ(enclosure.Show("revision"), "0100");
}

} // namespace
