#ifndef SCSI_INITIATOR_INTERNAL_H
#define SCSI_INITIATOR_INTERNAL_H

#include "scsi_initiator.h"

// The class directory that discovery scans.
#define SCSI_INITIATOR_SG_CLASS_DIR "/sys/class/scsi_generic"

// Discovery over any class directory; SCSI_Initiator_DiscoverDevices scans the kernel's.
// Module-private: declared here so that the module's tests can point it at a fake directory.
SCSI_DeviceList_t SCSI_Initiator_DiscoverDevicesIn(const char* classDir);
int SCSI_Initiator_SGFilter(const struct dirent* dir);

// Fills the sense key, ASC and ASCQ of a completion record from a sense buffer of
// SCSI_INITIATOR_SENSE_LENGTH bytes in fixed or descriptor format (module-private, for fuzzing).
void SCSI_Initiator_DecodeSense(const uint8_t* senseBuffer, HAL_SCSI_ResponseData_t* pSenseResponse);

#endif
