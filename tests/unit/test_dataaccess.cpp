#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dataaccess.h"

namespace
{

// One member pair of the family, seen through 64-bit values so that every width shares the tests.
struct Field
{
    const char* name;
    int bytes;
    bool bigEndian;
    void (*set)(uint8_t*, int, uint64_t);
    uint64_t (*get)(const uint8_t*, int);
};

#define DA_FIELD(order, bits, type)                                                                        \
    {#order #bits, (bits) / 8, #order[0] == 'B',                                                            \
     [](uint8_t* d, int i, uint64_t v) { DA_SetField_##order##bits(d, i, (type)v); },                        \
     [](const uint8_t* d, int i) -> uint64_t { return DA_GetField_##order##bits(d, i); }}
const Field kFields[] = {
    DA_FIELD(LE, 8, uint8_t), DA_FIELD(LE, 16, uint16_t), DA_FIELD(LE, 24, uint32_t), DA_FIELD(LE, 32, uint32_t),
    DA_FIELD(LE, 64, uint64_t), DA_FIELD(BE, 8, uint8_t), DA_FIELD(BE, 16, uint16_t), DA_FIELD(BE, 24, uint32_t),
    DA_FIELD(BE, 32, uint32_t), DA_FIELD(BE, 64, uint64_t),
};

uint64_t WidthMask(int bytes)
{
    return bytes == 8 ? UINT64_MAX : ((uint64_t)1 << (8 * bytes)) - 1;
}

// The bytes a field of the given order holds for a value, first byte first.
std::vector<uint8_t> ExpectedBytes(const Field& field, uint64_t value)
{
    std::vector<uint8_t> bytes((size_t)field.bytes);
    for (int i = 0; i < field.bytes; i++)
    {
        int shift = field.bigEndian ? 8 * (field.bytes - 1 - i) : 8 * i;
        bytes[(size_t)i] = (uint8_t)(value >> shift);
    }
    return bytes;
}

const int kBufferSize = 24;
// Fields are addressed from a pointer this far into the buffer, so that the indexes before it
// are negative: an index counts bytes before the pointer as well as after it.
const int kBase = 8;

} // namespace

// Every width and order at every offset, before and after the pointer, writes exactly its bytes,
// leaves its neighbours (filled with either guard) alone, and reads back the value. Values with a
// top bit set in each half catch a getter whose bytes are promoted to a signed int or whose
// halves are sign-extended.
TEST(DataAccess, EveryWidthAndOrderWritesItsBytesOnlyAndReadsThemBack)
{
    const uint64_t values[] = {0, 0x0102030405060708ULL, 0x80, 0x8000, 0x800000, 0x80000000ULL, 0x8000000000ULL,
                               0x8000000000000000ULL, 0x7FFFFFFFFFFFFFFFULL, UINT64_MAX, 0xA55AC33C96695AA5ULL};
    for (const Field& field : kFields)
    {
        for (uint64_t value : values)
        {
            for (int index = 0; index <= kBufferSize - field.bytes; index++)
            {
                SCOPED_TRACE(std::string(field.name) + " at index " + std::to_string(index - kBase));
                uint8_t guard = (index & 1) ? 0xFF : 0x00;
                uint8_t buffer[kBufferSize];
                memset(buffer, guard, sizeof(buffer));
                field.set(buffer + kBase, index - kBase, value);
                std::vector<uint8_t> expected(kBufferSize, guard);
                std::vector<uint8_t> bytes = ExpectedBytes(field, value);
                std::copy(bytes.begin(), bytes.end(), expected.begin() + index);
                ASSERT_EQ(expected, std::vector<uint8_t>(buffer, buffer + kBufferSize)) << std::hex << value;
                ASSERT_EQ(value & WidthMask(field.bytes), field.get(buffer + kBase, index - kBase)) << std::hex << value;
            }
        }
    }
}
