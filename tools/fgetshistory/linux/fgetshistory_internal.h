#ifndef FGETSHISTORY_INTERNAL_H
#define FGETSHISTORY_INTERNAL_H

#include "fgetshistory.h"

// Module-private: the editor with its byte source made explicit, so that its byte handling can be
// driven without a terminal (tests, fuzzing). FgetsHistory is this with descriptor 0 as source.

// What a byte source returns instead of a byte when none came: the wait ran out, or a wait
// without limit paused (a signal, or a second without a key); the editor then redraws the line if
// raw mode was entered again meanwhile, and waits again.
#define FGETS_NO_BYTE (-2)
// The wait of a source without limit.
#define FGETS_WAIT_FOREVER (-1)

// Returns the next input byte as 0..255, EOF at end of input or on a read error, or
// FGETS_NO_BYTE when none arrived within timeoutMs milliseconds (FGETS_WAIT_FOREVER: no limit).
typedef int (*FgetsHistoryByteSource_t)(void* context, int timeoutMs);

char* FgetsHistoryFromSource(char* str, uint32_t maxChars, FgetsHistoryByteSource_t source, void* context);

#endif
