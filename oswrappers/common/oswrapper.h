#ifndef OSWRAPPER_H
#define OSWRAPPER_H

#include <stdlib.h>

#include "oswrappertypes.h"

// Process set-up (module osw_process)
OSW_STATUS OSW_OpenStandardDescriptors(void);

// Time (module osw_thread)
void OSW_Sleep(uint32_t milliSecs);
void OSW_StallMicroSeconds(uint32_t microSecs);
void OSW_GetCurrentThreadID(OSW_THREAD_ID* pThreadID);

// Threads (module osw_thread)
OSW_STATUS OSW_CreateThread(OSW_CONTEXT oswContext, OSW_THREAD_HANDLE* pthreadHandle,
                            OSW_THREAD_FUNCTION threadFunction, OSW_THREAD_CONTEXT threadContext,
                            const char* threadName);
OSW_STATUS OSW_CreateThreadWithStack(OSW_CONTEXT oswContext, OSW_THREAD_HANDLE* pthreadHandle,
                                     OSW_THREAD_FUNCTION threadFunction, OSW_THREAD_CONTEXT threadContext,
                                     const char* threadName, uint32_t stackSize);
OSW_STATUS OSW_WaitForThreadCompletion(OSW_THREAD_HANDLE threadHandle);
OSW_STATUS OSW_SetThreadPriority(OSW_THREAD_HANDLE threadHandle, OSW_THREAD_PRIORITY priority);
OSW_STATUS OSW_CheckThreadStacks(OSW_CONTEXT oswContext);

// Memory (module osw_memory)
void* OSW_AllocateMemoryInternal(uint32_t size);
void* OSW_AllocateMemoryWithRegionInternal(uint32_t size, int region);
void OSW_FreeMemory(void* pBlock);
OSW_STATUS OSW_CheckHeap(OSW_OutputFtn_t printFtn, void* ftnParams, bool_t interruptContext, void** pFailAddr,
                         char* logBuffer, uint32_t logbufferSize);
OSW_STATUS OSW_DumpHeap(OSW_OutputFtn_t printFtn, void* ftnParams, void* startAddr, uint32_t length,
                        bool_t isISRContext);
OSW_STATUS OSW_DumpMemoryInfo(OSW_OutputFtn_t printFtn, void* ftnParams);

// Debug output (module debug)
void OSW_DebugPrintInternal(OSW_CONTEXT oswContext, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
OSW_STATUS OSW_SetDebugLevel(OSW_CONTEXT oswContext, int level);
OSW_STATUS OSW_RegisterDebugPrintHandler(OSW_CONTEXT oswContext, void* handlerContext,
                                         OSW_DEBUG_PRINT_HANDLER handler);
OSW_STATUS OSW_UnregisterDebugPrintHandler(OSW_CONTEXT oswContext, OSW_DEBUG_PRINT_HANDLER handler);

// A failed assertion is a programming error: three lines on standard error, then abort.
#define OSW_ASSERT(condition)                                                                        \
    do                                                                                               \
    {                                                                                                \
        if (!(condition))                                                                            \
        {                                                                                            \
            OSW_DebugPrintInternal(NULL, (int)(OSW_DEBUG_REDIRECT_DISABLE | OSW_DEBUG_LEVEL_ERROR), \
                                   "Assertion failed\n");                                            \
            OSW_DebugPrintInternal(NULL, (int)(OSW_DEBUG_REDIRECT_DISABLE | OSW_DEBUG_LEVEL_ERROR), \
                                   "(%s)\n", #condition);                                            \
            OSW_DebugPrintInternal(NULL, (int)(OSW_DEBUG_REDIRECT_DISABLE | OSW_DEBUG_LEVEL_ERROR), \
                                   "at %d:%s\n", __LINE__, __FILE__);                                \
            abort();                                                                                 \
        }                                                                                            \
    } while (0)

#endif
