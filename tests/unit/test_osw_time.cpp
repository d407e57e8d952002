// The time wrappers against a scripted clock: nanosleep and clock_gettime of this executable stand
// in for the C library's for the wrapper code linked into it, and record what they are asked.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <time.h>

#include <deque>
#include <vector>

#include "oswrapper.h"

namespace
{

struct SleepStep
{
    int error; // 0: the call succeeds
    timespec remainder;
};

bool g_scripted = false;
std::vector<timespec> g_requests;
std::deque<SleepStep> g_sleepScript;
std::vector<timespec> g_readings; // the clock's readings; past them it leaps far ahead
size_t g_reads = 0;
bool g_monotonicOnly = true;

} // namespace

extern "C" int nanosleep(const timespec* request, timespec* remainder)
{
    g_requests.push_back(*request);
    if (g_sleepScript.empty())
        return 0;
    SleepStep step = g_sleepScript.front();
    g_sleepScript.pop_front();
    if (step.error != 0 && remainder != nullptr)
        *remainder = step.remainder;
    errno = step.error;
    return step.error == 0 ? 0 : -1;
}

extern "C" int clock_gettime(clockid_t clockId, timespec* reading) noexcept
{
    if (!g_scripted)
    {
        using ClockGettimeFn = int (*)(clockid_t, timespec*);
        static ClockGettimeFn real = (ClockGettimeFn)dlsym(RTLD_NEXT, "clock_gettime");
        return real(clockId, reading);
    }
    g_monotonicOnly = g_monotonicOnly && clockId == CLOCK_MONOTONIC;
    *reading = g_reads < g_readings.size() ? g_readings[g_reads] : timespec{INT64_MAX / 2, 0};
    g_reads++;
    return 0;
}

bool operator==(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

namespace
{

// Each row: the sleep asked for, how nanosleep answers, and every request it then received. A
// signal (EINTR) continues the sleep for the remainder; any other failure ends it.
TEST(OswTime, SleepSplitsMillisecondsAndSleepsOnForTheRemainderAfterASignal)
{
    const struct
    {
        uint32_t milliSecs;
        std::deque<SleepStep> script;
        std::vector<timespec> requests;
    } rows[] = {
        {0, {}, {{0, 0}}},
        {999, {}, {{0, 999000000}}},
        {1000, {}, {{1, 0}}},
        {4294967295u, {}, {{4294967, 295000000}}},
        {1500, {{EINTR, {1, 100000000}}, {EINTR, {0, 250000000}}}, {{1, 500000000}, {1, 100000000}, {0, 250000000}}},
        {100, {{EINVAL, {0, 50000000}}}, {{0, 100000000}}},
    };
    for (const auto& row : rows)
    {
        g_requests.clear();
        g_sleepScript = row.script;
        OSW_Sleep(row.milliSecs);
        EXPECT_EQ(g_requests, row.requests) << row.milliSecs << " ms";
    }
}

// Each row: the stall asked for, the monotonic clock's readings, and how many readings end it
// (the first reading at or past the target).
TEST(OswTime, StallEndsAtTheFirstReadingAtOrPastItsTarget)
{
    const struct
    {
        uint32_t microSecs;
        std::vector<timespec> readings;
        size_t reads;
    } rows[] = {
        {0, {{5, 123}}, 1},
        // Nanoseconds carry into seconds: 100.6 s + 1.5 s ends at 102.1 s.
        {1500000, {{100, 600000000}, {101, 999999999}, {102, 0}, {102, 99999999}, {102, 100000000}}, 5},
        {1000, {{7, 999000000}, {7, 999999999}, {8, 0}}, 3},
        {200000, {{0, 900000000}, {1, 50000000}, {2, 0}}, 3},
        {4294967295u, {{0, 0}, {4294, 967294999}, {4294, 967295000}}, 3},
    };
    for (const auto& row : rows)
    {
        g_readings = row.readings;
        g_reads = 0;
        g_scripted = true;
        OSW_StallMicroSeconds(row.microSecs);
        g_scripted = false;
        EXPECT_EQ(g_reads, row.reads) << row.microSecs << " us";
    }
    EXPECT_TRUE(g_monotonicOnly);
}

} // namespace
