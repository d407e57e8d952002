// A console response as bufterm checks it after READ BUFFER.
#include <stdint.h>
#include <string.h>

#include "bufterm_message.h"
#include "vocabulary.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The program's buffer is BUFTERM_MESSAGE_SIZE bytes; the input is the device's bytes, and
    // a buffer of exactly the input's size (bounded) catches any write past it.
    size_t bufferSize = size < BUFTERM_MESSAGE_SIZE ? size : BUFTERM_MESSAGE_SIZE;
    uint8_t* buffer = new uint8_t[bufferSize + 1]; // +1: never empty for new[]
    memcpy(buffer, data, bufferSize);
    bool_t pending = TRUE;
    OSW_STATUS result = DecodeCommandResponse(buffer, (uint32_t)bufferSize, &pending);
    if (result == OSW_STATUS_SUCCESS)
    {
        // The text is a string that ends inside the buffer.
        vocab::Check(memchr(buffer + BUFTERM_RESPONSE_TEXT_OFFSET, '\0', bufferSize - BUFTERM_RESPONSE_TEXT_OFFSET) !=
                    NULL);
    }
    else
        vocab::Check(result == BUFTERM_RESPONSE_REFUSED && pending == FALSE);
    delete[] buffer;
    return 0;
}
