#ifndef FGETSHISTORY_INTERNAL_H
#define FGETSHISTORY_INTERNAL_H

#include "fgetshistory.h"

// Module-private: the editor with its byte source made explicit, so that its byte handling can be
// driven without a terminal (tests, fuzzing). FgetsHistory is this with descriptor 0 as source.

// Returns the next input byte as 0..255, or EOF at end of input or on a read error.
typedef int (*FgetsHistoryByteSource_t)(void* context);

char* FgetsHistoryFromSource(char* str, uint32_t maxChars, FgetsHistoryByteSource_t source, void* context);

#endif
