// fwpush's audit records in the system log. See fwpush_audit.h.
//
// Records, one line each (values in double quotes are escaped: \" \\ and \xHH for any byte that
// is not printable ASCII):
//   download start: device="D" vendor="V" product="P" serial="S" revision="R" image="F" size=N
//       sha256=HEX mode=0xMM activate=yes|no
//   activation start: device="D" vendor="V" product="P" serial="S" revision="R" mode=0x0f
//   download end: device="D" outcome=success|failure|interrupted status=0xSS exit=N duration_ms=N
//   activation end: (the same fields)
// A serial number that cannot be read is written serial=unknown, a digest that cannot be
// computed, or that a failed run did not wait for, sha256=unavailable.

// The digest is a few SHA-256 calls. OpenSSL's EVP interface would load its provider machinery
// and configuration for them (about 2.4 MiB and hundreds of allocations); the direct functions,
// deprecated but kept by OpenSSL 3, need none of it.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "fwpush_audit.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <openssl/sha.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "dataaccess.h"
#include "scsi.h"

#define INQUIRY_IDENTITY_END (SCSI_INQUIRY_REVISION_OFFSET + SCSI_INQUIRY_REVISION_LENGTH)

// The unit serial number VPD page as the kernel keeps it for an sg node's device.
#define SERIAL_PAGE_PATH_FORMAT "/sys/dev/char/%u:%u/device/vpd_pg80"
#define SERIAL_PAGE_PATH_LENGTH 64
#define VPD_UNIT_SERIAL_NUMBER 0x80
#define VPD_PAGE_CODE 1
#define VPD_PAGE_LENGTH 2
#define VPD_HEADER_LENGTH 4
#define VPD_PAGE_MAX_LENGTH (VPD_HEADER_LENGTH + 255)
#define SERIAL_TEXT_LENGTH 256

#define DOWNLOAD_MODE_ACTIVATE_DEFERRED 0x0F
// A quoted, escaped value; a longer one is cut, which the closing "..." shows.
#define AUDIT_FIELD_LENGTH 1024
#define ESCAPED_BYTE_LENGTH 4 // \xHH
#define DIGEST_TEXT_LENGTH (SHA256_DIGEST_LENGTH * 2 + 1)
// The image is read for its digest in pieces of this size: the download reads it too, and a
// large piece keeps the digest's system calls a small fraction of the download's.
#define DIGEST_READ_LENGTH (1024 * 1024)
#define NS_PER_MS 1000000LL
#define MS_PER_S 1000LL

typedef struct
{
    bool_t started;
    const char* action; // "download" or "activation"
    uint8_t mode;
    bool_t activate;
    char device[AUDIT_FIELD_LENGTH];
    char vendor[AUDIT_FIELD_LENGTH];
    char product[AUDIT_FIELD_LENGTH];
    char revision[AUDIT_FIELD_LENGTH];
    char serial[AUDIT_FIELD_LENGTH];
    char image[AUDIT_FIELD_LENGTH];
    uint32_t imageLength;
    int imageFd; // the digest's own descriptor of the image
    char sha256[DIGEST_TEXT_LENGTH];
    bool_t digestRunning;
    pthread_t digestThread;
    bool_t activationStatusKnown;
    uint8_t activationStatus;
    struct timespec startTime;
} AuditState_t;

static AuditState_t g_audit;
static uint8_t g_digestBuffer[DIGEST_READ_LENGTH];
// Set when a run fails before the digest is done: a failed run must not wait for a digest of an
// image it did not download (4 GiB take seconds).
static std::atomic<bool> g_digestAbandoned(false);

// TEXT as a quoted value of a record, whatever bytes it holds.
static void QuoteField(char* out, size_t outSize, const char* text, size_t length)
{
    size_t used = 0;
    out[used++] = '"';
    for (size_t i = 0; i < length && used + ESCAPED_BYTE_LENGTH + 2 < outSize; i++)
    {
        unsigned char c = (unsigned char)text[i];
        if (c == '"' || c == '\\')
        {
            out[used++] = '\\';
            out[used++] = (char)c;
        }
        else if (c < 0x20 || c >= 0x7F)
        {
            used += (size_t)snprintf(out + used, outSize - used, "\\x%02x", c);
        }
        else
        {
            out[used++] = (char)c;
        }
    }
    out[used++] = '"';
    out[used] = '\0';
}

// An INQUIRY or VPD field without its padding blanks, quoted.
static void QuoteDeviceField(char* out, size_t outSize, const uint8_t* data, size_t length)
{
    while (length > 0 && (data[length - 1] == ' ' || data[length - 1] == '\0'))
    {
        length--;
    }
    while (length > 0 && data[0] == ' ')
    {
        data++;
        length--;
    }
    QuoteField(out, outSize, (const char*)data, length);
}

void FwpushAudit_NoteIdentity(const uint8_t* inquiryData, uint32_t length)
{
    if (length < INQUIRY_IDENTITY_END)
    {
        return;
    }
    QuoteDeviceField(g_audit.vendor, sizeof(g_audit.vendor), inquiryData + SCSI_INQUIRY_VENDOR_OFFSET,
                     SCSI_INQUIRY_VENDOR_LENGTH);
    QuoteDeviceField(g_audit.product, sizeof(g_audit.product), inquiryData + SCSI_INQUIRY_PRODUCT_OFFSET,
                     SCSI_INQUIRY_PRODUCT_LENGTH);
    QuoteDeviceField(g_audit.revision, sizeof(g_audit.revision), inquiryData + SCSI_INQUIRY_REVISION_OFFSET,
                     SCSI_INQUIRY_REVISION_LENGTH);
}

// The serial number from the kernel's copy of the unit serial number page of the node's device:
// reading it sends no command to the enclosure.
static void ReadSerialNumber(const char* device)
{
    snprintf(g_audit.serial, sizeof(g_audit.serial), "unknown");
    struct stat st;
    if (stat(device, &st) != 0 || !S_ISCHR(st.st_mode))
    {
        return;
    }
    char path[SERIAL_PAGE_PATH_LENGTH];
    snprintf(path, sizeof(path), SERIAL_PAGE_PATH_FORMAT, major(st.st_rdev), minor(st.st_rdev));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        return;
    }
    uint8_t page[VPD_PAGE_MAX_LENGTH];
    ssize_t got = read(fd, page, sizeof(page));
    close(fd);
    if (got < VPD_HEADER_LENGTH || page[VPD_PAGE_CODE] != VPD_UNIT_SERIAL_NUMBER)
    {
        return;
    }
    size_t length = DA_GetField_BE16(page, VPD_PAGE_LENGTH);
    if (length > (size_t)got - VPD_HEADER_LENGTH)
    {
        length = (size_t)got - VPD_HEADER_LENGTH;
    }
    QuoteDeviceField(g_audit.serial, sizeof(g_audit.serial), page + VPD_HEADER_LENGTH, length);
}

static void WriteStartRecord()
{
    if (g_audit.mode == DOWNLOAD_MODE_ACTIVATE_DEFERRED)
    {
        syslog(LOG_NOTICE, "%s start: device=%s vendor=%s product=%s serial=%s revision=%s mode=0x%02x", g_audit.action,
               g_audit.device, g_audit.vendor, g_audit.product, g_audit.serial, g_audit.revision, g_audit.mode);
        return;
    }
    syslog(LOG_NOTICE,
           "%s start: device=%s vendor=%s product=%s serial=%s revision=%s image=%s size=%u sha256=%s mode=0x%02x "
           "activate=%s",
           g_audit.action, g_audit.device, g_audit.vendor, g_audit.product, g_audit.serial, g_audit.revision,
           g_audit.image, g_audit.imageLength, g_audit.sha256, g_audit.mode, g_audit.activate ? "yes" : "no");
}

// The digest of the image's first imageLength bytes, the ones the download sends, read through
// a descriptor of its own so that the download's position in the file never moves.
static void ComputeDigest()
{
    SHA256_CTX context;
    SHA256_Init(&context);
    uint64_t offset = 0;
    bool_t complete = TRUE;
    while (offset < g_audit.imageLength)
    {
        if (g_digestAbandoned.load(std::memory_order_relaxed))
        {
            complete = FALSE;
            break;
        }
        uint64_t wanted = g_audit.imageLength - offset;
        ssize_t got = pread(g_audit.imageFd, g_digestBuffer,
                            wanted < sizeof(g_digestBuffer) ? (size_t)wanted : sizeof(g_digestBuffer), (off_t)offset);
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            complete = FALSE;
            break;
        }
        SHA256_Update(&context, g_digestBuffer, (size_t)got);
        offset += (uint64_t)got;
    }
    uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256_Final(digest, &context);
    close(g_audit.imageFd);
    g_audit.imageFd = -1;
    if (!complete)
    {
        snprintf(g_audit.sha256, sizeof(g_audit.sha256), "unavailable");
        return;
    }
    for (size_t i = 0; i < sizeof(digest); i++)
    {
        snprintf(g_audit.sha256 + 2 * i, sizeof(g_audit.sha256) - 2 * i, "%02x", digest[i]);
    }
}

static void* DigestAndRecordStart(void* context)
{
    (void)context;
    ComputeDigest();
    WriteStartRecord();
    return NULL;
}

void FwpushAudit_Start(const char* device, uint8_t mode, bool_t activate, const char* image, FILE* imageFile,
                       uint32_t imageLength)
{
    openlog("fwpush", LOG_PID, LOG_USER);
    clock_gettime(CLOCK_MONOTONIC, &g_audit.startTime);
    g_audit.started = TRUE;
    g_audit.mode = mode;
    g_audit.activate = activate;
    g_audit.action = mode == DOWNLOAD_MODE_ACTIVATE_DEFERRED ? "activation" : "download";
    g_audit.imageLength = imageLength;
    QuoteField(g_audit.device, sizeof(g_audit.device), device, strlen(device));
    if (g_audit.vendor[0] == '\0')
    {
        snprintf(g_audit.vendor, sizeof(g_audit.vendor), "\"\"");
        snprintf(g_audit.product, sizeof(g_audit.product), "\"\"");
        snprintf(g_audit.revision, sizeof(g_audit.revision), "\"\"");
    }
    ReadSerialNumber(device);
    if (imageFile == NULL)
    {
        WriteStartRecord();
        return;
    }
    // Where the image was, whatever the directory the operator ran fwpush from.
    char absolute[PATH_MAX];
    const char* imagePath = realpath(image, absolute) != NULL ? absolute : image;
    QuoteField(g_audit.image, sizeof(g_audit.image), imagePath, strlen(imagePath));
    g_audit.imageFd = fcntl(fileno(imageFile), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (g_audit.imageFd < 0)
    {
        snprintf(g_audit.sha256, sizeof(g_audit.sha256), "unavailable");
        WriteStartRecord();
        return;
    }
    // Signals stay with the main thread, whose handling of them is the program's. The thread is
    // started directly rather than through the OS wrapper, which reports a failure on standard
    // error: the audit never writes there. Without a thread the digest is made here.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    g_audit.digestRunning = pthread_create(&g_audit.digestThread, NULL, DigestAndRecordStart, NULL) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, NULL);
    if (!g_audit.digestRunning)
    {
        DigestAndRecordStart(NULL);
    }
}

void FwpushAudit_NoteActivationStatus(uint8_t downloadStatus)
{
    g_audit.activationStatusKnown = TRUE;
    g_audit.activationStatus = downloadStatus;
}

void FwpushAudit_End(int exitStatus, uint8_t downloadStatus, bool_t interrupted)
{
    if (!g_audit.started)
    {
        return;
    }
    g_audit.started = FALSE;
    if (g_audit.digestRunning)
    {
        g_digestAbandoned.store(exitStatus != 0, std::memory_order_relaxed);
        pthread_join(g_audit.digestThread, NULL);
        g_audit.digestRunning = FALSE;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long durationMs = (now.tv_sec - g_audit.startTime.tv_sec) * MS_PER_S +
                           (now.tv_nsec - g_audit.startTime.tv_nsec) / NS_PER_MS;
    const char* outcome = exitStatus == 0 ? "success" : interrupted ? "interrupted" : "failure";
    syslog(exitStatus == 0 ? LOG_NOTICE : LOG_ERR,
           "%s end: device=%s outcome=%s status=0x%02x exit=%d duration_ms=%lld", g_audit.action, g_audit.device,
           outcome, g_audit.activationStatusKnown ? g_audit.activationStatus : downloadStatus, exitStatus, durationMs);
}
