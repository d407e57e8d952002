#include <gtest/gtest.h>

#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include "oswrapper.h"
#include "vocabulary.h"

using vocab::StderrCapture;

namespace
{

const int kRedirectDisable = (int)OSW_DEBUG_REDIRECT_DISABLE;

bool AllZero(const void* block, size_t size)
{
    const uint8_t* bytes = (const uint8_t*)block;
    for (size_t i = 0; i < size; i++)
    {
        if (bytes[i] != 0)
        {
            return false;
        }
    }
    return true;
}

// What each call of a registered handler received.
struct HandlerCall
{
    void* handlerContext;
    int level;
    std::string text;
};

std::vector<HandlerCall> g_handlerCalls;

void RecordingHandler(void* handlerContext, int level, const char* format, va_list ap)
{
    char text[256];
    vsnprintf(text, sizeof(text), format, ap);
    g_handlerCalls.push_back({handlerContext, level, text});
}

void OtherHandler(void*, int, const char*, va_list) {}

int g_printFtnCalls = 0;

void CountingPrintFtn(void*, const char*, ...)
{
    g_printFtnCalls++;
}

OSWContext RootContext(int32_t debugLevel)
{
    OSWContext context = {};
    context.debugLevel = debugLevel;
    return context;
}

std::string PrintWithoutContext(int level)
{
    StderrCapture capture;
    OSW_DebugPrintInternal(nullptr, level, "level %d\n", level & 0xFF);
    return capture.Text();
}

std::string PrintThrough(OSW_CONTEXT context, int level, const char* text)
{
    StderrCapture capture;
    OSW_DebugPrintInternal(context, level, "%s", text);
    return capture.Text();
}

class OswDebug : public ::testing::Test
{
protected:
    void SetUp() override { g_handlerCalls.clear(); }
};

// Extended-regex form of a literal text, for the death test's match.
std::string RegexQuote(const std::string& text)
{
    std::string quoted;
    for (char c : text)
    {
        if (strchr("\\^$.|?*+()[]{}", c) != nullptr)
        {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted;
}

int LineOf(const char* path, const std::string& needle)
{
    std::ifstream source(path);
    std::string line;
    for (int number = 1; std::getline(source, line); number++)
    {
        if (line.find(needle) != std::string::npos)
        {
            return number;
        }
    }
    return -1;
}

} // namespace

TEST(OswMemory, BlocksComeZeroFilledEvenWhereTheHeapHeldOtherBytes)
{
    const uint32_t sizes[] = {1, 3, 24, 4096, 1 << 20};
    for (uint32_t size : sizes)
    {
        // A block freed dirty is usually what the next request of its size gets back.
        void* dirty = OSW_AllocateMemoryInternal(size);
        ASSERT_NE(nullptr, dirty);
        memset(dirty, 0xA5, size);
        OSW_FreeMemory(dirty);

        void* block = OSW_AllocateMemoryInternal(size);
        ASSERT_NE(nullptr, block) << size;
        EXPECT_TRUE(AllZero(block, size)) << size;
        OSW_FreeMemory(block);

        void* regionBlock = OSW_AllocateMemoryWithRegionInternal(size, 1);
        ASSERT_NE(nullptr, regionBlock) << size;
        EXPECT_TRUE(AllZero(regionBlock, size)) << size;
        OSW_FreeMemory(regionBlock);
    }
}

TEST(OswMemory, ZeroSizeRequestPrintsTheAssertionAndAborts)
{
    int line = LineOf(OSW_MEMORY_SOURCE, "OSW_ASSERT(size > 0)");
    ASSERT_GT(line, 0);
    std::string expected =
        "Assertion failed\n(size > 0)\nat " + std::to_string(line) + ":" + OSW_MEMORY_SOURCE + "\n";
    EXPECT_EXIT(OSW_AllocateMemoryInternal(0), ::testing::KilledBySignal(SIGABRT), "^" + RegexQuote(expected) + "$");
}

TEST(OswMemory, InvalidRegionIsReportedAndTheBlockStillAllocated)
{
    for (int region : {0, 1, 2, -1, INT32_MIN})
    {
        StderrCapture capture;
        void* block = OSW_AllocateMemoryWithRegionInternal(64, region);
        std::string report = "OSW_AllocateMemoryWithRegion: Invalid region " + std::to_string(region) + "\n";
        EXPECT_EQ(region == 0 || region == 1 ? "" : report, capture.Text());
        ASSERT_NE(nullptr, block) << region;
        EXPECT_TRUE(AllZero(block, 64));
        OSW_FreeMemory(block);
    }
    // Unlike the plain allocation, a zero size is no assertion here; a null block frees silently.
    StderrCapture capture;
    OSW_FreeMemory(OSW_AllocateMemoryWithRegionInternal(0, 0));
    OSW_FreeMemory(nullptr);
    EXPECT_EQ("", capture.Text());
}

TEST(OswMemory, HeapDiagnosticsSucceedWithoutOutput)
{
    g_printFtnCalls = 0;
    void* failAddr = &failAddr;
    char logBuffer[8] = "unused";
    EXPECT_EQ(0, OSW_CheckHeap(CountingPrintFtn, nullptr, TRUE, &failAddr, logBuffer, sizeof(logBuffer)));
    EXPECT_EQ(0, OSW_CheckHeap(nullptr, nullptr, FALSE, nullptr, nullptr, 0));
    EXPECT_EQ(0, OSW_DumpHeap(CountingPrintFtn, nullptr, logBuffer, sizeof(logBuffer), FALSE));
    EXPECT_EQ(0, OSW_DumpMemoryInfo(CountingPrintFtn, nullptr));
    EXPECT_EQ(0, g_printFtnCalls);
    EXPECT_EQ((void*)&failAddr, failAddr);
    EXPECT_STREQ("unused", logBuffer);
}

// Which messages reach standard error: without a context the fixed categories (1, 2, 4, 32),
// with one its mask; the redirect-disable bit chooses the destination and is no category itself.
TEST_F(OswDebug, LevelMaskSelectsWhatPrints)
{
    for (int level : {1, 2, 4, 32, kRedirectDisable | 2})
    {
        EXPECT_EQ("level " + std::to_string(level & 0xFF) + "\n", PrintWithoutContext(level)) << level;
    }
    for (int level : {0, 8, 16, 64, kRedirectDisable | 8})
    {
        EXPECT_EQ("", PrintWithoutContext(level)) << level;
    }
    EXPECT_EQ(0, OSW_SetDebugLevel(nullptr, 8)) << "without a context the level is fixed";
    EXPECT_EQ("", PrintWithoutContext(8));

    struct Case
    {
        int32_t mask;
        int level;
        bool prints;
    } cases[] = {{0, 1, false},  {0, 32, false}, {63, 1, true},  {63, 32, true}, {8, 8, true},
                 {8, 2, false}, {-1, kRedirectDisable, false}, {-1, kRedirectDisable | 4, true}};
    for (const Case& c : cases)
    {
        OSWContext context = RootContext(c.mask);
        EXPECT_EQ(c.prints ? "m" : "", PrintThrough(&context, c.level, "m")) << "mask " << c.mask << " level " << c.level;
    }
}

TEST_F(OswDebug, LongMessagesAreCutAt1023Characters)
{
    std::string text(2000, 'x');
    text[1022] = 'y';
    EXPECT_EQ(text.substr(0, 1023), PrintThrough(nullptr, 2, text.c_str()));
    std::string exact(1023, 'z');
    EXPECT_EQ(exact, PrintThrough(nullptr, 2, exact.c_str()));
}

TEST_F(OswDebug, SetDebugLevelRefusesLevelsAbove63)
{
    OSWContext context = RootContext(5);
    EXPECT_EQ(4, OSW_SetDebugLevel(&context, 64));
    EXPECT_EQ(5, context.debugLevel);
    EXPECT_EQ(0, OSW_SetDebugLevel(&context, 63));
    EXPECT_EQ(63, context.debugLevel);
    EXPECT_EQ(0, OSW_SetDebugLevel(&context, -1));
    EXPECT_EQ(-1, context.debugLevel);
    EXPECT_EQ(4, OSW_SetDebugLevel(nullptr, 64));
}

TEST_F(OswDebug, RegisteredHandlerReceivesItsContextLevelAndArguments)
{
    OSWContext context = RootContext(0x3F);
    int handlerContext = 0;
    ASSERT_EQ(0, OSW_RegisterDebugPrintHandler(&context, &handlerContext, RecordingHandler));

    StderrCapture capture;
    OSW_DebugPrintInternal(&context, 2, "value %d %s\n", 42, "ok");
    EXPECT_EQ("", capture.Text());
    ASSERT_EQ(1u, g_handlerCalls.size());
    EXPECT_EQ(&handlerContext, g_handlerCalls[0].handlerContext);
    EXPECT_EQ(2, g_handlerCalls[0].level);
    EXPECT_EQ("value 42 ok\n", g_handlerCalls[0].text);

    // The mask filters a handler's messages too.
    EXPECT_EQ(0, OSW_SetDebugLevel(&context, 1));
    OSW_DebugPrintInternal(&context, 2, "suppressed\n");
    EXPECT_EQ(1u, g_handlerCalls.size());
}

TEST_F(OswDebug, RedirectDisableBitBypassesARegisteredHandler)
{
    OSWContext context = RootContext(0x3F);
    ASSERT_EQ(0, OSW_RegisterDebugPrintHandler(&context, nullptr, RecordingHandler));
    EXPECT_EQ("to stderr\n", PrintThrough(&context, kRedirectDisable | 2, "to stderr\n"));
    EXPECT_TRUE(g_handlerCalls.empty());
}

TEST_F(OswDebug, RegisterAndUnregisterResultCodes)
{
    OSWContext context = RootContext(0x3F);
    int first = 1;
    int second = 2;
    EXPECT_EQ(4, OSW_RegisterDebugPrintHandler(nullptr, &first, RecordingHandler));
    EXPECT_EQ(4, OSW_UnregisterDebugPrintHandler(nullptr, RecordingHandler));
    EXPECT_EQ(0, OSW_UnregisterDebugPrintHandler(&context, nullptr)) << "null handler while none registered";

    ASSERT_EQ(0, OSW_RegisterDebugPrintHandler(&context, &first, RecordingHandler));
    EXPECT_EQ(12, OSW_RegisterDebugPrintHandler(&context, &second, OtherHandler));
    EXPECT_EQ(12, OSW_RegisterDebugPrintHandler(&context, &second, nullptr));
    EXPECT_EQ(&first, context.debugHandlerContext);
    EXPECT_EQ(12, OSW_UnregisterDebugPrintHandler(&context, OtherHandler));
    EXPECT_EQ(12, OSW_UnregisterDebugPrintHandler(&context, nullptr));
    EXPECT_EQ((OSW_DEBUG_PRINT_HANDLER)RecordingHandler, context.debugPrintHandler);

    EXPECT_EQ(0, OSW_UnregisterDebugPrintHandler(&context, RecordingHandler));
    EXPECT_EQ(nullptr, context.debugPrintHandler);
    EXPECT_EQ(&first, context.debugHandlerContext);
    EXPECT_EQ("back to stderr", PrintThrough(&context, 2, "back to stderr"));
    EXPECT_TRUE(g_handlerCalls.empty());

    // A null handler leaves the slot empty, so a real one can follow.
    EXPECT_EQ(0, OSW_RegisterDebugPrintHandler(&context, &second, nullptr));
    EXPECT_EQ(0, OSW_RegisterDebugPrintHandler(&context, &second, RecordingHandler));
}

// A child context acts on its parent, whose mask and handler decide; only one level is followed.
TEST_F(OswDebug, ChildContextActsOnItsParentOnly)
{
    OSWContext root = RootContext(0);
    OSWContext middle = RootContext(0x3F);
    middle.parent = &root;
    OSWContext leaf = RootContext(0x3F);
    leaf.parent = &middle;
    int handlerContext = 0;

    EXPECT_EQ(0, OSW_SetDebugLevel(&leaf, 4));
    EXPECT_EQ(4, middle.debugLevel);
    EXPECT_EQ(0x3F, leaf.debugLevel);
    EXPECT_EQ(0, root.debugLevel);
    ASSERT_EQ(0, OSW_RegisterDebugPrintHandler(&leaf, &handlerContext, RecordingHandler));
    EXPECT_EQ((OSW_DEBUG_PRINT_HANDLER)RecordingHandler, middle.debugPrintHandler);
    EXPECT_EQ(nullptr, leaf.debugPrintHandler);
    EXPECT_EQ(nullptr, root.debugPrintHandler);

    OSW_DebugPrintInternal(&leaf, 2, "masked by the parent\n");
    OSW_DebugPrintInternal(&leaf, 4, "through %s\n", "child");
    ASSERT_EQ(1u, g_handlerCalls.size());
    EXPECT_EQ(&handlerContext, g_handlerCalls[0].handlerContext);
    EXPECT_EQ("through child\n", g_handlerCalls[0].text);

    EXPECT_EQ(12, OSW_RegisterDebugPrintHandler(&leaf, nullptr, OtherHandler));
    EXPECT_EQ(0, OSW_UnregisterDebugPrintHandler(&leaf, RecordingHandler));
    EXPECT_EQ(nullptr, middle.debugPrintHandler);
}
