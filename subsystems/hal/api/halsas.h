#ifndef HALSAS_H
#define HALSAS_H

#include <stdint.h>

// Completion of one SCSI command as the programs see it: the status byte and the decoded sense.
typedef struct ResponseData_s
{
    uint8_t status;
    uint8_t senseKey;
    uint8_t asc;
    uint8_t ascq;
} HAL_SCSI_ResponseData_t;

#endif
