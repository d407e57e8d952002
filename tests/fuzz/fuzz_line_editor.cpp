// The line editor's handling of typed bytes: editing keys, escape sequences (cut short by a pause
// too), history recall, lines that fill the caller's buffer, whatever the buffer size. The history
// ring lives as long as the process, as in the program, so inputs also meet the lines earlier
// inputs left there.
//
// Whatever is typed, each line returned must be exactly what a UTF-8 terminal would show after
// the prompt, with nothing but blanks after it: the editor's output is replayed on a model of
// one screen line.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fgetshistory_internal.h"
#include "fuzz_support.h"

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
    fuzz::Input* in = static_cast<fuzz::Input*>(context);
    if (in->Empty())
        return EOF;
    uint8_t byte = in->Byte();
    return byte == kNoByte ? FGETS_NO_BYTE : byte;
}

// One screen line as a UTF-8 terminal keeps it: a cell per character, a cursor.
class ScreenLine
{
  public:
    explicit ScreenLine(const std::string& prompt)
    {
        for (char c : prompt)
            Put((uint8_t)c);
    }
    void Put(uint8_t byte)
    {
        if (byte == '\r' || byte == '\b')
        {
            cursor_ = byte == '\r' || cursor_ == 0 ? 0 : cursor_ - 1;
            awaited_ = 0;
            return;
        }
        if (byte == '\a')
            return;
        if ((byte & 0xC0) == 0x80 && awaited_ > 0)
        {
            cells_[cursor_ - 1] += (char)byte;
            awaited_--;
            return;
        }
        if (cursor_ == cells_.size())
            cells_.emplace_back();
        cells_[cursor_++] = std::string(1, (char)byte);
        awaited_ = byte >= 0xC2 && byte <= 0xDF   ? 1
                   : byte >= 0xE0 && byte <= 0xEF ? 2
                   : byte >= 0xF0 && byte <= 0xF4 ? 3
                                                  : 0;
    }
    bool Shows(const std::string& text) const
    {
        std::string before;
        for (size_t i = 0; i < cursor_; i++)
            before += cells_[i];
        for (size_t i = cursor_; i < cells_.size(); i++)
        {
            if (cells_[i] != " ")
                return false;
        }
        return before == text;
    }

  private:
    std::vector<std::string> cells_;
    size_t cursor_ = 0;
    size_t awaited_ = 0;
};

// The editor writes to standard output; here that is a file that is read back after each line.
FILE* Screen()
{
    static FILE* file = nullptr;
    if (file == nullptr)
    {
        file = tmpfile();
        fuzz::Check(file != nullptr && dup2(fileno(file), STDOUT_FILENO) == STDOUT_FILENO);
    }
    return file;
}

std::string TakeOutput()
{
    fflush(stdout);
    int fd = fileno(Screen());
    std::string out((size_t)lseek(fd, 0, SEEK_END), '\0');
    fuzz::Check(pread(fd, &out[0], out.size(), 0) == (ssize_t)out.size());
    fuzz::Check(ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in(data, size);
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
        fuzz::Check(got == line);
        if (maxChars == 0)
            break;
        fuzz::Check(memchr(line, '\0', maxChars) != NULL);
        ScreenLine screen(shownPrompt);
        for (size_t at = 0; at < out.size(); at++)
        {
            // The line's end is the last thing written for it.
            fuzz::Check(out[at] != '\n' || at + 1 == out.size());
            if (out[at] != '\n')
                screen.Put((uint8_t)out[at]);
        }
        fuzz::Check(screen.Shows(shownPrompt + line));
    }
    free(line);
    return 0;
}
