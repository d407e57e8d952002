// The sesim command, the preload attachment and the state directory as processes: command line
// and exit statuses, the sg driver's answers to malformed requests, faults reaching the caller,
// persistence across runs, kill -9 in the middle of a download, and independent tools
// (sg3-utils) agreeing with the enclosure.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace
{

using e2e::Bin;
using e2e::RunResult;
using e2e::Enclosure;
using e2e::TempDir;

RunResult Client(const Enclosure& e, std::vector<std::string> args)
{
    args.insert(args.begin(), Bin("sim_sg_client"));
    return e.Run(args);
}

// ---------------------------------------------------------------- command line

// The option names ("--name") that start a line after `marker`.
std::set<std::string> OptionsAfter(const std::string& text, const std::string& marker)
{
    std::set<std::string> options;
    const std::string lead = "\n" + marker + "--";
    for (size_t at = text.find(lead); at != std::string::npos; at = text.find(lead, at + 1))
    {
        size_t start = at + 1 + marker.size();
        size_t end = text.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-", start);
        options.insert(text.substr(start, end - start));
    }
    return options;
}

TEST(Cli, HelpDocumentsEveryCommandAndEveryInitOption)
{
    RunResult help = e2e::Run({Bin("sesim"), "--help"});
    EXPECT_EQ(help.exitStatus, 0);
    for (const char* command : {"init", "run", "show", "mkimage", "fault", "power-cycle"})
    {
        EXPECT_NE(help.out.find(std::string("  ") + command + " "), std::string::npos) << command;
        RunResult one = e2e::Run({Bin("sesim"), command, "--help"});
        EXPECT_EQ(one.exitStatus, 0) << command;
        EXPECT_NE(one.out.find(std::string("Usage: sesim ") + command), std::string::npos) << command;
    }
    // The options of the interface page's init table are those of `sesim init --help`.
    std::string doc = e2e::ReadFile(std::string(SESIM_SOURCE_DIR) + "/docs/SIMULATOR.md");
    std::set<std::string> documented = OptionsAfter(doc, "| `");
    EXPECT_EQ(documented.size(), 32u);
    EXPECT_EQ(OptionsAfter(e2e::Run({Bin("sesim"), "init", "--help"}).out, "  "), documented);
}

TEST(Cli, BadCommandLinesExitWith2)
{
    TempDir t;
    std::string dir = t.File("e");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"init"},
        {"init", dir, "--busy-reads"},
        {"init", dir, "--busy-reads", "many"},
        {"init", dir, "--complete-status", "0x13"},
        {"init", dir, "--deferred-busy-status", "0x04"},
        {"init", dir, "--revision", "12345"},
        {"init", dir, "--vendor", "MUCH TOO LONG"},
        {"init", dir, "--device-type", "32"},
        {"init", dir, "--secondary-subenclosures", "16"},
        {"init", dir, "--fault", "check@cmd=0"},
        {"init", dir, "--fault-file", t.File("missing")},
        {"init", dir, "--no-such-option"},
        {"mkimage", "--revision", "0100", "--size", "19", t.File("x")},
        {"mkimage", "--revision", "01", "--size", "100", t.File("x")},
        {"mkimage", "--size", "100", t.File("x")},
        {"run", dir},
        {"run", dir, "--"},
        {"run", dir, "--at", "relative", "--", "true"},
        {"show"},
    };
    for (const auto& args : cases)
    {
        std::vector<std::string> argv = {Bin("sesim")};
        argv.insert(argv.end(), args.begin(), args.end());
        RunResult r = e2e::Run(argv);
        EXPECT_EQ(r.exitStatus, 2) << ::testing::PrintToString(args);
        EXPECT_FALSE(r.err.empty()) << ::testing::PrintToString(args);
    }
    EXPECT_FALSE(std::filesystem::exists(t.File("x")));
}

TEST(Cli, MissingOrDamagedEnclosureIsStatus2WithAMessage)
{
    TempDir t;
    for (const char* command : {"show", "power-cycle", "fault"})
    {
        RunResult r = e2e::Run({Bin("sesim"), command, t.File("nowhere")});
        EXPECT_EQ(r.exitStatus, 2) << command;
        EXPECT_EQ(r.err.compare(0, 7, "sesim: "), 0) << r.err;
    }
    RunResult run = e2e::Run({Bin("sesim"), "run", t.File("nowhere"), "--", "true"});
    EXPECT_EQ(run.exitStatus, 2);
    Enclosure e;
    ASSERT_EQ(truncate((e.Dir() + "/state").c_str(), 10), 0);
    RunResult damaged = e2e::Run({Bin("sesim"), "show", e.Dir()});
    EXPECT_EQ(damaged.exitStatus, 2);
    EXPECT_NE(damaged.err.find("damaged"), std::string::npos) << damaged.err;
    EXPECT_EQ(e.Run({"true"}).exitStatus, 2);
    std::ofstream(e.Dir() + "/config") << "vendor\x01\n";
    EXPECT_EQ(e.Sesim("fault", {"--clear"}).exitStatus, 2);
}

TEST(Cli, MkimageWritesTheImageFormat)
{
    TempDir t;
    for (int size : {20, 21, 4096, 100003})
    {
        std::string path = t.File("img" + std::to_string(size));
        RunResult r = e2e::Run({Bin("sesim"), "mkimage", "--revision", "AB12", "--size", std::to_string(size), path});
        ASSERT_EQ(r.exitStatus, 0);
        std::string text = e2e::ReadFile(path);
        std::vector<uint8_t> bytes(text.begin(), text.end());
        ASSERT_EQ(bytes.size(), (size_t)size);
        EXPECT_EQ(text.substr(0, 12), "SESIMG01AB12");
        EXPECT_EQ(vocab::Be32(bytes, 12), (uint32_t)size - 20);
        // The trailer is the IEEE CRC-32 of all before it, as any other tool computes it.
        RunResult crc =
            e2e::Run({"python3", "-c", "import sys, zlib; print(zlib.crc32(open(sys.argv[1], 'rb').read()[:-4]))", path});
        EXPECT_EQ(std::to_string(vocab::Be32(bytes, (size_t)size - 4)) + "\n", crc.out) << crc.err;
    }
}

TEST(Run, ExitStatusAndTheAttachmentPassThrough)
{
    Enclosure e;
    EXPECT_EQ(e.Run({"sh", "-c", "exit 7"}).exitStatus, 7);
    RunResult missing = e.Run({"/nonexistent/program"});
    EXPECT_EQ(missing.exitStatus, 127);
    EXPECT_NE(missing.err.find("sesim: "), std::string::npos);
}

// Several enclosures in one run: at /dev/sesimK, numbered after those a surrounding run attached,
// and, as discovery names them, at /dev/sgK (one attached at /dev/sgN keeps N); other sg and bsg
// nodes do not exist.
TEST(Run, SeveralEnclosuresAnswerAtTheirPathsAndAsSgNodes)
{
    Enclosure a, b({"--vendor", "OTHER"}), c({"--vendor", "THIRD"});
    const std::string inquiry = " 120000002400 in 36";
    std::string script;
    for (const char* node : {"/dev/sg0", "/dev/sg1", "/dev/sesim2", "/dev/sg3", "/dev/sg2", "/dev/bsg/0:0:0:0"})
        script += Bin("sim_sg_client") + " cmd " + node + inquiry + "; ";
    RunResult r = e2e::Run({Bin("sesim"), "run", c.Dir(), "--at", "/dev/sg3", "--", Bin("sesim"), "run", a.Dir(),
                            b.Dir(), "--", "sh", "-c", script});
    ASSERT_EQ(r.exitStatus, 1) << r.err; // the last open fails
    const std::string sesim = "534553494d202020", other = "4f54484552202020", third = "5448495244202020";
    std::vector<std::string> found;
    for (size_t at = r.out.find("din="); at != std::string::npos; at = r.out.find("din=", at + 1))
    {
        found.push_back(r.out.substr(at + 4 + 16, 16)); // the vendor field, bytes 8 to 15
    }
    EXPECT_EQ(found, (std::vector<std::string>{sesim, other, other, third})) << r.out;
    EXPECT_NE(r.out.find("open=ENOENT\nopen=ENOENT"), std::string::npos) << r.out;

    RunResult at = e2e::Run({Bin("sesim"), "run", a.Dir(), b.Dir(), "--at", "/dev/x", "--", "true"});
    EXPECT_EQ(at.exitStatus, 2);
    EXPECT_NE(at.err.find("--at names the path of a single enclosure"), std::string::npos) << at.err;
    std::vector<std::string> nine = {Bin("sesim"), "run"};
    nine.insert(nine.end(), 9, a.Dir());
    nine.insert(nine.end(), {"--", "true"});
    RunResult many = e2e::Run(nine);
    EXPECT_EQ(many.exitStatus, 2);
    EXPECT_EQ(many.err, "sesim: run: at most 8 enclosures can be attached at once\n");
}

// ---------------------------------------------------------------- the sg node

TEST(Preload, MalformedRequestsGetTheSgDriversErrno)
{
    Enclosure e({"--no-unit-attention"});
    RunResult r = Client(e, {"probe", "/dev/sesim0"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const std::string expected = "header-fault=EFAULT\n"
                                 "interface-id=ENOSYS\n"
                                 "no-cdb=EMSGSIZE\n"
                                 "cdb-5=EMSGSIZE\n"
                                 "cdb-253=EMSGSIZE\n"
                                 "cdb-fault=EFAULT\n"
                                 "cdb-33=EINVAL\n"
                                 "direction-unknown=EINVAL\n"
                                 "none-with-data=EINVAL\n"
                                 "to-dev-without-data=EINVAL\n"
                                 "transfer-256MiB=EINVAL\n"
                                 "mmap-io=EINVAL\n"
                                 "iovec-1025=EINVAL\n"
                                 "iovec-fault=EFAULT\n"
                                 "data-out-fault=EFAULT\n"
                                 "data-in-fault=EFAULT\n"
                                 "sense-fault=EFAULT\n"
                                 "inquiry=ok status=0 resid=60 info=0 sb_len_wr=0 type=13\n"
                                 "check=ok status=2 masked=1 driver=8 info=1 sb_len_wr=8 key=5\n"
                                 "iovec=ok resid=60 vendor=SESIM   \n"
                                 "wrong-direction=ok status=0 resid=96\n"
                                 "lock=ok second-lock=EAGAIN\n"
                                 "version=30536\n"
                                 "timeout=6000\n"
                                 "emulated=0\n"
                                 "reserved=32768\n"
                                 "scsi-id=ok type=13\n"
                                 "version-fault=EFAULT\n"
                                 "unknown-ioctl=ENOTTY\n"
                                 "fstat=chr major=21\n";
    EXPECT_EQ(r.out, expected);
    // Only the requests that the driver passes on reached the enclosure.
    EXPECT_EQ(e.Show("commands"), "6");
    EXPECT_EQ(e.Log().size(), 6u);
}

TEST(Preload, FaultsReachTheCallerAndSesimFaultRestartsNumbering)
{
    Enclosure e({"--no-unit-attention", "--fault", "errno@cmd=1,errno=EIO", "--fault", "host@cmd=2,code=03",
                 "--fault", "check@cmd=3,sense=04/44/00", "--fault", "gone@cmd=4"});
    const std::string tur = "000000000000";
    EXPECT_EQ(Client(e, {"cmd", "/dev/sesim0", tur}).out, "errno=EIO\n");
    EXPECT_NE(Client(e, {"cmd", "/dev/sesim0", tur}).out.find("status=00 host=03"), std::string::npos);
    EXPECT_NE(Client(e, {"cmd", "/dev/sesim0", tur}).out.find("status=02 host=00 driver=08 resid=0 sense=70000400"),
              std::string::npos);
    EXPECT_EQ(Client(e, {"cmd", "/dev/sesim0", tur}).out, "errno=ENODEV\n");
    EXPECT_EQ(Client(e, {"cmd", "/dev/sesim0", tur}).out, "open=ENODEV\n");
    std::vector<e2e::LogEntry> log = e.Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_NE(log[0].line.find("fault=errno ioctl fails with Input/output error"), std::string::npos) << log[0].line;
    EXPECT_NE(log[1].line.find("fault=host host status 03"), std::string::npos) << log[1].line;
    EXPECT_EQ(log[2].sense, "04/44/00") << log[2].line;
    EXPECT_NE(log[3].line.find("fault=gone"), std::string::npos) << log[3].line;

    ASSERT_EQ(e.Sesim("fault", {"drop@block=1"}).exitStatus, 0);
    EXPECT_EQ(e.Show("commands"), "0");
    EXPECT_NE(Client(e, {"cmd", "/dev/sesim0", tur}).out.find("status=00"), std::string::npos);
    EXPECT_EQ(e.Log().back().index, 1);
    EXPECT_EQ(e2e::ReadFile(e.Dir() + "/config").find("fault drop@block=1\n") != std::string::npos, true);
}

TEST(Preload, FaultFilesArmFaultsFromInitAndFromSesimFault)
{
    TempDir t;
    std::ofstream(t.File("faults")) << "# first two INQUIRYs fail\ncheck@op=12,count=2,sense=02/04/01\n\n"
                                    << "status@cmd=5,value=18  # a reservation conflict\n";
    Enclosure e({"--no-unit-attention", "--fault-file", t.File("faults")});
    const std::string inquiry = "120000002400";
    EXPECT_NE(Client(e, {"cmd", "/dev/sesim0", inquiry, "in", "36"}).out.find("sense=70000200000000"),
              std::string::npos);
    Client(e, {"cmd", "/dev/sesim0", inquiry, "in", "36"});
    EXPECT_NE(Client(e, {"cmd", "/dev/sesim0", inquiry, "in", "36"}).out.find("status=00"), std::string::npos);
    Client(e, {"cmd", "/dev/sesim0", "000000000000"});
    EXPECT_NE(Client(e, {"cmd", "/dev/sesim0", "000000000000"}).out.find("status=18"), std::string::npos);
    std::ofstream(t.File("more")) << "errno@cmd=1,errno=ENXIO\n";
    ASSERT_EQ(e.Sesim("fault", {"--fault-file", t.File("more")}).exitStatus, 0);
    EXPECT_EQ(Client(e, {"cmd", "/dev/sesim0", inquiry, "in", "36"}).out, "errno=ENXIO\n");
    std::ofstream(t.File("bad")) << "check@cmd=1\nnonsense\n";
    RunResult bad = e.Sesim("fault", {"--fault-file", t.File("bad")});
    EXPECT_EQ(bad.exitStatus, 2);
    EXPECT_NE(bad.err.find("line 2"), std::string::npos) << bad.err;
}

TEST(Preload, LatencyIsAddedToEveryCommand)
{
    Enclosure e({"--latency-us", "4000", "--no-unit-attention"});
    RunResult r = Client(e, {"loop", "/dev/sesim0", "25"});
    ASSERT_EQ(r.exitStatus, 0) << r.out << r.err;
    double wallUs = 0;
    unsigned durationMs = 0;
    // NOLINTNEXTLINE(cert-err34-c): both conversions are counted, and the figures are our own client's
    ASSERT_EQ(sscanf(r.out.c_str(), "wall_us_per_command=%lf shortest_duration_ms=%u", &wallUs, &durationMs), 2) << r.out;
    EXPECT_GE(wallUs, 4000.0);
    EXPECT_GE(durationMs, 4u) << "the sg header's duration tells the caller the same";
}

// ---------------------------------------------------------------- persistence

TEST(Persistence, PowerCycleActivatesFirmwareWaitingForPowerOn)
{
    // sg_ses_microcode reads the status once after its last chunk: one busy report ends the phase.
    Enclosure e({"--complete-status", "0x12", "--no-unit-attention", "--busy-reads", "1"});
    std::string image = e.File("fw.bin");
    e2e::MakeImage(image, "0999", 5000);
    e.Run({"sg_ses_microcode", "-m", "7", "-b", "4096", "-I", image, "/dev/sesim0"});
    EXPECT_EQ(e.Show("download status"), "0x12");
    EXPECT_EQ(e.Show("revision"), "0100");
    EXPECT_EQ(e.Show("deferred image").compare(0, 13, "revision 0999"), 0);
    ASSERT_EQ(e.Sesim("power-cycle").exitStatus, 0);
    EXPECT_EQ(e.Show("revision"), "0999");
    EXPECT_EQ(e.Show("unit attention"), "29/01 3f/01");
}

// ---------------------------------------------------------------- sg3-utils agree

// A missing tool (the Debian package sg3-utils; scripts/deps.sh installs it) shows as exit status 127.
TEST(Interop, IdentityUnitAttentionAndDiagnosticPages)
{
    Enclosure e;
    RunResult r = e.Run({"sg_inq", "/dev/sesim0"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("Peripheral device type: enclosure services device"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Product revision level: 0100"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Vendor identification: SESIM"), std::string::npos) << r.out;
    // INQUIRY leaves the power-on unit attention for TEST UNIT READY to show, once.
    RunResult first = e.Run({"sg_turs", "-v", "/dev/sesim0"});
    EXPECT_NE(first.exitStatus, 0);
    EXPECT_NE((first.out + first.err).find("Power on, reset, or bus device reset occurred"), std::string::npos)
        << first.out << first.err;
    EXPECT_EQ(e.Run({"sg_turs", "/dev/sesim0"}).exitStatus, 0);

    RunResult list = e.Run({"sg_senddiag", "--list", "/dev/sesim0"});
    ASSERT_EQ(list.exitStatus, 0) << list.err;
    for (const char* line : {"0x00  Supported diagnostic pages", "0x01  Configuration (SES)",
                             "0x02  Enclosure status/control (SES)", "0x07  Element descriptor (SES)",
                             "0x0a  Additional (device) element status", "0x0e  Download microcode diagnostic pages"})
        EXPECT_NE(list.out.find(line), std::string::npos) << line << "\n" << list.out;
    RunResult status = e.Run({"sg_ses", "--page=0xe", "/dev/sesim0"});
    ASSERT_EQ(status.exitStatus, 0) << status.err;
    EXPECT_NE(status.out.find("Download microcode status diagnostic page"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("download microcode status: No download microcode operation in progress [0x0]"),
              std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("download microcode maximum size: 536870912 bytes"), std::string::npos);
    RunResult all = e.Run({"sg_ses", "--all", "/dev/sesim0"});
    EXPECT_EQ(all.exitStatus, 0) << all.err;
    EXPECT_EQ(all.err, "");
}

TEST(Interop, MicrocodeDownloadStagingAndActivation)
{
    Enclosure e({"--no-unit-attention", "--busy-reads", "1"});
    std::string first = e.File("a.bin");
    e2e::MakeImage(first, "0200", 10000);
    RunResult m7 = e.Run({"sg_ses_microcode", "-m", "7", "-b", "4096", "-I", first, "/dev/sesim0"});
    ASSERT_EQ(m7.exitStatus, 0) << m7.out << m7.err;
    EXPECT_EQ(e.Show("active image"), e2e::ImageShown("0200", 10000, first));
    EXPECT_EQ(e.Show("revision"), "0200");
    // The new microcode is announced with a unit attention, which a host clears first.
    EXPECT_NE(e.Run({"sg_turs", "/dev/sesim0"}).exitStatus, 0);
    std::string second = e.File("b.bin");
    e2e::MakeImage(second, "0300", 9001);
    RunResult me = e.Run({"sg_ses_microcode", "-m", "0xe", "-b", "4096", "-I", second, "/dev/sesim0"});
    ASSERT_EQ(me.exitStatus, 0) << me.out << me.err;
    EXPECT_EQ(e.Show("deferred image"), e2e::ImageShown("0300", 9001, second));
    EXPECT_EQ(e.Show("revision"), "0200");
    RunResult mf = e.Run({"sg_ses_microcode", "-m", "0xf", "/dev/sesim0"});
    ASSERT_EQ(mf.exitStatus, 0) << mf.out << mf.err;
    EXPECT_EQ(e.Show("active image"), e2e::ImageShown("0300", 9001, second));
    EXPECT_EQ(e.Show("deferred image"), "none");
    RunResult inq = e.Run({"sg_inq", "/dev/sesim0"});
    EXPECT_NE(inq.out.find("Product revision level: 0300"), std::string::npos);
}

TEST(Interop, ConsoleCommandAndAnswerThroughWriteAndReadBuffer)
{
    Enclosure e({"--no-unit-attention"});
    std::string message = e.File("message.bin");
    std::ofstream(message, std::ios::binary) << std::string("\x01\x00rev\x00", 6);
    RunResult w = e.Run({"sg_write_buffer", "-m", "1", "-i", "1", "-I", message, "/dev/sesim0"});
    ASSERT_EQ(w.exitStatus, 0) << w.err;
    std::string answer = e.File("answer.bin");
    RunResult r = e.Run({"sg_raw", "-r", "508", "-o", answer, "/dev/sesim0", "3c", "01", "01", "00", "00", "00", "00",
                         "01", "fc", "00"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(e2e::ReadFile(answer), std::string("\x00\x0e\x00\x00revision 0100\n", 18));
    EXPECT_EQ(e2e::ReadFile(e.Dir() + "/console.log"), "> rev\nrevision 0100\n");
}

} // namespace
