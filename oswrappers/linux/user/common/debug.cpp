#include <stdarg.h>
#include <stdio.h>

#include "oswrapper.h"

#define OSW_DEBUG_MESSAGE_SIZE 1024

// Settings of a child context live in its parent; exactly one level is followed.
static OSW_CONTEXT EffectiveContext(OSW_CONTEXT oswContext)
{
    return oswContext->parent != NULL ? oswContext->parent : oswContext;
}

static void OSW_DebugPrintDefaultHandler(OSW_CONTEXT oswContext, int level, const char* format, va_list ap)
{
    (void)oswContext;
    (void)level;
    // Formatting on the stack keeps the printer usable from any thread and allocation-free.
    char message[OSW_DEBUG_MESSAGE_SIZE];
    vsnprintf(message, sizeof(message), format, ap);
    fputs(message, stderr);
}

void OSW_DebugPrintInternal(OSW_CONTEXT oswContext, int level, const char* format, ...)
{
    va_list ap;
    int category = (int)((uint32_t)level & ~OSW_DEBUG_REDIRECT_DISABLE);

    if (oswContext == NULL)
    {
        if ((level & OSW_DEBUG_DEFAULT_MASK) == 0)
        {
            return;
        }
        va_start(ap, format);
        OSW_DebugPrintDefaultHandler(NULL, category, format, ap);
        va_end(ap);
        return;
    }

    OSW_CONTEXT context = EffectiveContext(oswContext);
    bool_t toDefault = context->debugPrintHandler == NULL || ((uint32_t)level & OSW_DEBUG_REDIRECT_DISABLE) != 0;
    if ((context->debugLevel & category) == 0)
    {
        return;
    }
    va_start(ap, format);
    if (toDefault)
    {
        OSW_DebugPrintDefaultHandler(context, category, format, ap);
    }
    else
    {
        context->debugPrintHandler(context->debugHandlerContext, category, format, ap);
    }
    va_end(ap);
}

OSW_STATUS OSW_SetDebugLevel(OSW_CONTEXT oswContext, int level)
{
    if (level > OSW_DEBUG_LEVEL_MAX)
    {
        return OSW_STATUS_INVALID_PARAMETER;
    }
    if (oswContext == NULL)
    {
        return OSW_STATUS_SUCCESS;
    }
    EffectiveContext(oswContext)->debugLevel = level;
    return OSW_STATUS_SUCCESS;
}

OSW_STATUS OSW_RegisterDebugPrintHandler(OSW_CONTEXT oswContext, void* handlerContext,
                                         OSW_DEBUG_PRINT_HANDLER handler)
{
    if (oswContext == NULL)
    {
        return OSW_STATUS_INVALID_PARAMETER;
    }
    OSW_CONTEXT context = EffectiveContext(oswContext);
    // A handler is never replaced behind its owner's back: unregister it first.
    if (context->debugPrintHandler != NULL)
    {
        return OSW_STATUS_CONFLICT;
    }
    context->debugHandlerContext = handlerContext;
    context->debugPrintHandler = handler;
    return OSW_STATUS_SUCCESS;
}

OSW_STATUS OSW_UnregisterDebugPrintHandler(OSW_CONTEXT oswContext, OSW_DEBUG_PRINT_HANDLER handler)
{
    if (oswContext == NULL)
    {
        return OSW_STATUS_INVALID_PARAMETER;
    }
    OSW_CONTEXT context = EffectiveContext(oswContext);
    if (context->debugPrintHandler != handler)
    {
        return OSW_STATUS_CONFLICT;
    }
    context->debugPrintHandler = NULL;
    return OSW_STATUS_SUCCESS;
}
