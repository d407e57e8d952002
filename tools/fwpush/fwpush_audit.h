// The audit trail of firmware changes: fwpush writes one record to the system log (syslog(3),
// tag "fwpush", facility user) when a download or an activation starts, and one when it ends,
// so that an operator can prove afterwards what went into which enclosure. Nothing of it reaches
// standard output or error, and it sends no SCSI command: the identity comes from the INQUIRY
// that fwpush sends anyway and the serial number from the copy the kernel keeps in sysfs. A
// host without a log daemon loses the records silently.
#ifndef FWPUSH_AUDIT_H
#define FWPUSH_AUDIT_H

#include <stdint.h>
#include <stdio.h>

#include "basetype.h"

// Keeps vendor, product and revision from the standard INQUIRY data for the start record.
void FwpushAudit_NoteIdentity(const uint8_t* inquiryData, uint32_t length);

// A download (imageFile open, imageLength bytes) or an activation (imageFile NULL) starts.
// The image's SHA-256 is computed beside the download, which does not wait for it; the start
// record is written as soon as the digest is known, and always before the end record.
void FwpushAudit_Start(const char* device, uint8_t mode, bool_t activate, const char* image, FILE* imageFile,
                       uint32_t imageLength);

// The enclosure's answer to an activation request, when it could be read: it is the final
// status of the run rather than the last status read before.
void FwpushAudit_NoteActivationStatus(uint8_t downloadStatus);

// The run that started ends with this exit status, stopped by a signal or not; downloadStatus
// is the last download microcode status the enclosure reported. Does nothing when no start was
// recorded. (A run that a signal ends at once leaves its start record alone.)
void FwpushAudit_End(int exitStatus, uint8_t downloadStatus, bool_t interrupted);

#endif
