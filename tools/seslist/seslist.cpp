// seslist: lists the host's SCSI Enclosure Services devices. Every SCSI generic node that
// discovery finds is identified with INQUIRY; an enclosure (peripheral device type 0x0D, or the
// EncServ bit) is also asked for its unit serial number and device identification VPD pages and
// for its Download Microcode status page (0x0E). Nothing else is sent: the program only reads.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dataaccess.h"
#include "halsas.h"
#include "oswrapper.h"
#include "scsi.h"
#include "scsi_initiator.h"

#define EXIT_LISTED 0
#define EXIT_DISCOVERY_FAILED 1
#define EXIT_BAD_USAGE 2

// The JSON document's layout; raised only when a field changes meaning or disappears.
#define JSON_FORMAT_VERSION 1

// INQUIRY
#define CDB6_LENGTH 6
#define CDB6_ALLOCATION_LENGTH 3
#define INQUIRY_EVPD 0x01
#define INQUIRY_PAGE_CODE 2
#define INQUIRY_ALLOCATION_LENGTH 96
#define INQUIRY_PERIPHERAL_TYPE_MASK 0x1F
#define INQUIRY_ADDITIONAL_LENGTH 4
#define INQUIRY_HEADER_LENGTH 5
#define INQUIRY_FLAGS_BYTE 6

// VPD pages
#define VPD_UNIT_SERIAL_NUMBER 0x80
#define VPD_DEVICE_IDENTIFICATION 0x83
#define VPD_ALLOCATION_LENGTH 512
#define VPD_PAGE_CODE 1
#define VPD_PAGE_LENGTH 2
#define VPD_HEADER_LENGTH 4
#define DESIGNATOR_HEADER_LENGTH 4
#define DESIGNATOR_CODE_SET_MASK 0x0F
#define DESIGNATOR_ASSOCIATION_MASK 0x30
#define DESIGNATOR_ASSOCIATION_LOGICAL_UNIT 0x00
#define DESIGNATOR_TYPE_MASK 0x0F
#define DESIGNATOR_LENGTH 3
#define DESIGNATOR_T10_VENDOR_ID 0x1
#define DESIGNATOR_EUI64 0x2
#define DESIGNATOR_NAA 0x3
#define DESIGNATOR_SCSI_NAME_STRING 0x8
#define CODE_SET_BINARY 0x1

// RECEIVE DIAGNOSTIC RESULTS, Download Microcode status page
#define RCV_DIAG_PCV 0x01
#define RCV_DIAG_PAGE_CODE 2
#define SES_PAGE_DOWNLOAD_MICROCODE 0x0E
#define PAGE_E_ALLOCATION_LENGTH 512
#define PAGE_E_PAGE_LENGTH 2
#define PAGE_E_HEADER_LENGTH 8
#define PAGE_E_DESCRIPTOR_LENGTH 16
#define PAGE_E_DSC_SUBENCLOSURE 1
#define PAGE_E_DSC_STATUS 2
#define PAGE_E_DSC_MAX_SIZE 4
#define PRIMARY_SUBENCLOSURE 0x00
// Each pending unit attention is reported to one command; an enclosure may hold several.
#define UNIT_ATTENTION_ATTEMPTS 4

#define SENSE_KEY_ILLEGAL_REQUEST 0x05
#define SENSE_KEY_UNIT_ATTENTION 0x06

// Text fields of a row; longer values are cut.
#define PATH_TEXT_LENGTH 272 // "/dev/" and a directory entry name
#define SERIAL_TEXT_LENGTH 65
#define IDENTIFIER_TEXT_LENGTH 80
#define ERROR_TEXT_LENGTH 160
#define NO_ROW (-1)

typedef struct
{
    bool_t all;
    bool_t json;
} SeslistOptions_t;

typedef struct
{
    char path[PATH_TEXT_LENGTH];
    unsigned long sgNumber;
    bool_t identified; // INQUIRY answered
    bool_t enclosure;
    uint8_t peripheralType;
    char vendor[SCSI_INQUIRY_VENDOR_LENGTH + 1];
    char product[SCSI_INQUIRY_PRODUCT_LENGTH + 1];
    char revision[SCSI_INQUIRY_REVISION_LENGTH + 1];
    char serial[SERIAL_TEXT_LENGTH];
    char identifier[IDENTIFIER_TEXT_LENGTH];
    bool_t haveDownloadStatus;
    bool_t pageESupported;
    uint8_t downloadStatus;
    uint32_t maxImageSize;
    char error[ERROR_TEXT_LENGTH]; // why the row is incomplete; empty when it is not
    int sameAs;                    // the first row with the same identifier, or NO_ROW
} DeviceRow_t;

// ---------------------------------------------------------------------------------------------
// Text

// Device data may hold any byte; only printable ASCII reaches a terminal or a JSON document.
static void CopyDeviceText(char* out, size_t outSize, const uint8_t* data, size_t length)
{
    while (length > 0 && (data[0] == ' ' || data[0] == '\0'))
    {
        data++;
        length--;
    }
    while (length > 0 && (data[length - 1] == ' ' || data[length - 1] == '\0'))
    {
        length--;
    }
    if (length >= outSize)
    {
        length = outSize - 1;
    }
    for (size_t i = 0; i < length; i++)
    {
        out[i] = (data[i] >= 0x20 && data[i] < 0x7F) ? (char)data[i] : '?';
    }
    out[length] = '\0';
}

static void AppendHex(char* out, size_t outSize, const char* prefix, const uint8_t* data, size_t length)
{
    size_t used = (size_t)snprintf(out, outSize, "%s", prefix);
    for (size_t i = 0; i < length && used + 3 <= outSize; i++)
    {
        used += (size_t)snprintf(out + used, outSize - used, "%02x", data[i]);
    }
}

static const char* DownloadStatusText(uint8_t status)
{
    switch (status)
    {
    case 0x00:
        return "idle";
    case 0x01:
        return "download in progress";
    case 0x02:
        return "updating storage";
    case 0x03:
        return "updating storage with deferred microcode";
    case 0x10:
        return "complete, new microcode active";
    case 0x11:
        return "complete, active after reset";
    case 0x12:
        return "complete, active after power cycle";
    case 0x13:
        return "deferred microcode waiting for activation";
    case 0x80:
        return "error in control page fields";
    case 0x81:
        return "error in microcode image";
    case 0x82:
        return "download timed out";
    case 0x83:
        return "internal error, new microcode needed before reset";
    case 0x84:
        return "internal error, reset safe";
    case 0x85:
        return "no deferred microcode to activate";
    default:
        break;
    }
    if (status >= 0x70 && status <= 0x7F)
    {
        return "vendor specific status";
    }
    return status >= 0xF0 ? "vendor specific error" : "reserved status";
}

// The cell of the download status column.
static const char* DownloadCell(const DeviceRow_t* row)
{
    if (row->haveDownloadStatus)
    {
        return DownloadStatusText(row->downloadStatus);
    }
    if (row->enclosure && !row->pageESupported && row->error[0] == '\0')
    {
        return "not supported";
    }
    return NULL;
}

// ---------------------------------------------------------------------------------------------
// Commands

static void SetCommandError(DeviceRow_t* row, const char* command, OSW_STATUS result,
                            const HAL_SCSI_ResponseData_t* response)
{
    if (result == SCSI_INITIATOR_DEVICE_STATUS)
    {
        snprintf(row->error, sizeof(row->error), "%s failed: status 0x%02x, sense %02x/%02x/%02x", command,
                 response->status, response->senseKey, response->asc, response->ascq);
    }
    else
    {
        snprintf(row->error, sizeof(row->error), "%s failed: %s", command,
                 result == SCSI_INITIATOR_HOST_ERROR ? "host adapter error" : "no answer from the device");
    }
}

static OSW_STATUS SendInquiry(SCSI_Device_t hDevice, bool_t evpd, uint8_t page, uint8_t* data, uint16_t length,
                              HAL_SCSI_ResponseData_t* response)
{
    uint8_t cdb[CDB6_LENGTH];
    memset(cdb, 0, sizeof(cdb));
    memset(data, 0, length);
    memset(response, 0, sizeof(*response));
    cdb[0] = SCSI_OP_INQUIRY;
    cdb[1] = evpd ? INQUIRY_EVPD : 0;
    cdb[INQUIRY_PAGE_CODE] = page;
    DA_SetField_BE16(cdb, CDB6_ALLOCATION_LENGTH, length);
    return SCSI_Initiator_SendRequest(hDevice, cdb, sizeof(cdb), SCSI_INITIATOR_DATA_IN, data, length, response);
}

static bool_t IdentifyDevice(SCSI_Device_t hDevice, DeviceRow_t* row)
{
    uint8_t data[INQUIRY_ALLOCATION_LENGTH];
    HAL_SCSI_ResponseData_t response;
    OSW_STATUS result = SendInquiry(hDevice, FALSE, 0, data, sizeof(data), &response);
    if (result != OSW_STATUS_SUCCESS)
    {
        SetCommandError(row, "INQUIRY", result, &response);
        return FALSE;
    }
    row->identified = TRUE;
    row->peripheralType = data[0] & INQUIRY_PERIPHERAL_TYPE_MASK;
    row->enclosure = row->peripheralType == SCSI_PERIPHERAL_TYPE_ENCLOSURE ||
                     (data[INQUIRY_FLAGS_BYTE] & SCSI_INQUIRY_ENCSERV) != 0;
    // Fields past the device's own length stay as the cleared buffer left them: empty.
    size_t valid = (size_t)data[INQUIRY_ADDITIONAL_LENGTH] + INQUIRY_HEADER_LENGTH;
    if (valid > sizeof(data))
    {
        valid = sizeof(data);
    }
    memset(data + valid, 0, sizeof(data) - valid);
    CopyDeviceText(row->vendor, sizeof(row->vendor), data + SCSI_INQUIRY_VENDOR_OFFSET, SCSI_INQUIRY_VENDOR_LENGTH);
    CopyDeviceText(row->product, sizeof(row->product), data + SCSI_INQUIRY_PRODUCT_OFFSET, SCSI_INQUIRY_PRODUCT_LENGTH);
    CopyDeviceText(row->revision, sizeof(row->revision), data + SCSI_INQUIRY_REVISION_OFFSET,
                   SCSI_INQUIRY_REVISION_LENGTH);
    return TRUE;
}

// A VPD page's payload: its length as the device states it, cut to what the buffer holds. 0 when
// the page did not come back as the page asked for.
static size_t ReadVpdPage(SCSI_Device_t hDevice, uint8_t page, uint8_t* data, uint16_t length)
{
    HAL_SCSI_ResponseData_t response;
    if (SendInquiry(hDevice, TRUE, page, data, length, &response) != OSW_STATUS_SUCCESS ||
        data[VPD_PAGE_CODE] != page)
    {
        return 0;
    }
    size_t payload = DA_GetField_BE16(data, VPD_PAGE_LENGTH);
    return payload > (size_t)length - VPD_HEADER_LENGTH ? (size_t)length - VPD_HEADER_LENGTH : payload;
}

// Lower is better: a logical unit's NAA name, then its EUI-64, its SCSI name string, its T10
// vendor identification. 0: not a logical unit name this program shows.
static int DesignatorRank(uint8_t association, uint8_t type, uint8_t codeSet)
{
    if (association != DESIGNATOR_ASSOCIATION_LOGICAL_UNIT)
    {
        return 0;
    }
    switch (type)
    {
    case DESIGNATOR_NAA:
        return codeSet == CODE_SET_BINARY ? 1 : 0;
    case DESIGNATOR_EUI64:
        return codeSet == CODE_SET_BINARY ? 2 : 0;
    case DESIGNATOR_SCSI_NAME_STRING:
        return 3;
    case DESIGNATOR_T10_VENDOR_ID:
        return 4;
    default:
        return 0;
    }
}

static void FormatDesignator(char* out, size_t outSize, uint8_t type, const uint8_t* value, size_t length)
{
    if (type == DESIGNATOR_NAA || type == DESIGNATOR_EUI64)
    {
        AppendHex(out, outSize, type == DESIGNATOR_NAA ? "naa." : "eui.", value, length);
        return;
    }
    static const char t10Prefix[] = "t10.";
    char text[IDENTIFIER_TEXT_LENGTH - (sizeof(t10Prefix) - 1)];
    CopyDeviceText(text, sizeof(text), value, length);
    // A name in one word, so that it stays one column of the table.
    for (char* p = text; *p != '\0'; p++)
    {
        *p = *p == ' ' ? '_' : *p;
    }
    snprintf(out, outSize, "%s%s", type == DESIGNATOR_T10_VENDOR_ID ? t10Prefix : "", text);
}

static void ReadIdentity(SCSI_Device_t hDevice, DeviceRow_t* row)
{
    uint8_t data[VPD_ALLOCATION_LENGTH];
    size_t payload = ReadVpdPage(hDevice, VPD_UNIT_SERIAL_NUMBER, data, sizeof(data));
    CopyDeviceText(row->serial, sizeof(row->serial), data + VPD_HEADER_LENGTH, payload);

    payload = ReadVpdPage(hDevice, VPD_DEVICE_IDENTIFICATION, data, sizeof(data));
    int bestRank = 0;
    for (size_t at = VPD_HEADER_LENGTH; at + DESIGNATOR_HEADER_LENGTH <= VPD_HEADER_LENGTH + payload;)
    {
        const uint8_t* designator = data + at;
        size_t length = designator[DESIGNATOR_LENGTH];
        if (at + DESIGNATOR_HEADER_LENGTH + length > VPD_HEADER_LENGTH + payload)
        {
            break;
        }
        uint8_t type = designator[1] & DESIGNATOR_TYPE_MASK;
        int rank = DesignatorRank(designator[1] & DESIGNATOR_ASSOCIATION_MASK, type,
                                  designator[0] & DESIGNATOR_CODE_SET_MASK);
        if (rank != 0 && length > 0 && (bestRank == 0 || rank < bestRank))
        {
            bestRank = rank;
            FormatDesignator(row->identifier, sizeof(row->identifier), type, designator + DESIGNATOR_HEADER_LENGTH,
                             length);
        }
        at += DESIGNATOR_HEADER_LENGTH + length;
    }
}

static void ReadDownloadStatus(SCSI_Device_t hDevice, DeviceRow_t* row)
{
    uint8_t cdb[CDB6_LENGTH];
    uint8_t page[PAGE_E_ALLOCATION_LENGTH];
    HAL_SCSI_ResponseData_t response;
    OSW_STATUS result = OSW_STATUS_FAILED;
    for (int attempt = 0; attempt < UNIT_ATTENTION_ATTEMPTS; attempt++)
    {
        memset(cdb, 0, sizeof(cdb));
        memset(page, 0, sizeof(page));
        memset(&response, 0, sizeof(response));
        cdb[0] = SCSI_OP_RECEIVE_DIAGNOSTIC_RESULTS;
        cdb[1] = RCV_DIAG_PCV;
        cdb[RCV_DIAG_PAGE_CODE] = SES_PAGE_DOWNLOAD_MICROCODE;
        DA_SetField_BE16(cdb, CDB6_ALLOCATION_LENGTH, sizeof(page));
        result = SCSI_Initiator_SendRequest(hDevice, cdb, sizeof(cdb), SCSI_INITIATOR_DATA_IN, page, sizeof(page),
                                            &response);
        if (result != SCSI_INITIATOR_DEVICE_STATUS || response.senseKey != SENSE_KEY_UNIT_ATTENTION)
        {
            break;
        }
    }
    if (result == SCSI_INITIATOR_DEVICE_STATUS && response.senseKey == SENSE_KEY_ILLEGAL_REQUEST)
    {
        return; // the enclosure has no Download Microcode page
    }
    if (result != OSW_STATUS_SUCCESS)
    {
        SetCommandError(row, "RECEIVE DIAGNOSTIC RESULTS", result, &response);
        return;
    }
    row->pageESupported = TRUE;
    size_t end = (size_t)DA_GetField_BE16(page, PAGE_E_PAGE_LENGTH) + VPD_HEADER_LENGTH;
    if (page[0] != SES_PAGE_DOWNLOAD_MICROCODE || end > sizeof(page))
    {
        snprintf(row->error, sizeof(row->error), "download microcode status page malformed");
        return;
    }
    for (size_t at = PAGE_E_HEADER_LENGTH; at + PAGE_E_DESCRIPTOR_LENGTH <= end; at += PAGE_E_DESCRIPTOR_LENGTH)
    {
        if (page[at + PAGE_E_DSC_SUBENCLOSURE] == PRIMARY_SUBENCLOSURE)
        {
            row->haveDownloadStatus = TRUE;
            row->downloadStatus = page[at + PAGE_E_DSC_STATUS];
            row->maxImageSize = DA_GetField_BE32(page, (int)(at + PAGE_E_DSC_MAX_SIZE));
            return;
        }
    }
    snprintf(row->error, sizeof(row->error), "download microcode status page has no primary subenclosure");
}

// Fills the row; FALSE when the device is not to be listed.
static bool_t ExamineDevice(DeviceRow_t* row, const SeslistOptions_t* pOptions)
{
    SCSI_Device_t hDevice = NULL;
    if (SCSI_Initiator_OpenDevice(row->path, &hDevice) != OSW_STATUS_SUCCESS)
    {
        snprintf(row->error, sizeof(row->error), "cannot open: %s", strerror(errno));
        return TRUE;
    }
    if (IdentifyDevice(hDevice, row) && (row->enclosure || pOptions->all))
    {
        ReadIdentity(hDevice, row);
        if (row->enclosure)
        {
            ReadDownloadStatus(hDevice, row);
        }
    }
    SCSI_Initiator_CloseDevice(hDevice);
    return row->enclosure || pOptions->all || !row->identified;
}

// ---------------------------------------------------------------------------------------------
// Listing

static int CompareRows(const void* a, const void* b)
{
    const DeviceRow_t* left = (const DeviceRow_t*)a;
    const DeviceRow_t* right = (const DeviceRow_t*)b;
    if (left->sgNumber != right->sgNumber)
    {
        return left->sgNumber < right->sgNumber ? -1 : 1;
    }
    return strcmp(left->path, right->path);
}

// Two paths to one logical unit report the same identifier; the first path in the listing is
// the one the others point to.
static void MarkSharedEnclosures(DeviceRow_t* rows, size_t count)
{
    for (size_t i = 0; i < count; i++)
    {
        rows[i].sameAs = NO_ROW;
        for (size_t j = 0; j < i && rows[i].identifier[0] != '\0'; j++)
        {
            if (rows[j].sameAs == NO_ROW && strcmp(rows[i].identifier, rows[j].identifier) == 0)
            {
                rows[i].sameAs = (int)j;
                break;
            }
        }
    }
}

static void NoteText(const DeviceRow_t* rows, const DeviceRow_t* row, char* out, size_t outSize)
{
    out[0] = '\0';
    if (row->error[0] != '\0')
    {
        snprintf(out, outSize, "%s", row->error);
    }
    else if (row->sameAs != NO_ROW)
    {
        snprintf(out, outSize, "same enclosure as %s", rows[row->sameAs].path);
    }
    else if (!row->enclosure)
    {
        snprintf(out, outSize, "not an enclosure (type 0x%02x)", row->peripheralType);
    }
}

#define TABLE_COLUMNS 9
// Every cell is cut to its field's length, so a line is bounded.
#define TABLE_LINE_LENGTH 2048

static void TableCells(const DeviceRow_t* rows, const DeviceRow_t* row, const char* cells[TABLE_COLUMNS],
                       char* maxSize, size_t maxSizeLength, char* note, size_t noteLength)
{
    const char* download = DownloadCell(row);
    NoteText(rows, row, note, noteLength);
    snprintf(maxSize, maxSizeLength, "%u", row->maxImageSize);
    cells[0] = row->path;
    cells[1] = row->identified ? row->vendor : "-";
    cells[2] = row->identified ? row->product : "-";
    cells[3] = row->identified ? row->revision : "-";
    cells[4] = row->serial;
    cells[5] = row->identifier;
    cells[6] = download != NULL ? download : "-";
    cells[7] = row->haveDownloadStatus ? maxSize : "-";
    cells[8] = note;
    for (int c = 1; c < TABLE_COLUMNS - 1; c++)
    {
        cells[c] = cells[c][0] == '\0' ? "-" : cells[c];
    }
}

static void PrintTable(const DeviceRow_t* rows, size_t count, const SeslistOptions_t* pOptions)
{
    static const char* const headers[TABLE_COLUMNS] = {"DEVICE", "VENDOR", "PRODUCT", "REV", "SERIAL",
                                                       "IDENTIFIER", "DOWNLOAD STATUS", "MAX IMAGE", "NOTE"};
    if (count == 0)
    {
        printf("%s\n", pOptions->all ? "No SCSI generic devices found" : "No enclosure services devices found");
        return;
    }
    char maxSize[16];
    char note[ERROR_TEXT_LENGTH + PATH_TEXT_LENGTH];
    const char* cells[TABLE_COLUMNS];
    size_t widths[TABLE_COLUMNS];
    for (int c = 0; c < TABLE_COLUMNS; c++)
    {
        widths[c] = strlen(headers[c]);
    }
    for (size_t i = 0; i < count; i++)
    {
        TableCells(rows, &rows[i], cells, maxSize, sizeof(maxSize), note, sizeof(note));
        for (int c = 0; c < TABLE_COLUMNS; c++)
        {
            widths[c] = strlen(cells[c]) > widths[c] ? strlen(cells[c]) : widths[c];
        }
    }
    for (size_t i = 0; i <= count; i++)
    {
        if (i == 0)
        {
            memcpy(cells, headers, sizeof(cells));
        }
        else
        {
            TableCells(rows, &rows[i - 1], cells, maxSize, sizeof(maxSize), note, sizeof(note));
        }
        char line[TABLE_LINE_LENGTH];
        size_t used = 0;
        for (int c = 0; c < TABLE_COLUMNS && used < sizeof(line); c++)
        {
            used += (size_t)snprintf(line + used, sizeof(line) - used, "%s%-*s", c == 0 ? "" : "  ", (int)widths[c],
                                     cells[c]);
        }
        // No line ends in blanks, whichever columns are empty.
        used = strlen(line);
        while (used > 0 && line[used - 1] == ' ')
        {
            line[--used] = '\0';
        }
        printf("%s\n", line);
    }
}

static void PrintJsonString(const char* key, const char* value, bool_t last)
{
    printf("      \"%s\": ", key);
    if (value == NULL || value[0] == '\0')
    {
        printf("null");
    }
    else
    {
        putchar('"');
        for (const unsigned char* p = (const unsigned char*)value; *p != '\0'; p++)
        {
            if (*p < 0x20 || *p >= 0x7F)
            {
                printf("\\u%04x", *p);
                continue;
            }
            if (*p == '"' || *p == '\\')
            {
                putchar('\\');
            }
            putchar(*p);
        }
        putchar('"');
    }
    printf("%s\n", last ? "" : ",");
}

static void PrintJson(const DeviceRow_t* rows, size_t count)
{
    printf("{\n  \"format\": %d,\n  \"devices\": [", JSON_FORMAT_VERSION);
    for (size_t i = 0; i < count; i++)
    {
        const DeviceRow_t* row = &rows[i];
        printf("%s\n    {\n", i == 0 ? "" : ",");
        PrintJsonString("path", row->path, FALSE);
        printf("      \"enclosure\": %s,\n", row->enclosure ? "true" : "false");
        if (row->identified)
        {
            printf("      \"peripheral_device_type\": %u,\n", row->peripheralType);
        }
        else
        {
            printf("      \"peripheral_device_type\": null,\n");
        }
        PrintJsonString("vendor", row->identified ? row->vendor : NULL, FALSE);
        PrintJsonString("product", row->identified ? row->product : NULL, FALSE);
        PrintJsonString("revision", row->identified ? row->revision : NULL, FALSE);
        PrintJsonString("serial", row->serial, FALSE);
        PrintJsonString("identifier", row->identifier, FALSE);
        PrintJsonString("download_status", DownloadCell(row), FALSE);
        if (row->haveDownloadStatus)
        {
            printf("      \"download_status_code\": %u,\n", row->downloadStatus);
            printf("      \"max_image_size\": %u,\n", row->maxImageSize);
        }
        else
        {
            printf("      \"download_status_code\": null,\n      \"max_image_size\": null,\n");
        }
        PrintJsonString("same_enclosure_as", row->sameAs != NO_ROW ? rows[row->sameAs].path : NULL, FALSE);
        PrintJsonString("error", row->error, TRUE);
        printf("    }");
    }
    printf("%s]\n}\n", count == 0 ? "" : "\n  ");
}

// ---------------------------------------------------------------------------------------------
// Command line

static void PrintUsage(FILE* stream)
{
    fprintf(stream, "Usage: seslist [--all] [--json]\n"
                    "Lists the SCSI Enclosure Services devices of this host.\n"
                    "  -a, --all    list every SCSI generic device, enclosures or not\n"
                    "  -j, --json   print a JSON document instead of a table\n"
                    "  -h, --help   print this text\n"
                    "  --version    print the version\n");
}

#define PARSE_VERSION 2

// 0 when the command line is good, 1 after a help request, PARSE_VERSION after a version
// request, -1 for a wrong argument.
static int ParseCommandLine(int argc, char* argv[], SeslistOptions_t* pOptions)
{
    for (int i = 1; i < argc; i++)
    {
        const char* arg = argv[i];
        if (strcmp(arg, "-a") == 0 || strcmp(arg, "--all") == 0)
        {
            pOptions->all = TRUE;
        }
        else if (strcmp(arg, "-j") == 0 || strcmp(arg, "--json") == 0)
        {
            pOptions->json = TRUE;
        }
        else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0)
        {
            return 1;
        }
        else if (strcmp(arg, "--version") == 0)
        {
            return PARSE_VERSION;
        }
        else
        {
            fprintf(stderr, "seslist: unknown argument '%s'\n", arg);
            return -1;
        }
    }
    return 0;
}

int main(int argc, char* argv[])
{
    SeslistOptions_t options;
    memset(&options, 0, sizeof(options));
    if (OSW_OpenStandardDescriptors() != OSW_STATUS_SUCCESS)
    {
        return EXIT_DISCOVERY_FAILED;
    }
    int parsed = ParseCommandLine(argc, argv, &options);
    if (parsed == PARSE_VERSION)
    {
        printf("seslist version %s\n", SESMAINT_VERSION);
        return EXIT_LISTED;
    }
    if (parsed != 0)
    {
        PrintUsage(parsed > 0 ? stdout : stderr);
        return parsed > 0 ? EXIT_LISTED : EXIT_BAD_USAGE;
    }

    SCSI_DeviceList_t devices = SCSI_Initiator_DiscoverDevices();
    if (devices == NULL)
    {
        fprintf(stderr, "seslist: cannot list the SCSI generic devices in /sys/class/scsi_generic: %s\n",
                strerror(errno));
        return EXIT_DISCOVERY_FAILED;
    }
    size_t found = SCSI_Initiator_GetDeviceCount(devices);
    DeviceRow_t* rows = NULL;
    if (found > 0)
    {
        rows = (DeviceRow_t*)calloc(found, sizeof(*rows));
        if (rows == NULL)
        {
            fprintf(stderr, "seslist: out of memory for %lu devices\n", (unsigned long)found);
            SCSI_Initiator_DestroyDeviceList(devices);
            return EXIT_DISCOVERY_FAILED;
        }
    }
    size_t count = 0;
    for (SCSI_DeviceEntry_t entry = SCSI_Initiator_GetDeviceEntry(devices, 0); entry != NULL && count < found;
         entry = SCSI_Initiator_GetNextDeviceEntry(devices, entry, 0))
    {
        DeviceRow_t* row = &rows[count];
        memset(row, 0, sizeof(*row));
        snprintf(row->path, sizeof(row->path), "%s", SCSI_Initiator_GetDevicePath(entry));
        row->sgNumber = strtoul(row->path + strlen("/dev/sg"), NULL, 10);
        if (ExamineDevice(row, &options))
        {
            count++;
        }
    }
    SCSI_Initiator_DestroyDeviceList(devices);

    if (count > 0)
    {
        qsort(rows, count, sizeof(*rows), CompareRows);
    }
    MarkSharedEnclosures(rows, count);
    if (options.json)
    {
        PrintJson(rows, count);
    }
    else
    {
        PrintTable(rows, count, &options);
    }
    free(rows);
    return EXIT_LISTED;
}
