#ifndef DATAACCESS_H
#define DATAACCESS_H

#include <stdint.h>

// Fields of 8 to 64 bits at any byte offset, in either byte order, one byte at a time so that
// neither alignment nor the host's own order matters. 24-bit fields travel in the low bits of a
// uint32_t. There is no range test: the caller keeps the field inside its buffer.

void DA_SetField_LE8(uint8_t* data, int index, uint8_t dataValue);
void DA_SetField_LE16(uint8_t* data, int index, uint16_t dataValue);
void DA_SetField_LE24(uint8_t* data, int index, uint32_t dataValue);
void DA_SetField_LE32(uint8_t* data, int index, uint32_t dataValue);
void DA_SetField_LE64(uint8_t* data, int index, uint64_t dataValue);
void DA_SetField_BE8(uint8_t* data, int index, uint8_t dataValue);
void DA_SetField_BE16(uint8_t* data, int index, uint16_t dataValue);
void DA_SetField_BE24(uint8_t* data, int index, uint32_t dataValue);
void DA_SetField_BE32(uint8_t* data, int index, uint32_t dataValue);
void DA_SetField_BE64(uint8_t* data, int index, uint64_t dataValue);

uint8_t DA_GetField_LE8(const uint8_t* data, int index);
uint16_t DA_GetField_LE16(const uint8_t* data, int index);
uint32_t DA_GetField_LE24(const uint8_t* data, int index);
uint32_t DA_GetField_LE32(const uint8_t* data, int index);
uint64_t DA_GetField_LE64(const uint8_t* data, int index);
uint8_t DA_GetField_BE8(const uint8_t* data, int index);
uint16_t DA_GetField_BE16(const uint8_t* data, int index);
uint32_t DA_GetField_BE24(const uint8_t* data, int index);
uint32_t DA_GetField_BE32(const uint8_t* data, int index);
uint64_t DA_GetField_BE64(const uint8_t* data, int index);

#endif
