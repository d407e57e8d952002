// The CDB and short sense codecs as tables: what each builder writes (and that a refusal writes
// nothing), and what each decoder reads (and that a refusal changes only what it says it does).
// Round trips between builders and decoders are the fuzz target fuzz_codecs's.
#include <gtest/gtest.h>

#include <string.h>

#include <array>
#include <string>

#include "scsi.h"
#include "spc_request_sense.h"
#include "vocabulary.h"

namespace
{

enum Codec
{
    RequestSenseCdb,
    ShortSense,         // SCSI_*ShortSense
    RequestSenseData,   // SPC_RequestSense_*ShortData, the same format
    ServiceActionCdb,
};

const size_t kBuffer = 32;
const uint8_t kDirt = 0xCC;

// The codec's parameters as four bytes: alloclen and control; deferred, key, ASC and ASCQ; or
// direction, length, service action and control.
using Fields = std::array<uint8_t, 4>;

int Build(Codec codec, uint8_t* buffer, size_t room, const Fields* f)
{
    SPC_RS_CDBParams_t rs = {f ? (*f)[0] : (uint8_t)0, f ? (*f)[1] : (uint8_t)0};
    SCSI_ShortSenseData_t sense = f ? SCSI_ShortSenseData_t{(*f)[0], (*f)[1], (*f)[2], (*f)[3]} : SCSI_ShortSenseData_t{};
    SCSI_SA_CDBParams_t sa = f ? SCSI_SA_CDBParams_t{(*f)[0], (*f)[1], (*f)[2], (*f)[3]} : SCSI_SA_CDBParams_t{};
    switch (codec)
    {
    case RequestSenseCdb:
        return SPC_RequestSense_BuildCDB(buffer, room, f ? &rs : nullptr);
    case ShortSense:
        return SCSI_BuildShortSense(buffer, room, f ? &sense : nullptr);
    case RequestSenseData:
        return SPC_RequestSense_BuildShortData(buffer, room, f ? &sense : nullptr);
    default:
        return SCSI_BuildServiceActionCDB(buffer, room, f ? &sa : nullptr);
    }
}

// Decodes into fields that start out as 9s; `out` false passes a null record.
int Decode(Codec codec, const uint8_t* bytes, size_t length, bool out, Fields* f)
{
    SPC_RS_CDBParams_t rs = {9, 9};
    SCSI_ShortSenseData_t sense = {9, 9, 9, 9};
    SCSI_SA_CDBParams_t sa = {9, 9, 9, 9};
    int result;
    switch (codec)
    {
    case RequestSenseCdb:
        result = SPC_RequestSense_DecodeCDB(out ? &rs : nullptr, bytes, length);
        *f = {rs.alloclen, rs.control, 9, 9};
        return result;
    case ShortSense:
    case RequestSenseData:
        result = codec == ShortSense ? SCSI_DecodeShortSense(out ? &sense : nullptr, bytes, length)
                                     : SPC_RequestSense_DecodeShortData(out ? &sense : nullptr, bytes, length);
        *f = {(uint8_t)sense.deferred, sense.sensekey, sense.asc, sense.ascq};
        return result;
    default:
        result = SCSI_DecodeServiceActionCDB(out ? &sa : nullptr, bytes, length);
        *f = {sa.dir, sa.len, sa.service_action, sa.control};
        return result;
    }
}

// Hex of n bytes: the given ones, then zeros.
std::string Padded(const std::string& hex, size_t n)
{
    return hex + std::string(2 * n - hex.size(), '0');
}

// Each row: the codec, its parameters (none: a null record), the room offered (a null buffer
// when 0 and `nullBuffer`), the result and the buffer afterwards ("": untouched).
TEST(Codecs, BuildersWriteTheirBytesAndRefusalsNothing)
{
    const std::string untouched;
    const struct
    {
        Codec codec;
        bool hasFields;
        Fields f;
        size_t room;
        bool nullBuffer;
        int result;
        std::string buffer;
    } rows[] = {
        {RequestSenseCdb, true, {16, 0}, 6, false, 6, "030000001000"},
        {RequestSenseCdb, true, {0xFF, 0x04}, 10, false, 6, Padded("03000000ff04", 10)},
        {RequestSenseCdb, true, {16, 0}, 6, true, -1, untouched},
        {RequestSenseCdb, false, {}, 6, false, -1, untouched},
        {RequestSenseCdb, true, {15, 0}, 5, false, -2, untouched}, // the length is tested first
        {RequestSenseCdb, true, {15, 0}, 6, false, -3, untouched},
        {ShortSense, true, {1, 0x16, 0x29, 0x01}, 16, false, 0, Padded("73062901", 16)},
        {RequestSenseData, true, {0, 0x05, 0x24, 0x00}, 32, false, 0, Padded("72052400", 32)},
        {ShortSense, true, {0, 5, 0x24, 0}, 16, true, -1, untouched},
        {ShortSense, false, {}, 16, false, -1, untouched},
        {ShortSense, true, {0, 5, 0x24, 0}, 15, false, -8, untouched},
        {RequestSenseData, true, {0, 5, 0x24, 0}, 15, false, -8, untouched},
        {ServiceActionCdb, true, {0, 12, 0x1F, 0x80}, 20, false, 12, Padded("ab1f", 11) + Padded("80", 9)},
        {ServiceActionCdb, true, {1, 12, 0x1F, 0x80}, 20, false, 12, Padded("a91f", 11) + Padded("80", 9)},
        {ServiceActionCdb, true, {0, 16, 0x1F, 0x80}, 20, false, 16, Padded("9e1f", 15) + Padded("80", 5)},
        {ServiceActionCdb, true, {1, 16, 0x1F, 0x80}, 20, false, 16, Padded("9f1f", 15) + Padded("80", 5)},
        {ServiceActionCdb, true, {2, 16, 0x1F, 0x80}, 20, false, 16, Padded("9d1f", 15) + Padded("80", 5)},
        {ServiceActionCdb, true, {0, 16, 0x10, 0}, 16, true, -1, untouched},
        {ServiceActionCdb, false, {}, 16, false, -1, untouched},
        {ServiceActionCdb, true, {0, 16, 0x20, 0}, 16, false, -1, untouched},
        {ServiceActionCdb, true, {2, 12, 0x20, 0}, 16, false, -1, untouched}, // the service action first
        {ServiceActionCdb, true, {2, 12, 0, 0}, 1, false, -4, untouched},     // the form before the length
        {ServiceActionCdb, true, {3, 16, 0, 0}, 1, false, -4, untouched},
        {ServiceActionCdb, true, {0, 10, 0, 0}, 1, false, -4, untouched},
        {ServiceActionCdb, true, {0, 16, 0x10, 0}, 12, false, -2, untouched},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); i++)
    {
        const auto& row = rows[i];
        uint8_t buffer[kBuffer];
        memset(buffer, kDirt, sizeof(buffer));
        EXPECT_EQ(row.result, Build(row.codec, row.nullBuffer ? nullptr : buffer, row.room, row.hasFields ? &row.f : nullptr))
            << "row " << i;
        std::string written = row.buffer + vocab::Hex(vocab::Bytes(kBuffer - row.buffer.size() / 2, kDirt));
        EXPECT_EQ(written, vocab::Hex(buffer, kBuffer)) << "row " << i;
    }
}

// Each row: the codec, the bytes and how many are offered (a null buffer when `nullBuffer`),
// whether a record is given, the result and the record's four fields afterwards (9: untouched).
TEST(Codecs, DecodersReadTheirFieldsAndRefusalsOnlyWhatTheySay)
{
    const struct
    {
        Codec codec;
        std::string hex;
        size_t length;
        bool nullBuffer;
        bool record;
        int result;
        Fields f;
    } rows[] = {
        {RequestSenseCdb, "030100006004", 6, false, true, 6, {0x60, 0x04, 9, 9}},
        {RequestSenseCdb, "030000000200", 6, false, true, 6, {0x02, 0, 9, 9}}, // no minimum when decoding
        {RequestSenseCdb, "120000006000", 6, false, false, -1, {9, 9, 9, 9}},
        {RequestSenseCdb, "", 6, true, true, -1, {9, 9, 9, 9}},
        {RequestSenseCdb, "120000006000", 5, false, true, -2, {9, 9, 9, 9}},
        {RequestSenseCdb, "120000006000", 6, false, true, -6, {9, 9, 9, 9}},
        // Fixed format: VALID and flag bits around the key; the additional length decides
        // whether ASC (5) and ASCQ (6) are there.
        {ShortSense, Padded("f000f600000000" "0a000000002901", 16), 16, false, true, 0, {0, 6, 0x29, 0x01}},
        {ShortSense, Padded("f000f600000000" "04000000002901", 16), 16, false, true, 0, {0, 6, 0, 0}},
        {ShortSense, Padded("f000f600000000" "05000000002901", 16), 16, false, true, 0, {0, 6, 0x29, 0}},
        {RequestSenseData, Padded("f100f600000000" "06000000002901", 16), 16, false, true, 0, {1, 6, 0x29, 0x01}},
        {ShortSense, Padded("72f52401000000ff", 16), 16, false, true, 0, {0, 5, 0x24, 0x01}},
        {ShortSense, Padded("f3031100", 18), 18, false, true, 0, {1, 3, 0x11, 0}},
        {ShortSense, Padded("6f0524010000000a", 16), 16, false, true, -4, {0, 0, 0, 0}},
        {ShortSense, Padded("740524010000000a", 16), 16, false, true, -4, {0, 0, 0, 0}},
        {RequestSenseData, Padded("7f0524010000000a", 16), 16, false, true, -4, {0, 0, 0, 0}},
        {ShortSense, Padded("ff0524010000000a", 16), 16, false, true, -4, {0, 0, 0, 0}},
        {ShortSense, Padded("72052400", 16), 15, false, true, -8, {9, 9, 9, 9}},
        {RequestSenseData, Padded("72052400", 16), 15, false, true, -8, {9, 9, 9, 9}},
        {ShortSense, "", 16, true, true, -1, {9, 9, 9, 9}},
        {ShortSense, Padded("72052400", 16), 16, false, false, -1, {9, 9, 9, 9}},
        {ServiceActionCdb, Padded("a9e5", 11) + "80", 12, false, true, 12, {1, 12, 5, 0x80}},
        {ServiceActionCdb, Padded("a9e5", 12), 12, false, false, -1, {9, 9, 9, 9}},
        {ServiceActionCdb, "", 12, true, true, -1, {9, 9, 9, 9}},
        // A refusal writes only what it read: the service action of an unknown operation code,
        // the form of a CDB cut short; fewer than the two bytes it needs, nothing.
        {ServiceActionCdb, Padded("a305", 12), 12, false, true, -4, {9, 9, 5, 9}},
        {ServiceActionCdb, Padded("9e03", 16), 15, false, true, -2, {0, 16, 3, 9}},
        {ServiceActionCdb, Padded("9e03", 16), 1, false, true, -2, {9, 9, 9, 9}},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); i++)
    {
        const auto& row = rows[i];
        // Exactly the bytes offered, so that the sanitizers catch a read past them.
        vocab::Bytes bytes = vocab::FromHex(row.hex);
        bytes.resize(row.length);
        Fields f;
        EXPECT_EQ(row.result, Decode(row.codec, row.nullBuffer ? nullptr : bytes.data(), row.length, row.record, &f))
            << "row " << i;
        EXPECT_EQ(vocab::Hex(f.data(), 4), vocab::Hex(row.f.data(), 4)) << "row " << i;
    }
}

} // namespace
