#include "dataaccess.h"

void DA_SetField_LE8(uint8_t* data, int index, uint8_t dataValue)
{
    data[index] = dataValue;
}

void DA_SetField_LE16(uint8_t* data, int index, uint16_t dataValue)
{
    data[index] = (uint8_t)dataValue;
    data[index + 1] = (uint8_t)(dataValue >> 8);
}

void DA_SetField_LE24(uint8_t* data, int index, uint32_t dataValue)
{
    data[index] = (uint8_t)dataValue;
    data[index + 1] = (uint8_t)(dataValue >> 8);
    data[index + 2] = (uint8_t)(dataValue >> 16);
}

void DA_SetField_LE32(uint8_t* data, int index, uint32_t dataValue)
{
    data[index] = (uint8_t)dataValue;
    data[index + 1] = (uint8_t)(dataValue >> 8);
    data[index + 2] = (uint8_t)(dataValue >> 16);
    data[index + 3] = (uint8_t)(dataValue >> 24);
}

void DA_SetField_LE64(uint8_t* data, int index, uint64_t dataValue)
{
    for (int i = 0; i < 8; i++)
    {
        data[index + i] = (uint8_t)(dataValue >> (8 * i));
    }
}

void DA_SetField_BE8(uint8_t* data, int index, uint8_t dataValue)
{
    data[index] = dataValue;
}

void DA_SetField_BE16(uint8_t* data, int index, uint16_t dataValue)
{
    data[index] = (uint8_t)(dataValue >> 8);
    data[index + 1] = (uint8_t)dataValue;
}

void DA_SetField_BE24(uint8_t* data, int index, uint32_t dataValue)
{
    data[index] = (uint8_t)(dataValue >> 16);
    data[index + 1] = (uint8_t)(dataValue >> 8);
    data[index + 2] = (uint8_t)dataValue;
}

void DA_SetField_BE32(uint8_t* data, int index, uint32_t dataValue)
{
    data[index] = (uint8_t)(dataValue >> 24);
    data[index + 1] = (uint8_t)(dataValue >> 16);
    data[index + 2] = (uint8_t)(dataValue >> 8);
    data[index + 3] = (uint8_t)dataValue;
}

void DA_SetField_BE64(uint8_t* data, int index, uint64_t dataValue)
{
    for (int i = 0; i < 8; i++)
    {
        data[index + i] = (uint8_t)(dataValue >> (56 - 8 * i));
    }
}

uint8_t DA_GetField_LE8(const uint8_t* data, int index)
{
    return data[index];
}

uint16_t DA_GetField_LE16(const uint8_t* data, int index)
{
    return (uint16_t)(data[index] | (data[index + 1] << 8));
}

uint32_t DA_GetField_LE24(const uint8_t* data, int index)
{
    return (uint32_t)data[index] | ((uint32_t)data[index + 1] << 8) | ((uint32_t)data[index + 2] << 16);
}

uint32_t DA_GetField_LE32(const uint8_t* data, int index)
{
    return (uint32_t)data[index] | ((uint32_t)data[index + 1] << 8) | ((uint32_t)data[index + 2] << 16) |
           ((uint32_t)data[index + 3] << 24);
}

uint64_t DA_GetField_LE64(const uint8_t* data, int index)
{
    uint64_t valueL = DA_GetField_LE32(data, index);
    uint64_t valueH = DA_GetField_LE32(data, index + 4);
    return (valueH << 32) | valueL;
}

uint8_t DA_GetField_BE8(const uint8_t* data, int index)
{
    return data[index];
}

uint16_t DA_GetField_BE16(const uint8_t* data, int index)
{
    return (uint16_t)((data[index] << 8) | data[index + 1]);
}

uint32_t DA_GetField_BE24(const uint8_t* data, int index)
{
    return ((uint32_t)data[index] << 16) | ((uint32_t)data[index + 1] << 8) | (uint32_t)data[index + 2];
}

uint32_t DA_GetField_BE32(const uint8_t* data, int index)
{
    return ((uint32_t)data[index] << 24) | ((uint32_t)data[index + 1] << 16) | ((uint32_t)data[index + 2] << 8) |
           (uint32_t)data[index + 3];
}

uint64_t DA_GetField_BE64(const uint8_t* data, int index)
{
    uint64_t valueH = DA_GetField_BE32(data, index);
    uint64_t valueL = DA_GetField_BE32(data, index + 4);
    return (valueH << 32) | valueL;
}
