#ifndef OSWRAPPERTYPES_H
#define OSWRAPPERTYPES_H

#include <pthread.h>
#include <stdarg.h>

#include "basetype.h"

// Result of the library operations; 0 is success.
typedef int32_t OSW_STATUS;

#define OSW_STATUS_SUCCESS 0
#define OSW_STATUS_FAILED 1            // no memory for a handle, or the thread was not started
#define OSW_STATUS_INVALID_PARAMETER 4 // a required argument is missing or out of range
#define OSW_STATUS_CONFLICT 12         // a handler slot is not in the state the call needs

// Debug category bits of a message's level word.
#define OSW_DEBUG_LEVEL_ERROR 0x00000002
#define OSW_DEBUG_LEVEL_MAX 63
// A message that carries this bit always goes to standard error, even with a handler registered.
#define OSW_DEBUG_REDIRECT_DISABLE 0x80000000u
// Categories enabled for messages printed without a context; no call can change it.
#define OSW_DEBUG_DEFAULT_MASK 0x27

typedef void (*OSW_DEBUG_PRINT_HANDLER)(void* handlerContext, int level, const char* format, va_list ap);
typedef void (*OSW_OutputFtn_t)(void* ftnParams, const char* format, ...);

typedef struct OSWContext
{
    struct OSWContext* parent;
    int32_t debugLevel;
    void* debugHandlerContext;
    OSW_DEBUG_PRINT_HANDLER debugPrintHandler;
} OSWContext;

typedef OSWContext* OSW_CONTEXT;

typedef uint32_t OSW_THREAD_ID;
typedef void* OSW_THREAD_CONTEXT;
typedef OSW_STATUS (*OSW_THREAD_FUNCTION)(OSW_THREAD_CONTEXT threadContext);

typedef struct OSWThreadHandle
{
    pthread_t thread;
    OSW_THREAD_FUNCTION threadFunction;
    OSW_THREAD_CONTEXT threadContext;
} OSWThreadHandle;

typedef OSWThreadHandle* OSW_THREAD_HANDLE;

typedef enum
{
    ThreadPriorityLow = 0,
    ThreadPriorityMedium = 1,
    ThreadPriorityHigh = 2
} OSW_THREAD_PRIORITY;

// Every thread gets this stack, whatever size its creator asks for.
#define OSW_THREAD_STACK_SIZE 0x10000

#endif
