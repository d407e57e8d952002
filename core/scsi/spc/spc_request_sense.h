#ifndef SPC_REQUEST_SENSE_H
#define SPC_REQUEST_SENSE_H

#include <stddef.h>
#include <stdint.h>

#include "scsi.h"

#define SPC_REQUEST_SENSE_CDB_LENGTH 6

typedef struct _SPC_RS_CDBParams
{
    uint8_t alloclen; // at least 16
    uint8_t control;
} SPC_RS_CDBParams_t;

int SPC_RequestSense_BuildCDB(void* buf, size_t buflen, const SPC_RS_CDBParams_t* params);
int SPC_RequestSense_DecodeCDB(SPC_RS_CDBParams_t* params, const void* buf, size_t buflen);
int SPC_RequestSense_BuildShortData(void* buf, size_t buflen, const SCSI_ShortSenseData_t* sense);
int SPC_RequestSense_DecodeShortData(SCSI_ShortSenseData_t* sense, const void* buf, size_t buflen);

#endif
