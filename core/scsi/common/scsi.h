#ifndef SCSI_H
#define SCSI_H

#include <stddef.h>
#include <stdint.h>

#include "basetype.h"

// Operation codes (SPC, SES)
#define SCSI_OP_TEST_UNIT_READY 0x00
#define SCSI_OP_REQUEST_SENSE 0x03
#define SCSI_OP_INQUIRY 0x12
#define SCSI_OP_RECEIVE_DIAGNOSTIC_RESULTS 0x1C
#define SCSI_OP_SEND_DIAGNOSTIC 0x1D
#define SCSI_OP_WRITE_BUFFER 0x3B
#define SCSI_OP_READ_BUFFER 0x3C
#define SCSI_OP_SERVICE_ACTION_BIDIRECTIONAL 0x9D
#define SCSI_OP_SERVICE_ACTION_IN_16 0x9E
#define SCSI_OP_SERVICE_ACTION_OUT_16 0x9F
#define SCSI_OP_SERVICE_ACTION_OUT_12 0xA9
#define SCSI_OP_SERVICE_ACTION_IN_12 0xAB

// Status byte values (SAM)
#define SCSI_STATUS_GOOD 0x00
#define SCSI_STATUS_CHECK_CONDITION 0x02
#define SCSI_STATUS_BUSY 0x08
#define SCSI_STATUS_RESERVATION_CONFLICT 0x18

// Sense data response codes (SPC)
#define SCSI_SENSE_FIXED_CURRENT 0x70
#define SCSI_SENSE_FIXED_DEFERRED 0x71
#define SCSI_SENSE_DESC_CURRENT 0x72
#define SCSI_SENSE_DESC_DEFERRED 0x73

// Peripheral device type of an enclosure services device, and the ENCSERV bit of inquiry byte 6
#define SCSI_PERIPHERAL_TYPE_ENCLOSURE 0x0D
#define SCSI_INQUIRY_ENCSERV 0x40

// The identification fields of standard inquiry data (SPC): ASCII, padded with blanks
#define SCSI_INQUIRY_VENDOR_OFFSET 8
#define SCSI_INQUIRY_VENDOR_LENGTH 8
#define SCSI_INQUIRY_PRODUCT_OFFSET 16
#define SCSI_INQUIRY_PRODUCT_LENGTH 16
#define SCSI_INQUIRY_REVISION_OFFSET 32
#define SCSI_INQUIRY_REVISION_LENGTH 4

// Result codes shared by every codec
#define SCSI_CODEC_NULL_ARGUMENT (-1)
#define SCSI_CODEC_BUFFER_TOO_SHORT (-2)
#define SCSI_CODEC_ALLOCATION_TOO_SHORT (-3)
#define SCSI_CODEC_UNSUPPORTED (-4)
#define SCSI_CODEC_WRONG_OPCODE (-6)
#define SCSI_CODEC_SENSE_TOO_SHORT (-8)

// The shortest sense buffer the short sense codecs accept
#define SCSI_SHORT_SENSE_MIN_LENGTH 16

typedef struct _SCSI_ShortSenseData_t
{
    bool_t deferred;
    uint8_t sensekey;
    uint8_t asc;
    uint8_t ascq;
} SCSI_ShortSenseData_t;

typedef struct _SCSI_SA_CDBParams
{
    uint8_t dir;            // 0 in, 1 out, 2 bidirectional (16-byte form only)
    uint8_t len;            // 12 or 16
    uint8_t service_action; // 0 to 0x1F
    uint8_t control;
} SCSI_SA_CDBParams_t;

int SCSI_BuildShortSense(void* buf, size_t buflen, const SCSI_ShortSenseData_t* params);
int SCSI_DecodeShortSense(SCSI_ShortSenseData_t* sense, const void* buf, size_t buflen);
int SCSI_BuildServiceActionCDB(void* buf, size_t buflen, const SCSI_SA_CDBParams_t* params);
int SCSI_DecodeServiceActionCDB(SCSI_SA_CDBParams_t* params, const void* buf, size_t buflen);

#endif
