// The thread wrappers. pthread_create of this executable stands in for the C library's, so that a
// test can refuse thread creation; otherwise it passes the call on.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <string>

#include "oswrapper.h"
#include "vocabulary.h"

namespace
{
bool g_refuse = false;
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* arg)
{
    using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static CreateFn real = (CreateFn)dlsym(RTLD_NEXT, "pthread_create");
    return g_refuse ? EAGAIN : real(thread, attributes, start, arg);
}

namespace
{

// What a thread function saw; filled in by the thread, read after the wait.
struct Observation
{
    std::atomic<int> runs{0};
    pthread_t thread{};
    std::atomic<bool> returned{false};
    size_t stackSize = 0;
    int detachState = -1;
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
    timespec delay = {0, 100000000};
    nanosleep(&delay, nullptr);
    seen->returned = true;
    return 7;
}

char g_handlerText[256];

void RecordingHandler(void* handlerContext, int level, const char* format, va_list ap)
{
    char text[128];
    vsnprintf(text, sizeof(text), format, ap);
    snprintf(g_handlerText, sizeof(g_handlerText), "[%d%s]%s", level, handlerContext != nullptr ? ",ctx" : "", text);
}

// Both creation calls make a joinable thread with the fixed stack, whatever size is asked, that
// runs the function once with its context; the wait returns only after the function has.
TEST(OswThread, CreatedThreadRunsTheFunctionOnceAndIsWaitedFor)
{
    Observation plain, asked;
    OSW_THREAD_HANDLE plainHandle = nullptr, askedHandle = nullptr;
    ASSERT_EQ(0, OSW_CreateThread(nullptr, &plainHandle, Observe, &plain, "plain"));
    ASSERT_EQ(0, OSW_CreateThreadWithStack(nullptr, &askedHandle, Observe, &asked, nullptr, 1048576));
    EXPECT_EQ(0, OSW_WaitForThreadCompletion(plainHandle));
    EXPECT_TRUE(plain.returned);
    EXPECT_EQ(0, OSW_WaitForThreadCompletion(askedHandle));
    for (const Observation* seen : {&plain, &asked})
    {
        EXPECT_EQ(1, seen->runs);
        EXPECT_FALSE(pthread_equal(seen->thread, pthread_self()));
        EXPECT_EQ((size_t)OSW_THREAD_STACK_SIZE, seen->stackSize);
        EXPECT_EQ(PTHREAD_CREATE_JOINABLE, seen->detachState);
    }
}

// Each row: a creation that cannot succeed, where its report goes (standard error without a
// context; the context's handler, or nowhere, with one), and what the call leaves: no thread and
// a null handle. A block it kept would be LeakSanitizer's to report, in the sanitizer lane.
TEST(OswThread, RefusedCreationReportsWhereTheContextSaysAndLeavesNothing)
{
    int handlerContext = 0;
    OSWContext withHandler = {}, silent = {};
    withHandler.debugLevel = OSW_DEBUG_LEVEL_ERROR;
    OSW_RegisterDebugPrintHandler(&withHandler, &handlerContext, RecordingHandler);
    const struct
    {
        bool nullHandle;
        OSW_CONTEXT context;
        OSW_STATUS result;
        const char* err;
        const char* handled;
    } rows[] = {
        {true, nullptr, OSW_STATUS_INVALID_PARAMETER, "", ""},
        {false, nullptr, OSW_STATUS_FAILED, "Failed to start thread\n", ""},
        {false, &withHandler, OSW_STATUS_FAILED, "", "[2,ctx]Failed to start thread\n"},
        {false, &silent, OSW_STATUS_FAILED, "", ""},
    };
    Observation seen;
    for (const auto& row : rows)
    {
        g_handlerText[0] = '\0';
        vocab::StderrCapture capture;
        g_refuse = true;
        OSW_THREAD_HANDLE handle = (OSW_THREAD_HANDLE)&seen; // anything but null
        OSW_THREAD_HANDLE* where = row.nullHandle ? nullptr : &handle;
        EXPECT_EQ(row.result, OSW_CreateThread(row.context, where, Observe, &seen, "refused"));
        EXPECT_EQ(row.result, OSW_CreateThreadWithStack(row.context, where, Observe, &seen, "refused", 1 << 20));
        g_refuse = false;
        EXPECT_EQ(capture.Text(), std::string(row.err) + row.err); // one report from each call
        EXPECT_STREQ(g_handlerText, row.handled);
        EXPECT_EQ(handle, row.nullHandle ? (OSW_THREAD_HANDLE)&seen : nullptr);
    }
    EXPECT_EQ(0, seen.runs);
}

} // namespace
