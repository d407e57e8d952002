#include "spc_request_sense.h"

#include <string.h>

#include "dataaccess.h"

#define RS_ALLOCATION_LENGTH_BYTE 4
#define RS_CONTROL_BYTE 5
// The shortest allocation that still holds a whole fixed-format sense header with its ASC/ASCQ.
#define RS_MIN_ALLOCATION_LENGTH 16

int SPC_RequestSense_BuildCDB(void* buf, size_t buflen, const SPC_RS_CDBParams_t* params)
{
    if (buf == NULL || params == NULL)
    {
        return SCSI_CODEC_NULL_ARGUMENT;
    }
    if (buflen < SPC_REQUEST_SENSE_CDB_LENGTH)
    {
        return SCSI_CODEC_BUFFER_TOO_SHORT;
    }
    if (params->alloclen < RS_MIN_ALLOCATION_LENGTH)
    {
        return SCSI_CODEC_ALLOCATION_TOO_SHORT;
    }
    uint8_t* bytes = (uint8_t*)buf;
    memset(bytes, 0, buflen);
    // Byte 1 stays 0: the DESC bit is clear, so the device answers in fixed format.
    DA_SetField_BE8(bytes, 0, SCSI_OP_REQUEST_SENSE);
    DA_SetField_BE8(bytes, RS_ALLOCATION_LENGTH_BYTE, params->alloclen);
    DA_SetField_BE8(bytes, RS_CONTROL_BYTE, params->control);
    return SPC_REQUEST_SENSE_CDB_LENGTH;
}

int SPC_RequestSense_DecodeCDB(SPC_RS_CDBParams_t* params, const void* buf, size_t buflen)
{
    if (buf == NULL || params == NULL)
    {
        return SCSI_CODEC_NULL_ARGUMENT;
    }
    if (buflen < SPC_REQUEST_SENSE_CDB_LENGTH)
    {
        return SCSI_CODEC_BUFFER_TOO_SHORT;
    }
    const uint8_t* bytes = (const uint8_t*)buf;
    if (DA_GetField_BE8(bytes, 0) != SCSI_OP_REQUEST_SENSE)
    {
        return SCSI_CODEC_WRONG_OPCODE;
    }
    params->alloclen = DA_GetField_BE8(bytes, RS_ALLOCATION_LENGTH_BYTE);
    params->control = DA_GetField_BE8(bytes, RS_CONTROL_BYTE);
    return SPC_REQUEST_SENSE_CDB_LENGTH;
}

int SPC_RequestSense_BuildShortData(void* buf, size_t buflen, const SCSI_ShortSenseData_t* sense)
{
    return SCSI_BuildShortSense(buf, buflen, sense);
}

int SPC_RequestSense_DecodeShortData(SCSI_ShortSenseData_t* sense, const void* buf, size_t buflen)
{
    return SCSI_DecodeShortSense(sense, buf, buflen);
}
