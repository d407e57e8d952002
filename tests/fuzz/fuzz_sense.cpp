// Sense data from a device: the initiator's decoding into the completion record, and the short
// sense codecs.
#include <stdint.h>
#include <string.h>

#include "vocabulary.h"
#include "scsi.h"
#include "scsi_initiator_internal.h"
#include "spc_request_sense.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The initiator's sense buffer: cleared, then as much as the device wrote.
    uint8_t senseBuffer[SCSI_INITIATOR_SENSE_LENGTH];
    memset(senseBuffer, 0, sizeof(senseBuffer));
    memcpy(senseBuffer, data, size < sizeof(senseBuffer) ? size : sizeof(senseBuffer));
    HAL_SCSI_ResponseData_t response;
    memset(&response, 0, sizeof(response));
    SCSI_Initiator_DecodeSense(senseBuffer, &response);
    vocab::Check(response.senseKey <= 0x0F && response.status == 0);

    // The codecs read exactly the bytes they are given.
    SCSI_ShortSenseData_t sense;
    int result = SCSI_DecodeShortSense(&sense, data, size);
    vocab::Check(result == 0 || result == SCSI_CODEC_SENSE_TOO_SHORT || result == SCSI_CODEC_UNSUPPORTED);
    if (result == 0)
    {
        vocab::Check(sense.sensekey <= 0x0F);
        // What the codec built again must decode to the same values.
        uint8_t rebuilt[SCSI_SHORT_SENSE_MIN_LENGTH];
        vocab::Check(SCSI_BuildShortSense(rebuilt, sizeof(rebuilt), &sense) == 0);
        SCSI_ShortSenseData_t again;
        vocab::Check(SPC_RequestSense_DecodeShortData(&again, rebuilt, sizeof(rebuilt)) == 0);
        vocab::Check(again.deferred == sense.deferred && again.sensekey == sense.sensekey && again.asc == sense.asc &&
                    again.ascq == sense.ascq);
    }
    return 0;
}
