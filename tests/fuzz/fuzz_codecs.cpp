// The CDB codecs: every decoder on any bytes, every builder on any parameters and buffer size,
// and what one builds the other must read back.
// Input: a selector byte (service-action CDB, REQUEST SENSE CDB, short sense), the codec's
// parameters one byte each, then the bytes to decode.
#include <stdint.h>
#include <string.h>

#include "vocabulary.h"
#include "scsi.h"
#include "spc_request_sense.h"

namespace
{

const size_t kLargestCdb = 16;

// The rest of the input to a decoder: it never claims more bytes than it was given.
template <typename Record, typename Decoder>
void DecodeTheRest(vocab::ByteReader& in, Decoder decode)
{
    size_t taken = 0;
    const uint8_t* bytes = in.Take(in.Left(), &taken);
    Record decoded;
    int result = decode(&decoded, bytes, taken);
    vocab::Check(result < 0 || (size_t)result <= taken);
}

void ServiceAction(vocab::ByteReader& in)
{
    SCSI_SA_CDBParams_t params;
    params.dir = in.Byte();
    params.len = in.Byte();
    params.service_action = in.Byte();
    params.control = in.Byte();
    size_t room = in.Byte() % (kLargestCdb + 8);
    uint8_t* cdb = new uint8_t[room + 1];
    int built = SCSI_BuildServiceActionCDB(cdb, room, &params);
    if (built > 0)
    {
        vocab::Check((size_t)built <= room && (built == 12 || built == 16));
        SCSI_SA_CDBParams_t decoded;
        vocab::Check(SCSI_DecodeServiceActionCDB(&decoded, cdb, (size_t)built) == built);
        vocab::Check(decoded.dir == params.dir && decoded.len == params.len &&
                    decoded.service_action == params.service_action && decoded.control == params.control);
    }
    delete[] cdb;
    DecodeTheRest<SCSI_SA_CDBParams_t>(in, SCSI_DecodeServiceActionCDB);
}

void RequestSense(vocab::ByteReader& in)
{
    SPC_RS_CDBParams_t params;
    params.alloclen = in.Byte();
    params.control = in.Byte();
    size_t room = in.Byte() % (kLargestCdb + 8);
    uint8_t* cdb = new uint8_t[room + 1];
    int built = SPC_RequestSense_BuildCDB(cdb, room, &params);
    if (built > 0)
    {
        SPC_RS_CDBParams_t decoded;
        vocab::Check(SPC_RequestSense_DecodeCDB(&decoded, cdb, room) == SPC_REQUEST_SENSE_CDB_LENGTH);
        vocab::Check(decoded.alloclen == params.alloclen && decoded.control == params.control);
    }
    delete[] cdb;
    DecodeTheRest<SPC_RS_CDBParams_t>(in, SPC_RequestSense_DecodeCDB);
}

void ShortSenseBuilder(vocab::ByteReader& in)
{
    SCSI_ShortSenseData_t sense;
    sense.deferred = in.Byte() & 1;
    sense.sensekey = in.Byte();
    sense.asc = in.Byte();
    sense.ascq = in.Byte();
    size_t room = in.Byte() % 64;
    uint8_t* buffer = new uint8_t[room + 1];
    int built = SPC_RequestSense_BuildShortData(buffer, room, &sense);
    if (built == 0)
    {
        SCSI_ShortSenseData_t decoded;
        vocab::Check(SCSI_DecodeShortSense(&decoded, buffer, room) == 0);
        vocab::Check(decoded.deferred == sense.deferred && decoded.sensekey == (sense.sensekey & 0x0F) &&
                    decoded.asc == sense.asc && decoded.ascq == sense.ascq);
    }
    delete[] buffer;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vocab::ByteReader in(data, size);
    switch (in.Byte() % 3)
    {
    case 0:
        ServiceAction(in);
        break;
    case 1:
        RequestSense(in);
        break;
    default:
        ShortSenseBuilder(in);
        break;
    }
    return 0;
}
