// The audit trail: fwpush's records in the system log, read back from a log socket of the test's
// own (private_log.py: a private /dev/log in a mount namespace).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "fwpush_expect.h"

using namespace fwpush_e2e;
using e2e::Enclosure;
using e2e::RunResult;

namespace
{

constexpr int kNoNamespace = 125;

struct Record
{
    int priority = -1;
    std::string message; // after "fwpush[PID]: "
};

// Runs fwpush on the enclosure with the log socket; the records it left, in order.
std::vector<Record> AuditedRun(const Enclosure& enclosure, const std::vector<std::string>& args, RunResult* result)
{
    const std::string log = enclosure.File("audit.log");
    e2e::WriteFile(log, "");
    std::vector<std::string> argv = enclosure.Attached(FwpushArgv(args));
    argv.insert(argv.begin(), {"python3", PRIVATE_LOG_SCRIPT, log});
    *result = e2e::Run(argv);
    // "<PRI>Mmm dd hh:mm:ss fwpush[PID]: message"
    std::vector<Record> records;
    std::istringstream lines(e2e::ReadFile(log));
    for (std::string line; std::getline(lines, line);)
    {
        size_t close = line.find('>');
        size_t tag = line.find(" fwpush[");
        size_t text = line.find("]: ", tag);
        EXPECT_TRUE(line[0] == '<' && close != std::string::npos && tag == close + 16 && text != std::string::npos)
            << line;
        if (text != std::string::npos)
            records.push_back({(int)std::strtol(line.c_str() + 1, nullptr, 10), line.substr(text + 3)});
    }
    return records;
}

// The record without its duration, which is checked to be a number of milliseconds.
std::string WithoutDuration(const std::string& message)
{
    size_t at = message.find(" duration_ms=");
    EXPECT_NE(at, std::string::npos) << message;
    const std::string digits = at == std::string::npos ? "" : message.substr(at + 13);
    EXPECT_TRUE(!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos) << message;
    return message.substr(0, at);
}

constexpr int kUserNotice = 8 + 5;
constexpr int kUserError = 8 + 3;

TEST(FwpushAudit, DownloadAndActivationEachLeaveAStartAndAnEndRecord)
{
    Enclosure enclosure({"--no-unit-attention", "--serial", "SN \"0042\""});
    // Quotes, blanks and a newline in the path come out escaped, on one line.
    const std::string image = enclosure.File("fw \"0200\"\n.img");
    MakeImage(enclosure.File("plain.img"), "0200", 3 * kDefaultBlock);
    const std::string sha256 = e2e::Sha256Hex(enclosure.File("plain.img"));
    ASSERT_EQ(rename(enclosure.File("plain.img").c_str(), image.c_str()), 0);
    RunResult r;
    std::vector<Record> records = AuditedRun(enclosure, {"-d", kDevice, image}, &r);
    if (r.exitStatus == kNoNamespace)
    {
        GTEST_SKIP() << "no private mount namespace for a log socket (needs root): " << r.err;
    }
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const std::string identity = R"(device="/dev/sesim0" vendor="SESIM" product="SIM ENCLOSURE" serial="SN \"0042\"")";
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].priority, kUserNotice);
    EXPECT_EQ(records[0].message, "download start: " + identity + R"( revision="0100" image=")" + enclosure.Dir() +
                                      R"(/fw \"0200\"\x0a.img" size=12216 sha256=)" + sha256 +
                                      " mode=0x0e activate=no");
    EXPECT_EQ(WithoutDuration(records[1].message),
              R"(download end: device="/dev/sesim0" outcome=success status=0x13 exit=0)");

    records = AuditedRun(enclosure, {"-A", kDevice}, &r);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "activation start: " + identity + R"( revision="0100" mode=0x0f)");
    EXPECT_EQ(WithoutDuration(records[1].message),
              R"(activation end: device="/dev/sesim0" outcome=success status=0x00 exit=0)");

    // Nothing left to activate: the enclosure's refusal is the final status.
    records = AuditedRun(enclosure, {"-A", kDevice}, &r);
    ASSERT_EQ(r.exitStatus, 1);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "activation start: " + identity + R"( revision="0200" mode=0x0f)");
    EXPECT_EQ(records[1].priority, kUserError);
    EXPECT_EQ(WithoutDuration(records[1].message),
              R"(activation end: device="/dev/sesim0" outcome=failure status=0x85 exit=1)");
}

TEST(FwpushAudit, RefusedImageIsAFailureAndNoRecordWithoutAChange)
{
    Enclosure enclosure({"--no-unit-attention"});
    const std::string image = enclosure.File("corrupt.img");
    e2e::WriteFile(image, std::string(5000, 'x'));
    RunResult r;
    std::vector<Record> records = AuditedRun(enclosure, {kDevice, image}, &r);
    if (r.exitStatus == kNoNamespace)
    {
        GTEST_SKIP() << "no private mount namespace for a log socket (needs root): " << r.err;
    }
    ASSERT_EQ(r.exitStatus, 1);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].priority, kUserError);
    EXPECT_EQ(WithoutDuration(records[1].message),
              R"(download end: device="/dev/sesim0" outcome=failure status=0x81 exit=1)");

    // A device that is no enclosure is refused before anything changes: nothing to record.
    Enclosure disk({"--device-type", "0", "--no-encserv"});
    records = AuditedRun(disk, {kDevice, image}, &r);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(records.empty());
}

} // namespace
