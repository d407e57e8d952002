#include "scsi.h"

#include <string.h>

#include "dataaccess.h"

// Offsets inside sense data (SPC)
#define FIXED_SENSE_KEY_BYTE 2
#define FIXED_ADDITIONAL_LENGTH_BYTE 7
#define FIXED_ASC_BYTE 12
#define FIXED_ASCQ_BYTE 13
#define DESC_SENSE_KEY_BYTE 1
#define DESC_ASC_BYTE 2
#define DESC_ASCQ_BYTE 3
#define SENSE_KEY_MASK 0x0F
#define RESPONSE_CODE_MASK 0x7F
#define SERVICE_ACTION_MASK 0x1F
#define SERVICE_ACTION_MAX 0x1F

// Fixed-format sense holds the ASC only when the additional length reaches it (byte 12 is the
// fifth additional byte, byte 13 the sixth).
#define FIXED_LENGTH_FOR_ASC 5
#define FIXED_LENGTH_FOR_ASCQ 6

int SCSI_BuildShortSense(void* buf, size_t buflen, const SCSI_ShortSenseData_t* params)
{
    if (params == NULL || buf == NULL)
    {
        return SCSI_CODEC_NULL_ARGUMENT;
    }
    if (buflen < SCSI_SHORT_SENSE_MIN_LENGTH)
    {
        return SCSI_CODEC_SENSE_TOO_SHORT;
    }
    uint8_t* bytes = (uint8_t*)buf;
    memset(bytes, 0, buflen);
    DA_SetField_BE8(bytes, 0, params->deferred ? SCSI_SENSE_DESC_DEFERRED : SCSI_SENSE_DESC_CURRENT);
    DA_SetField_BE8(bytes, DESC_SENSE_KEY_BYTE, params->sensekey & SENSE_KEY_MASK);
    DA_SetField_BE8(bytes, DESC_ASC_BYTE, params->asc);
    DA_SetField_BE8(bytes, DESC_ASCQ_BYTE, params->ascq);
    return 0;
}

int SCSI_DecodeShortSense(SCSI_ShortSenseData_t* sense, const void* buf, size_t buflen)
{
    if (sense == NULL || buf == NULL)
    {
        return SCSI_CODEC_NULL_ARGUMENT;
    }
    if (buflen < SCSI_SHORT_SENSE_MIN_LENGTH)
    {
        return SCSI_CODEC_SENSE_TOO_SHORT;
    }
    const uint8_t* bytes = (const uint8_t*)buf;
    memset(sense, 0, sizeof(*sense));
    uint8_t responseCode = DA_GetField_BE8(bytes, 0) & RESPONSE_CODE_MASK;
    if (responseCode == SCSI_SENSE_FIXED_DEFERRED || responseCode == SCSI_SENSE_DESC_DEFERRED)
    {
        sense->deferred = TRUE;
    }
    switch (responseCode)
    {
    case SCSI_SENSE_FIXED_CURRENT:
    case SCSI_SENSE_FIXED_DEFERRED:
    {
        uint8_t additionalLength = DA_GetField_BE8(bytes, FIXED_ADDITIONAL_LENGTH_BYTE);
        sense->sensekey = DA_GetField_BE8(bytes, FIXED_SENSE_KEY_BYTE) & SENSE_KEY_MASK;
        if (additionalLength >= FIXED_LENGTH_FOR_ASC)
        {
            sense->asc = DA_GetField_BE8(bytes, FIXED_ASC_BYTE);
        }
        if (additionalLength >= FIXED_LENGTH_FOR_ASCQ)
        {
            sense->ascq = DA_GetField_BE8(bytes, FIXED_ASCQ_BYTE);
        }
        return 0;
    }
    case SCSI_SENSE_DESC_CURRENT:
    case SCSI_SENSE_DESC_DEFERRED:
        sense->sensekey = DA_GetField_BE8(bytes, DESC_SENSE_KEY_BYTE) & SENSE_KEY_MASK;
        sense->asc = DA_GetField_BE8(bytes, DESC_ASC_BYTE);
        sense->ascq = DA_GetField_BE8(bytes, DESC_ASCQ_BYTE);
        return 0;
    default:
        sense->deferred = FALSE;
        return SCSI_CODEC_UNSUPPORTED;
    }
}

// The operation code of a service-action CDB for a length and direction; 0 when the pair has none.
static uint8_t ServiceActionOpcode(uint8_t len, uint8_t dir)
{
    if (len == 12)
    {
        if (dir == 0)
        {
            return SCSI_OP_SERVICE_ACTION_IN_12;
        }
        if (dir == 1)
        {
            return SCSI_OP_SERVICE_ACTION_OUT_12;
        }
    }
    else if (len == 16)
    {
        if (dir == 0)
        {
            return SCSI_OP_SERVICE_ACTION_IN_16;
        }
        if (dir == 1)
        {
            return SCSI_OP_SERVICE_ACTION_OUT_16;
        }
        if (dir == 2)
        {
            return SCSI_OP_SERVICE_ACTION_BIDIRECTIONAL;
        }
    }
    return 0;
}

int SCSI_BuildServiceActionCDB(void* buf, size_t buflen, const SCSI_SA_CDBParams_t* params)
{
    if (buf == NULL || params == NULL)
    {
        return SCSI_CODEC_NULL_ARGUMENT;
    }
    if (params->service_action > SERVICE_ACTION_MAX)
    {
        return SCSI_CODEC_NULL_ARGUMENT;
    }
    uint8_t opcode = ServiceActionOpcode(params->len, params->dir);
    if (opcode == 0)
    {
        return SCSI_CODEC_UNSUPPORTED;
    }
    if (params->len > buflen)
    {
        return SCSI_CODEC_BUFFER_TOO_SHORT;
    }
    uint8_t* bytes = (uint8_t*)buf;
    memset(bytes, 0, buflen);
    DA_SetField_BE8(bytes, 0, opcode);
    DA_SetField_BE8(bytes, 1, params->service_action);
    DA_SetField_BE8(bytes, params->len - 1, params->control);
    return params->len;
}

int SCSI_DecodeServiceActionCDB(SCSI_SA_CDBParams_t* params, const void* buf, size_t buflen)
{
    if (buf == NULL || params == NULL)
    {
        return SCSI_CODEC_NULL_ARGUMENT;
    }
    const uint8_t* bytes = (const uint8_t*)buf;
    // Bytes 0 and 1 are always read; a shorter buffer is refused before they are touched.
    if (buflen < 2)
    {
        return SCSI_CODEC_BUFFER_TOO_SHORT;
    }
    uint8_t opcode = DA_GetField_BE8(bytes, 0);
    params->service_action = DA_GetField_BE8(bytes, 1) & SERVICE_ACTION_MASK;
    switch (opcode)
    {
    case SCSI_OP_SERVICE_ACTION_BIDIRECTIONAL:
        params->dir = 2;
        params->len = 16;
        break;
    case SCSI_OP_SERVICE_ACTION_IN_16:
        params->dir = 0;
        params->len = 16;
        break;
    case SCSI_OP_SERVICE_ACTION_OUT_16:
        params->dir = 1;
        params->len = 16;
        break;
    case SCSI_OP_SERVICE_ACTION_OUT_12:
        params->dir = 1;
        params->len = 12;
        break;
    case SCSI_OP_SERVICE_ACTION_IN_12:
        params->dir = 0;
        params->len = 12;
        break;
    default:
        return SCSI_CODEC_UNSUPPORTED;
    }
    if (params->len > buflen)
    {
        return SCSI_CODEC_BUFFER_TOO_SHORT;
    }
    params->control = DA_GetField_BE8(bytes, params->len - 1);
    return params->len;
}
