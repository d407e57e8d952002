#ifndef SESIM_TCMU_ABI_H
#define SESIM_TCMU_ABI_H

// The kernel's TCMU ring layout, as <linux/target_core_user.h> defines it. That header cannot be
// compiled as C++ (an inline function converts an integer to an enumeration), so the layout is
// restated here and tcmu_abi_check.c, compiled as C, proves each field against the kernel's.
#include <stdint.h>

#define SESIM_TCMU_MAILBOX_VERSION 2
#define SESIM_TCMU_MAILBOX_FLAG_CAP_READ_LEN (1 << 1)
#define SESIM_TCMU_OP_PAD 0
#define SESIM_TCMU_OP_CMD 1
#define SESIM_TCMU_OP_TMR 2
#define SESIM_TCMU_OP_MASK 0x7
#define SESIM_TCMU_UFLAG_READ_LEN 0x2
#define SESIM_TCMU_SENSE_BUFFERSIZE 96
#define SESIM_TCMU_OP_ALIGN_SIZE 8
// The mailbox's tail sits on a cache line of its own.
#define SESIM_TCMU_TAIL_OFFSET 64

struct sesim_tcmu_mailbox
{
    uint16_t version;
    uint16_t flags;
    uint32_t cmdr_off;
    uint32_t cmdr_size;
    uint32_t cmd_head;
    uint8_t reserved[SESIM_TCMU_TAIL_OFFSET - 16];
    uint32_t cmd_tail; // written by the handler
};

struct sesim_tcmu_entry_header
{
    uint32_t len_op; // entry length (a multiple of 8) with the operation in the low bits
    uint16_t cmd_id;
    uint8_t kflags;
    uint8_t uflags;
};

// The kernel's struct iovec: the base is an offset into the shared region.
struct sesim_tcmu_segment
{
    uint64_t offset;
    uint64_t length;
};

// Packed as the kernel's, though every field falls on its natural boundary anyway.
struct sesim_tcmu_cmd_entry
{
    struct sesim_tcmu_entry_header hdr;
    union
    {
        struct
        {
            uint32_t iov_cnt;
            uint32_t iov_bidi_cnt;
            uint32_t iov_dif_cnt;
            uint64_t cdb_off;
            uint64_t pad1;
            uint64_t pad2;
            struct sesim_tcmu_segment iov[1]; // iov_cnt of them, in the entry
        } req;
        struct
        {
            uint8_t scsi_status;
            uint8_t pad1;
            uint16_t pad2;
            uint32_t read_len;
            uint8_t sense_buffer[SESIM_TCMU_SENSE_BUFFERSIZE];
        } rsp;
    };
} __attribute__((packed));

#endif
