#include <stdlib.h>

#include "oswrapper.h"

// Both regions are served by the one process heap.
#define OSW_MEMORY_REGION_LAST 1

void* OSW_AllocateMemoryInternal(uint32_t size)
{
    // A zero-size request is a caller's bug; failing loudly here beats a pointer nobody may use.
    OSW_ASSERT(size > 0);
    return calloc(1, size);
}

void* OSW_AllocateMemoryWithRegionInternal(uint32_t size, int region)
{
    if ((uint32_t)region > OSW_MEMORY_REGION_LAST)
    {
        OSW_DebugPrintInternal(NULL, OSW_DEBUG_LEVEL_ERROR, "OSW_AllocateMemoryWithRegion: Invalid region %d\n",
                               region);
    }
    return calloc(1, size);
}

void OSW_FreeMemory(void* pBlock)
{
    free(pBlock);
}

// The platform heap keeps its own books; these diagnostics exist for platforms that have none.
OSW_STATUS OSW_CheckHeap(OSW_OutputFtn_t printFtn, void* ftnParams, bool_t interruptContext, void** pFailAddr,
                         char* logBuffer, uint32_t logbufferSize)
{
    (void)printFtn;
    (void)ftnParams;
    (void)interruptContext;
    (void)pFailAddr;
    (void)logBuffer;
    (void)logbufferSize;
    return OSW_STATUS_SUCCESS;
}

OSW_STATUS OSW_DumpHeap(OSW_OutputFtn_t printFtn, void* ftnParams, void* startAddr, uint32_t length,
                        bool_t isISRContext)
{
    (void)printFtn;
    (void)ftnParams;
    (void)startAddr;
    (void)length;
    (void)isISRContext;
    return OSW_STATUS_SUCCESS;
}

OSW_STATUS OSW_DumpMemoryInfo(OSW_OutputFtn_t printFtn, void* ftnParams)
{
    (void)printFtn;
    (void)ftnParams;
    return OSW_STATUS_SUCCESS;
}
