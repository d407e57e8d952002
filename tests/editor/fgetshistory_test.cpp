// The line editor as an operator meets it: keys typed at a pseudo-terminal, the exact bytes it
// writes back, and the lines it returns. Each test starts a fresh editor process, so every test
// begins with an empty history.

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "fgetshistory_internal.h"

namespace
{

const std::string kPrompt = "DIDIVAR>";
const std::string kUp = "\x1b[A";
const std::string kUpApplicationMode = "\x1bOA";

using vocab::Hex;

// n backspaces, n spaces, n backspaces: how a recall blanks the screen line.
std::string Blank(size_t n)
{
    return std::string(n, '\b') + std::string(n, ' ') + std::string(n, '\b');
}

struct Line
{
    std::string screen; // what the editor wrote while reading the line
    std::string text;   // the line returned, as hex
};

class Editor
{
  public:
    explicit Editor(const std::string& prompt = kPrompt, const std::string& sizes = "510")
        : prompt_(prompt), pty_({EDITOR_DRIVER, prompt, sizes})
    {
        EXPECT_TRUE(pty_.WaitFor(prompt_)) << "editor did not start: " << pty_.Err();
    }

    // Types keys and waits for the editor to return a line.
    Line Type(const std::string& keys)
    {
        Line line;
        pty_.Send(keys);
        if (!pty_.WaitFor("}}"))
        {
            ADD_FAILURE() << "no line came back; screen so far: " << pty_.Output();
            return line;
        }
        std::string segment = pty_.LastSegment();
        size_t marker = segment.rfind("{{");
        line.screen = segment.substr(0, marker);
        line.text = segment.substr(marker + 2, segment.size() - marker - 4);
        EXPECT_TRUE(pty_.WaitFor(prompt_));
        return line;
    }

    // Types keys and waits until the editor has read every one of them.
    void TypeAndWaitUntilRead(const std::string& keys)
    {
        auto bytesRead = [&] {
            std::string io = e2e::ReadFile("/proc/" + std::to_string(pty_.Pid()) + "/io");
            return std::stol(io.substr(io.find("rchar:") + 6));
        };
        long before = bytesRead();
        pty_.Send(keys);
        EXPECT_TRUE(vocab::WaitUntil([&] { return bytesRead() >= before + (long)keys.size(); }));
    }

  private:
    std::string prompt_;
    e2e::PtySession pty_;
};

} // namespace

TEST(LineEditorEcho, WhatIsInTheLineIsWhatTheScreenShows)
{
    const std::string e = "\xc3\xa9", euro = "\xe2\x82\xac";
    const struct
    {
        std::string keys, screen, text;
    } lines[] = {
        {"show status\r", "show status\n", "show status"},
        // Control characters would act on the terminal rather than show, so they are ignored; the
        // end-of-file key (^D) among them does not end input. 0xFF is a character of its own.
        {"a\t\x01\x04\x0e\xff" "b\r", "a\xff" "b\n", "a\xff" "b"},
        // Both erase keys; on an empty line they write nothing.
        {"\b\x7f" "abc\x7f\x08" "d\r", "abc\b \b\b \bd\n", "ad"},
        // One erase takes a whole UTF-8 character (one column); erasing on at the prompt does
        // nothing. A byte that begins no character goes alone; a character cut short is dropped.
        {"n" + e + euro + "\x7f\x7f\x7f\x7f" "x\xa9\x7f\xe2\x82" "y\r",
         "n" + e + euro + "\b \b\b \b\b \bx\xa9\b \by\n", "xy"},
        // Escape sequences are consumed whole, whatever their length: Delete, Ctrl-Left, F1 (SS3),
        // F5, Alt-x, a repeated ESC, and a CSI broken off by Enter, which still ends the line.
        {"ab\x1b[3~\x1b[1;5D\x1bOP\x1b[15~\x1bx\x1b\x1b[2~c\x1b[1\r", "abc\n", "abc"},
    };
    Editor editor;
    for (const auto& l : lines)
    {
        SCOPED_TRACE(Hex(l.keys));
        Line line = editor.Type(l.keys);
        EXPECT_EQ(line.screen, l.screen);
        EXPECT_EQ(line.text, Hex(l.text));
    }
}

// The Escape key alone is an ESC with nothing after it for a while: it is dropped, and a key that
// comes later counts on its own (had the editor waited on, ESC c would be Alt-c, both dropped).
TEST(LineEditorEcho, EscapeAloneIsDroppedAfterItsPause)
{
    Editor editor;
    editor.TypeAndWaitUntilRead("ab\x1b");
    usleep(500 * 1000);
    Line line = editor.Type("c\r");
    EXPECT_EQ(line.screen, "abc\n");
    EXPECT_EQ(line.text, Hex("abc"));
}

TEST(LineEditorHistory, RecallBlanksPromptAndTypedCharactersBeforeRedrawing)
{
    Editor editor;
    editor.Type("rev\r");
    // Three characters on the screen, five bytes in the line.
    Line line = editor.Type("a\xc3\xa9\xe2\x82\xac" + kUp + "\r");
    EXPECT_EQ(line.screen, "a\xc3\xa9\xe2\x82\xac" + Blank(11) + "DIDIVAR>rev\n");
    EXPECT_EQ(line.text, Hex("rev"));
}

TEST(LineEditorHistory, UnchangedOrShortenedRecallIsNotStoredButAnEditedOneIs)
{
    Editor editor;
    editor.Type("one\r");
    editor.Type("two\r");
    EXPECT_EQ(editor.Type(kUp + "\r").text, Hex("two"));
    // Shortened with the erase key: still a recall.
    EXPECT_EQ(editor.Type(kUp + kUp + "\x7f\r").text, Hex("on"));
    // Had either been stored, the second entry would now be "two" or "on".
    Line line = editor.Type(kUp + kUp + "\r");
    EXPECT_EQ(line.text, Hex("one"));

    // An ordinary character after the recall makes it a new line.
    EXPECT_EQ(editor.Type(kUp + "x\r").text, Hex("twox"));
    line = editor.Type(kUp + kUp + kUp + "\r");
    EXPECT_EQ(line.screen, Blank(8) + kPrompt + "twox" + Blank(8 + 4) + kPrompt + "two" + Blank(8 + 3) + kPrompt +
                               "one\n");
}

// Up walks from the newest line to the oldest, then wraps to the newest.
TEST(LineEditorHistory, TwentyOneLinesDropTheOldest)
{
    Editor editor;
    for (int i = 1; i <= 21; i++)
        editor.Type("line-" + std::string(i < 10 ? "0" : "") + std::to_string(i) + "\r");
    std::string keys;
    // The byte between ESC and 'A' depends on the terminal's cursor key mode; both forms recall.
    for (int i = 0; i < 21; i++)
        keys += i % 2 == 0 ? kUp : kUpApplicationMode;
    Line line = editor.Type(keys + "\r");
    // Twenty recalls reach line-02; the twenty-first wraps to the newest again.
    EXPECT_EQ(line.screen.find("line-01"), std::string::npos) << line.screen;
    EXPECT_EQ(line.screen.rfind(Blank(8) + kPrompt + "line-21" + Blank(8 + 7) + kPrompt + "line-20", 0), 0u)
        << line.screen;
    EXPECT_NE(line.screen.find(kPrompt + "line-02" + Blank(8 + 7) + kPrompt + "line-21\n"), std::string::npos)
        << line.screen;
    EXPECT_EQ(line.text, Hex("line-21"));
}

TEST(LineEditorHistory, AnEmptyLineMovesTheWriteIndexAndSkipsASlot)
{
    // With all twenty slots full, "A" replaces w01, the empty line passes over w02's slot without
    // touching it, and "B" replaces w03: walking up then shows B, the old w02, then A.
    Editor editor;
    for (int i = 1; i <= 20; i++)
        editor.Type("w" + std::string(i < 10 ? "0" : "") + std::to_string(i) + "\r");
    editor.Type("A\r");
    EXPECT_EQ(editor.Type("\r").text, "");
    editor.Type("B\r");
    Line line = editor.Type(kUp + kUp + kUp + "\r");
    EXPECT_EQ(line.screen, Blank(8) + kPrompt + "B" + Blank(8 + 1) + kPrompt + "w02" + Blank(8 + 3) + kPrompt + "A\n");
}

TEST(LineEditorLimits, AFullLineReturnsAtOnceAndTheRestUpToEnterIsThrownAwayWithABell)
{
    Editor editor(kPrompt, "510,510,10");
    const std::string full(509, 'x');
    Line line = editor.Type(full + "tail" + kUp + "\r");
    EXPECT_EQ(line.screen, full);
    EXPECT_EQ(line.text, Hex(full));
    // A bell for each key of the tail; after its Enter the editor reads a line again, and the
    // full line was not stored.
    line = editor.Type(kUp + "\r");
    EXPECT_EQ(line.screen, "\a\a\a\a\a\n");
    EXPECT_EQ(line.text, "");
    // A character that does not fit whole fills the line too, and is the first key thrown away.
    line = editor.Type("abcdefgh\xc3\xa9\r");
    EXPECT_EQ(line.screen, "abcdefgh\a");
    EXPECT_EQ(line.text, Hex("abcdefgh"));
}

// Up with an empty history changes nothing, and the line typed around it is not stored (the two
// recalls would show it); a recall redraws the prompt cut to nineteen characters.
TEST(LineEditorLimits, EmptyHistoryRecallsNothingAndThePromptIsCutToNineteenCharacters)
{
    const std::string longPrompt = "enclosure-console-0123456789>", shown = longPrompt.substr(0, 19);
    Editor editor(longPrompt);
    Line line = editor.Type("ab" + kUp + "\r");
    EXPECT_EQ(line.screen, "ab\n");
    EXPECT_EQ(line.text, Hex("ab"));
    editor.Type("x\r");
    line = editor.Type(kUp + kUp + "\r");
    EXPECT_EQ(line.screen, Blank(19) + shown + "x" + Blank(19 + 1) + shown + "x\n");
}

TEST(LineEditorLimits, StoredAndRecalledLinesFitTheirSlotAndTheCallersBuffer)
{
    // Buffers of 1000, 1000 and 20 bytes: a 600-byte line is stored cut to its 511-byte slot, and
    // recalled into the small buffer it is cut again to leave room for the NUL and the Enter.
    Editor editor(kPrompt, "1000,1000,20");
    EXPECT_EQ(editor.Type(std::string(600, 'y') + "\r").text, Hex(std::string(600, 'y')));
    EXPECT_EQ(editor.Type(kUp + "\r").text, Hex(std::string(511, 'y')));
    EXPECT_EQ(editor.Type(kUp + "\r").text, Hex(std::string(18, 'y')));
}

TEST(LineEditorInput, ReadsAPipeTheSameWayAndEndOfInputReturnsNull)
{
    // CR and LF both end a line; an escape sequence cut short by end of input is dropped and the
    // partial line with it.
    e2e::RunOptions options;
    options.stdinData = "one\rtwo\nab\x1b[";
    e2e::RunResult r = e2e::Run({EDITOR_DRIVER, kPrompt, "510"}, options);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, kPrompt + "one\n{{" + Hex("one") + "}}" + kPrompt + "two\n{{" + Hex("two") + "}}" + kPrompt +
                         "ab{{null}}");
}

namespace
{
int CountingSource(void* context, int)
{
    ++*(int*)context;
    return 'z';
}
} // namespace

TEST(LineEditorInput, TinyBuffersReturnWithoutReading)
{
    int reads = 0;
    char buffer[1] = {'q'};
    EXPECT_EQ(FgetsHistoryFromSource(buffer, 0, CountingSource, &reads), buffer);
    EXPECT_EQ(buffer[0], 'q');
    EXPECT_EQ(FgetsHistoryFromSource(buffer, 1, CountingSource, &reads), buffer);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(reads, 0);
}
