#include <gtest/gtest.h>

#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>

#include "oswrapper.h"
#include "vocabulary.h"

#if defined(__SANITIZE_ADDRESS__)
#define UNIT_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNIT_UNDER_ASAN 1
#endif
#endif

#ifdef UNIT_UNDER_ASAN
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

using vocab::StderrCapture;

namespace
{

// Bytes the process holds from its allocator: the sanitizer's count under ASan, the main
// arena's otherwise.
size_t HeapBytesInUse()
{
#ifdef UNIT_UNDER_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// Runs body in a forked child, so that the limits it sets die with it; returns what body
// returned, or how the child ended when it did not return normally.
std::string RunInChild(const std::function<std::string()>& body)
{
    int channel[2];
    if (pipe(channel) != 0)
    {
        return "pipe failed";
    }
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0)
    {
        close(channel[0]);
        std::string report = body();
        _exit(write(channel[1], report.data(), report.size()) == (ssize_t)report.size() ? 0 : 1);
    }
    close(channel[1]);
    std::string report;
    char chunk[512];
    ssize_t got;
    while ((got = read(channel[0], chunk, sizeof(chunk))) > 0)
    {
        report.append(chunk, (size_t)got);
    }
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    {
        return "child ended with wait status " + std::to_string(status) + ": " + report;
    }
    return report;
}

// What a thread function saw; filled in by the thread, read after the wait.
struct Observation
{
    std::atomic<int> runs{0};
    pthread_t thread{};
    std::atomic<bool> returned{false};
    size_t stackSize = 0;
    int detachState = -1;
    int delayMs = 0;
};

OSW_STATUS Observe(OSW_THREAD_CONTEXT threadContext)
{
    Observation* seen = (Observation*)threadContext;
    seen->runs++;
    seen->thread = pthread_self();
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0)
    {
        pthread_attr_getstacksize(&attributes, &seen->stackSize);
        pthread_attr_getdetachstate(&attributes, &seen->detachState);
        pthread_attr_destroy(&attributes);
    }
    struct timespec delay = {0, (long)seen->delayMs * 1000000};
    nanosleep(&delay, nullptr);
    seen->returned = true;
    return 7;
}

// A fixed buffer, so that recording allocates nothing while the heap is being measured.
char g_handlerText[4096];

void RecordingHandler(void* handlerContext, int level, const char* format, va_list ap)
{
    char text[128];
    vsnprintf(text, sizeof(text), format, ap);
    size_t used = strlen(g_handlerText);
    snprintf(g_handlerText + used, sizeof(g_handlerText) - used, "[%d%s]%s", level,
             handlerContext != nullptr ? ",ctx" : "", text);
}

// A handle value no call may write: the pointer itself is the constant, and it points nowhere.
OSW_THREAD_HANDLE const kUntouched = (OSW_THREAD_HANDLE)(uintptr_t)0x5a5a5a50; // NOLINT(misc-misplaced-const,performance-no-int-to-ptr)
const uid_t kNobody = 65534;

// Runs in a child process: refuses thread creation through a process-count limit, then reports
// what OSW_CreateThread did. Root is exempt from the limit, so the child first becomes nobody.
std::string RefusedCreation(OSW_CONTEXT context)
{
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0))
    {
        return "cannot leave root";
    }
    // A first thread sets up what the C library keeps for every later one (its stack cache).
    Observation warmUp;
    OSW_THREAD_HANDLE handle = nullptr;
    if (OSW_CreateThread(nullptr, &handle, Observe, &warmUp, "warm-up") != 0)
    {
        return "warm-up thread failed";
    }
    OSW_WaitForThreadCompletion(handle);

    struct rlimit limit;
    getrlimit(RLIMIT_NPROC, &limit);
    struct rlimit lowered = limit;
    lowered.rlim_cur = 0;
    if (setrlimit(RLIMIT_NPROC, &lowered) != 0)
    {
        return "cannot lower the process limit";
    }

    // The allocator keeps recently freed small blocks in per-size caches that its statistics
    // still count as in use; refusals before the count fill them, so that it sees only what stays.
    Observation seen;
    {
        StderrCapture settle;
        for (int i = 0; i < 10; i++)
        {
            OSW_CreateThread(nullptr, &handle, Observe, &seen, "settle");
        }
    }

    const int attempts = 16;
    int failures = 0;
    int nullHandles = 0;
    StderrCapture capture;
    size_t before = HeapBytesInUse();
    for (int i = 0; i < attempts; i++)
    {
        handle = kUntouched;
        failures += OSW_CreateThread(context, &handle, Observe, &seen, "refused") == 1;
        nullHandles += handle == nullptr;
    }
    long leaked = (long)(HeapBytesInUse() - before);
    std::string stderrText = capture.Text();
    setrlimit(RLIMIT_NPROC, &limit);

    // One attempt's output, so that the report stays short.
    std::string oneMessage = stderrText.substr(0, stderrText.size() / attempts);
    std::string handlerText = g_handlerText;
    std::string oneHandlerMessage = handlerText.substr(0, handlerText.size() / attempts);
    return "failures=" + std::to_string(failures) + " null handles=" + std::to_string(nullHandles) +
           " runs=" + std::to_string(seen.runs.load()) + " leaked=" + std::to_string(leaked) + "\nstderr: " +
           oneMessage + "handler: " + oneHandlerMessage;
}

} // namespace

// Both creation calls make a joinable thread with a 64 KiB stack, whatever size is asked, that
// runs the function once with its context; the wait returns only after the function has.
TEST(OswThread, CreatedThreadRunsTheFunctionOnceAndIsWaitedFor)
{
    Observation plain;
    Observation asked;
    plain.delayMs = 100;
    OSW_THREAD_HANDLE plainHandle = nullptr;
    OSW_THREAD_HANDLE askedHandle = nullptr;
    ASSERT_EQ(0, OSW_CreateThread(nullptr, &plainHandle, Observe, &plain, "plain"));
    ASSERT_EQ(0, OSW_CreateThreadWithStack(nullptr, &askedHandle, Observe, &asked, nullptr, 1048576));
    ASSERT_NE(nullptr, plainHandle);
    ASSERT_NE(nullptr, askedHandle);
    EXPECT_EQ(0, OSW_WaitForThreadCompletion(plainHandle));
    EXPECT_TRUE(plain.returned);
    while (!asked.returned)
    {
        sched_yield();
    }
    EXPECT_EQ(0, OSW_WaitForThreadCompletion(askedHandle)) << "a finished thread";
    for (const Observation* seen : {&plain, &asked})
    {
        EXPECT_EQ(1, seen->runs);
        EXPECT_FALSE(pthread_equal(seen->thread, pthread_self()));
        EXPECT_EQ(65536u, seen->stackSize);
        EXPECT_EQ(PTHREAD_CREATE_JOINABLE, seen->detachState);
    }
}

TEST(OswThread, NullHandleIsRefusedWithoutAThreadOrMessage)
{
    Observation seen;
    StderrCapture capture;
    EXPECT_EQ(4, OSW_CreateThread(nullptr, nullptr, Observe, &seen, "none"));
    EXPECT_EQ(4, OSW_CreateThreadWithStack(nullptr, nullptr, Observe, &seen, "none", 1 << 20));
    EXPECT_EQ("", capture.Text());
    struct timespec pause = {0, 50000000};
    nanosleep(&pause, nullptr);
    EXPECT_EQ(0, seen.runs);
}

TEST(OswThread, PriorityAndStackChecksChangeNothing)
{
    Observation seen;
    seen.delayMs = 50;
    OSW_THREAD_HANDLE handle = nullptr;
    ASSERT_EQ(0, OSW_CreateThread(nullptr, &handle, Observe, &seen, "worker"));
    int policyBefore = -1;
    int policyAfter = -2;
    struct sched_param before = {};
    struct sched_param after = {};
    pthread_getschedparam(handle->thread, &policyBefore, &before);
    EXPECT_EQ(0, OSW_SetThreadPriority(handle, ThreadPriorityHigh));
    pthread_getschedparam(handle->thread, &policyAfter, &after);
    EXPECT_EQ(policyBefore, policyAfter);
    EXPECT_EQ(before.sched_priority, after.sched_priority);
    OSW_WaitForThreadCompletion(handle);

    OSWContext context = {};
    EXPECT_EQ(0, OSW_CheckThreadStacks(nullptr));
    EXPECT_EQ(0, OSW_CheckThreadStacks(&context));
}

// Without a context the report goes to standard error; with one, through its handler when its
// level allows, or nowhere.
TEST(OswThreadRefused, ReportsWhereTheContextSaysAndLeavesNothingBehind)
{
    const std::string counts = "failures=16 null handles=16 runs=0 leaked=0\n";
    EXPECT_EQ(counts + "stderr: Failed to start thread\nhandler: ", RunInChild([] { return RefusedCreation(nullptr); }));
    EXPECT_EQ(counts + "stderr: handler: [2,ctx]Failed to start thread\n", RunInChild([] {
                  int handlerContext = 0;
                  OSWContext context = {};
                  context.debugLevel = OSW_DEBUG_LEVEL_ERROR;
                  OSW_RegisterDebugPrintHandler(&context, &handlerContext, RecordingHandler);
                  return RefusedCreation(&context);
              }));
    EXPECT_EQ(counts + "stderr: handler: ", RunInChild([] {
                  OSWContext silent = {};
                  return RefusedCreation(&silent);
              }));
}
