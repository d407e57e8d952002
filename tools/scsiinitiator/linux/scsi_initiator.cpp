#include "scsi_initiator.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "dlist.h"
#include "oswrapper.h"
#include "scsi_initiator_internal.h"

struct SCSI_Device_s
{
    int32_t fd;
};

struct SCSI_DeviceEntry_s
{
    OSW_DLIST_HEAD link; // first, so that a link pointer is also the entry pointer
    char devPath[];
};

struct SCSI_DeviceList_s
{
    OSW_DLIST_HEAD list;
    size_t numDevs;
};

// The sg driver's interface id, and a pack id that lets a reader of the driver's
// asynchronous interface tell our requests apart.
#define SG_INTERFACE_ID_ORIG 'S'
#define SG_REQUEST_PACK_ID 2
// Bits 0 and 7 of the status byte are reserved (old vendor and linked-command bits).
#define SCSI_STATUS_BYTE_MASK 0x7E
#define SENSE_RESPONSE_CODE_MASK 0x7F
#define SENSE_KEY_MASK 0x0F
// Response codes above the deferred fixed-format one carry descriptor-format sense.
#define SENSE_LAST_FIXED_FORMAT 0x71

OSW_STATUS SCSI_Initiator_OpenDevice(const char* pDeviceName, SCSI_Device_t* phDevice)
{
    SCSI_Device_t hDevice = (SCSI_Device_t)malloc(sizeof(*hDevice));
    if (hDevice == NULL)
    {
        return SCSI_INITIATOR_NO_MEMORY;
    }
    // Non-blocking so that the open cannot hang on a device that is busy or being removed.
    hDevice->fd = open(pDeviceName, O_RDWR | O_NONBLOCK);
    if (hDevice->fd == -1)
    {
        free(hDevice);
        return SCSI_INITIATOR_OPEN_FAILED;
    }
    *phDevice = hDevice;
    return OSW_STATUS_SUCCESS;
}

void SCSI_Initiator_CloseDevice(SCSI_Device_t hDevice)
{
    close(hDevice->fd);
    free(hDevice);
}

// Sense key, ASC and ASCQ sit at different places in fixed and descriptor format.
void SCSI_Initiator_DecodeSense(const uint8_t* senseBuffer, HAL_SCSI_ResponseData_t* pSenseResponse)
{
    uint8_t responseCode = senseBuffer[0] & SENSE_RESPONSE_CODE_MASK;
    if (responseCode > SENSE_LAST_FIXED_FORMAT)
    {
        pSenseResponse->senseKey = senseBuffer[1] & SENSE_KEY_MASK;
        pSenseResponse->asc = senseBuffer[2];
        pSenseResponse->ascq = senseBuffer[3];
    }
    else
    {
        pSenseResponse->senseKey = senseBuffer[2] & SENSE_KEY_MASK;
        pSenseResponse->asc = senseBuffer[12];
        pSenseResponse->ascq = senseBuffer[13];
    }
}

OSW_STATUS SCSI_Initiator_SendRequest(SCSI_Device_t hDevice, uint8_t* cdb, uint32_t cdbLength, int direction,
                                      uint8_t* pData, uint32_t dataLength,
                                      HAL_SCSI_ResponseData_t* pSenseResponse)
{
    sg_io_hdr_t ioHdr;
    uint8_t senseBuffer[SCSI_INITIATOR_SENSE_LENGTH];

    memset(&ioHdr, 0, sizeof(ioHdr));
    // A status other than GOOD may come without sense bytes (BUSY, RESERVATION CONFLICT); a
    // cleared buffer then decodes as zeros instead of bytes left on the stack by earlier calls.
    memset(senseBuffer, 0, sizeof(senseBuffer));

    ioHdr.interface_id = SG_INTERFACE_ID_ORIG;
    ioHdr.dxfer_direction = (direction == SCSI_INITIATOR_DATA_IN) ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    ioHdr.cmd_len = (unsigned char)cdbLength;
    ioHdr.cmdp = cdb;
    ioHdr.dxfer_len = dataLength;
    ioHdr.dxferp = pData;
    ioHdr.sbp = senseBuffer;
    ioHdr.mx_sb_len = sizeof(senseBuffer);
    ioHdr.timeout = SCSI_INITIATOR_TIMEOUT_MS;
    ioHdr.pack_id = SG_REQUEST_PACK_ID;

    if (ioctl(hDevice->fd, SG_IO, &ioHdr) < 0)
    {
        perror("scsiinit");
        return SCSI_INITIATOR_TRANSPORT_ERROR;
    }
    if (ioHdr.host_status != 0)
    {
        return SCSI_INITIATOR_HOST_ERROR;
    }

    pSenseResponse->status = ioHdr.status & SCSI_STATUS_BYTE_MASK;
    if (pSenseResponse->status == 0)
    {
        return OSW_STATUS_SUCCESS;
    }
    SCSI_Initiator_DecodeSense(senseBuffer, pSenseResponse);
    return SCSI_INITIATOR_DEVICE_STATUS;
}

int SCSI_Initiator_SGFilter(const struct dirent* dir)
{
    unsigned int number;
    char trailing;
    // Exactly one conversion means "sg", a number, and nothing after it; only the count of
    // conversions decides, the number itself is never used.
    return sscanf(dir->d_name, "sg%u%c", &number, &trailing) == 1 ? 1 : 0; // NOLINT(cert-err34-c)
}

static SCSI_DeviceEntry_t FirstEntry(SCSI_DeviceList_t devList)
{
    return (SCSI_DeviceEntry_t)devList->list.next;
}

SCSI_DeviceList_t SCSI_Initiator_DiscoverDevicesIn(const char* classDir)
{
    SCSI_DeviceList_t devList = (SCSI_DeviceList_t)OSW_AllocateMemoryInternal(sizeof(*devList));
    if (devList == NULL)
    {
        return NULL;
    }
    devList->numDevs = 0;
    OSW_DListInit(&devList->list);

    struct dirent** names = NULL;
    int count = scandir(classDir, &names, SCSI_Initiator_SGFilter, NULL);
    if (count < 0)
    {
        SCSI_Initiator_DestroyDeviceList(devList);
        return NULL;
    }

    bool_t allocationFailed = FALSE;
    for (int i = 0; i < count; i++)
    {
        static const char devPrefix[] = "/dev/";
        size_t pathSize = sizeof(devPrefix) + strlen(names[i]->d_name); // prefix, name and NUL
        SCSI_DeviceEntry_t entry =
            (SCSI_DeviceEntry_t)OSW_AllocateMemoryInternal((uint32_t)(sizeof(*entry) + pathSize));
        if (entry == NULL)
        {
            allocationFailed = TRUE;
            break;
        }
        snprintf(entry->devPath, pathSize, "%s%s", devPrefix, names[i]->d_name);
        OSW_DListInsertTail(&devList->list, &entry->link);
    }
    if (!allocationFailed)
    {
        devList->numDevs = (size_t)count;
    }

    for (int i = 0; i < count; i++)
    {
        free(names[i]);
    }
    free(names);

    if (allocationFailed)
    {
        SCSI_Initiator_DestroyDeviceList(devList);
        return NULL;
    }
    return devList;
}

SCSI_DeviceList_t SCSI_Initiator_DiscoverDevices()
{
    return SCSI_Initiator_DiscoverDevicesIn(SCSI_INITIATOR_SG_CLASS_DIR);
}

void SCSI_Initiator_DestroyDeviceList(SCSI_DeviceList_t devList)
{
    if (devList == NULL)
    {
        return;
    }
    while (!OSW_DListIsEmpty(&devList->list))
    {
        SCSI_DeviceEntry_t entry = FirstEntry(devList);
        OSW_DListRemove(&entry->link);
        OSW_FreeMemory(entry);
    }
    OSW_FreeMemory(devList);
}

size_t SCSI_Initiator_GetDeviceCount(SCSI_DeviceList_t devList)
{
    return devList->numDevs;
}

SCSI_DeviceEntry_t SCSI_Initiator_GetDeviceEntry(SCSI_DeviceList_t devList, size_t entryId)
{
    if (devList == NULL)
    {
        return NULL;
    }
    // The last entry is one step away from the head, whatever the list's length.
    if (entryId == SIZE_MAX || entryId == devList->numDevs - 1)
    {
        return OSW_DListIsEmpty(&devList->list) ? NULL : (SCSI_DeviceEntry_t)devList->list.prev;
    }
    if (entryId >= devList->numDevs)
    {
        return NULL;
    }
    OSW_DLIST_HEAD* link = devList->list.next;
    for (size_t i = 0; i < entryId; i++)
    {
        link = link->next;
    }
    return (SCSI_DeviceEntry_t)link;
}

SCSI_DeviceEntry_t SCSI_Initiator_GetNextDeviceEntry(SCSI_DeviceList_t devList, SCSI_DeviceEntry_t entry, int dir)
{
    if (devList == NULL || entry == NULL)
    {
        return NULL;
    }
    OSW_DLIST_HEAD* neighbour;
    if (dir == 0)
    {
        neighbour = entry->link.next;
    }
    else if (dir == 1)
    {
        neighbour = entry->link.prev;
    }
    else
    {
        return NULL;
    }
    // The walk stops at the head instead of wrapping around.
    return neighbour == &devList->list ? NULL : (SCSI_DeviceEntry_t)neighbour;
}

const char* SCSI_Initiator_GetDevicePath(SCSI_DeviceEntry_t entry)
{
    return entry == NULL ? NULL : entry->devPath;
}
