#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

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

const Field kFields[] = {
    {"LE8", 1, false, [](uint8_t* d, int i, uint64_t v) { DA_SetField_LE8(d, i, (uint8_t)v); },
     [](const uint8_t* d, int i) -> uint64_t { return DA_GetField_LE8(d, i); }},
    {"LE16", 2, false, [](uint8_t* d, int i, uint64_t v) { DA_SetField_LE16(d, i, (uint16_t)v); },
     [](const uint8_t* d, int i) -> uint64_t { return DA_GetField_LE16(d, i); }},
    {"LE24", 3, false, [](uint8_t* d, int i, uint64_t v) { DA_SetField_LE24(d, i, (uint32_t)v); },
     [](const uint8_t* d, int i) -> uint64_t { return DA_GetField_LE24(d, i); }},
    {"LE32", 4, false, [](uint8_t* d, int i, uint64_t v) { DA_SetField_LE32(d, i, (uint32_t)v); },
     [](const uint8_t* d, int i) -> uint64_t { return DA_GetField_LE32(d, i); }},
    {"LE64", 8, false, [](uint8_t* d, int i, uint64_t v) { DA_SetField_LE64(d, i, v); },
     [](const uint8_t* d, int i) -> uint64_t { return DA_GetField_LE64(d, i); }},
    {"BE8", 1, true, [](uint8_t* d, int i, uint64_t v) { DA_SetField_BE8(d, i, (uint8_t)v); },
     [](const uint8_t* d, int i) -> uint64_t { return DA_GetField_BE8(d, i); }},
    {"BE16", 2, true, [](uint8_t* d, int i, uint64_t v) { DA_SetField_BE16(d, i, (uint16_t)v); },
     [](const uint8_t* d, int i) -> uint64_t { return DA_GetField_BE16(d, i); }},
    {"BE24", 3, true, [](uint8_t* d, int i, uint64_t v) { DA_SetField_BE24(d, i, (uint32_t)v); },
     [](const uint8_t* d, int i) -> uint64_t { return DA_GetField_BE24(d, i); }},
    {"BE32", 4, true, [](uint8_t* d, int i, uint64_t v) { DA_SetField_BE32(d, i, (uint32_t)v); },
     [](const uint8_t* d, int i) -> uint64_t { return DA_GetField_BE32(d, i); }},
    {"BE64", 8, true, [](uint8_t* d, int i, uint64_t v) { DA_SetField_BE64(d, i, v); },
     [](const uint8_t* d, int i) -> uint64_t { return DA_GetField_BE64(d, i); }},
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

const uint8_t kGuard = 0xEE;
const int kBufferSize = 24;

} // namespace

TEST(DataAccessLayout, EveryWidthAndOrderWritesItsBytesAndNothingElse)
{
    const uint64_t value = 0x0102030405060708ULL;
    for (const Field& field : kFields)
    {
        for (int index = 0; index < 8; index++) // every position within an aligned word
        {
            SCOPED_TRACE(std::string(field.name) + " at index " + std::to_string(index));
            uint8_t buffer[kBufferSize];
            memset(buffer, kGuard, sizeof(buffer));
            field.set(buffer, index, value);

            std::vector<uint8_t> expected = ExpectedBytes(field, value);
            for (int i = 0; i < kBufferSize; i++)
            {
                bool inField = i >= index && i < index + field.bytes;
                uint8_t want = inField ? expected[(size_t)(i - index)] : kGuard;
                EXPECT_EQ(want, buffer[i]) << "byte " << i;
            }
            EXPECT_EQ(value & WidthMask(field.bytes), field.get(buffer, index));
        }
    }
}

TEST(DataAccessLayout, KnownByteImagesReadAsTheSameValueInBothOrders)
{
    const uint8_t be16[] = {0x01, 0xF4};
    EXPECT_EQ(500, DA_GetField_BE16(be16, 0));
    EXPECT_EQ(0xF401, DA_GetField_LE16(be16, 0));

    const uint8_t eight[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    EXPECT_EQ(0x0102030405060708ULL, DA_GetField_BE64(eight, 0));
    EXPECT_EQ(0x0807060504030201ULL, DA_GetField_LE64(eight, 0));
    EXPECT_EQ(0x010203u, DA_GetField_BE24(eight, 0));
    EXPECT_EQ(0x030201u, DA_GetField_LE24(eight, 0));
    EXPECT_EQ(0x02030405u, DA_GetField_BE32(eight, 1));
    EXPECT_EQ(0x05040302u, DA_GetField_LE32(eight, 1));
}

TEST(DataAccessRoundTrip, SetThenGetReturnsTheValueAtEveryOffset)
{
    const uint64_t values[] = {0, 1, 0x80, 0xFF, 0x8000, 0x7FFF, 0x800000, 0x80000000ULL, 0xFFFFFFFFULL,
                               0x8000000000000000ULL, 0x7FFFFFFFFFFFFFFFULL, UINT64_MAX, 0xA55AC33C96695AA5ULL};
    for (const Field& field : kFields)
    {
        for (uint64_t value : values)
        {
            for (int index = 0; index <= kBufferSize - field.bytes; index++)
            {
                uint8_t buffer[kBufferSize];
                memset(buffer, (index & 1) ? 0xFF : 0x00, sizeof(buffer));
                field.set(buffer, index, value);
                ASSERT_EQ(value & WidthMask(field.bytes), field.get(buffer, index))
                    << field.name << " index " << index << " value " << std::hex << value;
            }
        }
    }
}

// A byte with its top bit set must not spread into the bits above it (promotion to a signed
// int or a sign-extended half would).
TEST(DataAccessRoundTrip, HighBitsNeverSpreadIntoTheRestOfTheValue)
{
    uint8_t buffer[16];
    memset(buffer, 0, sizeof(buffer));
    buffer[3] = 0x80; // the top byte of the low half of a little-endian 64-bit field at 0
    EXPECT_EQ(0x80000000ULL, DA_GetField_LE64(buffer, 0));
    EXPECT_EQ(0x0000008000000000ULL, DA_GetField_BE64(buffer, 0));
    EXPECT_EQ(0x80000000u, DA_GetField_LE32(buffer, 0));

    memset(buffer, 0, sizeof(buffer));
    buffer[4] = 0x80; // the top byte of the low half of a big-endian 64-bit field at 0
    EXPECT_EQ(0x80000000ULL, DA_GetField_BE64(buffer, 0));
    EXPECT_EQ(0x8000u, DA_GetField_BE16(buffer, 4));
    EXPECT_EQ(0x80u << 24, DA_GetField_BE32(buffer, 4));
}

TEST(DataAccess24Bit, SettersStoreOnlyTheLow24Bits)
{
    uint8_t buffer[8];
    memset(buffer, kGuard, sizeof(buffer));
    DA_SetField_BE24(buffer, 3, 0x12345678);
    const uint8_t be[] = {kGuard, kGuard, kGuard, 0x34, 0x56, 0x78, kGuard, kGuard};
    EXPECT_EQ(0, memcmp(be, buffer, sizeof(buffer)));

    memset(buffer, kGuard, sizeof(buffer));
    DA_SetField_LE24(buffer, 3, 0x12345678);
    const uint8_t le[] = {kGuard, kGuard, kGuard, 0x78, 0x56, 0x34, kGuard, kGuard};
    EXPECT_EQ(0, memcmp(le, buffer, sizeof(buffer)));
}

TEST(DataAccess24Bit, GettersNeverReadTheNeighbouringByte)
{
    uint8_t buffer[8];
    memset(buffer, 0xFF, sizeof(buffer));
    EXPECT_EQ(0xFFFFFFu, DA_GetField_BE24(buffer, 1));
    EXPECT_EQ(0xFFFFFFu, DA_GetField_LE24(buffer, 1));
    EXPECT_EQ(0xFFFFu, DA_GetField_BE16(buffer, 1));
    EXPECT_EQ(0xFFFFu, DA_GetField_LE16(buffer, 1));
}

TEST(DataAccessOffsets, NegativeIndexAddressesBytesBeforeThePointer)
{
    uint8_t buffer[8] = {0};
    DA_SetField_BE16(buffer + 4, -2, 0xABCD);
    EXPECT_EQ(0xAB, buffer[2]);
    EXPECT_EQ(0xCD, buffer[3]);
    EXPECT_EQ(0xABCD, DA_GetField_BE16(buffer + 6, -4));
}
