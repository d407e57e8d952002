// The memory and debug output wrappers: zero-filled blocks, the assertion, and where each debug
// message goes (standard error, a registered handler, or nowhere).
#include <gtest/gtest.h>

#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "oswrapper.h"
#include "vocabulary.h"

namespace
{

const int kRedirectDisable = (int)OSW_DEBUG_REDIRECT_DISABLE;

// What the registered handler received: "[level,ctx]text" per call.
std::string g_handled;

void RecordingHandler(void* handlerContext, int level, const char* format, va_list ap)
{
    char text[256];
    vsnprintf(text, sizeof(text), format, ap);
    g_handled += "[" + std::to_string(level) + (handlerContext != nullptr ? ",ctx]" : "]") + text;
}

void OtherHandler(void*, int, const char*, va_list) {}

// Each row: a size and a region (none: the plain allocation). A block freed dirty is usually what
// the next request of its size gets back; the new block is zero-filled all the same, and a region
// other than 0 or 1 is reported but still served.
TEST(OswMemory, BlocksComeZeroFilledAndABadRegionIsReported)
{
    const int kPlain = 99;
    for (uint32_t size : {1u, 24u, 4096u, 1u << 20})
    {
        for (int region : {kPlain, 0, 1, 2, -1, INT32_MIN})
        {
            void* dirty = OSW_AllocateMemoryInternal(size);
            memset(dirty, 0xA5, size);
            OSW_FreeMemory(dirty);
            vocab::StderrCapture capture;
            void* block = region == kPlain ? OSW_AllocateMemoryInternal(size)
                                           : OSW_AllocateMemoryWithRegionInternal(size, region);
            bool reported = region != kPlain && region != 0 && region != 1;
            EXPECT_EQ(capture.Text(),
                      reported ? "OSW_AllocateMemoryWithRegion: Invalid region " + std::to_string(region) + "\n" : "");
            ASSERT_NE(nullptr, block) << size;
            const uint8_t* bytes = (const uint8_t*)block;
            EXPECT_EQ(bytes + size, std::find_if(bytes, bytes + size, [](uint8_t b) { return b != 0; }))
                << size << " region " << region;
            OSW_FreeMemory(block);
        }
    }
    // Unlike the plain allocation, a zero size is no assertion here; a null block frees silently.
    vocab::StderrCapture capture;
    OSW_FreeMemory(OSW_AllocateMemoryWithRegionInternal(0, 0));
    OSW_FreeMemory(nullptr);
    EXPECT_EQ("", capture.Text());
}

TEST(OswMemory, ZeroSizeRequestPrintsTheAssertionAndAborts)
{
    std::ifstream source(OSW_MEMORY_SOURCE);
    int line = 1;
    for (std::string text; std::getline(source, text) && text.find("OSW_ASSERT(size > 0)") == std::string::npos;)
        line++;
    std::string expected = "Assertion failed\n\\(size > 0\\)\nat " + std::to_string(line) + ":" + OSW_MEMORY_SOURCE + "\n";
    EXPECT_EXIT(OSW_AllocateMemoryInternal(0), ::testing::KilledBySignal(SIGABRT), "^" + expected + "$");
}

// Each row: the mask set (through the context printed to), whether a handler is registered (the
// same way), whether that context is a child, the level printed at, and what reached standard
// error and the handler. A child's settings live in its parent, one level up and no further; the
// redirect-disable bit sends a message to standard error and is no category itself.
TEST(OswDebug, MaskHandlerAndParentDecideWhereAMessageGoes)
{
    const struct
    {
        int32_t mask;
        bool handler;
        bool child;
        int level;
        const char* err;
        const char* handled;
    } rows[] = {
        {0, false, false, 1, "", ""},
        {63, false, false, 32, "m", ""},
        {8, false, false, 8, "m", ""},
        {8, false, false, 2, "", ""},
        {-1, false, false, kRedirectDisable, "", ""},
        {-1, false, false, kRedirectDisable | 4, "m", ""},
        {63, true, false, 2, "", "[2,ctx]m"},
        {1, true, false, 2, "", ""},
        {63, true, false, kRedirectDisable | 2, "m", ""},
        {4, true, true, 4, "", "[4,ctx]m"},
        {4, true, true, 2, "", ""},
        {-1, false, true, 16, "m", ""},
    };
    int handlerContext = 0;
    for (const auto& row : rows)
    {
        // A child's grandparent would silence everything, were it consulted.
        OSWContext grandparent = {nullptr, 0, nullptr, nullptr};
        OSWContext parent = {row.child ? &grandparent : nullptr, 0x3F, nullptr, nullptr};
        OSWContext child = {&parent, 0, nullptr, nullptr};
        OSWContext* target = row.child ? &child : &parent;
        ASSERT_EQ(0, OSW_SetDebugLevel(target, row.mask));
        EXPECT_EQ(0, row.handler ? OSW_RegisterDebugPrintHandler(target, &handlerContext, RecordingHandler) : 0);
        EXPECT_EQ(parent.debugLevel, row.mask);
        EXPECT_EQ(parent.debugPrintHandler, row.handler ? RecordingHandler : nullptr);
        g_handled.clear();
        vocab::StderrCapture capture;
        OSW_DebugPrintInternal(target, row.level, "%s", "m");
        EXPECT_EQ(capture.Text(), row.err) << row.mask << " " << row.level;
        EXPECT_EQ(g_handled, row.handled) << row.mask << " " << row.level;
    }
}

// Without a context the categories 1, 2, 4 and 32 print; the level cannot be changed, and a
// message is cut at 1023 characters.
TEST(OswDebug, WithoutAContextTheFixedCategoriesPrint)
{
    const std::pair<int, bool> rows[] = {{1, true},  {2, true},  {4, true},  {32, true}, {kRedirectDisable | 2, true},
                                         {0, false}, {8, false}, {16, false}, {64, false}, {kRedirectDisable | 8, false}};
    for (const auto& row : rows)
    {
        vocab::StderrCapture capture;
        OSW_DebugPrintInternal(nullptr, row.first, "level %d\n", row.first & 0xFF);
        EXPECT_EQ(capture.Text(), row.second ? "level " + std::to_string(row.first & 0xFF) + "\n" : "") << row.first;
    }
    EXPECT_EQ(0, OSW_SetDebugLevel(nullptr, 8));
    EXPECT_EQ(4, OSW_SetDebugLevel(nullptr, 64));
    for (size_t length : {1023, 2000})
    {
        std::string text(length, 'x');
        vocab::StderrCapture capture;
        OSW_DebugPrintInternal(nullptr, 2, "%s", text.c_str());
        EXPECT_EQ(capture.Text(), text.substr(0, 1023));
    }
}

// One call after the other on the same context: levels above 63 are refused, a handler is never
// replaced behind its owner's back, and only its own owner may take it away; a null handler
// leaves the slot empty.
TEST(OswDebug, LevelAndHandlerCallsAndTheirResults)
{
    OSWContext context = {nullptr, 5, nullptr, nullptr};
    int first = 1, second = 2;
    EXPECT_EQ(4, OSW_SetDebugLevel(&context, 64));
    EXPECT_EQ(5, context.debugLevel);
    const struct
    {
        OSW_STATUS result;
        bool registering;
        OSW_CONTEXT context;
        void* handlerContext;
        OSW_DEBUG_PRINT_HANDLER handler;
    } calls[] = {
        {4, true, nullptr, &first, RecordingHandler},     {4, false, nullptr, nullptr, RecordingHandler},
        {0, false, &context, nullptr, nullptr},           {0, true, &context, &first, RecordingHandler},
        {12, true, &context, &second, OtherHandler},      {12, true, &context, &second, nullptr},
        {12, false, &context, nullptr, OtherHandler},     {12, false, &context, nullptr, nullptr},
        {0, false, &context, nullptr, RecordingHandler},  {0, true, &context, &second, nullptr},
        {0, true, &context, &second, RecordingHandler},
    };
    for (size_t i = 0; i < sizeof(calls) / sizeof(calls[0]); i++)
    {
        const auto& c = calls[i];
        EXPECT_EQ(c.result, c.registering ? OSW_RegisterDebugPrintHandler(c.context, c.handlerContext, c.handler)
                                          : OSW_UnregisterDebugPrintHandler(c.context, c.handler))
            << "call " << i;
        bool refusedWhileRegistered = i >= 4 && i <= 7;
        EXPECT_TRUE(!refusedWhileRegistered ||
                    (context.debugHandlerContext == &first && context.debugPrintHandler == RecordingHandler))
            << "call " << i;
    }
    EXPECT_TRUE(context.debugHandlerContext == &second && context.debugPrintHandler == RecordingHandler);
}

} // namespace
