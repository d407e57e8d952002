#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>

#include <chrono>
#include <deque>
#include <thread>
#include <vector>

#include "oswrapper.h"

// nanosleep and clock_gettime of this executable stand in for the C library's for the wrapper
// code linked into it. They pass through unless a test scripts them.
namespace
{

struct SleepStep
{
    int error; // 0: the call succeeds
    struct timespec remainder;
};

struct
{
    bool recording = false;
    std::vector<struct timespec> requests;
    bool scripted = false;
    std::deque<SleepStep> script;
} g_sleep;

struct
{
    bool scripted = false;
    std::vector<struct timespec> readings;
    size_t reads = 0;
    std::vector<clockid_t> clocks;
} g_clock;

} // namespace

extern "C" int nanosleep(const struct timespec* request, struct timespec* remainder)
{
    if (g_sleep.recording)
    {
        g_sleep.requests.push_back(*request);
    }
    if (g_sleep.scripted)
    {
        if (g_sleep.script.empty())
        {
            return 0;
        }
        SleepStep step = g_sleep.script.front();
        g_sleep.script.pop_front();
        if (step.error == 0)
        {
            return 0;
        }
        if (remainder != nullptr)
        {
            *remainder = step.remainder;
        }
        errno = step.error;
        return -1;
    }
    using NanosleepFn = int (*)(const struct timespec*, struct timespec*);
    static NanosleepFn real = (NanosleepFn)dlsym(RTLD_NEXT, "nanosleep");
    return real(request, remainder);
}

extern "C" int clock_gettime(clockid_t clockId, struct timespec* reading) noexcept
{
    if (g_clock.scripted)
    {
        g_clock.clocks.push_back(clockId);
        // Past the script the clock leaps far ahead, so that a faulty stall still ends.
        *reading = g_clock.reads < g_clock.readings.size() ? g_clock.readings[g_clock.reads]
                                                           : timespec{INT64_MAX / 2, 0};
        g_clock.reads++;
        return 0;
    }
    using ClockGettimeFn = int (*)(clockid_t, struct timespec*);
    static ClockGettimeFn real = (ClockGettimeFn)dlsym(RTLD_NEXT, "clock_gettime");
    return real(clockId, reading);
}

namespace
{

class OswTime : public ::testing::Test
{
protected:
    void TearDown() override
    {
        g_sleep.recording = false;
        g_sleep.scripted = false;
        g_sleep.requests.clear();
        g_sleep.script.clear();
        g_clock.scripted = false;
        g_clock.readings.clear();
        g_clock.reads = 0;
        g_clock.clocks.clear();
    }

    static std::vector<struct timespec> SleepRequests(uint32_t milliSecs, std::deque<SleepStep> script = {})
    {
        g_sleep.requests.clear();
        g_sleep.script = std::move(script);
        g_sleep.recording = true;
        g_sleep.scripted = true;
        OSW_Sleep(milliSecs);
        g_sleep.scripted = false;
        g_sleep.recording = false;
        return g_sleep.requests;
    }

    // Stalls on a scripted clock; returns how many readings the stall took.
    static size_t StallReadings(uint32_t microSecs, std::vector<struct timespec> readings)
    {
        g_clock.readings = std::move(readings);
        g_clock.reads = 0;
        g_clock.clocks.clear();
        g_clock.scripted = true;
        OSW_StallMicroSeconds(microSecs);
        g_clock.scripted = false;
        return g_clock.reads;
    }
};

::testing::AssertionResult IsTime(const struct timespec& actual, int64_t sec, int64_t nsec)
{
    if (actual.tv_sec == sec && actual.tv_nsec == nsec)
    {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "time is " << actual.tv_sec << " s " << actual.tv_nsec << " ns, want "
                                         << sec << " s " << nsec << " ns";
}

volatile sig_atomic_t g_alarms = 0;

void OnAlarm(int)
{
    g_alarms = g_alarms + 1;
}

} // namespace

TEST_F(OswTime, SleepRequestSplitsMillisecondsIntoSecondsAndNanoseconds)
{
    struct Case
    {
        uint32_t milliSecs;
        int64_t sec;
        int64_t nsec;
    } cases[] = {{0, 0, 0},
                 {1, 0, 1000000},
                 {999, 0, 999000000},
                 {1000, 1, 0},
                 {1500, 1, 500000000},
                 {4294967295u, 4294967, 295000000}};
    for (const Case& c : cases)
    {
        std::vector<struct timespec> requests = SleepRequests(c.milliSecs);
        ASSERT_EQ(1u, requests.size()) << c.milliSecs << " ms";
        EXPECT_TRUE(IsTime(requests[0], c.sec, c.nsec)) << c.milliSecs << " ms";
    }
}

TEST_F(OswTime, SleepInterruptedBySignalsSleepsOnForTheRemainderAndStopsOnOtherFailures)
{
    std::vector<struct timespec> requests = SleepRequests(
        1500, {{EINTR, {1, 100000000}}, {EINTR, {0, 250000000}}, {0, {0, 0}}});
    ASSERT_EQ(3u, requests.size());
    EXPECT_TRUE(IsTime(requests[0], 1, 500000000));
    EXPECT_TRUE(IsTime(requests[1], 1, 100000000));
    EXPECT_TRUE(IsTime(requests[2], 0, 250000000));
    EXPECT_EQ(1u, SleepRequests(100, {{EINVAL, {0, 50000000}}, {0, {0, 0}}}).size());
}

TEST_F(OswTime, RealSignalPartWayThroughDoesNotShortenTheSleep)
{
    struct sigaction onAlarm = {};
    struct sigaction previous = {};
    onAlarm.sa_handler = OnAlarm;
    sigemptyset(&onAlarm.sa_mask);
    ASSERT_EQ(0, sigaction(SIGALRM, &onAlarm, &previous));
    g_alarms = 0;

    struct itimerval timer = {};
    timer.it_value.tv_usec = 300000;
    g_sleep.recording = true;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, setitimer(ITIMER_REAL, &timer, nullptr));
    OSW_Sleep(1000);
    auto elapsed = std::chrono::steady_clock::now() - start;
    g_sleep.recording = false;
    sigaction(SIGALRM, &previous, nullptr);

    using std::chrono::milliseconds;
    EXPECT_EQ(1, g_alarms);
    EXPECT_GE(elapsed, milliseconds(1000));
    // Starting the whole second again after the signal would take 1300 ms.
    EXPECT_LT(elapsed, milliseconds(1250));
    ASSERT_EQ(2u, g_sleep.requests.size()) << "the signal must interrupt the first nanosleep";
    int64_t remainderMs = g_sleep.requests[1].tv_sec * 1000 + g_sleep.requests[1].tv_nsec / 1000000;
    EXPECT_GT(remainderMs, 500);
    EXPECT_LE(remainderMs, 750);
}

// Each row: the stall asked for, the monotonic clock's readings, and how many readings end it
// (the first reading at or past the target).
TEST_F(OswTime, StallEndsAtTheFirstReadingAtOrPastItsTarget)
{
    struct Case
    {
        const char* what;
        uint32_t microSecs;
        std::vector<struct timespec> readings;
        size_t reads;
    } cases[] = {
        {"zero reads the clock once", 0, {{5, 123}}, 1},
        {"nanoseconds carry into seconds: 100.6 s + 1.5 s ends at 102.1 s", 1500000,
         {{100, 600000000}, {101, 999999999}, {102, 0}, {102, 99999999}, {102, 100000000}, {102, 100000001}}, 5},
        {"a sum of exactly one second carries to zero nanoseconds", 1000,
         {{7, 999000000}, {7, 999999999}, {8, 0}, {8, 1}}, 3},
        {"past the target's second whatever the nanoseconds", 200000,
         {{0, 900000000}, {1, 50000000}, {2, 0}, {2, 1}}, 3},
        {"the largest count", 4294967295u, {{0, 0}, {4294, 967294999}, {4294, 967295000}, {4294, 967295001}}, 3},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.reads, StallReadings(c.microSecs, c.readings));
        for (clockid_t clockId : g_clock.clocks)
        {
            EXPECT_EQ(CLOCK_MONOTONIC, clockId);
        }
    }
}

TEST_F(OswTime, StallKeepsTheThreadBusyForTheInterval)
{
    auto start = std::chrono::steady_clock::now();
    OSW_StallMicroSeconds(20000);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(20000));
}

TEST_F(OswTime, ThreadIdIsTheLow32BitsOfTheCallingThreadsIdentifier)
{
    OSW_GetCurrentThreadID(nullptr);
    OSW_THREAD_ID mine = 0;
    OSW_THREAD_ID other = 0;
    OSW_THREAD_ID otherExpected = 1;
    OSW_GetCurrentThreadID(&mine);
    std::thread([&] {
        OSW_GetCurrentThreadID(&other);
        otherExpected = (OSW_THREAD_ID)(uintptr_t)pthread_self();
    }).join();
    EXPECT_EQ((OSW_THREAD_ID)(uintptr_t)pthread_self(), mine);
    EXPECT_EQ(otherExpected, other);
    EXPECT_NE(mine, other);
}
