// Lists the SCSI generic nodes that the initiator library discovers, one path per line, and
// opens each one. The kernel lane compares the list with the sysfs class directory of the guest;
// walking the list both ways is the unit tests' (tests/unit/test_discovery.cpp).
#include <stdio.h>

#include "scsi_initiator.h"

#define WALK_FORWARD 0

int main()
{
    SCSI_DeviceList_t devList = SCSI_Initiator_DiscoverDevices();
    if (devList == NULL)
    {
        fprintf(stderr, "discover_sg: discovery failed\n");
        return 1;
    }
    int result = 0;
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
            SCSI_Initiator_CloseDevice(hDevice);
    }
    SCSI_Initiator_DestroyDeviceList(devList);
    return result;
}
