#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "scsi.h"
#include "spc_request_sense.h"

namespace
{

using Bytes = std::vector<uint8_t>;

const uint8_t kDirt = 0xCC;

Bytes Dirty(size_t length)
{
    return Bytes(length, kDirt);
}

Bytes WithTail(Bytes head, size_t length)
{
    head.resize(length, 0);
    return head;
}

SCSI_ShortSenseData_t Decoded(const Bytes& sense, int* result)
{
    SCSI_ShortSenseData_t decoded;
    memset(&decoded, 0xAB, sizeof(decoded));
    *result = SCSI_DecodeShortSense(&decoded, sense.data(), sense.size());
    return decoded;
}

::testing::AssertionResult IsSense(const SCSI_ShortSenseData_t& sense, bool_t deferred, uint8_t key, uint8_t asc,
                                   uint8_t ascq)
{
    if (sense.deferred == deferred && sense.sensekey == key && sense.asc == asc && sense.ascq == ascq)
    {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << std::hex << "deferred " << sense.deferred << " key " << +sense.sensekey
                                         << " asc " << +sense.asc << " ascq " << +sense.ascq;
}

} // namespace

TEST(RequestSenseCdb, BuildLaysOutTheCdbAndRefusalsLeaveTheBufferUntouched)
{
    SPC_RS_CDBParams_t params = {16, 0};
    Bytes cdb = Dirty(6);
    EXPECT_EQ(6, SPC_RequestSense_BuildCDB(cdb.data(), cdb.size(), &params));
    EXPECT_EQ((Bytes{0x03, 0x00, 0x00, 0x00, 0x10, 0x00}), cdb);

    params = {0xFF, 0x04};
    Bytes longer = Dirty(10);
    EXPECT_EQ(6, SPC_RequestSense_BuildCDB(longer.data(), longer.size(), &params));
    EXPECT_EQ((Bytes{0x03, 0x00, 0x00, 0x00, 0xFF, 0x04, 0x00, 0x00, 0x00, 0x00}), longer);

    params = {16, 0};
    SPC_RS_CDBParams_t shortAllocation = {15, 0};
    cdb = Dirty(6);
    EXPECT_EQ(-1, SPC_RequestSense_BuildCDB(nullptr, 6, &params));
    EXPECT_EQ(-1, SPC_RequestSense_BuildCDB(cdb.data(), cdb.size(), nullptr));
    EXPECT_EQ(-2, SPC_RequestSense_BuildCDB(cdb.data(), 5, &params));
    EXPECT_EQ(-2, SPC_RequestSense_BuildCDB(cdb.data(), 5, &shortAllocation)) << "length is tested first";
    EXPECT_EQ(-3, SPC_RequestSense_BuildCDB(cdb.data(), cdb.size(), &shortAllocation));
    EXPECT_EQ(Dirty(6), cdb);
}

TEST(RequestSenseCdb, DecodeReadsAllocationLengthAndControlOrRefuses)
{
    SPC_RS_CDBParams_t params = {0, 0};
    const Bytes cdb = {0x03, 0x01, 0x00, 0x00, 0x60, 0x04};
    EXPECT_EQ(6, SPC_RequestSense_DecodeCDB(&params, cdb.data(), cdb.size()));
    EXPECT_EQ(0x60, params.alloclen);
    EXPECT_EQ(0x04, params.control);

    const Bytes small = {0x03, 0x00, 0x00, 0x00, 0x02, 0x00};
    EXPECT_EQ(6, SPC_RequestSense_DecodeCDB(&params, small.data(), small.size())) << "no minimum when decoding";
    EXPECT_EQ(0x02, params.alloclen);

    params = {0x11, 0x22};
    const Bytes inquiry = {0x12, 0x00, 0x00, 0x00, 0x60, 0x00};
    EXPECT_EQ(-1, SPC_RequestSense_DecodeCDB(nullptr, inquiry.data(), inquiry.size()));
    EXPECT_EQ(-1, SPC_RequestSense_DecodeCDB(&params, nullptr, 6));
    EXPECT_EQ(-2, SPC_RequestSense_DecodeCDB(&params, inquiry.data(), 5));
    EXPECT_EQ(-6, SPC_RequestSense_DecodeCDB(&params, inquiry.data(), inquiry.size()));
    EXPECT_EQ(0x11, params.alloclen);
    EXPECT_EQ(0x22, params.control);
}

TEST(ShortSense, BuildWritesADescriptorHeaderWithNoDescriptorsOrRefuses)
{
    SCSI_ShortSenseData_t sense = {1, 0x16, 0x29, 0x01};
    Bytes buffer = Dirty(16);
    EXPECT_EQ(0, SCSI_BuildShortSense(buffer.data(), buffer.size(), &sense));
    EXPECT_EQ(WithTail({0x73, 0x06, 0x29, 0x01}, 16), buffer);

    sense = {0, 0x05, 0x24, 0x00};
    Bytes longer = Dirty(32);
    EXPECT_EQ(0, SPC_RequestSense_BuildShortData(longer.data(), longer.size(), &sense));
    EXPECT_EQ(WithTail({0x72, 0x05, 0x24, 0x00}, 32), longer);

    sense = {0, 5, 0x24, 0};
    buffer = Dirty(16);
    EXPECT_EQ(-1, SCSI_BuildShortSense(nullptr, 16, &sense));
    EXPECT_EQ(-1, SCSI_BuildShortSense(buffer.data(), buffer.size(), nullptr));
    EXPECT_EQ(-8, SCSI_BuildShortSense(buffer.data(), 15, &sense));
    EXPECT_EQ(-8, SPC_RequestSense_BuildShortData(buffer.data(), 15, &sense));
    EXPECT_EQ(Dirty(16), buffer);
}

TEST(ShortSense, DecodeFixedFormatHonoursTheAdditionalLengthAndDescriptorFormat)
{
    // VALID bit set, sense key 6 under the upper flag bits, ASC/ASCQ 29/01.
    Bytes sense = {0xF0, 0x00, 0xF6, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x29, 0x01, 0x00, 0x00};
    int result = 0;
    EXPECT_TRUE(IsSense(Decoded(sense, &result), 0, 0x06, 0x29, 0x01));
    EXPECT_EQ(0, result);

    sense[7] = 4;
    EXPECT_TRUE(IsSense(Decoded(sense, &result), 0, 0x06, 0x00, 0x00));
    sense[7] = 5;
    EXPECT_TRUE(IsSense(Decoded(sense, &result), 0, 0x06, 0x29, 0x00));
    sense[7] = 6;
    EXPECT_TRUE(IsSense(Decoded(sense, &result), 0, 0x06, 0x29, 0x01));

    sense[0] = 0x71;
    EXPECT_TRUE(IsSense(Decoded(sense, &result), 1, 0x06, 0x29, 0x01));
    EXPECT_EQ(0, result);

    result = -99;
    EXPECT_TRUE(IsSense(Decoded(WithTail({0x72, 0xF5, 0x24, 0x01, 0, 0, 0, 0xFF}, 16), &result), 0, 0x05, 0x24, 0x01));
    EXPECT_EQ(0, result);
    EXPECT_TRUE(IsSense(Decoded(WithTail({0xF3, 0x03, 0x11, 0x00}, 18), &result), 1, 0x03, 0x11, 0x00));
    EXPECT_EQ(0, result);
}

TEST(ShortSense, DecodeRefusals)
{
    int result = 0;
    for (uint8_t code : {0x00, 0x6F, 0x74, 0x7F, 0xFF})
    {
        EXPECT_TRUE(IsSense(Decoded(WithTail({code, 0x05, 0x24, 0x01, 0, 0, 0, 0x0A}, 16), &result), 0, 0, 0, 0))
            << +code;
        EXPECT_EQ(-4, result) << +code;
    }

    SCSI_ShortSenseData_t untouched = {7, 7, 7, 7};
    const Bytes sense = WithTail({0x72, 0x05, 0x24, 0x00}, 16);
    EXPECT_EQ(-8, SCSI_DecodeShortSense(&untouched, sense.data(), 15));
    EXPECT_EQ(-8, SPC_RequestSense_DecodeShortData(&untouched, sense.data(), 15));
    EXPECT_EQ(-1, SCSI_DecodeShortSense(&untouched, nullptr, 16));
    EXPECT_EQ(-1, SCSI_DecodeShortSense(nullptr, sense.data(), 16));
    EXPECT_TRUE(IsSense(untouched, 7, 7, 7, 7));
    EXPECT_EQ(0, SPC_RequestSense_DecodeShortData(&untouched, sense.data(), 16));
    EXPECT_TRUE(IsSense(untouched, 0, 5, 0x24, 0));
}

TEST(ServiceActionCdb, BuildEveryLengthAndDirection)
{
    struct Case
    {
        uint8_t len;
        uint8_t dir;
        uint8_t opcode;
    } cases[] = {{12, 0, 0xAB}, {12, 1, 0xA9}, {16, 0, 0x9E}, {16, 1, 0x9F}, {16, 2, 0x9D}};
    for (const Case& c : cases)
    {
        SCSI_SA_CDBParams_t params = {c.dir, c.len, 0x1F, 0x80};
        Bytes cdb = Dirty(20);
        EXPECT_EQ(c.len, SCSI_BuildServiceActionCDB(cdb.data(), cdb.size(), &params));
        Bytes expected(20, 0);
        expected[0] = c.opcode;
        expected[1] = 0x1F;
        expected[c.len - 1] = 0x80;
        EXPECT_EQ(expected, cdb) << "len " << +c.len << " dir " << +c.dir;
        // Decoding it back: fuzz_codecs checks the round trip.
    }
}

TEST(ServiceActionCdb, BuildRefusalsInTheirOrder)
{
    Bytes cdb = Dirty(16);
    SCSI_SA_CDBParams_t params = {0, 16, 0x10, 0};
    EXPECT_EQ(-1, SCSI_BuildServiceActionCDB(nullptr, 16, &params));
    EXPECT_EQ(-1, SCSI_BuildServiceActionCDB(cdb.data(), cdb.size(), nullptr));
    params = {0, 16, 0x20, 0};
    EXPECT_EQ(-1, SCSI_BuildServiceActionCDB(cdb.data(), cdb.size(), &params));
    params = {2, 12, 0x20, 0};
    EXPECT_EQ(-1, SCSI_BuildServiceActionCDB(cdb.data(), cdb.size(), &params)) << "service action is tested first";
    for (SCSI_SA_CDBParams_t unsupported :
         {SCSI_SA_CDBParams_t{2, 12, 0, 0}, SCSI_SA_CDBParams_t{3, 16, 0, 0}, SCSI_SA_CDBParams_t{0, 10, 0, 0}})
    {
        EXPECT_EQ(-4, SCSI_BuildServiceActionCDB(cdb.data(), 1, &unsupported)) << "checked before the length";
    }
    params = {0, 16, 0x10, 0};
    EXPECT_EQ(-2, SCSI_BuildServiceActionCDB(cdb.data(), 12, &params));
    EXPECT_EQ(Dirty(16), cdb);
}

TEST(ServiceActionCdb, DecodeRefusalsWriteOnlyWhatWasRead)
{
    Bytes cdb = WithTail({0xA9, 0xE5}, 12);
    cdb[11] = 0x80;
    SCSI_SA_CDBParams_t params = {9, 9, 9, 9};
    EXPECT_EQ(12, SCSI_DecodeServiceActionCDB(&params, cdb.data(), cdb.size()));
    EXPECT_EQ(1, params.dir);
    EXPECT_EQ(12, params.len);
    EXPECT_EQ(5, params.service_action);
    EXPECT_EQ(0x80, params.control);

    EXPECT_EQ(-1, SCSI_DecodeServiceActionCDB(nullptr, cdb.data(), cdb.size()));
    EXPECT_EQ(-1, SCSI_DecodeServiceActionCDB(&params, nullptr, 12));

    params = {9, 9, 9, 9};
    const Bytes unknown = WithTail({0xA3, 0x05}, 12);
    EXPECT_EQ(-4, SCSI_DecodeServiceActionCDB(&params, unknown.data(), unknown.size()));
    EXPECT_EQ(9, params.dir);
    EXPECT_EQ(9, params.len);
    EXPECT_EQ(5, params.service_action);
    EXPECT_EQ(9, params.control);

    params = {9, 9, 9, 9};
    const Bytes in16 = WithTail({0x9E, 0x03}, 16);
    EXPECT_EQ(-2, SCSI_DecodeServiceActionCDB(&params, in16.data(), 15));
    EXPECT_EQ(0, params.dir);
    EXPECT_EQ(16, params.len);
    EXPECT_EQ(3, params.service_action);
    EXPECT_EQ(9, params.control);

    // Fewer than the two bytes it must read is refused before either is touched.
    params = {9, 9, 9, 9};
    EXPECT_EQ(-2, SCSI_DecodeServiceActionCDB(&params, in16.data(), 1));
    EXPECT_EQ(9, params.service_action);
}
