// The line editor's handling of typed bytes: editing keys, escape sequences (cut short by a pause
// too), history recall, lines that fill the caller's buffer, whatever the buffer size. The history
// ring lives as long as the process, as in the program, so inputs also meet the lines earlier
// inputs left there.
//
// Whatever is typed, each line returned must be exactly what a UTF-8 terminal would show after
// the prompt, with nothing but blanks after it: the editor's output is replayed on a model of
// one screen line.
//
// Input: the caller's buffer size (16 bits, big-endian), the prompt up to a NUL, then the keys.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fgetshistory_internal.h"
#include "vocabulary.h"

namespace
{

const uint32_t kLargestBuffer = 600; // above the program's 510, to reach past a history slot
const int kMaxLines = 64;
const size_t kPromptKept = 19;
// In the input, a NUL where the editor waits for a byte means that none came: a pause after an
// escape, or a signal at the prompt.
const uint8_t kNoByte = 0;

int NextByte(void* context, int)
{
    vocab::ByteReader* in = static_cast<vocab::ByteReader*>(context);
    if (in->Empty())
        return EOF;
    uint8_t byte = in->Byte();
    return byte == kNoByte ? FGETS_NO_BYTE : byte;
}

// Replays the editor's output on one screen line of a UTF-8 terminal, a cell per character, that
// starts with the prompt; true when it shows the prompt and the line, with only blanks after them.
bool ScreenShows(const std::string& prompt, const std::string& out, const std::string& line)
{
    std::vector<std::string> cells;
    size_t cursor = 0, awaited = 0;
    for (unsigned char byte : prompt + out)
    {
        bool continues = (byte & 0xC0) == 0x80 && awaited > 0;
        if (byte == '\r' || byte == '\b')
            cursor = byte == '\r' || cursor == 0 ? 0 : cursor - 1;
        else if (continues)
            cells[cursor - 1] += (char)byte;
        else if (byte != '\a')
        {
            cells.resize(std::max(cells.size(), cursor + 1));
            cells[cursor++] = std::string(1, (char)byte);
        }
        awaited = continues                      ? awaited - 1
                  : byte >= 0xF0 && byte <= 0xF4 ? 3
                  : byte >= 0xE0 && byte <= 0xEF ? 2
                  : byte >= 0xC2 && byte <= 0xDF ? 1
                                                 : 0;
    }
    std::string shown;
    for (size_t i = 0; i < cells.size(); i++)
    {
        if (i < cursor)
            shown += cells[i];
        else if (cells[i] != " ")
            return false;
    }
    return shown == prompt + line;
}

// What the editor wrote since the last call: its standard output is a file read back here.
std::string TakeOutput()
{
    static FILE* screen = tmpfile();
    static bool redirected = screen != nullptr && dup2(fileno(screen), STDOUT_FILENO) == STDOUT_FILENO;
    vocab::Check(redirected);
    fflush(stdout);
    int fd = fileno(screen);
    std::string out((size_t)lseek(fd, 0, SEEK_END), '\0');
    vocab::Check(pread(fd, &out[0], out.size(), 0) == (ssize_t)out.size());
    vocab::Check(ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vocab::ByteReader in(data, size);
    uint32_t maxChars = in.Be16() % (kLargestBuffer + 1);
    // The prompt that a recall redraws: up to the first NUL, any length, shown as printable text.
    char prompt[64];
    size_t promptLength = 0;
    while (!in.Empty() && promptLength < sizeof(prompt) - 1)
    {
        uint8_t b = in.Byte();
        if (b == 0)
            break;
        prompt[promptLength++] = b >= 0x20 && b < 0x7F ? (char)b : '?';
    }
    prompt[promptLength] = '\0';
    const std::string shownPrompt(prompt, promptLength < kPromptKept ? promptLength : kPromptKept);
    // Standard input is no terminal here, so only the prompt changes.
    ConfigureFgetsHistory(CANONICAL, prompt);
    TakeOutput();

    // Exactly the caller's size, so that any write past it is caught.
    char* line = static_cast<char*>(malloc(maxChars == 0 ? 1 : maxChars));
    for (int i = 0; i < kMaxLines; i++)
    {
        char* got = FgetsHistoryFromSource(line, maxChars, NextByte, &in);
        std::string out = TakeOutput();
        if (got == NULL)
            break;
        vocab::Check(got == line);
        if (maxChars == 0)
            break;
        vocab::Check(memchr(line, '\0', maxChars) != NULL);
        // The line's end is the last thing written for it.
        size_t end = out.find('\n');
        vocab::Check(end == std::string::npos || end + 1 == out.size());
        vocab::Check(ScreenShows(shownPrompt, out.substr(0, end), line));
    }
    free(line);
    return 0;
}
