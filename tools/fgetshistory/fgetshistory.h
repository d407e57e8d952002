#ifndef FGETSHISTORY_H
#define FGETSHISTORY_H

#include <stdint.h>
#include <stdio.h>

// Line input for a terminal taken out of canonical mode: echo, the two erase keys, and a ring of
// the last lines entered that the up-arrow key walks from the newest to the oldest.

typedef enum
{
    NON_CANONICAL = 0, // raw keys: no line discipline editing, no echo, one byte at a time
    CANONICAL = 1      // the settings standard input had before the raw mode was entered
} canonicalMode_t;

// Switches standard input between the two modes and keeps the prompt that a recall redraws: it
// must be the text that stands before the cursor when FgetsHistory is called (at most 19
// characters are kept). Raw mode is entered only when standard input is a terminal and the
// process is in its foreground process group; entered again while FgetsHistory waits for a key
// (after a stop, say), the prompt and the line are redrawn. Leaving it never stops the process,
// even from the background. Terminal failures are silent.
// Only terminal calls and plain copies are made, so it may be called from a signal handler.
void ConfigureFgetsHistory(canonicalMode_t canonicalMode, const char* inPrompt);

// Reads one line into str (maxChars bytes) without its line end, echoing to standard output.
// Returns str, or NULL at end of input or on a read error. A line that fills maxChars - 1
// bytes is returned at once, without waiting for Enter; the keys typed after it up to the next
// Enter are thrown away with a bell. Every byte is read from descriptor 0, so stream (standard
// input) is never read through its stdio buffer.
char* FgetsHistory(char* str, uint32_t maxChars, FILE* stream);

#endif
