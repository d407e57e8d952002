// fwpush: downloads a firmware image into an SES enclosure through the Download Microcode
// diagnostic page (0x0E), one verified block at a time, and activates deferred microcode on
// request.
//
// Defining FWPUSH_NO_MAIN leaves out main, so that a test harness can include this file and
// drive the command-line parser, the decoders of device data and the block verdict on their
// own; none of them touches a global.

// Image lengths are measured with 64-bit file offsets on every platform.
#define _FILE_OFFSET_BITS 64

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dataaccess.h"
#include "fwpush_audit.h"
#include "halsas.h"
#include "oswrapper.h"
#include "scsi.h"
#include "scsi_initiator.h"

#ifdef FWPUSH_NO_MAIN
// Without main, the functions only main reaches are unused in the including harness.
#pragma GCC diagnostic ignored "-Wunused-function"
#endif

#define FWPUSH_VERSION "1.04"

// One control page is built in a transfer buffer of this size, so no page may be longer.
#define TRANSFER_BUFFER_LENGTH 4096
#define DEFAULT_MAX_PAGE_LENGTH TRANSFER_BUFFER_LENGTH

// Download Microcode control page: 24 header bytes, then the image bytes padded to a multiple
// of four. The page length field counts the bytes after byte 3.
#define PAGE_E_HEADER_LENGTH 24
#define PAGE_LENGTH_FIELD_BIAS 4
#define PAGE_E_FIXED_PAGE_LENGTH (PAGE_E_HEADER_LENGTH - PAGE_LENGTH_FIELD_BIAS)
#define PAGE_E_DATA_ALIGNMENT 4
// A page must carry at least one image byte.
#define MIN_MAX_PAGE_LENGTH (PAGE_E_HEADER_LENGTH + 1)

// Byte positions in the control page
#define PAGE_E_CTL_PAGE_CODE 0
#define PAGE_E_CTL_SUBENCLOSURE 1
#define PAGE_E_CTL_PAGE_LENGTH 2
#define PAGE_E_CTL_GENERATION_CODE 4
#define PAGE_E_CTL_MODE 8
#define PAGE_E_CTL_BUFFER_ID 11
#define PAGE_E_CTL_BUFFER_OFFSET 12
#define PAGE_E_CTL_IMAGE_LENGTH 16
#define PAGE_E_CTL_DATA_LENGTH 20
#define PRIMARY_SUBENCLOSURE 0x00

// Download Microcode status page as read: header and the primary subenclosure's descriptor.
#define PAGE_E_STATUS_ALLOCATION_LENGTH 60
#define PAGE_E_STATUS_MIN_PAGE_LENGTH 20 // generation code plus one 16-byte descriptor
#define PAGE_E_STS_PAGE_CODE 0
#define PAGE_E_STS_PAGE_LENGTH 2
#define PAGE_E_STS_GENERATION_CODE 4
#define PAGE_E_STS_SUBENCLOSURE 9
#define PAGE_E_STS_STATUS 10
#define PAGE_E_STS_ADDITIONAL_STATUS 11
#define PAGE_E_STS_MAX_SIZE 12
#define PAGE_E_STS_EXPECTED_BUFFER_ID 19
#define PAGE_E_STS_EXPECTED_OFFSET 20
#define PAGE_E_STS_DECODED_LENGTH 24 // bytes the decoder reads
// DecodePageEStatus's refusals
#define PAGE_E_STATUS_TOO_SHORT OSW_STATUS_FAILED
#define PAGE_E_STATUS_WRONG_PAGE 2

// SES diagnostic page codes
#define SES_PAGE_SUPPORTED_DIAGNOSTICS 0x00
#define SES_PAGE_DOWNLOAD_MICROCODE 0x0E
#define DIAG_PAGE_HEADER_LENGTH 4
#define DIAG_PAGE_LENGTH_OFFSET 2

// SES download microcode modes
#define DOWNLOAD_MODE_SAVE_ACTIVATE 0x07
#define DOWNLOAD_MODE_SAVE_DEFER 0x0E
#define DOWNLOAD_MODE_ACTIVATE_DEFERRED 0x0F

// SES subenclosure download microcode status codes
#define DL_STATUS_IDLE 0x00
#define DL_STATUS_IN_PROGRESS 0x01
#define DL_STATUS_UPDATING 0x02
#define DL_STATUS_UPDATING_DEFERRED 0x03
#define DL_STATUS_COMPLETE_ACTIVE 0x10
#define DL_STATUS_COMPLETE_AFTER_RESET 0x11
#define DL_STATUS_COMPLETE_AFTER_POWER_ON 0x12
#define DL_STATUS_COMPLETE_DEFERRED 0x13
#define DL_STATUS_FIELD_ERROR 0x80
#define DL_STATUS_IMAGE_ERROR 0x81
#define DL_STATUS_TIMEOUT 0x82
#define DL_STATUS_INTERNAL_NEEDS_IMAGE 0x83
#define DL_STATUS_INTERNAL_SAFE 0x84
#define DL_STATUS_NO_DEFERRED_MICROCODE 0x85
// An expected buffer offset with every bit set: the enclosure takes data at any offset.
#define DL_EXPECTED_OFFSET_ANY 0xFFFFFFFFu

// 6-byte CDBs
#define CDB6_LENGTH 6
#define CDB6_ALLOCATION_LENGTH 3
#define SEND_DIAG_PF 0x10
#define RCV_DIAG_PCV 0x01
#define RCV_DIAG_PAGE_CODE 2

// Standard inquiry data
#define INQUIRY_ALLOCATION_LENGTH 96
#define INQUIRY_PERIPHERAL_TYPE_MASK 0x1F
#define INQUIRY_FLAGS_BYTE 6
#define INQUIRY_FIELD_BUFFER_LENGTH (SCSI_INQUIRY_PRODUCT_LENGTH + 1)
#define SUPPORTED_PAGES_ALLOCATION_LENGTH 96

// Sense of a unit attention, and the one an enclosure reports after its microcode changed
#define SENSE_KEY_UNIT_ATTENTION 0x06
#define ASC_OPERATING_CONDITIONS_CHANGED 0x3F
#define ASCQ_MICROCODE_CHANGED 0x01

// Retries and waits
#define TUR_MAX_ATTEMPTS 5
#define IDLE_WAIT_PASSES 60
#define IDLE_WAIT_PAUSE_MS 1000
#define BUSY_POLL_MS 10
#define MAX_BLOCK_RESENDS 4
// SPC reports pending unit attentions one per command; an enclosure that restarts may queue a
// few (reset, microcode changed, inquiry data changed ...), never this many.
#define MAX_UNIT_ATTENTIONS 8

// Hex dumps of outgoing commands
#define HEX_DUMP_BYTES_PER_LINE 16
#define PAGE_DUMP_LENGTH 32

// ProcessCommandLine's answers to -h and --version; an index into argv is never this large.
#define COMMAND_LINE_HELP INT_MAX
#define COMMAND_LINE_VERSION (INT_MAX - 1)
#define VERSION_OPTION "--version"
#define COMMAND_LINE_COUNT_ERROR (-1)
#define MIN_ARGC 3
#define MAX_ARGC 6

#define EXIT_STATUS_SUCCESS 0
#define EXIT_STATUS_FAILURE 1
// DecideAfterBlock's answer when the download goes on; otherwise it returns the exit status.
#define NEXT_BLOCK (-1)

typedef struct
{
    uint8_t bufferId;
    uint32_t maxPageLength;
    uint8_t mode;
    bool_t forceActivate;
    SCSI_Device_t hDevice;
    FILE* firmwareFile;
    uint32_t fileLength;
    const char* firmwareFilename;
    const char* deviceFilename;
    bool_t verbose;
    int deviceLockFd;          // holds the run's exclusive lock on the device node; -1 while none
    struct stat firmwareStat;  // the image file as opened, to notice a change during the download
} CommandOptions_t;

typedef struct
{
    uint32_t gencode;
    uint32_t maxDownloadLength;
    uint32_t expectedOffset;
    uint16_t pageLen;
    uint8_t subEnclosure;
    uint8_t downloadStatus;
    uint8_t additionalStatus;
    uint8_t expectedBufferId;
} DownloadStatus_t;

static void InitOptions(CommandOptions_t* pOptions, DownloadStatus_t* pStatus)
{
    memset(pOptions, 0, sizeof(*pOptions));
    memset(pStatus, 0, sizeof(*pStatus));
    pOptions->maxPageLength = DEFAULT_MAX_PAGE_LENGTH;
    pOptions->mode = DOWNLOAD_MODE_SAVE_ACTIVATE;
    pOptions->deviceLockFd = -1;
}

// ---------------------------------------------------------------------------------------------
// Command line

// The number after "=" of -p and -t, read as strtol reads it with an automatic base; trailing
// characters are ignored. FALSE when no digit could be read at all, and when the number does
// not fit a long: strtol would give the largest long instead, a value nobody typed.
static bool_t ParseOptionNumber(const char* text, long* pValue)
{
    char* end = NULL;
    errno = 0;
    long value = strtol(text, &end, 0);
    if (end == text || errno == ERANGE)
    {
        return FALSE;
    }
    *pValue = value;
    return TRUE;
}

// 0 when the command line is good, COMMAND_LINE_HELP when -h was reached, COMMAND_LINE_VERSION
// when --version was, a negative value for a wrong argument count, else the index in argv of the
// rejected argument.
static int ProcessCommandLine(int argc, char* argv[], CommandOptions_t* pOptions)
{
    // Asking for the version alone is one argument short of any download command line; it is
    // the one short command line that is not a count error.
    if (argc == MIN_ARGC - 1 && strcmp(argv[1], VERSION_OPTION) == 0)
    {
        return COMMAND_LINE_VERSION;
    }
    if (argc < MIN_ARGC || argc > MAX_ARGC)
    {
        return COMMAND_LINE_COUNT_ERROR;
    }
    int positional = 0;
    for (int i = 1; i < argc; i++)
    {
        const char* arg = argv[i];
        long value = 0;
        if (arg[0] != '-')
        {
            if (positional == 0)
            {
                pOptions->deviceFilename = arg;
            }
            else if (positional == 1)
            {
                pOptions->firmwareFilename = arg;
            }
            else
            {
                return i;
            }
            positional++;
            continue;
        }
        // Like -h, it acts when it is reached.
        if (strcmp(arg, VERSION_OPTION) == 0)
        {
            return COMMAND_LINE_VERSION;
        }
        switch (arg[1])
        {
        case 'p':
            // A page must hold the header and at least one image byte, and fit the transfer
            // buffer. The range is tested before any narrowing, so no huge value wraps into it.
            if (arg[2] != '=' || !ParseOptionNumber(arg + 3, &value) || value < MIN_MAX_PAGE_LENGTH ||
                value > TRANSFER_BUFFER_LENGTH)
            {
                return i;
            }
            pOptions->maxPageLength = (uint32_t)value;
            break;
        case 't':
            if (arg[2] != '=' || !ParseOptionNumber(arg + 3, &value))
            {
                return i;
            }
            pOptions->bufferId = (uint8_t)value;
            break;
        case 'd':
            pOptions->mode = DOWNLOAD_MODE_SAVE_DEFER;
            break;
        case 'a':
            pOptions->mode = DOWNLOAD_MODE_SAVE_DEFER;
            pOptions->forceActivate = TRUE;
            break;
        case 'A':
            pOptions->mode = DOWNLOAD_MODE_ACTIVATE_DEFERRED;
            pOptions->forceActivate = TRUE;
            break;
        case 'h':
            return COMMAND_LINE_HELP;
        default:
            return i;
        }
    }
    return 0;
}

// The count rule admits command lines without a device name, or without an image name; such a
// run must stop before anything is opened. Prints which name is missing.
static bool_t CheckRequiredNames(const CommandOptions_t* pOptions)
{
    if (pOptions->deviceFilename == NULL)
    {
        fprintf(stderr, "Missing SCSI target device name\n");
        return FALSE;
    }
    if (pOptions->mode != DOWNLOAD_MODE_ACTIVATE_DEFERRED && pOptions->firmwareFilename == NULL)
    {
        fprintf(stderr, "Missing firmware file name\n");
        return FALSE;
    }
    return TRUE;
}

static void PrintHelpMessage()
{
    printf("Command usage: fwpush [options] <dev> <fw file>\n");
    printf("Options: -p=max_page_size    The maximum page size\n"
           "         -d                  Deferred activate\n"
           "         -a                  Deferred activate (activate on completion)\n"
           "         -A                  Activations only\n"
           "         -t=buffer_id        The target buffer ID\n"
           "         -h                  Print this message\n"
           "\n"
           "Version: %s\n"
           "\n",
           FWPUSH_VERSION);
}

static void PrintBanner()
{
    static const char stars[] = "****************************************************************";
    printf("\n%s\nSES enclosure firmware download utility, version %s\n%s\n\n", stars, FWPUSH_VERSION, stars);
}

static uint32_t BlockSize(const CommandOptions_t* pOptions)
{
    return pOptions->maxPageLength - PAGE_E_HEADER_LENGTH;
}

static uint32_t NumBlocks(const CommandOptions_t* pOptions)
{
    uint32_t blockSize = BlockSize(pOptions);
    return pOptions->fileLength / blockSize + (pOptions->fileLength % blockSize != 0 ? 1 : 0);
}

static void PrintOptions(const CommandOptions_t* pOptions)
{
    const char* modeText = "Save and auto activate";
    if (pOptions->mode == DOWNLOAD_MODE_SAVE_DEFER)
    {
        modeText = "Save and defer activate";
    }
    else if (pOptions->mode == DOWNLOAD_MODE_ACTIVATE_DEFERRED)
    {
        modeText = "Activate only";
    }
    printf("Download Parameters\n-------------------------------------------------\n");
    printf("File name             : %s\n", pOptions->firmwareFilename);
    printf("File length           : %u Bytes\n", pOptions->fileLength);
    printf("SES Target device     : %s\n", pOptions->deviceFilename);
    printf("Maximum page length   : %u Bytes\n", pOptions->maxPageLength);
    printf("Num download blocks   : %u\n", NumBlocks(pOptions));
    printf("Destination buffer ID : %u\n", pOptions->bufferId);
    printf("Download mode         : %s\n", modeText);
    printf("Send activate         : %s\n", pOptions->forceActivate ? "Yes" : "No");
}

static void Cleanup(CommandOptions_t* pCmdOpts)
{
    if (pCmdOpts->hDevice != NULL)
    {
        SCSI_Initiator_CloseDevice(pCmdOpts->hDevice);
        pCmdOpts->hDevice = NULL;
    }
    if (pCmdOpts->deviceLockFd >= 0)
    {
        close(pCmdOpts->deviceLockFd);
        pCmdOpts->deviceLockFd = -1;
    }
    if (pCmdOpts->firmwareFile != NULL)
    {
        fclose(pCmdOpts->firmwareFile);
        pCmdOpts->firmwareFile = NULL;
    }
}

// Two downloads into one enclosure would abort each other, so a run holds an exclusive advisory
// lock on the device node until it ends. The lock sits on a descriptor of its own: the device
// handle's is private to the initiator.
static int LockDevice(CommandOptions_t* pOptions)
{
    pOptions->deviceLockFd = open(pOptions->deviceFilename, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (pOptions->deviceLockFd < 0 || flock(pOptions->deviceLockFd, LOCK_EX | LOCK_NB) != 0)
    {
        if (errno == EWOULDBLOCK)
        {
            fprintf(stderr, "SCSI target device %s is locked by another fwpush run\n", pOptions->deviceFilename);
        }
        else
        {
            fprintf(stderr, "Unable to lock SCSI target device %s: %s\n", pOptions->deviceFilename, strerror(errno));
        }
        return EXIT_STATUS_FAILURE;
    }
    return EXIT_STATUS_SUCCESS;
}

// Opens and measures the image. Only a regular file has a length that holds still: a FIFO or a
// terminal would hang the open or the reads with the device open, a character device such as
// /dev/zero measures 0 and reads without end, a directory holds no image. The open does not
// block, so such a name is refused before any command is sent. The length travels in 32-bit
// page fields, so an image of 4 GiB or more cannot be described to the enclosure.
static int OpenFirmwareFile(CommandOptions_t* pOptions)
{
    int fd = open(pOptions->firmwareFilename, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    pOptions->firmwareFile = fd < 0 ? NULL : fdopen(fd, "rb");
    if (pOptions->firmwareFile == NULL)
    {
        if (fd >= 0)
        {
            close(fd);
        }
        fprintf(stderr, "Unable to open firmware file %s\n", pOptions->firmwareFilename);
        return EXIT_STATUS_FAILURE;
    }
    if (fstat(fd, &pOptions->firmwareStat) != 0 || !S_ISREG(pOptions->firmwareStat.st_mode))
    {
        fprintf(stderr, "Firmware file %s is not a regular file\n", pOptions->firmwareFilename);
        return EXIT_STATUS_FAILURE;
    }
    off_t length = pOptions->firmwareStat.st_size;
    if ((unsigned long long)length > UINT32_MAX)
    {
        fprintf(stderr, "Firmware file %s is too large: %lld bytes, at most %u bytes can be downloaded\n",
                pOptions->firmwareFilename, (long long)length, UINT32_MAX);
        return EXIT_STATUS_FAILURE;
    }
    pOptions->fileLength = (uint32_t)length;
    return EXIT_STATUS_SUCCESS;
}

// The enclosure must get the bytes of one file: a rewrite, a replacement or a truncation while
// the blocks go out would give it a mix of two.
static bool_t FirmwareFileChanged(const CommandOptions_t* pOptions)
{
    struct stat now;
    const struct stat* then = &pOptions->firmwareStat;
    return fstat(fileno(pOptions->firmwareFile), &now) != 0 || now.st_size != then->st_size ||
           now.st_ino != then->st_ino || now.st_dev != then->st_dev ||
           now.st_mtim.tv_sec != then->st_mtim.tv_sec || now.st_mtim.tv_nsec != then->st_mtim.tv_nsec ||
           now.st_ctim.tv_sec != then->st_ctim.tv_sec || now.st_ctim.tv_nsec != then->st_ctim.tv_nsec;
}

// ---------------------------------------------------------------------------------------------
// Signals

// The stop signals held back during the download: SIGINT and SIGTERM, unless the run was started
// with one ignored (a background job of a script, nohup's children), which then stays ignored.
static sigset_t g_heldStops;

// A closed pager or a lost terminal must not abandon a download half way: output that cannot
// be written is dropped instead.
static void IgnoreLostOutput(void)
{
    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
}

// During the download a stop is held back, never delivered: a signal that cut an SG_IO request
// short would leave the driver carrying the command out regardless, or running it twice on a
// restarted call. The download loop asks between two commands whether one is waiting, ends the
// run and says what the enclosure holds. Holding them for the whole download costs one question
// per block instead of two mask changes per command.
static void HoldStopSignals(void)
{
    static const int stops[] = {SIGINT, SIGTERM};
    sigemptyset(&g_heldStops);
    for (int signalNumber : stops)
    {
        struct sigaction action;
        if (sigaction(signalNumber, NULL, &action) == 0 && action.sa_handler != SIG_IGN)
        {
            sigaddset(&g_heldStops, signalNumber);
        }
    }
    sigprocmask(SIG_BLOCK, &g_heldStops, NULL);
}

// The held stop signal that has arrived, or 0.
static int PendingStop(void)
{
    static const int stops[] = {SIGINT, SIGTERM};
    sigset_t pending;
    if (sigpending(&pending) != 0)
    {
        return 0;
    }
    for (int signalNumber : stops)
    {
        if (sigismember(&g_heldStops, signalNumber) && sigismember(&pending, signalNumber))
        {
            return signalNumber;
        }
    }
    return 0;
}

// Once the enclosure has reported completion, a stop takes its default action again; one that
// arrived meanwhile takes it now, before anything more (an activation request) is sent.
static void ReleaseStopSignals(void)
{
    sigprocmask(SIG_UNBLOCK, &g_heldStops, NULL);
    sigemptyset(&g_heldStops);
}

static OSW_STATUS SendCommand(CommandOptions_t* pOptions, uint8_t* cdb, int direction, uint8_t* pData,
                              uint32_t dataLength, HAL_SCSI_ResponseData_t* response)
{
    return SCSI_Initiator_SendRequest(pOptions->hDevice, cdb, CDB6_LENGTH, direction, pData, dataLength, response);
}

// ---------------------------------------------------------------------------------------------
// Diagnostic page exchange

static void PrintHex(const char* prefix, const uint8_t* data, uint32_t dataLen)
{
    for (uint32_t i = 0; i < dataLen; i++)
    {
        uint32_t column = i % HEX_DUMP_BYTES_PER_LINE;
        if (column == 0)
        {
            printf("%s", prefix);
        }
        printf("%02x%s", data[i], column == HEX_DUMP_BYTES_PER_LINE - 1 ? "\n" : " ");
    }
    printf("\n");
}

static void ReportFailedCommand(const char* command, OSW_STATUS result, const HAL_SCSI_ResponseData_t* response)
{
    if (result == SCSI_INITIATOR_DEVICE_STATUS)
    {
        fprintf(stderr, "%s failed: Sense %02x,%02x,%02x,%02x\n", command, response->status, response->senseKey,
                response->asc, response->ascq);
    }
    fprintf(stderr, "Send failed status %x\n", (unsigned)result);
}

// diagData is always the run's transfer buffer, so the page dump may show bytes past the page.
static OSW_STATUS SendDiag(CommandOptions_t* pOptions, uint8_t* diagData, uint32_t diagDataLength,
                           HAL_SCSI_ResponseData_t* response)
{
    uint8_t cdb[CDB6_LENGTH];
    memset(cdb, 0, sizeof(cdb));
    cdb[0] = SCSI_OP_SEND_DIAGNOSTIC;
    cdb[1] = SEND_DIAG_PF;
    DA_SetField_BE16(cdb, CDB6_ALLOCATION_LENGTH, (uint16_t)diagDataLength);
    if (pOptions->verbose)
    {
        PrintHex("CDB ", cdb, sizeof(cdb));
        PrintHex("Page ", diagData, PAGE_DUMP_LENGTH);
    }
    // A transport failure leaves the record as it was; cleared, it cannot show stale sense.
    memset(response, 0, sizeof(*response));
    OSW_STATUS result = SendCommand(pOptions, cdb, SCSI_INITIATOR_DATA_OUT, diagData, diagDataLength, response);
    if (result != OSW_STATUS_SUCCESS)
    {
        ReportFailedCommand("SEND_DIAG", result, response);
    }
    return result;
}

static void BuildRcvDiagCdb(uint8_t* cdb, uint8_t pageCode, uint32_t cdbResponseLength)
{
    memset(cdb, 0, CDB6_LENGTH);
    cdb[0] = SCSI_OP_RECEIVE_DIAGNOSTIC_RESULTS;
    cdb[1] = RCV_DIAG_PCV;
    cdb[RCV_DIAG_PAGE_CODE] = pageCode;
    DA_SetField_BE16(cdb, CDB6_ALLOCATION_LENGTH, (uint16_t)cdbResponseLength);
}

static OSW_STATUS RcvDiagResults(CommandOptions_t* pOptions, uint8_t pageCode, uint8_t* cdbResponse,
                                 uint32_t cdbResponseLength, HAL_SCSI_ResponseData_t* response)
{
    uint8_t cdb[CDB6_LENGTH];
    BuildRcvDiagCdb(cdb, pageCode, cdbResponseLength);
    if (pOptions->verbose)
    {
        PrintHex("CDB ", cdb, sizeof(cdb));
    }
    memset(response, 0, sizeof(*response));
    OSW_STATUS result = SendCommand(pOptions, cdb, SCSI_INITIATOR_DATA_IN, cdbResponse, cdbResponseLength, response);
    if (result != OSW_STATUS_SUCCESS)
    {
        ReportFailedCommand("RCV_DIAG_RESULT", result, response);
    }
    return result;
}

// Decodes the primary subenclosure's descriptor of a status page held in pageBytes bytes.
// Returns 0; PAGE_E_STATUS_TOO_SHORT when the page is too short to hold that descriptor (the
// page length is recorded when the buffer holds it); PAGE_E_STATUS_WRONG_PAGE when the bytes are
// not a download microcode status page at all, so that a corrupted answer can never pass for a
// completion code, an expected offset or a generation code.
static OSW_STATUS DecodePageEStatus(const uint8_t* page, uint32_t pageBytes, DownloadStatus_t* pStatus)
{
    if (pageBytes < PAGE_E_STS_DECODED_LENGTH)
    {
        return PAGE_E_STATUS_TOO_SHORT;
    }
    if (DA_GetField_BE8(page, PAGE_E_STS_PAGE_CODE) != SES_PAGE_DOWNLOAD_MICROCODE)
    {
        return PAGE_E_STATUS_WRONG_PAGE;
    }
    pStatus->pageLen = DA_GetField_BE16(page, PAGE_E_STS_PAGE_LENGTH);
    if (pStatus->pageLen < PAGE_E_STATUS_MIN_PAGE_LENGTH)
    {
        return PAGE_E_STATUS_TOO_SHORT;
    }
    pStatus->gencode = DA_GetField_BE32(page, PAGE_E_STS_GENERATION_CODE);
    pStatus->subEnclosure = DA_GetField_BE8(page, PAGE_E_STS_SUBENCLOSURE);
    pStatus->downloadStatus = DA_GetField_BE8(page, PAGE_E_STS_STATUS);
    pStatus->additionalStatus = DA_GetField_BE8(page, PAGE_E_STS_ADDITIONAL_STATUS);
    pStatus->maxDownloadLength = DA_GetField_BE32(page, PAGE_E_STS_MAX_SIZE);
    pStatus->expectedBufferId = DA_GetField_BE8(page, PAGE_E_STS_EXPECTED_BUFFER_ID);
    pStatus->expectedOffset = DA_GetField_BE32(page, PAGE_E_STS_EXPECTED_OFFSET);
    return OSW_STATUS_SUCCESS;
}

// PageEStatusRequest that also hands back the completion record of the read.
static OSW_STATUS ReadPageEStatus(CommandOptions_t* pOptions, DownloadStatus_t* pStatus,
                                  HAL_SCSI_ResponseData_t* response)
{
    uint8_t page[PAGE_E_STATUS_ALLOCATION_LENGTH];
    memset(page, 0, sizeof(page));
    OSW_STATUS result = RcvDiagResults(pOptions, SES_PAGE_DOWNLOAD_MICROCODE, page, sizeof(page), response);
    if (result != OSW_STATUS_SUCCESS)
    {
        return result;
    }
    result = DecodePageEStatus(page, sizeof(page), pStatus);
    if (result == PAGE_E_STATUS_WRONG_PAGE)
    {
        fprintf(stderr, "Page 0xE status came back as page 0x%x\n", page[PAGE_E_STS_PAGE_CODE]);
    }
    else if (result != OSW_STATUS_SUCCESS)
    {
        fprintf(stderr, "Page 0xE status too short\n");
    }
    return result;
}

static OSW_STATUS PageEStatusRequest(CommandOptions_t* pOptions, DownloadStatus_t* pStatus)
{
    HAL_SCSI_ResponseData_t response;
    return ReadPageEStatus(pOptions, pStatus, &response);
}

// Writes the 24-byte control page header at pBuffer for dataLength image bytes at offset.
static void WritePageEControlHeader(uint8_t* pBuffer, const CommandOptions_t* pOptions,
                                    const DownloadStatus_t* pStatus, uint32_t dataLength, uint32_t* pPageLength,
                                    uint32_t offset)
{
    uint32_t paddedLength = (dataLength + PAGE_E_DATA_ALIGNMENT - 1) & ~(uint32_t)(PAGE_E_DATA_ALIGNMENT - 1);
    uint32_t pageLength = paddedLength + PAGE_E_FIXED_PAGE_LENGTH;
    memset(pBuffer, 0, PAGE_E_HEADER_LENGTH);
    DA_SetField_BE8(pBuffer, PAGE_E_CTL_PAGE_CODE, SES_PAGE_DOWNLOAD_MICROCODE);
    DA_SetField_BE8(pBuffer, PAGE_E_CTL_SUBENCLOSURE, PRIMARY_SUBENCLOSURE);
    DA_SetField_BE16(pBuffer, PAGE_E_CTL_PAGE_LENGTH, (uint16_t)pageLength);
    DA_SetField_BE32(pBuffer, PAGE_E_CTL_GENERATION_CODE, pStatus->gencode);
    DA_SetField_BE8(pBuffer, PAGE_E_CTL_MODE, pOptions->mode);
    DA_SetField_BE8(pBuffer, PAGE_E_CTL_BUFFER_ID, pOptions->bufferId);
    DA_SetField_BE32(pBuffer, PAGE_E_CTL_BUFFER_OFFSET, offset);
    DA_SetField_BE32(pBuffer, PAGE_E_CTL_IMAGE_LENGTH, pOptions->fileLength);
    DA_SetField_BE32(pBuffer, PAGE_E_CTL_DATA_LENGTH, dataLength);
    *pPageLength = pageLength;
}

// ---------------------------------------------------------------------------------------------
// Enclosure identification

// Copies a fixed-width inquiry field as text; a zero byte inside the field ends it early.
static void CopyInquiryField(char* buffer, uint32_t bufferLength, const uint8_t* inquiry, uint32_t fieldOffset,
                             uint32_t fieldLength)
{
    memset(buffer, 0, bufferLength);
    uint32_t count = fieldLength < bufferLength - 1 ? fieldLength : bufferLength - 1;
    memcpy(buffer, inquiry + fieldOffset, count);
}

// inquiry holds at least INQUIRY_FLAGS_BYTE + 1 bytes of standard inquiry data.
static bool_t IsEnclosureServicesDevice(const uint8_t* inquiry)
{
    return (inquiry[0] & INQUIRY_PERIPHERAL_TYPE_MASK) == SCSI_PERIPHERAL_TYPE_ENCLOSURE ||
           (inquiry[INQUIRY_FLAGS_BYTE] & SCSI_INQUIRY_ENCSERV) != 0;
}

// Looks for pageCode among the codes of a supported diagnostic pages list held in pageBytes
// bytes, never reading past them whatever the page length claims.
static bool_t SupportedPagesListed(const uint8_t* page, uint32_t pageBytes, uint8_t pageCode)
{
    if (pageBytes < DIAG_PAGE_HEADER_LENGTH)
    {
        return FALSE;
    }
    uint16_t pageLength = DA_GetField_BE16(page, DIAG_PAGE_LENGTH_OFFSET);
    for (uint32_t i = 0; i < pageLength && DIAG_PAGE_HEADER_LENGTH + i < pageBytes; i++)
    {
        if (page[DIAG_PAGE_HEADER_LENGTH + i] == pageCode)
        {
            return TRUE;
        }
    }
    return FALSE;
}

// A unit attention is cleared by the command that reports it, so a few attempts are normal.
static OSW_STATUS ClearUnitAttention(CommandOptions_t* pOptions)
{
    uint8_t cdb[CDB6_LENGTH];
    HAL_SCSI_ResponseData_t response;
    printf("Checking and clearing Unit Attention Condition\n");
    for (int retryCount = 0;;)
    {
        memset(cdb, 0, sizeof(cdb));
        cdb[0] = SCSI_OP_TEST_UNIT_READY;
        memset(&response, 0, sizeof(response));
        OSW_STATUS result = SendCommand(pOptions, cdb, SCSI_INITIATOR_DATA_IN, NULL, 0, &response);
        if (result == OSW_STATUS_SUCCESS)
        {
            return OSW_STATUS_SUCCESS;
        }
        fprintf(stderr, "TEST_UNIT_READY failed: Sense %02x,%02x,%02x,%02x\n", response.status, response.senseKey,
                response.asc, response.ascq);
        retryCount++;
        if (result != SCSI_INITIATOR_DEVICE_STATUS || retryCount >= TUR_MAX_ATTEMPTS)
        {
            fprintf(stderr, "Device %s did not become ready\n", pOptions->deviceFilename);
            return result;
        }
    }
}

static OSW_STATUS FindEnclosure(CommandOptions_t* pOptions)
{
    uint8_t cdb[CDB6_LENGTH];
    uint8_t cdbResponse[INQUIRY_ALLOCATION_LENGTH];
    char buffer[INQUIRY_FIELD_BUFFER_LENGTH];
    HAL_SCSI_ResponseData_t response;

    memset(cdb, 0, sizeof(cdb));
    cdb[0] = SCSI_OP_INQUIRY;
    DA_SetField_BE16(cdb, CDB6_ALLOCATION_LENGTH, sizeof(cdbResponse));
    // A device may return less than the standard data; the rest must not be stack leftovers.
    memset(cdbResponse, 0, sizeof(cdbResponse));
    memset(&response, 0, sizeof(response));
    OSW_STATUS result = SendCommand(pOptions, cdb, SCSI_INITIATOR_DATA_IN, cdbResponse, sizeof(cdbResponse), &response);
    if (result != OSW_STATUS_SUCCESS)
    {
        ReportFailedCommand("INQUIRY", result, &response);
        return result;
    }

    FwpushAudit_NoteIdentity(cdbResponse, sizeof(cdbResponse));
    CopyInquiryField(buffer, sizeof(buffer), cdbResponse, SCSI_INQUIRY_VENDOR_OFFSET, SCSI_INQUIRY_VENDOR_LENGTH);
    printf("Vendor                : %s\n", buffer);
    CopyInquiryField(buffer, sizeof(buffer), cdbResponse, SCSI_INQUIRY_PRODUCT_OFFSET, SCSI_INQUIRY_PRODUCT_LENGTH);
    printf("Product               : %s\n", buffer);
    CopyInquiryField(buffer, sizeof(buffer), cdbResponse, SCSI_INQUIRY_REVISION_OFFSET, SCSI_INQUIRY_REVISION_LENGTH);
    printf("Revision              : %s\n", buffer);

    if (!IsEnclosureServicesDevice(cdbResponse))
    {
        fprintf(stderr, "Device %s is not an enclosure services device\n", pOptions->deviceFilename);
        return OSW_STATUS_FAILED;
    }
    printf("Device supports SES\n");

    result = ClearUnitAttention(pOptions);
    if (result != OSW_STATUS_SUCCESS)
    {
        return result;
    }

    printf("Checking for SES Page 0xE support\n");
    uint8_t pages[SUPPORTED_PAGES_ALLOCATION_LENGTH];
    memset(pages, 0, sizeof(pages));
    result = RcvDiagResults(pOptions, SES_PAGE_SUPPORTED_DIAGNOSTICS, pages, sizeof(pages), &response);
    if (result != OSW_STATUS_SUCCESS)
    {
        return result;
    }
    if (!SupportedPagesListed(pages, sizeof(pages), SES_PAGE_DOWNLOAD_MICROCODE))
    {
        fprintf(stderr, "Device %s does not suport SES Page 0xE download\n", pOptions->deviceFilename);
        return OSW_STATUS_FAILED;
    }
    printf("Device capable of Page 0xE download\n");
    return OSW_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Download and activation

// 0x03 is the deferred download's storage phase: as busy as 0x02.
static bool_t IsBusyStatus(uint8_t downloadStatus)
{
    return downloadStatus == DL_STATUS_IN_PROGRESS || downloadStatus == DL_STATUS_UPDATING ||
           downloadStatus == DL_STATUS_UPDATING_DEFERRED;
}

static bool_t IsStoringStatus(uint8_t downloadStatus)
{
    return downloadStatus == DL_STATUS_UPDATING || downloadStatus == DL_STATUS_UPDATING_DEFERRED;
}

static bool_t OffsetMatches(uint32_t expectedOffset, uint32_t offset)
{
    return expectedOffset == DL_EXPECTED_OFFSET_ANY || expectedOffset == offset;
}

// An earlier download may still be running; give a busy enclosure about a minute. Each pass
// reads the status twice and only the first read can end the wait.
static int WaitForIdleEnclosure(CommandOptions_t* pOptions, DownloadStatus_t* pStatus)
{
    printf("Waiting for existing download operations...\n");
    for (uint32_t retryCount = 0;;)
    {
        if (PageEStatusRequest(pOptions, pStatus) != OSW_STATUS_SUCCESS)
        {
            return EXIT_STATUS_FAILURE;
        }
        if (pStatus->downloadStatus == DL_STATUS_IDLE)
        {
            return EXIT_STATUS_SUCCESS;
        }
        if (IsBusyStatus(pStatus->downloadStatus))
        {
            OSW_Sleep(IDLE_WAIT_PAUSE_MS);
        }
        retryCount++;
        OSW_STATUS result = PageEStatusRequest(pOptions, pStatus);
        if (result != OSW_STATUS_SUCCESS)
        {
            return EXIT_STATUS_FAILURE;
        }
        if (retryCount == IDLE_WAIT_PASSES)
        {
            fprintf(stderr, "Enclosure not ready, Download status %x, expected offset %u\n", pStatus->downloadStatus,
                    pStatus->expectedOffset);
            return EXIT_STATUS_FAILURE;
        }
    }
}

// An enclosure can take the activation request and still refuse it in its status page (SES: no
// deferred microcode to activate, 0x85), so the outcome is read once. A read that fails proves
// nothing either way (an enclosure may restart on its new microcode at once, and report a unit
// attention), so it is made quietly and only an error code reported by the enclosure fails the run.
static int CheckActivationOutcome(CommandOptions_t* pOptions)
{
    uint8_t cdb[CDB6_LENGTH];
    uint8_t page[PAGE_E_STATUS_ALLOCATION_LENGTH];
    HAL_SCSI_ResponseData_t response;
    DownloadStatus_t outcome;
    memset(page, 0, sizeof(page));
    memset(&response, 0, sizeof(response));
    memset(&outcome, 0, sizeof(outcome));
    BuildRcvDiagCdb(cdb, SES_PAGE_DOWNLOAD_MICROCODE, sizeof(page));
    if (SendCommand(pOptions, cdb, SCSI_INITIATOR_DATA_IN, page, sizeof(page),
                                   &response) != OSW_STATUS_SUCCESS ||
        DecodePageEStatus(page, sizeof(page), &outcome) != OSW_STATUS_SUCCESS)
    {
        return EXIT_STATUS_SUCCESS;
    }
    FwpushAudit_NoteActivationStatus(outcome.downloadStatus);
    if (outcome.downloadStatus < DL_STATUS_FIELD_ERROR)
    {
        return EXIT_STATUS_SUCCESS;
    }
    if (outcome.downloadStatus == DL_STATUS_NO_DEFERRED_MICROCODE)
    {
        fprintf(stderr, "Enclosure has no deferred microcode to activate\n");
    }
    else
    {
        fprintf(stderr, "Activation status 0x%x\n", outcome.downloadStatus);
    }
    fprintf(stderr, "Activation failed\n");
    return EXIT_STATUS_FAILURE;
}

// A control page without image data. Its mode byte is always 0x0F: after a deferred download the
// run's own mode is 0x0E, and the request must not repeat it.
static int SendActivationRequest(CommandOptions_t* pOptions, const DownloadStatus_t* pStatus, uint8_t* buffer)
{
    uint32_t pageLength = 0;
    HAL_SCSI_ResponseData_t response;
    WritePageEControlHeader(buffer, pOptions, pStatus, 0, &pageLength, 0);
    DA_SetField_BE8(buffer, PAGE_E_CTL_MODE, DOWNLOAD_MODE_ACTIVATE_DEFERRED);
    printf("Sending activation request\n");
    if (SendDiag(pOptions, buffer, pageLength + PAGE_LENGTH_FIELD_BIAS, &response) != OSW_STATUS_SUCCESS)
    {
        fprintf(stderr, "Activation failed\n");
        return EXIT_STATUS_FAILURE;
    }
    return CheckActivationOutcome(pOptions);
}

static int SendActivationOnly(CommandOptions_t* pOptions, const DownloadStatus_t* pStatus, uint8_t* buffer)
{
    printf("Activating...\n");
    return SendActivationRequest(pOptions, pStatus, buffer);
}

// Reads the next block behind the header. Never more than the measured length is read, so a
// file that grows during the run cannot push bytes the enclosure was not told about. The pad
// bytes up to the next multiple of four are zeroed. Returns the number of image bytes.
static uint32_t ReadImageBlock(CommandOptions_t* pOptions, uint32_t offset, uint8_t* buffer)
{
    uint8_t* data = buffer + PAGE_E_HEADER_LENGTH;
    uint32_t wanted = BlockSize(pOptions);
    uint32_t remaining = pOptions->fileLength - offset;
    if (remaining < wanted)
    {
        wanted = remaining;
    }
    if (wanted == 0)
    {
        return 0;
    }
    uint32_t readLen = (uint32_t)fread(data, 1, wanted, pOptions->firmwareFile);
    uint32_t padLength = (PAGE_E_DATA_ALIGNMENT - readLen % PAGE_E_DATA_ALIGNMENT) % PAGE_E_DATA_ALIGNMENT;
    memset(data + readLen, 0, padLength);
    return readLen;
}

// What the enclosure said about itself while its status was read after a block.
typedef struct
{
    bool_t restarted;        // a unit attention came instead of a status
    bool_t microcodeChanged; // one of them was 3F/01: the enclosure runs other microcode now
} EnclosureRestart_t;

// The line after "Download complete": what the new firmware still needs before it runs.
static void PrintCompletionNeeds(const CommandOptions_t* pOptions, uint8_t downloadStatus)
{
    if (downloadStatus == DL_STATUS_COMPLETE_AFTER_RESET)
    {
        printf("New firmware will run after the enclosure is reset\n");
    }
    else if (downloadStatus == DL_STATUS_COMPLETE_AFTER_POWER_ON)
    {
        printf("New firmware will run after the enclosure is power cycled\n");
    }
    else if (downloadStatus == DL_STATUS_COMPLETE_DEFERRED && !pOptions->forceActivate)
    {
        printf("New firmware is stored; activate it with fwpush -A\n");
    }
}

static int CompleteDownload(CommandOptions_t* pOptions, DownloadStatus_t* pStatus, uint8_t* buffer, uint32_t offset)
{
    if (offset != pOptions->fileLength)
    {
        uint32_t left = pOptions->fileLength - offset;
        fprintf(stderr, "Download completed but %u byte%sremain%sin file\n", left, left <= 1 ? " " : "s ",
                left <= 1 ? "s " : " ");
        return EXIT_STATUS_FAILURE;
    }
    printf("\nDownload complete\n");
    PrintCompletionNeeds(pOptions, pStatus->downloadStatus);
    ReleaseStopSignals();
    if (pStatus->downloadStatus != DL_STATUS_COMPLETE_DEFERRED || !pOptions->forceActivate)
    {
        return EXIT_STATUS_SUCCESS;
    }
    return SendActivationRequest(pOptions, pStatus, buffer);
}

static bool_t IsCompletionStatus(uint8_t downloadStatus)
{
    return downloadStatus >= DL_STATUS_COMPLETE_ACTIVE && downloadStatus <= DL_STATUS_COMPLETE_DEFERRED;
}

// Decides on the final status of a block once the enclosure is no longer storing. Returns
// NEXT_BLOCK when the next block follows, else the exit status.
static int DecideAfterBlock(CommandOptions_t* pOptions, DownloadStatus_t* pStatus, uint8_t* buffer, uint32_t offset,
                            const EnclosureRestart_t* pRestart)
{
    uint8_t code = pStatus->downloadStatus;
    // An enclosure that restarted on new microcode (typical of mode 0x07) may report its status
    // afresh, 0x00 or the completion code; only an error code says the download failed.
    if (pRestart->microcodeChanged && code < DL_STATUS_FIELD_ERROR)
    {
        return CompleteDownload(pOptions, pStatus, buffer, offset);
    }
    // Any other restart ends the download unless the status shows it complete; an error code the
    // enclosure reports after it (a flash write cut short) is decoded as well.
    if (pRestart->restarted && !pRestart->microcodeChanged && !IsCompletionStatus(code))
    {
        fprintf(stderr, "\nThe enclosure restarted during the download; check its firmware revision\n");
        if (code < DL_STATUS_FIELD_ERROR)
        {
            return EXIT_STATUS_FAILURE;
        }
    }
    switch (code)
    {
    case DL_STATUS_IN_PROGRESS:
        if (OffsetMatches(pStatus->expectedOffset, offset))
        {
            return NEXT_BLOCK;
        }
        fprintf(stderr, "Offset mismatch. Our offset %u, enclosure offset %u\n", offset, pStatus->expectedOffset);
        return EXIT_STATUS_FAILURE;
    case DL_STATUS_COMPLETE_ACTIVE:
    case DL_STATUS_COMPLETE_AFTER_RESET:
    case DL_STATUS_COMPLETE_AFTER_POWER_ON:
    case DL_STATUS_COMPLETE_DEFERRED:
        return CompleteDownload(pOptions, pStatus, buffer, offset);
    case DL_STATUS_FIELD_ERROR:
        fprintf(stderr, "\nError in control page fields. Field offset %u\n", pStatus->additionalStatus);
        return EXIT_STATUS_FAILURE;
    case DL_STATUS_IMAGE_ERROR:
        fprintf(stderr, "\nError in download image data\n");
        return EXIT_STATUS_FAILURE;
    case DL_STATUS_TIMEOUT:
        fprintf(stderr, "\nDownload timeout\n");
        return EXIT_STATUS_FAILURE;
    case DL_STATUS_INTERNAL_NEEDS_IMAGE:
    case DL_STATUS_INTERNAL_SAFE:
        fprintf(stderr, "\nInternal error 0x%x\n", code);
        return EXIT_STATUS_FAILURE;
    default:
        fprintf(stderr, "\nDownload status 0x%x\n", code);
        return EXIT_STATUS_FAILURE;
    }
}

// What becomes of one attempt to send a block.
typedef enum
{
    BLOCK_ACCEPTED, // the next block follows, or the status decides the end of the download
    BLOCK_RESEND,   // the same block goes out again, unchanged
    BLOCK_FAILED    // "Download Failed"
} BlockVerdict_t;

#define BLOCK_VERDICT_MESSAGE_LENGTH 128

// The verdict on one attempt from the status read that followed it. sendFailed: the SEND
// DIAGNOSTIC of the attempt failed; sends: the block's SEND DIAGNOSTIC commands so far, this
// one included. Writes the line to print on standard error into message (empty for none).
static BlockVerdict_t DecideBlockAttempt(bool_t sendFailed, const DownloadStatus_t* pStatus, uint32_t blockNumber,
                                         uint32_t offset, uint32_t readLen, uint32_t sends, char* message,
                                         size_t messageLength)
{
    message[0] = '\0';
    // Any status but "waiting for data": the final status decoding tells what became of the block.
    if (pStatus->downloadStatus != DL_STATUS_IN_PROGRESS)
    {
        return BLOCK_ACCEPTED;
    }
    if (sendFailed && !OffsetMatches(pStatus->expectedOffset, offset))
    {
        snprintf(message, messageLength, "Enclosure thinks block %u transfered. Continuing\n", blockNumber);
        return BLOCK_ACCEPTED;
    }
    if (!sendFailed && OffsetMatches(pStatus->expectedOffset, offset + readLen))
    {
        return BLOCK_ACCEPTED;
    }
    if (sends > MAX_BLOCK_RESENDS)
    {
        snprintf(message, messageLength, "Download Failed\n");
        return BLOCK_FAILED;
    }
    if (sendFailed)
    {
        snprintf(message, messageLength, "Retrying block %u\n", blockNumber);
    }
    else
    {
        snprintf(message, messageLength, "Retrying Block %u, Download Status %u, Offset %u, Expected Offset %u \n",
                 blockNumber, pStatus->downloadStatus, offset, pStatus->expectedOffset);
    }
    return BLOCK_RESEND;
}

// After a block, a unit attention instead of the status means that the enclosure restarted
// (often on its new microcode): it is noted and the status read again.
static OSW_STATUS ReadStatusAfterBlock(CommandOptions_t* pOptions, DownloadStatus_t* pStatus,
                                       EnclosureRestart_t* pRestart)
{
    HAL_SCSI_ResponseData_t response;
    for (int attentions = 0;; attentions++)
    {
        OSW_STATUS result = ReadPageEStatus(pOptions, pStatus, &response);
        if (result != SCSI_INITIATOR_DEVICE_STATUS || response.senseKey != SENSE_KEY_UNIT_ATTENTION ||
            attentions == MAX_UNIT_ATTENTIONS)
        {
            return result;
        }
        pRestart->restarted = TRUE;
        if (response.asc == ASC_OPERATING_CONDITIONS_CHANGED && response.ascq == ASCQ_MICROCODE_CHANGED)
        {
            pRestart->microcodeChanged = TRUE;
        }
    }
}

// A stop during the download ends the run between two commands, saying what the enclosure holds.
static int ReportInterruptedDownload(const CommandOptions_t* pOptions, uint32_t blockCount, uint32_t offset)
{
    fprintf(stderr, "\nDownload interrupted; last block confirmed by the enclosure: %u of %u (%u of %u bytes)\n",
            blockCount, NumBlocks(pOptions), offset, pOptions->fileLength);
    if (offset == pOptions->fileLength)
    {
        fprintf(stderr, "The enclosure holds the whole image and was still storing it\n");
    }
    else
    {
        fprintf(stderr, "The enclosure holds an incomplete download until it discards it\n");
    }
    return EXIT_STATUS_FAILURE;
}

// Sends one block until the enclosure has it. Returns NEXT_BLOCK when the block counts as
// transferred, else the exit status.
static int TransferBlock(CommandOptions_t* pOptions, DownloadStatus_t* pStatus, uint8_t* buffer, uint32_t readLen,
                         uint32_t offset, uint32_t blockCount, EnclosureRestart_t* pRestart)
{
    HAL_SCSI_ResponseData_t response;
    char message[BLOCK_VERDICT_MESSAGE_LENGTH];
    for (uint32_t sends = 1;; sends++)
    {
        // Before its first block the enclosure would have no download to discard: the stop is
        // honoured after that block, when the message about what it holds is true.
        if ((blockCount > 0 || sends > 1) && PendingStop() != 0)
        {
            return ReportInterruptedDownload(pOptions, blockCount, offset);
        }
        uint32_t pageLength = 0;
        WritePageEControlHeader(buffer, pOptions, pStatus, readLen, &pageLength, offset);
        OSW_STATUS sendStatus = SendDiag(pOptions, buffer, pageLength + PAGE_LENGTH_FIELD_BIAS, &response);
        bool_t controlFailed = sendStatus != OSW_STATUS_SUCCESS;
        if (controlFailed)
        {
            fprintf(stderr, "Failed to send Page E Control Request, block %u, status %d, offset %u\n", blockCount,
                    sendStatus, offset);
        }
        if (ReadStatusAfterBlock(pOptions, pStatus, pRestart) != OSW_STATUS_SUCCESS)
        {
            fprintf(stderr, "Download Failed\n");
            return EXIT_STATUS_FAILURE;
        }
        BlockVerdict_t verdict = DecideBlockAttempt(controlFailed, pStatus, blockCount, offset, readLen, sends,
                                                    message, sizeof(message));
        fputs(message, stderr);
        if (verdict == BLOCK_ACCEPTED)
        {
            return NEXT_BLOCK;
        }
        if (verdict == BLOCK_FAILED)
        {
            return EXIT_STATUS_FAILURE;
        }
    }
}

static int DownloadImage(CommandOptions_t* pOptions, DownloadStatus_t* pStatus, uint8_t* buffer)
{
    uint32_t offset = 0;
    uint32_t blockCount = 0;
    EnclosureRestart_t restart;
    memset(&restart, 0, sizeof(restart));
    printf("Downloading...\n");
    HoldStopSignals();
    for (;;)
    {
        uint32_t readLen = ReadImageBlock(pOptions, offset, buffer);
        // Checked once the last bytes have been read and before they are sent: a changed file
        // never completes a download.
        if ((readLen < BlockSize(pOptions) || offset + readLen == pOptions->fileLength) &&
            FirmwareFileChanged(pOptions))
        {
            fprintf(stderr,
                    "\nFirmware file %s changed during the download: nothing more was sent, and the enclosure "
                    "holds an incomplete download until it discards it\n",
                    pOptions->firmwareFilename);
            return EXIT_STATUS_FAILURE;
        }
        if (readLen == 0)
        {
            fprintf(stderr, "Unexpected end of file\n");
            return EXIT_STATUS_FAILURE;
        }
        int transfer = TransferBlock(pOptions, pStatus, buffer, readLen, offset, blockCount, &restart);
        if (transfer != NEXT_BLOCK)
        {
            return transfer;
        }
        offset += readLen;
        blockCount++;
        printf("\rBlock %u, %3.2f%%", blockCount, offset * 100.0 / pOptions->fileLength);
        fflush(stdout);
        // No limit: the enclosure ends its storage phase by changing the status.
        while (IsStoringStatus(pStatus->downloadStatus))
        {
            if (PendingStop() != 0)
            {
                return ReportInterruptedDownload(pOptions, blockCount, offset);
            }
            OSW_Sleep(BUSY_POLL_MS);
            if (ReadStatusAfterBlock(pOptions, pStatus, &restart) != OSW_STATUS_SUCCESS)
            {
                break;
            }
        }
        int decision = DecideAfterBlock(pOptions, pStatus, buffer, offset, &restart);
        if (decision != NEXT_BLOCK)
        {
            return decision;
        }
    }
}

// Everything after the command line: returns the exit status; the caller cleans up.
static int RunFwpush(CommandOptions_t* pOptions, DownloadStatus_t* pStatus)
{
    uint8_t buffer[TRANSFER_BUFFER_LENGTH];
    PrintBanner();
    if (SCSI_Initiator_OpenDevice(pOptions->deviceFilename, &pOptions->hDevice) != OSW_STATUS_SUCCESS)
    {
        fprintf(stderr, "Unable to open SCSI target device %s\n", pOptions->deviceFilename);
        return EXIT_STATUS_FAILURE;
    }
    if (LockDevice(pOptions) != EXIT_STATUS_SUCCESS)
    {
        return EXIT_STATUS_FAILURE;
    }
    if (pOptions->mode != DOWNLOAD_MODE_ACTIVATE_DEFERRED)
    {
        if (OpenFirmwareFile(pOptions) != EXIT_STATUS_SUCCESS)
        {
            return EXIT_STATUS_FAILURE;
        }
    }
    else
    {
        pOptions->firmwareFilename = "<N/A>";
        pOptions->fileLength = 0;
    }
    PrintOptions(pOptions);
    printf("Identifying device\n");
    if (FindEnclosure(pOptions) != OSW_STATUS_SUCCESS)
    {
        return EXIT_STATUS_FAILURE;
    }
    if (WaitForIdleEnclosure(pOptions, pStatus) != EXIT_STATUS_SUCCESS)
    {
        return EXIT_STATUS_FAILURE;
    }
    FwpushAudit_Start(pOptions->deviceFilename, pOptions->mode, pOptions->forceActivate, pOptions->firmwareFilename,
                      pOptions->firmwareFile, pOptions->fileLength);
    int exitStatus = pOptions->mode == DOWNLOAD_MODE_ACTIVATE_DEFERRED ? SendActivationOnly(pOptions, pStatus, buffer)
                                                                        : DownloadImage(pOptions, pStatus, buffer);
    FwpushAudit_End(exitStatus, pStatus->downloadStatus, PendingStop() != 0);
    return exitStatus;
}

#ifndef FWPUSH_NO_MAIN
int main(int argc, char* argv[])
{
    // Before anything is opened: a closed standard descriptor would otherwise be reused by the
    // device or the image, and the program's output would go there.
    if (OSW_OpenStandardDescriptors() != OSW_STATUS_SUCCESS)
    {
        return EXIT_STATUS_FAILURE;
    }
    IgnoreLostOutput();
    CommandOptions_t options;
    DownloadStatus_t downloadStatus;
    InitOptions(&options, &downloadStatus);
    // Failures go to standard error unbuffered; a log that captures both streams keeps their
    // order only if standard output, too, leaves line by line wherever it goes.
    setvbuf(stdout, NULL, _IOLBF, 0);

    int parseResult = ProcessCommandLine(argc, argv, &options);
    if (parseResult == COMMAND_LINE_HELP)
    {
        PrintHelpMessage();
        return EXIT_STATUS_SUCCESS;
    }
    if (parseResult == COMMAND_LINE_VERSION)
    {
        printf("fwpush version %s\n", FWPUSH_VERSION);
        return EXIT_STATUS_SUCCESS;
    }
    if (parseResult != 0)
    {
        if (parseResult < 0)
        {
            fprintf(stderr, "Invalid argument count\n");
        }
        else
        {
            fprintf(stderr, "Invalid argument '%s'\n", argv[parseResult]);
        }
        PrintHelpMessage();
        Cleanup(&options);
        return EXIT_STATUS_FAILURE;
    }
    if (!CheckRequiredNames(&options))
    {
        PrintHelpMessage();
        Cleanup(&options);
        return EXIT_STATUS_FAILURE;
    }

    int exitStatus = RunFwpush(&options, &downloadStatus);
    Cleanup(&options);
    return exitStatus;
}
#endif
