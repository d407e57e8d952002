// The rehearsal's view of the host's SCSI generic devices, inside `sesim run`.
//
// Discovery lists the sg nodes by scanning /sys/class/scsi_generic and opens "/dev/" + name.
// Inside a run that class directory lists the attached enclosures and nothing else: attachment
// k answers as sgK (an attachment made at /dev/sgN keeps N; the others take the lowest numbers
// left, in the order of attachment), and /dev/sgK opens it. Every other sg node, and every bsg
// node, is hidden (ENOENT): a rehearsal must not reach a real enclosure through a name it made up
// or one left over from the real host. The kernel's copy of an enclosure's unit serial number
// page, /sys/dev/char/MAJOR:MINOR/device/vpd_pg80, is answered for the attached enclosures too.
#ifndef SESIM_SYSFS_VIEW_H
#define SESIM_SYSFS_VIEW_H

namespace sesim
{

// The most enclosures one process can have attached.
constexpr int kMaxAttachedEnclosures = 8;

// Called by the attachment once it knows its device paths and enclosure directories.
void ViewSetAttachments(const char* const* paths, const char* const* dirs, int count);

// The attachment that PATH names as a node of the view ("/dev/sgK"), or -1.
int ViewNodeAttachment(const char* path);

// open() of a path that the view answers itself: a descriptor, or -1 with errno set. Any other
// path gives kViewPassThrough.
constexpr int kViewPassThrough = -2;
int ViewOpen(const char* path, int flags);

} // namespace sesim

#endif
