// Compile-time proof that tcmu_abi.h matches the kernel's TCMU ring layout.
#include <stddef.h>
#include <sys/uio.h>
#define iovec kernel_iovec // the kernel's <linux/uio.h> would redefine the C library's
#include <linux/target_core_user.h>
#undef iovec

#include "tcmu_abi.h"

#define SAME_FIELD(ours, theirs, field)                                                            \
    _Static_assert(offsetof(struct ours, field) == offsetof(struct theirs, field), #field " offset"); \
    _Static_assert(sizeof(((struct ours*)0)->field) == sizeof(((struct theirs*)0)->field), #field " size")

_Static_assert(SESIM_TCMU_MAILBOX_VERSION == TCMU_MAILBOX_VERSION, "mailbox version");
_Static_assert(SESIM_TCMU_MAILBOX_FLAG_CAP_READ_LEN == TCMU_MAILBOX_FLAG_CAP_READ_LEN, "READ_LEN capability");
_Static_assert(SESIM_TCMU_OP_PAD == TCMU_OP_PAD && SESIM_TCMU_OP_CMD == TCMU_OP_CMD && SESIM_TCMU_OP_TMR == TCMU_OP_TMR,
               "entry operations");
_Static_assert(SESIM_TCMU_OP_MASK == TCMU_OP_MASK, "operation mask");
_Static_assert(SESIM_TCMU_UFLAG_READ_LEN == TCMU_UFLAG_READ_LEN, "READ_LEN flag");
_Static_assert(SESIM_TCMU_SENSE_BUFFERSIZE == TCMU_SENSE_BUFFERSIZE, "sense buffer size");
_Static_assert(SESIM_TCMU_OP_ALIGN_SIZE == TCMU_OP_ALIGN_SIZE, "entry alignment");

SAME_FIELD(sesim_tcmu_mailbox, tcmu_mailbox, version);
SAME_FIELD(sesim_tcmu_mailbox, tcmu_mailbox, flags);
SAME_FIELD(sesim_tcmu_mailbox, tcmu_mailbox, cmdr_off);
SAME_FIELD(sesim_tcmu_mailbox, tcmu_mailbox, cmdr_size);
SAME_FIELD(sesim_tcmu_mailbox, tcmu_mailbox, cmd_head);
SAME_FIELD(sesim_tcmu_mailbox, tcmu_mailbox, cmd_tail);

SAME_FIELD(sesim_tcmu_entry_header, tcmu_cmd_entry_hdr, len_op);
SAME_FIELD(sesim_tcmu_entry_header, tcmu_cmd_entry_hdr, cmd_id);
SAME_FIELD(sesim_tcmu_entry_header, tcmu_cmd_entry_hdr, kflags);
SAME_FIELD(sesim_tcmu_entry_header, tcmu_cmd_entry_hdr, uflags);
_Static_assert(sizeof(struct sesim_tcmu_entry_header) == sizeof(struct tcmu_cmd_entry_hdr), "entry header size");

_Static_assert(offsetof(struct sesim_tcmu_segment, offset) == offsetof(struct kernel_iovec, iov_base) &&
                   sizeof(((struct sesim_tcmu_segment*)0)->offset) == sizeof(((struct kernel_iovec*)0)->iov_base),
               "segment base");
_Static_assert(offsetof(struct sesim_tcmu_segment, length) == offsetof(struct kernel_iovec, iov_len) &&
                   sizeof(((struct sesim_tcmu_segment*)0)->length) == sizeof(((struct kernel_iovec*)0)->iov_len),
               "segment length");
_Static_assert(sizeof(struct sesim_tcmu_segment) == sizeof(struct kernel_iovec), "segment size");

SAME_FIELD(sesim_tcmu_cmd_entry, tcmu_cmd_entry, hdr);
SAME_FIELD(sesim_tcmu_cmd_entry, tcmu_cmd_entry, req.iov_cnt);
SAME_FIELD(sesim_tcmu_cmd_entry, tcmu_cmd_entry, req.iov_bidi_cnt);
SAME_FIELD(sesim_tcmu_cmd_entry, tcmu_cmd_entry, req.iov_dif_cnt);
SAME_FIELD(sesim_tcmu_cmd_entry, tcmu_cmd_entry, req.cdb_off);
_Static_assert(offsetof(struct sesim_tcmu_cmd_entry, req.iov) == offsetof(struct tcmu_cmd_entry, req.iov), "segments");
SAME_FIELD(sesim_tcmu_cmd_entry, tcmu_cmd_entry, rsp.scsi_status);
SAME_FIELD(sesim_tcmu_cmd_entry, tcmu_cmd_entry, rsp.read_len);
SAME_FIELD(sesim_tcmu_cmd_entry, tcmu_cmd_entry, rsp.sense_buffer);
_Static_assert(sizeof(struct sesim_tcmu_cmd_entry) == sizeof(struct tcmu_cmd_entry), "entry size");

// Nothing to run: the file only has to compile.
extern const int sesim_tcmu_abi_checked;
const int sesim_tcmu_abi_checked = 1;
