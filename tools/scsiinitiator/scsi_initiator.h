#ifndef SCSI_INITIATOR_H
#define SCSI_INITIATOR_H

#include <dirent.h>
#include <stddef.h>
#include <stdint.h>

#include "halsas.h"
#include "oswrappertypes.h"

// Results of SCSI_Initiator_OpenDevice
#define SCSI_INITIATOR_NO_MEMORY 1
#define SCSI_INITIATOR_OPEN_FAILED 4
// Results of SCSI_Initiator_SendRequest
#define SCSI_INITIATOR_DEVICE_STATUS 4    // non-GOOD status; the response record holds status and sense
#define SCSI_INITIATOR_HOST_ERROR 5       // the host adapter or transport failed the command
#define SCSI_INITIATOR_TRANSPORT_ERROR 12 // the SG_IO request itself failed

// Data direction of SCSI_Initiator_SendRequest
#define SCSI_INITIATOR_DATA_IN 0
#define SCSI_INITIATOR_DATA_OUT 1

#define SCSI_INITIATOR_SENSE_LENGTH 32
#define SCSI_INITIATOR_TIMEOUT_MS 60000

typedef struct SCSI_Device_s* SCSI_Device_t;
typedef struct SCSI_DeviceList_s* SCSI_DeviceList_t;
typedef struct SCSI_DeviceEntry_s* SCSI_DeviceEntry_t;

OSW_STATUS SCSI_Initiator_OpenDevice(const char* pDeviceName, SCSI_Device_t* phDevice);
void SCSI_Initiator_CloseDevice(SCSI_Device_t hDevice);
OSW_STATUS SCSI_Initiator_SendRequest(SCSI_Device_t hDevice, uint8_t* cdb, uint32_t cdbLength, int direction,
                                      uint8_t* pData, uint32_t dataLength,
                                      HAL_SCSI_ResponseData_t* pSenseResponse);

// Listing of the host's SCSI generic nodes as /dev/sgN paths; a snapshot taken at discovery.
// (Handles are returned by value, so the entry accessors carry no const qualifier of their own.)
SCSI_DeviceList_t SCSI_Initiator_DiscoverDevices();
void SCSI_Initiator_DestroyDeviceList(SCSI_DeviceList_t devList);
size_t SCSI_Initiator_GetDeviceCount(SCSI_DeviceList_t devList);
SCSI_DeviceEntry_t SCSI_Initiator_GetDeviceEntry(SCSI_DeviceList_t devList, size_t entryId);
SCSI_DeviceEntry_t SCSI_Initiator_GetNextDeviceEntry(SCSI_DeviceList_t devList, SCSI_DeviceEntry_t entry, int dir);
const char* SCSI_Initiator_GetDevicePath(SCSI_DeviceEntry_t entry);

#endif
