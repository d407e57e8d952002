#ifndef BUFTERM_MESSAGE_H
#define BUFTERM_MESSAGE_H

#include <stdint.h>

#include "basetype.h"
#include "oswrappertypes.h"

// The console message format carried by WRITE BUFFER / READ BUFFER mode 01h, buffer ID 1.
//
// Command (data out):  byte 0 message type, byte 1 zero, then the text and its NUL.
// Response (data in):  bytes 0-1 text length, bytes 2-3 command pending (both big-endian,
//                      pending non-zero while the interpreter has more output), text from byte 4,
//                      not terminated on the wire.

#define BUFTERM_MESSAGE_SIZE 512
#define BUFTERM_COMMAND_TYPE_OFFSET 0
#define BUFTERM_COMMAND_RESERVED_OFFSET 1
#define BUFTERM_COMMAND_TEXT_OFFSET 2
#define BUFTERM_COMMAND_TYPE 0x01
#define BUFTERM_RESPONSE_LENGTH_OFFSET 0
#define BUFTERM_RESPONSE_PENDING_OFFSET 2
#define BUFTERM_RESPONSE_TEXT_OFFSET 4

// A response whose length field the buffer cannot hold with a terminating NUL. It has the value
// of a device status failure, because the caller treats both the same way.
#define BUFTERM_RESPONSE_REFUSED 4

// Checks the response that a READ BUFFER left in buffer (bufferSize bytes), stores the pending
// indication through cmdPending and writes a NUL after the text, so that the text can be printed
// as a string that never reaches past the buffer. A length field of bufferSize - 4 or more is
// refused: cmdPending becomes FALSE and BUFTERM_RESPONSE_REFUSED is returned. Returns 0 otherwise.
OSW_STATUS DecodeCommandResponse(uint8_t* buffer, uint32_t bufferSize, bool_t* cmdPending);

#endif
