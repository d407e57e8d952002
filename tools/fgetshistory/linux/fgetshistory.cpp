// Line editor for the console client.
//
// The terminal stays in raw mode while a line is read, so this module does the echo itself. It
// writes only these byte sequences to standard output, each flushed at once:
//   - a typed character: its bytes (one byte, or the lead and continuation bytes of a UTF-8
//     character, written together once the last has come);
//   - erase one character: "\b \b" (back over it, blank it, back again), once for a whole UTF-8
//     character, which takes one column on the screen;
//   - end of line: "\n";
//   - recall: n backspaces, n spaces, n backspaces, where n is the number of characters of the
//     prompt and of the line being replaced, which blanks the screen line back to its start
//     without any cursor-addressing sequence; then the prompt and the recalled line;
//   - redraw after the terminal was given back (job control): "\r", the prompt and the line;
//   - a key that is thrown away because the line is full: the bell, 0x07.
// Input keys: Enter is CR or LF, erase is BS or DEL. An escape sequence is consumed whole and
// never reaches the line: CSI (ESC '[', parameter and intermediate bytes, a final byte) and SS3
// (ESC 'O', a final byte); only the up arrow (final 'A' without parameters, in either cursor key
// mode) means anything. An ESC with nothing after it within ESCAPE_WAIT_MS is the Escape key
// alone; an ESC before any other byte is Alt and that key; both are ignored. Other control
// characters would act on the terminal instead of showing, so they are ignored too: whatever is
// in the line is what the screen shows.
//
// History: a ring of HISTORY_DEPTH slots. New lines go to decreasing indexes, so walking up from
// the newest slot (increasing indexes, wrapping) goes from newer to older lines.

#include "fgetshistory_internal.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/select.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "basetype.h"

#define HISTORY_DEPTH 20
#define HISTORY_LINE_SIZE 512 // a stored line and its NUL
#define PROMPT_SIZE 20        // the prompt and its NUL

#define KEY_BELL 0x07
#define KEY_LINE_FEED 0x0A
#define KEY_CARRIAGE_RETURN 0x0D
#define KEY_BACKSPACE 0x08
#define KEY_DELETE 0x7F
#define KEY_ESCAPE 0x1B
#define KEY_SPACE 0x20
#define KEY_CSI_INTRODUCER '['
#define KEY_SS3_INTRODUCER 'O'
#define KEY_UP_FINAL 'A'
// ECMA-48 control sequences: parameter and intermediate bytes, then one final byte.
#define SEQUENCE_BODY_FIRST 0x20
#define SEQUENCE_BODY_LAST 0x3F
#define SEQUENCE_FINAL_FIRST 0x40
#define SEQUENCE_FINAL_LAST 0x7E

// A terminal sends the bytes of one key together; a gap this long after ESC means the operator
// pressed Escape alone (or a sequence was cut), not that more of a key is on its way.
#define ESCAPE_WAIT_MS 100

// UTF-8: continuation bytes are 10xxxxxx; lead bytes C2-DF, E0-EF and F0-F4 start characters of
// two, three and four bytes (C0, C1 and F5-FF start none).
#define UTF8_LONGEST_CHARACTER 4
#define UTF8_CONTINUATION_MASK 0xC0
#define UTF8_CONTINUATION_BITS 0x80
#define UTF8_LEAD_2_FIRST 0xC2
#define UTF8_LEAD_3_FIRST 0xE0
#define UTF8_LEAD_4_FIRST 0xF0
#define UTF8_LEAD_4_LAST 0xF4

#define ERASE_SEQUENCE "\b \b"
#define KEY_WAIT_SECONDS 1

typedef struct
{
    char cmdStr[HISTORY_LINE_SIZE];
    uint32_t cmdlength;
} history_t;

// What one key amounts to once its bytes have been read.
typedef enum
{
    KEY_CHARACTER_BYTE, // a byte of the line's text
    KEY_ENTER,
    KEY_ERASE,
    KEY_RECALL,
    KEY_IGNORED,
    KEY_NOTHING, // no byte came: the wait paused (a signal, or a second without a key)
    KEY_END      // end of input or a read error
} keyKind_t;

static history_t historyData[HISTORY_DEPTH];
static uint32_t histIndexWrite;
static uint32_t histIndexRead;
static char strPrompt[PROMPT_SIZE];
static uint32_t PromptLength;

// Terminal state, also changed from the caller's signal handlers.
static struct termios oldSettings;
static struct termios rawSettings;
static volatile sig_atomic_t rawActive;
static volatile sig_atomic_t lineActive;
static volatile sig_atomic_t redrawPending;
// Set when a line was returned because it was full: the keys typed after it, up to the next
// Enter, belong to that line and must not become a command of their own.
static bool_t discardingTail;

static uint32_t OlderSlot(uint32_t index)
{
    return index == HISTORY_DEPTH - 1 ? 0 : index + 1;
}

static uint32_t NewerSlot(uint32_t index)
{
    return index == 0 ? HISTORY_DEPTH - 1 : index - 1;
}

static bool_t IsContinuationByte(unsigned char byte)
{
    return (byte & UTF8_CONTINUATION_MASK) == UTF8_CONTINUATION_BITS ? TRUE : FALSE;
}

// Bytes of the UTF-8 character that this byte starts; 1 for ASCII and for bytes that start none.
static uint32_t CharacterLength(unsigned char lead)
{
    if (lead < UTF8_LEAD_2_FIRST || lead > UTF8_LEAD_4_LAST)
    {
        return 1;
    }
    return lead < UTF8_LEAD_3_FIRST ? 2 : lead < UTF8_LEAD_4_FIRST ? 3 : 4;
}

// Bytes of the last character of the line as a UTF-8 terminal shows it in one column: a lead byte
// with the continuation bytes it announced (or fewer, when the line ends before they came), or a
// single byte of anything else.
static uint32_t LastCharacterLength(const char* line, uint32_t length)
{
    uint32_t continuations = 0;
    while (continuations < UTF8_LONGEST_CHARACTER - 1 && continuations < length &&
           IsContinuationByte((unsigned char)line[length - 1 - continuations]))
    {
        continuations++;
    }
    if (continuations > 0 && continuations < length &&
        CharacterLength((unsigned char)line[length - 1 - continuations]) > continuations)
    {
        return continuations + 1;
    }
    return 1;
}

// Screen columns of a text, counted the way LastCharacterLength takes characters off its end.
static uint32_t CharacterCount(const char* text, uint32_t length)
{
    uint32_t count = 0;
    while (length > 0)
    {
        length -= LastCharacterLength(text, length);
        count++;
    }
    return count;
}

// Raw mode is entered only from the terminal's foreground process group: a background process
// that changed the settings would be stopped by SIGTTOU, and the terminal is not its to change.
static void EnterRawMode(void)
{
    if (tcgetpgrp(STDIN_FILENO) != getpgrp())
    {
        return;
    }
    // Once raw, the settings now in force are our own; the ones to restore were taken before.
    if (!rawActive)
    {
        if (tcgetattr(STDIN_FILENO, &oldSettings) != 0)
        {
            return;
        }
        rawSettings = oldSettings;
        // ISIG stays on: the interrupt key must still stop the program.
        rawSettings.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
        rawSettings.c_cc[VMIN] = 1;
        rawSettings.c_cc[VTIME] = 0;
    }
    if (tcsetattr(STDIN_FILENO, TCSANOW, &rawSettings) == 0)
    {
        rawActive = TRUE;
        // Raw mode entered again while a line is read: the screen was someone else's meanwhile.
        if (lineActive)
        {
            redrawPending = TRUE;
        }
    }
}

// SIGTTOU is held back so that giving the terminal back never stops the process, even when it
// has been moved to the background meanwhile.
static void LeaveRawMode(void)
{
    sigset_t ttou;
    sigset_t previous;
    if (!rawActive)
    {
        return;
    }
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &previous);
    tcsetattr(STDIN_FILENO, TCSANOW, &oldSettings);
    sigprocmask(SIG_SETMASK, &previous, NULL);
    rawActive = FALSE;
}

void ConfigureFgetsHistory(canonicalMode_t canonicalMode, const char* inPrompt)
{
    size_t promptLength = inPrompt == NULL ? 0 : strnlen(inPrompt, PROMPT_SIZE - 1);
    memcpy(strPrompt, inPrompt == NULL ? "" : inPrompt, promptLength);
    strPrompt[promptLength] = '\0';
    PromptLength = (uint32_t)promptLength;

    if (canonicalMode == NON_CANONICAL)
    {
        EnterRawMode();
    }
    else
    {
        LeaveRawMode();
    }
}

static long MillisecondsUntil(const struct timespec* deadline)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (deadline->tv_sec - now.tv_sec) * 1000 + (deadline->tv_nsec - now.tv_nsec) / 1000000;
}

// Waits until descriptor 0 has a byte; FALSE when timeoutMs ran out or, for a wait without limit,
// after each 1-second select or a signal, so that the caller looks at what a signal asked for
// (one that came just before select would otherwise wait for the next key). A select failure
// ends the wait and leaves the blocking read to do the waiting.
static bool_t KbHit(int timeoutMs)
{
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += (long)(timeoutMs % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000)
    {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000;
    }
    for (;;)
    {
        struct timeval timeout;
        fd_set readSet;
        timeout.tv_sec = KEY_WAIT_SECONDS;
        timeout.tv_usec = 0;
        if (timeoutMs != FGETS_WAIT_FOREVER)
        {
            long remaining = MillisecondsUntil(&deadline);
            if (remaining <= 0)
            {
                return FALSE;
            }
            timeout.tv_sec = remaining / 1000;
            timeout.tv_usec = (remaining % 1000) * 1000;
        }
        FD_ZERO(&readSet);
        FD_SET(STDIN_FILENO, &readSet);
        int ready = select(STDIN_FILENO + 1, &readSet, NULL, NULL, &timeout);
        if (ready > 0 || (ready < 0 && errno != EINTR))
        {
            return TRUE;
        }
        if (timeoutMs == FGETS_WAIT_FOREVER)
        {
            return FALSE;
        }
    }
}

// Reads one byte straight from descriptor 0 (never through a stdio buffer, where a typed byte
// could sit unseen). 0xFF comes back as 255, distinct from EOF.
static int GetChar(void* context, int timeoutMs)
{
    (void)context;
    unsigned char byte;
    ssize_t result;
    if (!KbHit(timeoutMs))
    {
        return FGETS_NO_BYTE;
    }
    // From the background a read stops the process (SIGTTIN) and, continued, waits on even when
    // the key that woke it went to the shell meanwhile; stopped here instead, it looks afresh.
    if (tcgetpgrp(STDIN_FILENO) >= 0 && tcgetpgrp(STDIN_FILENO) != getpgrp())
    {
        raise(SIGTTIN);
        if (tcgetpgrp(STDIN_FILENO) == getpgrp())
        {
            return FGETS_NO_BYTE;
        }
    }
    do
    {
        result = read(STDIN_FILENO, &byte, 1);
    } while (result < 0 && errno == EINTR);
    return result == 1 ? (int)byte : EOF;
}

static keyKind_t ClassifyByte(int byte)
{
    switch (byte)
    {
    case KEY_LINE_FEED:
    case KEY_CARRIAGE_RETURN:
        return KEY_ENTER;
    case KEY_BACKSPACE:
    case KEY_DELETE:
        return KEY_ERASE;
    default:
        return byte < KEY_SPACE ? KEY_IGNORED : KEY_CHARACTER_BYTE;
    }
}

// Reads the bytes of one key. A byte that cannot continue an escape sequence ends it and is
// taken as the next key itself, so that an Enter or a new ESC is never swallowed by a broken one.
static keyKind_t ReadKey(FgetsHistoryByteSource_t source, void* context, int* byte)
{
    int next = source(context, FGETS_WAIT_FOREVER);
    for (;;)
    {
        *byte = next;
        if (next == EOF)
        {
            return KEY_END;
        }
        if (next == FGETS_NO_BYTE)
        {
            return KEY_NOTHING;
        }
        if (next != KEY_ESCAPE)
        {
            return ClassifyByte(next);
        }
        next = source(context, ESCAPE_WAIT_MS);
        if (next == KEY_ESCAPE || next == EOF)
        {
            continue;
        }
        if (next != KEY_CSI_INTRODUCER && next != KEY_SS3_INTRODUCER)
        {
            // Escape alone, or Alt and a key.
            return KEY_IGNORED;
        }
        bool_t csi = next == KEY_CSI_INTRODUCER ? TRUE : FALSE;
        bool_t bare = TRUE;
        for (;;)
        {
            next = source(context, ESCAPE_WAIT_MS);
            if (next == FGETS_NO_BYTE)
            {
                return KEY_IGNORED;
            }
            if (next >= SEQUENCE_FINAL_FIRST && next <= SEQUENCE_FINAL_LAST)
            {
                return next == KEY_UP_FINAL && bare ? KEY_RECALL : KEY_IGNORED;
            }
            if (!csi || next < SEQUENCE_BODY_FIRST || next > SEQUENCE_BODY_LAST)
            {
                break;
            }
            bare = FALSE;
        }
    }
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
        uint32_t blankCount = CharacterCount(strPrompt, PromptLength) + CharacterCount(str, *charInCount);
        uint32_t length = entry->cmdlength < maxChars - 2 ? entry->cmdlength : maxChars - 2;
        WriteRepeated('\b', blankCount);
        WriteRepeated(' ', blankCount);
        WriteRepeated('\b', blankCount);
        memcpy(str, entry->cmdStr, length);
        str[length] = '\0';
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

static void WriteAndFlush(const char* bytes, size_t count)
{
    fwrite(bytes, 1, count, stdout);
    fflush(stdout);
}

// A byte of a character: the bytes of a UTF-8 character are collected in pending and reach the
// line and the screen together once the last one is there, so that the terminal and the line
// never disagree about a character left incomplete; one cut short by another key is dropped.
// Returns TRUE when the character made the line full (or did not fit: then it is thrown away).
static bool_t TakeCharacterByte(char* str, uint32_t maxChars, uint32_t* charInCount, char* pending,
                                uint32_t* pendingLength, unsigned char byte)
{
    static const char bell = KEY_BELL;
    if (*pendingLength == 0 || !IsContinuationByte(byte))
    {
        *pendingLength = 0;
    }
    pending[(*pendingLength)++] = (char)byte;
    if (*pendingLength < CharacterLength((unsigned char)pending[0]))
    {
        return FALSE;
    }
    uint32_t length = *pendingLength;
    *pendingLength = 0;
    if (*charInCount + length > maxChars - 1)
    {
        WriteAndFlush(&bell, 1);
        return TRUE;
    }
    memcpy(str + *charInCount, pending, length);
    *charInCount += length;
    WriteAndFlush(str + *charInCount - length, length);
    return *charInCount == maxChars - 1 ? TRUE : FALSE;
}

char* FgetsHistoryFromSource(char* str, uint32_t maxChars, FgetsHistoryByteSource_t source, void* context)
{
    static const char bell = KEY_BELL;
    uint32_t charInCount = 0;
    bool_t usingHistory = FALSE;
    int char_rx;
    char pending[UTF8_LONGEST_CHARACTER];
    uint32_t pendingLength = 0;

    if (maxChars == 0)
    {
        return str;
    }
    if (maxChars == 1)
    {
        str[0] = '\0';
        return str;
    }
    lineActive = TRUE;
    for (;;)
    {
        keyKind_t key = ReadKey(source, context, &char_rx);
        if (key == KEY_END)
        {
            lineActive = FALSE;
            return NULL;
        }
        if (key == KEY_NOTHING)
        {
            if (redrawPending)
            {
                redrawPending = FALSE;
                fputs("\r", stdout);
                fputs(strPrompt, stdout);
                WriteAndFlush(str, charInCount);
            }
            continue;
        }
        if (discardingTail)
        {
            if (key == KEY_ENTER)
            {
                discardingTail = FALSE;
            }
            else if (key != KEY_CHARACTER_BYTE || !IsContinuationByte((unsigned char)char_rx))
            {
                WriteAndFlush(&bell, 1);
            }
            continue;
        }
        if (key != KEY_CHARACTER_BYTE)
        {
            pendingLength = 0;
        }
        switch (key)
        {
        case KEY_ENTER:
            EndLine(str, charInCount, usingHistory);
            lineActive = FALSE;
            return str;
        case KEY_ERASE:
            if (charInCount != 0)
            {
                charInCount -= LastCharacterLength(str, charInCount);
                str[charInCount] = '\0';
                WriteAndFlush(ERASE_SEQUENCE, strlen(ERASE_SEQUENCE));
            }
            break;
        case KEY_RECALL:
            RecallHistory(str, maxChars, &charInCount);
            usingHistory = TRUE;
            break;
        case KEY_CHARACTER_BYTE:
        {
            uint32_t before = charInCount;
            bool_t full =
                TakeCharacterByte(str, maxChars, &charInCount, pending, &pendingLength, (unsigned char)char_rx);
            if (charInCount != before)
            {
                usingHistory = FALSE;
            }
            if (full)
            {
                // What is typed after a full line, up to the next Enter, is thrown away.
                str[charInCount] = '\0';
                discardingTail = TRUE;
                lineActive = FALSE;
                return str;
            }
            break;
        }
        default:
            break;
        }
    }
}

char* FgetsHistory(char* str, uint32_t maxChars, FILE* stream)
{
    (void)stream;
    return FgetsHistoryFromSource(str, maxChars, GetChar, NULL);
}
