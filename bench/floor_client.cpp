// floor_client: the least a client can do for a firmware download or a console command, so
// that what fwpush and bufterm add is the difference. No standard I/O, no heap, no output, no
// checks beyond what keeps the sequence going.
//
//   floor_client DEVICE IMAGE [MAX_PAGE_LENGTH]
//     The very command sequence that fwpush sends for a download: INQUIRY, TEST UNIT READY, the
//     supported pages list, one status read while idle, then per block one SEND DIAGNOSTIC with
//     the Download Microcode control page and one status read, and the 10 ms polls while the
//     enclosure stores. One read(2) of the image per block into a static buffer. Exit status 0
//     after a completion code.
//
//   floor_client --console DEVICE TEXT
//     The sequence that bufterm sends for a one-shot command: REQUEST SENSE, INQUIRY, READ
//     BUFFER until no output is pending, WRITE BUFFER with the command, then READ BUFFER until
//     the command is no longer pending, with a 10 ms pause after the WRITE BUFFER and after
//     every read.
//
// Run under `sesim run`, its wall time, CPU time and peak RSS are the simulated enclosure's
// share (the enclosure's latency and the preload attachment's work inside the caller).
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "bench_support.h"

namespace
{

const uint8_t kOpTestUnitReady = 0x00;
const uint8_t kOpInquiry = 0x12;
const uint8_t kOpReceiveDiagnostic = 0x1C;
const uint8_t kOpSendDiagnostic = 0x1D;
const uint8_t kOpRequestSense = 0x03;
const uint8_t kOpWriteBuffer = 0x3B;
const uint8_t kOpReadBuffer = 0x3C;
const uint8_t kBufferModeVendor = 0x01;
const uint8_t kConsoleBufferId = 0x01;
const unsigned kCdb10Length = 10;
const unsigned kConsoleMessageLength = 512;
const unsigned kConsoleHeaderLength = 4;
const unsigned kConsolePendingField = 2;
// A console command message: mode byte, reserved byte, the text, its NUL.
const unsigned kConsoleTextOffset = 2;
// READ BUFFER allocation length and WRITE BUFFER parameter list length: bytes 6-8 of the CDB.
const unsigned kBufferCdbLengthField = 6;
const unsigned kRequestSenseLength = 16;
const long kConsolePauseNs = 10L * 1000 * 1000;
const uint8_t kSendDiagPf = 0x10;
const uint8_t kReceiveDiagPcv = 0x01;
const uint8_t kPageSupported = 0x00;
const uint8_t kPageDownloadMicrocode = 0x0E;
const uint8_t kModeSaveActivate = 0x07;
const uint8_t kStatusInProgress = 0x01;
const uint8_t kStatusUpdating = 0x02;
const uint8_t kStatusUpdatingDeferred = 0x03;
const uint8_t kStatusFirstComplete = 0x10;
const uint8_t kStatusLastComplete = 0x13;

const unsigned kCdbLength = 6;
const unsigned kInquiryLength = 96;
const unsigned kStatusPageLength = 60;
const unsigned kHeaderLength = 24;
const unsigned kTransferLength = 4096;
const unsigned kSenseLength = 32;
const unsigned kTimeoutMs = 60000;
const long kBusyPollNs = 10L * 1000 * 1000;

// Status page fields of the primary subenclosure's descriptor
const unsigned kStsGeneration = 4;
const unsigned kStsStatus = 10;
const unsigned kStsExpectedOffset = 20;
// Control page fields
const unsigned kCtlPageLength = 2;
const unsigned kCtlGeneration = 4;
const unsigned kCtlMode = 8;
const unsigned kCtlOffset = 12;
const unsigned kCtlImageLength = 16;
const unsigned kCtlDataLength = 20;

uint8_t g_page[kTransferLength];
uint8_t g_status[kStatusPageLength];

bool Issue(int fd, uint8_t* cdb, int direction, uint8_t* data, unsigned length, unsigned cdbLength = kCdbLength)
{
    uint8_t sense[kSenseLength];
    sg_io_hdr_t h;
    memset(&h, 0, sizeof(h));
    h.interface_id = 'S';
    h.dxfer_direction = direction;
    h.cmd_len = (unsigned char)cdbLength;
    h.cmdp = cdb;
    h.dxfer_len = length;
    h.dxferp = data;
    h.sbp = sense;
    h.mx_sb_len = sizeof(sense);
    h.timeout = kTimeoutMs;
    return ioctl(fd, SG_IO, &h) == 0 && h.host_status == 0;
}

bool DataIn(int fd, uint8_t op, uint8_t byte1, uint8_t page, uint8_t* data, unsigned length)
{
    uint8_t cdb[kCdbLength] = {op, byte1, page, 0, 0, 0};
    Put16(cdb + 3, length);
    return Issue(fd, cdb, length > 0 ? SG_DXFER_FROM_DEV : SG_DXFER_NONE, data, length);
}

bool StatusRead(int fd)
{
    return DataIn(fd, kOpReceiveDiagnostic, kReceiveDiagPcv, kPageDownloadMicrocode, g_status, sizeof(g_status));
}

void Pause(long nanoseconds)
{
    timespec pause = {0, nanoseconds};
    nanosleep(&pause, nullptr);
}

// One READ BUFFER of the console's output; true while the command is still pending.
bool ConsoleRead(int fd, uint8_t* message, bool* pending)
{
    uint8_t cdb[kCdb10Length] = {kOpReadBuffer, kBufferModeVendor, kConsoleBufferId, 0, 0, 0, 0, 0, 0, 0};
    unsigned length = kConsoleMessageLength - kConsoleHeaderLength;
    Put24(cdb + kBufferCdbLengthField, length);
    if (!Issue(fd, cdb, SG_DXFER_FROM_DEV, message, length, sizeof(cdb)))
    {
        return false;
    }
    *pending = message[kConsolePendingField] != 0 || message[kConsolePendingField + 1] != 0;
    return true;
}

int Console(const char* device, const char* text)
{
    static uint8_t message[kConsoleMessageLength];
    int fd = open(device, O_RDWR | O_NONBLOCK);
    if (fd < 0)
    {
        return 1;
    }
    uint8_t sense[kRequestSenseLength];
    uint8_t inquiry[kInquiryLength];
    if (!DataIn(fd, kOpRequestSense, 0, 0, sense, sizeof(sense)) ||
        !DataIn(fd, kOpInquiry, 0, 0, inquiry, sizeof(inquiry)))
    {
        return 1;
    }
    bool pending = true;
    while (pending)
    {
        if (!ConsoleRead(fd, message, &pending))
        {
            return 1;
        }
    }
    size_t textLength = strnlen(text, kConsoleMessageLength - kConsoleTextOffset - 1);
    message[0] = kBufferModeVendor;
    message[1] = 0;
    memcpy(message + kConsoleTextOffset, text, textLength);
    message[kConsoleTextOffset + textLength] = 0;
    unsigned count = (unsigned)(kConsoleTextOffset + textLength + 1);
    uint8_t cdb[kCdb10Length] = {kOpWriteBuffer, kBufferModeVendor, kConsoleBufferId, 0, 0, 0, 0, 0, 0, 0};
    Put24(cdb + kBufferCdbLengthField, count);
    if (!Issue(fd, cdb, SG_DXFER_TO_DEV, message, count, sizeof(cdb)))
    {
        return 1;
    }
    pending = true;
    Pause(kConsolePauseNs);
    while (pending)
    {
        if (!ConsoleRead(fd, message, &pending))
        {
            return 1;
        }
        Pause(kConsolePauseNs);
    }
    close(fd);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        return 2;
    }
    if (strcmp(argv[1], "--console") == 0)
    {
        return argc < 4 ? 2 : Console(argv[2], argv[3]);
    }
    unsigned maxPage = argc > 3 ? (unsigned)strtoul(argv[3], nullptr, 0) : kTransferLength;
    if (maxPage <= kHeaderLength || maxPage > kTransferLength)
    {
        return 2;
    }
    int fd = open(argv[1], O_RDWR | O_NONBLOCK);
    int image = open(argv[2], O_RDONLY);
    struct stat st;
    if (fd < 0 || image < 0 || fstat(image, &st) != 0)
    {
        return 1;
    }
    uint32_t length = (uint32_t)st.st_size;
    uint8_t inquiry[kInquiryLength];
    uint8_t cdb[kCdbLength] = {kOpTestUnitReady, 0, 0, 0, 0, 0};
    // The TEST UNIT READY may meet a unit attention; fwpush then sends another.
    if (!DataIn(fd, kOpInquiry, 0, 0, inquiry, sizeof(inquiry)) || !Issue(fd, cdb, SG_DXFER_NONE, nullptr, 0) ||
        !DataIn(fd, kOpReceiveDiagnostic, kReceiveDiagPcv, kPageSupported, inquiry, sizeof(inquiry)) ||
        !StatusRead(fd))
    {
        return 1;
    }
    uint32_t blockSize = maxPage - kHeaderLength;
    for (uint32_t offset = 0; offset < length;)
    {
        ssize_t n = read(image, g_page + kHeaderLength, blockSize);
        if (n <= 0)
        {
            return 1;
        }
        uint32_t padded = ((uint32_t)n + 3) & ~3u;
        memset(g_page, 0, kHeaderLength);
        memset(g_page + kHeaderLength + n, 0, padded - (uint32_t)n);
        g_page[0] = kPageDownloadMicrocode;
        Put16(g_page + kCtlPageLength, padded + kHeaderLength - 4);
        memcpy(g_page + kCtlGeneration, g_status + kStsGeneration, 4);
        g_page[kCtlMode] = kModeSaveActivate;
        Put32(g_page + kCtlOffset, offset);
        Put32(g_page + kCtlImageLength, length);
        Put32(g_page + kCtlDataLength, (uint32_t)n);
        uint8_t send[kCdbLength] = {kOpSendDiagnostic, kSendDiagPf, 0, 0, 0, 0};
        Put16(send + 3, padded + kHeaderLength);
        if (!Issue(fd, send, SG_DXFER_TO_DEV, g_page, padded + kHeaderLength) || !StatusRead(fd))
        {
            return 1;
        }
        offset += (uint32_t)n;
        while (g_status[kStsStatus] == kStatusUpdating || g_status[kStsStatus] == kStatusUpdatingDeferred)
        {
            Pause(kBusyPollNs);
            if (!StatusRead(fd))
            {
                return 1;
            }
        }
        if (g_status[kStsStatus] != kStatusInProgress || Get32(g_status + kStsExpectedOffset) != offset)
        {
            break;
        }
    }
    close(image);
    close(fd);
    uint8_t final = g_status[kStsStatus];
    return final >= kStatusFirstComplete && final <= kStatusLastComplete ? 0 : 1;
}
