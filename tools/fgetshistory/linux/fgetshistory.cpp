// Line editor for the console client.
//
// The terminal stays in raw mode for the whole run, so this module does the echo itself. It writes
// only these byte sequences to standard output, each flushed at once:
//   - a typed byte: the byte itself, control characters included (the line is bytes, not
//     characters, so a multi-byte character is echoed and erased one byte at a time);
//   - erase one character: "\b \b" (back over it, blank it, back again);
//   - end of line: "\n";
//   - recall: n backspaces, n spaces, n backspaces, where n is the prompt length plus the bytes
//     of the line being replaced, which blanks the screen line back to its start without any
//     cursor-addressing sequence; then the prompt and the recalled line.
// Input keys: Enter is CR or LF, erase is BS or DEL, and an escape sequence is ESC plus two bytes,
// of which only a final 'A' (the up arrow, in either cursor key mode) means anything.
//
// History: a ring of HISTORY_DEPTH slots. New lines go to decreasing indexes, so walking up from
// the newest slot (increasing indexes, wrapping) goes from newer to older lines.

#include "fgetshistory_internal.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include "basetype.h"

#define HISTORY_DEPTH 20
#define HISTORY_LINE_SIZE 512 // a stored line and its NUL
#define PROMPT_SIZE 20        // the prompt and its NUL

#define KEY_LINE_FEED 0x0A
#define KEY_CARRIAGE_RETURN 0x0D
#define KEY_BACKSPACE 0x08
#define KEY_DELETE 0x7F
#define KEY_ESCAPE 0x1B
#define KEY_UP_FINAL 0x41 // 'A', last byte of the up-arrow sequence

#define ERASE_SEQUENCE "\b \b"
#define KEY_WAIT_SECONDS 1

typedef struct
{
    char cmdStr[HISTORY_LINE_SIZE];
    uint32_t cmdlength;
} history_t;

static history_t historyData[HISTORY_DEPTH];
static uint32_t histIndexWrite;
static uint32_t histIndexRead;
static char strPrompt[PROMPT_SIZE];
static uint32_t PromptLength;

static uint32_t OlderSlot(uint32_t index)
{
    return index == HISTORY_DEPTH - 1 ? 0 : index + 1;
}

static uint32_t NewerSlot(uint32_t index)
{
    return index == 0 ? HISTORY_DEPTH - 1 : index - 1;
}

void ConfigureFgetsHistory(canonicalMode_t canonicalMode, const char* inPrompt)
{
    // Set by NON_CANONICAL only when the settings were really read; until then there is nothing
    // to restore, and applying a zeroed record would wreck the terminal.
    static struct termios oldSettings;
    static volatile sig_atomic_t oldSettingsValid;
    struct termios rawSettings;

    size_t promptLength = inPrompt == NULL ? 0 : strnlen(inPrompt, PROMPT_SIZE - 1);
    memcpy(strPrompt, inPrompt == NULL ? "" : inPrompt, promptLength);
    strPrompt[promptLength] = '\0';
    PromptLength = (uint32_t)promptLength;

    if (canonicalMode == NON_CANONICAL)
    {
        if (tcgetattr(STDIN_FILENO, &oldSettings) != 0)
        {
            return;
        }
        oldSettingsValid = TRUE;
        rawSettings = oldSettings;
        // ISIG stays on: the interrupt key must still stop the program.
        rawSettings.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
        rawSettings.c_cc[VMIN] = 1;
        rawSettings.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &rawSettings);
    }
    else if (oldSettingsValid)
    {
        tcsetattr(STDIN_FILENO, TCSANOW, &oldSettings);
    }
}

// Waits until descriptor 0 has a byte. The timeout only bounds each select call; the wait itself
// has no limit. A select failure ends the wait and leaves the blocking read to do the waiting.
static void KbHit(void)
{
    for (;;)
    {
        struct timeval timeout;
        fd_set readSet;
        timeout.tv_sec = KEY_WAIT_SECONDS;
        timeout.tv_usec = 0;
        FD_ZERO(&readSet);
        FD_SET(STDIN_FILENO, &readSet);
        if (select(STDIN_FILENO + 1, &readSet, NULL, NULL, &timeout) != 0)
        {
            return;
        }
    }
}

// Reads one byte straight from descriptor 0 (never through a stdio buffer, where a typed byte
// could sit unseen). 0xFF comes back as 255, distinct from EOF.
static int GetChar(void* context)
{
    (void)context;
    unsigned char byte;
    ssize_t result;
    KbHit();
    do
    {
        result = read(STDIN_FILENO, &byte, 1);
    } while (result < 0 && errno == EINTR);
    return result == 1 ? (int)byte : EOF;
}

// The slot the next recall shows: the first non-empty one from histIndexRead towards older lines,
// or -1 when the ring is empty.
static int GetNextHistory(void)
{
    uint32_t index = histIndexRead;
    for (uint32_t looked = 0; looked < HISTORY_DEPTH; looked++)
    {
        if (historyData[index].cmdStr[0] != '\0')
        {
            return (int)index;
        }
        index = OlderSlot(index);
    }
    return -1;
}

static void WriteRepeated(char byte, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++)
    {
        putchar(byte);
    }
}

// Replaces the line being edited with the next older history entry. The recalled line is cut to
// maxChars - 2 so that it and its NUL fit str with room left for the Enter that ends it.
static void RecallHistory(char* str, uint32_t maxChars, uint32_t* charInCount)
{
    int slot = GetNextHistory();
    if (slot >= 0 && historyData[slot].cmdlength != 0)
    {
        const history_t* entry = &historyData[slot];
        uint32_t blankCount = PromptLength + *charInCount;
        uint32_t length = entry->cmdlength < maxChars - 2 ? entry->cmdlength : maxChars - 2;
        WriteRepeated('\b', blankCount);
        WriteRepeated(' ', blankCount);
        WriteRepeated('\b', blankCount);
        memcpy(str, entry->cmdStr, length);
        str[length] = '\0';
        // Written by length, not as a string, so that a line holding a NUL byte shows whole.
        fputs(strPrompt, stdout);
        fwrite(str, 1, length, stdout);
        fflush(stdout);
        histIndexRead = (uint32_t)slot;
        *charInCount = length;
    }
    histIndexRead = OlderSlot(histIndexRead);
}

// Enter: a typed line becomes the newest entry; a recalled one (even if shortened) is not stored
// again. An empty typed line stores nothing but still moves the write index.
static void EndLine(char* str, uint32_t charInCount, bool_t usingHistory)
{
    str[charInCount] = '\0';
    if (!usingHistory)
    {
        histIndexWrite = NewerSlot(histIndexWrite);
        if (charInCount != 0)
        {
            history_t* entry = &historyData[histIndexWrite];
            uint32_t length = charInCount < HISTORY_LINE_SIZE - 1 ? charInCount : HISTORY_LINE_SIZE - 1;
            memcpy(entry->cmdStr, str, length);
            entry->cmdStr[length] = '\0';
            entry->cmdlength = length;
            histIndexRead = histIndexWrite;
        }
    }
    else
    {
        histIndexRead = histIndexWrite;
    }
    putchar(KEY_LINE_FEED);
    fflush(stdout);
}

char* FgetsHistoryFromSource(char* str, uint32_t maxChars, FgetsHistoryByteSource_t source, void* context)
{
    uint32_t charInCount = 0;
    bool_t usingHistory = FALSE;

    if (maxChars == 0)
    {
        return str;
    }
    while (charInCount < maxChars - 1)
    {
        int char_rx = source(context);
        switch (char_rx)
        {
        case EOF:
            return NULL;
        case KEY_LINE_FEED:
        case KEY_CARRIAGE_RETURN:
            EndLine(str, charInCount, usingHistory);
            return str;
        case KEY_BACKSPACE:
        case KEY_DELETE:
            if (charInCount != 0)
            {
                charInCount--;
                str[charInCount] = '\0';
                fputs(ERASE_SEQUENCE, stdout);
                fflush(stdout);
            }
            break;
        case KEY_ESCAPE:
        {
            // The byte after ESC ('[' or 'O', by cursor key mode) is not examined. End of input
            // here simply fails the test below; the next read reports it.
            (void)source(context);
            int finalByte = source(context);
            if (finalByte != EOF && (finalByte & 0xFF) == KEY_UP_FINAL)
            {
                RecallHistory(str, maxChars, &charInCount);
                usingHistory = TRUE;
            }
            break;
        }
        default:
            str[charInCount] = (char)char_rx;
            charInCount++;
            usingHistory = FALSE;
            putchar(char_rx);
            fflush(stdout);
            break;
        }
    }
    // A full line comes back at once, without a line end and without entering the history.
    str[charInCount] = '\0';
    return str;
}

char* FgetsHistory(char* str, uint32_t maxChars, FILE* stream)
{
    (void)stream;
    return FgetsHistoryFromSource(str, maxChars, GetChar, NULL);
}
