#include <errno.h>
#include <pthread.h>
#include <time.h>

#include "oswrapper.h"

#define MS_PER_SECOND 1000u
#define NS_PER_MS 1000000u
#define US_PER_SECOND 1000000u
#define NS_PER_US 1000
#define NS_PER_SECOND 1000000000LL

void OSW_Sleep(uint32_t milliSecs)
{
    struct timespec tv;
    tv.tv_sec = milliSecs / MS_PER_SECOND;
    tv.tv_nsec = (long)(milliSecs % MS_PER_SECOND) * NS_PER_MS;
    // A signal handled during the sleep must not shorten it: sleep on for what remains.
    while (nanosleep(&tv, &tv) != 0)
    {
        if (errno != EINTR)
        {
            return;
        }
    }
}

void OSW_StallMicroSeconds(uint32_t microSecs)
{
    struct timespec now;
    struct timespec target;

    clock_gettime(CLOCK_MONOTONIC, &now);
    target.tv_sec = now.tv_sec + microSecs / US_PER_SECOND;
    target.tv_nsec = now.tv_nsec + (long)(microSecs % US_PER_SECOND) * NS_PER_US;
    target.tv_sec += target.tv_nsec / NS_PER_SECOND;
    target.tv_nsec %= NS_PER_SECOND;

    // Busy on purpose: a stall is for intervals too short to give the processor away.
    while (target.tv_sec > now.tv_sec || (target.tv_sec == now.tv_sec && target.tv_nsec > now.tv_nsec))
    {
        clock_gettime(CLOCK_MONOTONIC, &now);
    }
}

void OSW_GetCurrentThreadID(OSW_THREAD_ID* pThreadID)
{
    if (pThreadID == NULL)
    {
        return;
    }
    *pThreadID = (OSW_THREAD_ID)(uintptr_t)pthread_self();
}

static void* OSW_ThreadWrapper(void* argument)
{
    OSW_THREAD_HANDLE threadHandle = (OSW_THREAD_HANDLE)argument;
    OSW_STATUS status = threadHandle->threadFunction(threadHandle->threadContext);
    // pthread hands a thread's result over as a pointer; the status travels in its bits.
    return (void*)(intptr_t)status; // NOLINT(performance-no-int-to-ptr)
}

OSW_STATUS OSW_CreateThread(OSW_CONTEXT oswContext, OSW_THREAD_HANDLE* pthreadHandle,
                            OSW_THREAD_FUNCTION threadFunction, OSW_THREAD_CONTEXT threadContext,
                            const char* threadName)
{
    (void)threadName;
    if (pthreadHandle == NULL)
    {
        return OSW_STATUS_INVALID_PARAMETER;
    }
    *pthreadHandle = NULL;

    OSW_THREAD_HANDLE threadHandle = (OSW_THREAD_HANDLE)OSW_AllocateMemoryInternal(sizeof(OSWThreadHandle));
    if (threadHandle == NULL)
    {
        OSW_DebugPrintInternal(oswContext, OSW_DEBUG_LEVEL_ERROR, "Failed to allocate memory for thread\n");
        return OSW_STATUS_FAILED;
    }
    threadHandle->threadFunction = threadFunction;
    threadHandle->threadContext = threadContext;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_JOINABLE);
    pthread_attr_setstacksize(&attributes, OSW_THREAD_STACK_SIZE);
    int created = pthread_create(&threadHandle->thread, &attributes, OSW_ThreadWrapper, threadHandle);
    pthread_attr_destroy(&attributes);

    if (created != 0)
    {
        OSW_DebugPrintInternal(oswContext, OSW_DEBUG_LEVEL_ERROR, "Failed to start thread\n");
        OSW_FreeMemory(threadHandle);
        return OSW_STATUS_FAILED;
    }
    *pthreadHandle = threadHandle;
    return OSW_STATUS_SUCCESS;
}

OSW_STATUS OSW_CreateThreadWithStack(OSW_CONTEXT oswContext, OSW_THREAD_HANDLE* pthreadHandle,
                                     OSW_THREAD_FUNCTION threadFunction, OSW_THREAD_CONTEXT threadContext,
                                     const char* threadName, uint32_t stackSize)
{
    // Every thread gets the same fixed stack; the size asked for is not honoured.
    (void)stackSize;
    return OSW_CreateThread(oswContext, pthreadHandle, threadFunction, threadContext, threadName);
}

OSW_STATUS OSW_WaitForThreadCompletion(OSW_THREAD_HANDLE threadHandle)
{
    pthread_join(threadHandle->thread, NULL);
    OSW_FreeMemory(threadHandle);
    return OSW_STATUS_SUCCESS;
}

OSW_STATUS OSW_SetThreadPriority(OSW_THREAD_HANDLE threadHandle, OSW_THREAD_PRIORITY priority)
{
    (void)threadHandle;
    (void)priority;
    return OSW_STATUS_SUCCESS;
}

OSW_STATUS OSW_CheckThreadStacks(OSW_CONTEXT oswContext)
{
    (void)oswContext;
    return OSW_STATUS_SUCCESS;
}
