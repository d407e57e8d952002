// The fault sweep: every fault kind the enclosure can show, injected at every command of a
// program run, one injection per fresh enclosure. Whatever the fault, a run must either recover
// and end with the right result, or end with exit status 1 and a failure message on standard
// error. It must never claim a download that the enclosure does not hold, die from a signal or
// hang.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "sesim_scsi.h"

using e2e::Enclosure;
using e2e::LogEntry;
using e2e::RunResult;

namespace
{

constexpr const char* kDevice = Enclosure::kDevice;
constexpr const char* kNewRevision = "0200";
// Three blocks of 76 bytes at the smallest page length worth sending (-p=100).
constexpr uint32_t kImageSize = 200;
const std::string kPageLength = "-p=100";
// Long enough for a stuck status in the idle wait (1 s pauses) under a loaded machine; a hang
// costs this much once.
constexpr int kRunTimeoutMs = 30000;
constexpr int kWorkers = 2;
// Two console responses: the polling loop goes round more than once.
const std::string kConsoleCommand = "log 20";
const std::string kInteractiveInput = "echo one\n" + kConsoleCommand + "\nquit\n";


// Where a fault kind can act: on any command, on status page reads, on download data pages, or
// on reads of the console's output.
enum class Applies
{
    AnyCommand,
    StatusRead,
    DataPage,
    ConsoleRead,
};

struct FaultKind
{
    const char* name;
    const char* faultText; // %d is the command index
    Applies applies;
};

const FaultKind kKinds[] = {
    {"check-fixed", "check@cmd=%d,format=fixed", Applies::AnyCommand},
    {"check-desc", "check@cmd=%d,format=desc,sense=0b/47/00", Applies::AnyCommand},
    // The enclosure carried the command out, but its answer is lost on the way back.
    {"check-lost", "check@cmd=%d,when=after", Applies::AnyCommand},
    {"check-nosense", "check-nosense@cmd=%d", Applies::AnyCommand},
    {"busy", "status@cmd=%d,value=08", Applies::AnyCommand},
    {"reservation-conflict", "status@cmd=%d,value=18", Applies::AnyCommand},
    {"host", "host@cmd=%d", Applies::AnyCommand},
    {"eio", "errno@cmd=%d,errno=EIO", Applies::AnyCommand},
    {"eio-lost", "errno@cmd=%d,errno=EIO,when=after", Applies::AnyCommand},
    {"gone", "gone@cmd=%d", Applies::AnyCommand},
    {"short-status", "short-status@cmd=%d", Applies::StatusRead},
    {"garbage-status", "garbage-status@cmd=%d,seed=%d", Applies::StatusRead},
    {"drop", "drop@cmd=%d", Applies::DataPage},
    {"stuck", "stuck@cmd=%d,reads=3", Applies::StatusRead},
    {"dl-status", "dl-status@cmd=%d,value=83", Applies::AnyCommand},
    {"gencode", "gencode@cmd=%d", Applies::AnyCommand},
    // A text length the message buffer cannot hold with its end marker.
    {"bad-length", "bad-length@cmd=%d,value=508", Applies::ConsoleRead},
};

enum class Outcome
{
    Recovered,
    FailedCleanly,
    Bad,
};

// What a run of one scenario produced, and what the enclosure holds afterwards.
struct Observation
{
    RunResult run;
    std::string active;   // `sesim show` lines
    std::string deferred;
    bool fired = false; // the armed fault acted on a command
};

struct Scenario
{
    std::string name;
    bool download = false;    // the program is fwpush and ends by holding the new image
    bool interactive = false; // bufterm at its prompt: a reported read failure may continue
    std::vector<std::string> initOptions;
    // Brings a new enclosure to the scenario's starting point (arming no fault).
    std::function<void(const Enclosure&)> prepare;
    std::function<RunResult(const Enclosure&)> run;
    // True when an exit status 0 run left the right result.
    std::function<bool(const Observation&, const Observation& clean)> correct;
};

std::string Format(const char* pattern, int index)
{
    char text[96];
    snprintf(text, sizeof(text), pattern, index, index);
    return text;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class Sweep
{
  public:
    Sweep()
    {
        image_ = work_.File("fw.img");
        RunResult r = e2e::Run({e2e::Bin("sesim"), "mkimage", "--revision", kNewRevision, "--size",
                                std::to_string(kImageSize), image_});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        newImage_ = std::string("revision ") + kNewRevision + " size " + std::to_string(kImageSize) + " sha256 " +
                    e2e::Sha256Hex(image_);
        DefineScenarios();
    }

    void RunAll()
    {
        struct Injection
        {
            const Scenario* scenario;
            const FaultKind* kind;
            int index;
        };
        std::vector<Injection> injections;
        for (const Scenario& s : scenarios_)
        {
            std::vector<LogEntry> log;
            Observation clean = Execute(s, "", &log);
            ASSERT_EQ(clean.run.exitStatus, 0) << s.name << " clean run\n" << clean.run.out << clean.run.err;
            ASSERT_TRUE(!s.correct || s.correct(clean, clean)) << s.name << " clean run\n" << clean.active;
            ASSERT_FALSE(log.empty()) << s.name;
            cleanRuns_[s.name] = clean;
            for (const FaultKind& kind : kKinds)
            {
                for (const LogEntry& e : log)
                {
                    if (Applicable(kind.applies, e))
                        injections.push_back({&s, &kind, e.index});
                }
            }
        }

        std::atomic<size_t> next{0};
        auto worker = [&]() {
            for (size_t i = next++; i < injections.size(); i = next++)
            {
                const Injection& j = injections[i];
                std::string faultText = Format(j.kind->faultText, j.index);
                Observation o = Execute(*j.scenario, faultText, nullptr);
                EXPECT_TRUE(o.fired) << j.scenario->name << " " << faultText << ": the fault never fired";
                std::string why;
                Outcome outcome = Classify(*j.scenario, o, &why);
                Record(*j.scenario, *j.kind, j.index, faultText, o, outcome, why);
            }
        };
        std::vector<std::thread> threads;
        for (int t = 0; t < kWorkers; t++)
            threads.emplace_back(worker);
        for (std::thread& t : threads)
            t.join();

        for (const std::string& report : badReports_)
            printf("%s\n", report.c_str());
        std::ostringstream summary;
        summary << "fault sweep: " << total_.Text() << "; injected by kind:";
        for (const FaultKind& kind : kKinds)
            summary << (&kind == kKinds ? " " : ", ") << kind.name << " " << injectedByKind_[kind.name];
        summary << "\n";
        fputs(summary.str().c_str(), stdout);
        fflush(stdout);
        // Also beside the build's programs, for `make test` to show after CTest's quiet run.
        e2e::WriteFile(std::string(SES_BIN_DIR) + "/../fault-sweep-summary.txt", summary.str());
        EXPECT_EQ(total_.bad, 0);
    }

  private:
    struct Tally
    {
        int injected = 0, recovered = 0, failed = 0, bad = 0;
        void Add(Outcome o)
        {
            injected++;
            (o == Outcome::Recovered ? recovered : o == Outcome::FailedCleanly ? failed : bad)++;
        }
        std::string Text() const
        {
            std::ostringstream s;
            s << injected << " injected, " << recovered << " recovered, " << failed << " failed cleanly, " << bad
              << " bad";
            return s.str();
        }
    };

    static bool Applicable(Applies applies, const LogEntry& e)
    {
        switch (applies)
        {
        case Applies::AnyCommand:
            return true;
        case Applies::StatusRead:
            return e.opcode == sesim::kOpReceiveDiagnosticResults && e.cdb.size() > 2 &&
                   e.cdb[2] == sesim::kPageDownloadMicrocode;
        case Applies::DataPage:
            return e.opcode == sesim::kOpSendDiagnostic && e.doutLength > vocab::kControlHeaderLength &&
                   !e.dout.empty() && e.dout[0] == sesim::kPageDownloadMicrocode;
        case Applies::ConsoleRead:
            return e.opcode == sesim::kOpReadBuffer && e.cdb.size() > 1 &&
                   (e.cdb[1] & sesim::kBufferModeMask) == sesim::kBufferModeVendor;
        }
        return false;
    }

    // Runs the scenario on a new enclosure with one fault armed (none for an empty one). Each
    // process start counts (hundreds of injections, sanitized builds), so the fault is armed by
    // `init` unless a preparation must run first, and `show` runs once.
    Observation Execute(const Scenario& s, const std::string& faultText, std::vector<LogEntry>* log) const
    {
        std::vector<std::string> init = s.initOptions;
        if (!s.prepare && !faultText.empty())
            init.insert(init.end(), {"--fault", faultText});
        Enclosure enclosure(init);
        size_t before = 0;
        if (s.prepare)
        {
            s.prepare(enclosure);
            RunResult armed = enclosure.Sesim("fault", faultText.empty() ? std::vector<std::string>{"--clear"}
                                                                    : std::vector<std::string>{faultText});
            EXPECT_EQ(armed.exitStatus, 0) << faultText << ": " << armed.err;
            // The log goes on across runs; this run's lines are those after the preparation's.
            before = enclosure.Log().size();
        }
        Observation o;
        o.run = s.run(enclosure);
        if (s.download)
        {
            RunResult show = enclosure.Sesim("show");
            EXPECT_EQ(show.exitStatus, 0) << show.err;
            o.active = e2e::ShowField(show.out, "active image");
            o.deferred = e2e::ShowField(show.out, "deferred image");
        }
        std::vector<LogEntry> entries = enclosure.Log();
        entries.erase(entries.begin(), entries.begin() + (std::ptrdiff_t)std::min(before, entries.size()));
        o.fired = !faultText.empty() && std::any_of(entries.begin(), entries.end(),
                                               [](const LogEntry& e) { return e.fault != "-"; });
        if (log != nullptr)
            *log = entries;
        return o;
    }

    Outcome Classify(const Scenario& s, const Observation& o, std::string* why) const
    {
        const RunResult& r = o.run;
        if (r.timedOut)
        {
            *why = "no end within the time limit";
            return Outcome::Bad;
        }
        if (r.signal != 0)
        {
            *why = "ended by signal " + std::to_string(r.signal);
            return Outcome::Bad;
        }
        if (s.download && Contains(r.out, "Download complete") && o.active != newImage_ && o.deferred != newImage_)
        {
            *why = "claims a complete download that the enclosure does not hold";
            return Outcome::Bad;
        }
        if (r.exitStatus == 0)
        {
            if (s.correct(o, cleanRuns_.at(s.name)))
            {
                // The interactive session goes on after it reported a lost response.
                return s.interactive && Contains(r.err, "Failed to read command response") ? Outcome::FailedCleanly
                                                                                          : Outcome::Recovered;
            }
            *why = "exit status 0 without the right result";
            return Outcome::Bad;
        }
        if (r.exitStatus == 1 && !r.err.empty() && r.err.back() == '\n')
            return Outcome::FailedCleanly;
        *why = "exit status " + std::to_string(r.exitStatus) + " with standard error \"" + r.err + "\"";
        return Outcome::Bad;
    }

    void Record(const Scenario& s, const FaultKind& kind, int index, const std::string& faultText, const Observation& o,
                Outcome outcome, const std::string& why)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        total_.Add(outcome);
        injectedByKind_[kind.name]++;
        if (outcome == Outcome::Bad)
        {
            badReports_.push_back("BAD " + s.name + " " + faultText + " (command " + std::to_string(index) + "): " + why +
                                  "\n--- stdout\n" + o.run.out + "\n--- stderr\n" + o.run.err + "--- active: " +
                                  o.active + "\n--- deferred: " + o.deferred);
        }
    }

    RunResult Fwpush(const Enclosure& enclosure, const std::vector<std::string>& options) const
    {
        std::vector<std::string> argv = {e2e::Bin("fwpush"), kPageLength};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(kDevice);
        if (options.empty() || options[0] != "-A")
            argv.push_back(image_);
        e2e::RunOptions run;
        run.timeoutMs = kRunTimeoutMs;
        return enclosure.Run(argv, run);
    }

    void DefineScenarios()
    {
        const std::vector<std::string> quick = {"--busy-reads", "1"};
        auto fwpush = [this](const std::vector<std::string>& options) {
            return [this, options](const Enclosure& e) { return Fwpush(e, options); };
        };
        auto bufterm = [](const std::vector<std::string>& args, const std::string& input) {
            return [args, input](const Enclosure& e) {
                e2e::RunOptions run;
                run.timeoutMs = kRunTimeoutMs;
                run.stdinData = input;
                std::vector<std::string> argv = {e2e::Bin("bufterm"), kDevice};
                argv.insert(argv.end(), args.begin(), args.end());
                return e.Run(argv, run);
            };
        };
        auto stageFirst = [this](const Enclosure& e) {
            RunResult r = Fwpush(e, {"-d"});
            EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
            EXPECT_EQ(e.Show("deferred image"), newImage_);
        };
        auto activeIsNew = [this](const Observation& o, const Observation&) {
            return o.active == newImage_ && o.deferred == "none" && Contains(o.run.out, "Download complete");
        };
        scenarios_ = {
            {"download", true, false, quick, nullptr, fwpush({}), activeIsNew},
            {"download-a", true, false, quick, nullptr, fwpush({"-a"}), activeIsNew},
            {"activate-A", true, false, quick, stageFirst, fwpush({"-A"}),
             [this](const Observation& o, const Observation&) { return o.active == newImage_ && o.deferred == "none"; }},
            {"console-oneshot", false, false, {}, nullptr, bufterm({kConsoleCommand}, ""),
             [](const Observation& o, const Observation& clean) { return o.run.out == clean.run.out; }},
            // A reported lost response leaves that command's output short; the rest stays right.
            {"console-interactive", false, true, {}, nullptr, bufterm({}, kInteractiveInput),
             [](const Observation& o, const Observation& clean) {
                 return o.run.out == clean.run.out || Contains(o.run.err, "Failed to read command response");
             }},
        };
    }

    e2e::TempDir work_;
    std::string image_;
    std::string newImage_;
    std::vector<Scenario> scenarios_;
    std::map<std::string, Observation> cleanRuns_;

    std::mutex mutex_;
    Tally total_;
    std::map<std::string, int> injectedByKind_;
    std::vector<std::string> badReports_;
};

} // namespace

TEST(FaultSweep, NoFaultMakesAProgramLieCrashOrHang)
{
    Sweep sweep;
    sweep.RunAll();
}
