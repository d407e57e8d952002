#include "bufterm_message.h"

#include "dataaccess.h"

OSW_STATUS DecodeCommandResponse(uint8_t* buffer, uint32_t bufferSize, bool_t* cmdPending)
{
    if (bufferSize <= BUFTERM_RESPONSE_TEXT_OFFSET)
    {
        *cmdPending = FALSE;
        return BUFTERM_RESPONSE_REFUSED;
    }
    *cmdPending = DA_GetField_BE16(buffer, BUFTERM_RESPONSE_PENDING_OFFSET) != 0 ? TRUE : FALSE;
    uint32_t textLength = DA_GetField_BE16(buffer, BUFTERM_RESPONSE_LENGTH_OFFSET);
    if (textLength >= bufferSize - BUFTERM_RESPONSE_TEXT_OFFSET)
    {
        *cmdPending = FALSE;
        return BUFTERM_RESPONSE_REFUSED;
    }
    buffer[BUFTERM_RESPONSE_TEXT_OFFSET + textLength] = '\0';
    return OSW_STATUS_SUCCESS;
}
