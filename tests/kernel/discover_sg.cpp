// Lists the SCSI generic nodes that the initiator library discovers, one path per line, and
// opens each one. The kernel lane compares the list with the sysfs class directory of the guest,
// so the walk goes both ways through the list to catch a broken link as well as a wrong count.
#include <stdio.h>

#include "scsi_initiator.h"

#define WALK_FORWARD 0
#define WALK_BACKWARD 1

int main()
{
    SCSI_DeviceList_t devList = SCSI_Initiator_DiscoverDevices();
    if (devList == NULL)
    {
        fprintf(stderr, "discover_sg: discovery failed\n");
        return 1;
    }
    int result = 0;
    size_t count = SCSI_Initiator_GetDeviceCount(devList);
    size_t walked = 0;
    for (SCSI_DeviceEntry_t entry = SCSI_Initiator_GetDeviceEntry(devList, 0); entry != NULL;
         entry = SCSI_Initiator_GetNextDeviceEntry(devList, entry, WALK_FORWARD))
    {
        const char* path = SCSI_Initiator_GetDevicePath(entry);
        printf("%s\n", path);
        SCSI_Device_t hDevice = NULL;
        if (SCSI_Initiator_OpenDevice(path, &hDevice) != 0)
        {
            fprintf(stderr, "discover_sg: cannot open %s\n", path);
            result = 1;
        }
        else
        {
            SCSI_Initiator_CloseDevice(hDevice);
        }
        walked++;
    }
    size_t walkedBack = 0;
    for (SCSI_DeviceEntry_t entry = SCSI_Initiator_GetDeviceEntry(devList, SIZE_MAX); entry != NULL;
         entry = SCSI_Initiator_GetNextDeviceEntry(devList, entry, WALK_BACKWARD))
    {
        walkedBack++;
    }
    if (walked != count || walkedBack != count)
    {
        fprintf(stderr, "discover_sg: count %zu, walked %zu forward and %zu backward\n", count, walked, walkedBack);
        result = 1;
    }
    SCSI_Initiator_DestroyDeviceList(devList);
    return result;
}
