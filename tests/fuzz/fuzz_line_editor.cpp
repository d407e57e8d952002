// The line editor's handling of typed bytes: editing keys, escape sequences, history recall,
// lines that fill the caller's buffer, whatever the buffer size. The history ring lives as long
// as the process, as in the program, so inputs also meet the lines earlier inputs left there.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fgetshistory_internal.h"
#include "fuzz_support.h"

namespace
{

const uint32_t kLargestBuffer = 600; // above the program's 510, to reach past a history slot
const int kMaxLines = 64;

int NextByte(void* context)
{
    fuzz::Input* in = static_cast<fuzz::Input*>(context);
    return in->Empty() ? EOF : in->Byte();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in(data, size);
    uint32_t maxChars = in.Be16() % (kLargestBuffer + 1);
    // The prompt that a recall redraws: up to the first NUL, any length.
    char prompt[64];
    size_t promptLength = 0;
    while (!in.Empty() && promptLength < sizeof(prompt) - 1)
    {
        uint8_t b = in.Byte();
        if (b == 0)
            break;
        prompt[promptLength++] = (char)b;
    }
    prompt[promptLength] = '\0';
    // Standard input is no terminal here, so only the prompt changes.
    ConfigureFgetsHistory(CANONICAL, prompt);

    // Exactly the caller's size, so that any write past it is caught.
    char* line = static_cast<char*>(malloc(maxChars == 0 ? 1 : maxChars));
    for (int i = 0; i < kMaxLines; i++)
    {
        char* got = FgetsHistoryFromSource(line, maxChars, NextByte, &in);
        if (got == NULL)
            break;
        fuzz::Check(got == line);
        if (maxChars == 0)
            break;
        fuzz::Check(memchr(line, '\0', maxChars) != NULL);
    }
    free(line);
    return 0;
}
