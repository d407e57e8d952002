// null_enclosure: a preload library that makes one device path answer like an SES enclosure
// that takes a firmware download at no cost: no latency, no stored state, no log, no copies.
//
//   BENCH_NULL_DEVICE=/dev/nullses0 LD_PRELOAD=libbench_null_enclosure.so COMMAND...
//
// It exists to measure what a download client costs by itself: the simulated enclosure's
// attachment brings its C++ runtime, its state store and its work into the caller's process,
// which hides the client's own memory and CPU time under several MiB and tens of microseconds
// per command. This library is a few pages of C-style code with no runtime of its own.
//
// What it answers (just enough for fwpush, sg_ses_microcode and floor_client; everything runs
// on the caller's sg_io_hdr in place):
//   INQUIRY                      36 bytes of standard data, peripheral device type 0x0D
//   TEST UNIT READY              GOOD
//   RECEIVE DIAGNOSTIC RESULTS   page 0x00 (pages 0x00 and 0x0E), page 0x0E (one descriptor)
//   SEND DIAGNOSTIC page 0x0E    a block at the expected offset advances it; the last byte makes
//                                the next status read report 0x10 once, then 0x00
//   anything else                CHECK CONDITION, ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE
// and the sg driver's version query. fstat of the descriptor reports an sg character device.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "bench_support.h"

namespace
{

const uint8_t kOpTestUnitReady = 0x00;
const uint8_t kOpInquiry = 0x12;
const uint8_t kOpReceiveDiagnostic = 0x1C;
const uint8_t kOpSendDiagnostic = 0x1D;
const uint8_t kPageSupported = 0x00;
const uint8_t kPageDownloadMicrocode = 0x0E;
const uint8_t kModeActivateDeferred = 0x0F;
const uint8_t kStatusIdle = 0x00;
const uint8_t kStatusInProgress = 0x01;
const uint8_t kStatusCompleteActive = 0x10;
const uint8_t kStatusFieldError = 0x80;
const uint8_t kScsiGood = 0x00;
const uint8_t kScsiCheckCondition = 0x02;
const uint8_t kDriverSense = 0x08;
const uint8_t kSenseIllegalRequest = 0x05;
const uint8_t kAscInvalidOpcode = 0x20;
const int kSgVersion = 30536;
const unsigned kSgMajor = 21;
const unsigned kPathCapacity = 256;

const unsigned kInquiryLength = 36;
const unsigned kSupportedPagesLength = 6;
const unsigned kStatusPageLength = 24;
const unsigned kFixedSenseLength = 18;
// Control page fields
const unsigned kCtlMode = 8;
const unsigned kCtlOffset = 12;
const unsigned kCtlImageLength = 16;
const unsigned kCtlDataLength = 20;
const unsigned kCtlHeaderLength = 24;
// Status page fields
const unsigned kStsPageLength = 2;
const unsigned kStsGeneration = 4;
const unsigned kStsStatus = 10;
const unsigned kStsAdditional = 11;
const unsigned kStsMaxSize = 12;
const unsigned kStsExpectedOffset = 20;

struct Enclosure
{
    char path[kPathCapacity];
    int fd;
    uint8_t status;
    uint8_t additional;
    uint32_t generation;
    uint32_t expectedOffset;
    uint32_t imageLength;
};

Enclosure g_enclosure = {{0}, -1, kStatusIdle, 0, 0, 0, 0};

__attribute__((constructor)) void Start()
{
    const char* path = getenv("BENCH_NULL_DEVICE");
    if (path != nullptr && strlen(path) < sizeof(g_enclosure.path))
    {
        strcpy(g_enclosure.path, path);
    }
}

bool IsOurs(const char* path)
{
    return path != nullptr && g_enclosure.path[0] != '\0' && strcmp(path, g_enclosure.path) == 0;
}

// Data-in: at most the CDB's allocation length and the caller's buffer.
void GiveData(sg_io_hdr_t* h, const uint8_t* data, unsigned length, unsigned allocation)
{
    unsigned n = length < allocation ? length : allocation;
    n = n < h->dxfer_len ? n : h->dxfer_len;
    if (n > 0)
    {
        memcpy(h->dxferp, data, n);
    }
    h->resid = (int)(h->dxfer_len - n);
}

void CheckCondition(sg_io_hdr_t* h)
{
    uint8_t sense[kFixedSenseLength] = {0x70, 0, kSenseIllegalRequest, 0, 0, 0, 0, kFixedSenseLength - 8};
    sense[12] = kAscInvalidOpcode;
    unsigned n = h->mx_sb_len < sizeof(sense) ? h->mx_sb_len : sizeof(sense);
    if (h->sbp != nullptr && n > 0)
    {
        memcpy(h->sbp, sense, n);
    }
    h->sb_len_wr = (unsigned char)n;
    h->status = kScsiCheckCondition;
    h->masked_status = kScsiCheckCondition >> 1;
    h->driver_status = kDriverSense;
    h->info = SG_INFO_CHECK;
    h->resid = (int)h->dxfer_len;
}

void ReceiveDiagnostic(sg_io_hdr_t* h, unsigned allocation)
{
    uint8_t page[kStatusPageLength];
    memset(page, 0, sizeof(page));
    if (h->cmdp[2] == kPageSupported)
    {
        page[3] = 2;
        page[4] = kPageSupported;
        page[5] = kPageDownloadMicrocode;
        GiveData(h, page, kSupportedPagesLength, allocation);
        return;
    }
    page[0] = kPageDownloadMicrocode;
    Put16(page + kStsPageLength, kStatusPageLength - 4);
    Put32(page + kStsGeneration, g_enclosure.generation);
    page[kStsStatus] = g_enclosure.status;
    page[kStsAdditional] = g_enclosure.additional;
    Put32(page + kStsMaxSize, UINT32_MAX);
    Put32(page + kStsExpectedOffset, g_enclosure.expectedOffset);
    GiveData(h, page, sizeof(page), allocation);
    // A completion code is reported once.
    if (g_enclosure.status >= kStatusCompleteActive && allocation > kStsStatus)
    {
        g_enclosure.status = kStatusIdle;
        g_enclosure.expectedOffset = 0;
        g_enclosure.generation++;
    }
}

void SendDiagnostic(sg_io_hdr_t* h, unsigned parameterLength)
{
    unsigned n = parameterLength < h->dxfer_len ? parameterLength : h->dxfer_len;
    h->resid = 0;
    const uint8_t* page = static_cast<const uint8_t*>(h->dxferp);
    if (n < kCtlHeaderLength || page[0] != kPageDownloadMicrocode)
    {
        return;
    }
    if (page[kCtlMode] == kModeActivateDeferred)
    {
        g_enclosure.status = kStatusIdle;
        return;
    }
    uint32_t offset = Get32(page + kCtlOffset);
    uint32_t dataLength = Get32(page + kCtlDataLength);
    if (offset != g_enclosure.expectedOffset || dataLength > n - kCtlHeaderLength)
    {
        g_enclosure.status = kStatusFieldError;
        g_enclosure.additional = kCtlOffset;
        return;
    }
    g_enclosure.imageLength = Get32(page + kCtlImageLength);
    g_enclosure.expectedOffset += dataLength;
    g_enclosure.status =
        g_enclosure.expectedOffset >= g_enclosure.imageLength ? kStatusCompleteActive : kStatusInProgress;
}

int Execute(sg_io_hdr_t* h)
{
    if (h->interface_id != 'S' || h->cmdp == nullptr || h->cmd_len < 6)
    {
        errno = EINVAL;
        return -1;
    }
    h->status = kScsiGood;
    h->masked_status = 0;
    h->host_status = 0;
    h->driver_status = 0;
    h->sb_len_wr = 0;
    h->info = 0;
    h->duration = 0;
    h->resid = 0;
    const uint8_t* cdb = h->cmdp;
    unsigned length16 = (unsigned)cdb[3] << 8 | cdb[4];
    switch (cdb[0])
    {
    case kOpTestUnitReady:
        h->resid = (int)h->dxfer_len;
        break;
    case kOpInquiry:
    {
        uint8_t inquiry[kInquiryLength] = {0x0D, 0, 6, 2, kInquiryLength - 5};
        memcpy(inquiry + 8, "NULLSES NULL ENCLOSURE  0100", 28);
        GiveData(h, inquiry, sizeof(inquiry), length16);
        break;
    }
    case kOpReceiveDiagnostic:
        ReceiveDiagnostic(h, length16);
        break;
    case kOpSendDiagnostic:
        SendDiagnostic(h, length16);
        break;
    default:
        CheckCondition(h);
        break;
    }
    return 0;
}

int OpenOurs()
{
    using Fn = int (*)(const char*, int, ...);
    static Fn next = Next<Fn>("open");
    int fd = next("/dev/null", O_RDWR | O_CLOEXEC);
    // The first open is the program's device; a later one (fwpush's lock on the node) only
    // needs a descriptor that can be locked.
    if (fd >= 0 && g_enclosure.fd < 0)
    {
        g_enclosure.fd = fd;
    }
    return fd;
}

void FillStat(struct stat* st)
{
    memset(st, 0, sizeof(*st));
    st->st_mode = S_IFCHR | 0600;
    st->st_rdev = makedev(kSgMajor, 0);
}

} // namespace

// An open of our device path, or the next definition of the same function: open and open64, and
// (without a mode) the fortified forms that _FORTIFY_SOURCE turns them into.
#define OPEN_OURS(name)                                                                            \
    extern "C" int name(const char* path, int flags, ...)                                          \
    {                                                                                              \
        using Fn = int (*)(const char*, int, ...);                                                 \
        static Fn next = Next<Fn>(#name);                                                          \
        if (IsOurs(path))                                                                          \
        {                                                                                          \
            return OpenOurs();                                                                     \
        }                                                                                          \
        BENCH_OPEN_MODE(flags);                                                                    \
        return next(path, flags, mode);                                                            \
    }
#define OPEN_2_OURS(name)                                                                          \
    extern "C" int name(const char* path, int flags)                                               \
    {                                                                                              \
        using Fn = int (*)(const char*, int);                                                      \
        static Fn next = Next<Fn>(#name);                                                          \
        return IsOurs(path) ? OpenOurs() : next(path, flags);                                      \
    }
OPEN_OURS(open)
OPEN_OURS(open64)
OPEN_2_OURS(__open_2)
OPEN_2_OURS(__open64_2)

extern "C" int close(int fd)
{
    using Fn = int (*)(int);
    static Fn next = Next<Fn>("close");
    if (fd >= 0 && fd == g_enclosure.fd)
    {
        g_enclosure.fd = -1;
    }
    return next(fd);
}

extern "C" int fstat(int fd, struct stat* st)
{
    using Fn = int (*)(int, struct stat*);
    static Fn next = Next<Fn>("fstat");
    if (fd >= 0 && fd == g_enclosure.fd)
    {
        FillStat(st);
        return 0;
    }
    return next(fd, st);
}

extern "C" int fstat64(int fd, struct stat64* st)
{
    return fstat(fd, reinterpret_cast<struct stat*>(st));
}

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    using Fn = int (*)(int, unsigned long, void*);
    static Fn next = Next<Fn>("ioctl");
    va_list ap;
    va_start(ap, request);
    void* argument = va_arg(ap, void*);
    va_end(ap);
    if (fd < 0 || fd != g_enclosure.fd)
    {
        return next(fd, request, argument);
    }
    if (request == SG_IO)
    {
        return Execute(static_cast<sg_io_hdr_t*>(argument));
    }
    if (request == SG_GET_VERSION_NUM)
    {
        *static_cast<int*>(argument) = kSgVersion;
    }
    return 0;
}
