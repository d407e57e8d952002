// The rehearsal's view of the host's SCSI generic devices (see sesim_sysfs_view.h). Part of the
// preload library: it answers scandir() of the class directory itself and is asked by the
// attachment's open() and path lookups for the rest.
#include "sesim_sysfs_view.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sesim_config.h"
#include "sesim_scsi.h"
#include "sesim_store.h"

namespace
{

constexpr const char* kClassDir = "/sys/class/scsi_generic";
constexpr const char* kClassNodePrefix = "/sys/class/scsi_generic/sg";
constexpr const char* kNodePrefix = "/dev/sg";
constexpr const char* kBsgDir = "/dev/bsg";
constexpr const char* kSerialPageFile = "device/vpd_pg80";
constexpr size_t kVpdHeaderLength = 4;
constexpr uint8_t kPeripheralTypeMask = 0x1F;

int g_count = 0;
unsigned g_number[sesim::kMaxAttachedEnclosures]; // attachment k answers as sg<g_number[k]>
const char* g_paths[sesim::kMaxAttachedEnclosures];
const char* g_dirs[sesim::kMaxAttachedEnclosures];

// The number N of "PREFIX" followed by the decimal digits of N and nothing else (no sign, no
// leading zero: the names the kernel gives).
bool ParseNumbered(const char* text, const char* prefix, unsigned* number, const char** rest = nullptr)
{
    size_t prefixLength = strlen(prefix);
    if (strncmp(text, prefix, prefixLength) != 0)
    {
        return false;
    }
    const char* digits = text + prefixLength;
    if (*digits < '0' || *digits > '9' || (digits[0] == '0' && digits[1] >= '0' && digits[1] <= '9'))
    {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long value = strtoul(digits, &end, 10);
    if (errno != 0 || value > UINT32_MAX || (rest == nullptr && *end != '\0'))
    {
        return false;
    }
    *number = (unsigned)value;
    if (rest != nullptr)
    {
        *rest = end;
    }
    return true;
}

bool NumberTaken(unsigned number, int count)
{
    for (int k = 0; k < count; k++)
    {
        if (g_number[k] == number)
        {
            return true;
        }
    }
    return false;
}

int AttachmentNumbered(unsigned number)
{
    for (int k = 0; k < g_count; k++)
    {
        if (g_number[k] == number)
        {
            return k;
        }
    }
    return -1;
}

// Out of line, because glibc declares scandir's directory non-null and callers may still pass null.
__attribute__((noinline)) bool IsClassDir(const char* dir)
{
    size_t length = strlen(kClassDir);
    return dir != nullptr && strncmp(dir, kClassDir, length) == 0 &&
           (dir[length] == '\0' || strcmp(dir + length, "/") == 0);
}

// The attachment whose serial number page PATH names: /sys/class/scsi_generic/sgK/device/vpd_pg80
// or /sys/dev/char/MAJOR:MINOR/device/vpd_pg80 with the numbers the attachment's stat() reports.
int SerialPageAttachment(const char* path)
{
    unsigned number = 0;
    const char* rest = nullptr;
    if (ParseNumbered(path, kClassNodePrefix, &number, &rest))
    {
        return *rest == '/' && strcmp(rest + 1, kSerialPageFile) == 0 ? AttachmentNumbered(number) : -1;
    }
    unsigned major = 0, minor = 0;
    int consumed = 0;
    // NOLINTNEXTLINE(cert-err34-c): both numbers are compared with real device numbers only
    if (sscanf(path, "/sys/dev/char/%u:%u/%n", &major, &minor, &consumed) != 2 || consumed == 0 ||
        strcmp(path + consumed, kSerialPageFile) != 0)
    {
        return -1;
    }
    for (int k = 0; k < g_count; k++)
    {
        struct stat st;
        if (stat(g_paths[k], &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == major &&
            minor(st.st_rdev) == minor)
        {
            return k;
        }
    }
    return -1;
}

// The unit serial number VPD page as the kernel keeps it: the page's header and the serial number
// from the enclosure's settings, in a memory file of its own.
int OpenSerialPage(int k, int flags)
{
    if ((flags & O_ACCMODE) != O_RDONLY)
    {
        errno = EACCES;
        return -1;
    }
    std::string text, error;
    sesim::Config config;
    if (!sesim::ReadTextFile(std::string(g_dirs[k]) + "/config", &text) || !sesim::ParseConfig(text, &config, &error))
    {
        errno = EIO;
        return -1;
    }
    uint8_t page[kVpdHeaderLength + sesim::kSerialLength] = {};
    page[0] = config.deviceType & kPeripheralTypeMask;
    page[1] = sesim::kVpdUnitSerialNumber;
    page[3] = (uint8_t)sesim::kSerialLength;
    memcpy(page + kVpdHeaderLength, config.serial, sesim::kSerialLength);
    int fd = memfd_create("vpd_pg80", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
    if (fd < 0)
    {
        return -1;
    }
    if (write(fd, page, sizeof(page)) != (ssize_t)sizeof(page) || lseek(fd, 0, SEEK_SET) != 0)
    {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// The class directory as scandir(3) gives it: ".", "..", and one entry per attachment, each
// through the caller's filter, sorted with the caller's comparison when there is one.
int ScanView(struct dirent*** namelist, int (*filter)(const struct dirent*),
             int (*compar)(const struct dirent**, const struct dirent**))
{
    constexpr int kMaxEntries = sesim::kMaxAttachedEnclosures + 2;
    struct dirent** list = static_cast<struct dirent**>(calloc(kMaxEntries, sizeof(struct dirent*)));
    if (list == nullptr)
    {
        errno = ENOMEM;
        return -1;
    }
    int kept = 0;
    // Entries 0 and 1 are "." and "..", then one per attachment.
    for (int n = 0; n < g_count + 2; n++)
    {
        int i = n - 2;
        struct dirent* entry = static_cast<struct dirent*>(calloc(1, sizeof(struct dirent)));
        if (entry == nullptr)
        {
            for (int j = 0; j < kept; j++)
            {
                free(list[j]);
            }
            free(list);
            errno = ENOMEM;
            return -1;
        }
        entry->d_ino = (ino_t)n + 1;
        entry->d_reclen = sizeof(struct dirent);
        if (i < 0)
        {
            entry->d_type = DT_DIR;
            snprintf(entry->d_name, sizeof(entry->d_name), "%s", i == -2 ? "." : "..");
        }
        else
        {
            // The kernel's class entries are links to the devices.
            entry->d_type = DT_LNK;
            snprintf(entry->d_name, sizeof(entry->d_name), "sg%u", g_number[i]);
        }
        if (filter != nullptr && filter(entry) == 0)
        {
            free(entry);
            continue;
        }
        list[kept++] = entry;
    }
    if (compar != nullptr)
    {
        qsort(list, (size_t)kept, sizeof(struct dirent*), reinterpret_cast<int (*)(const void*, const void*)>(compar));
    }
    *namelist = list;
    return kept;
}

} // namespace

namespace sesim
{

void ViewSetAttachments(const char* const* paths, const char* const* dirs, int count)
{
    g_count = count < kMaxAttachedEnclosures ? count : kMaxAttachedEnclosures;
    bool numbered[kMaxAttachedEnclosures] = {};
    for (int k = 0; k < g_count; k++)
    {
        g_paths[k] = paths[k];
        g_dirs[k] = dirs[k];
        unsigned number = 0;
        numbered[k] = ParseNumbered(paths[k], kNodePrefix, &number) && !NumberTaken(number, k);
        g_number[k] = numbered[k] ? number : UINT32_MAX;
    }
    unsigned next = 0;
    for (int k = 0; k < g_count; k++)
    {
        if (!numbered[k])
        {
            while (NumberTaken(next, g_count))
            {
                next++;
            }
            g_number[k] = next;
        }
    }
}

int ViewNodeAttachment(const char* path)
{
    unsigned number = 0;
    if (g_count == 0 || path == nullptr || !ParseNumbered(path, kNodePrefix, &number))
    {
        return -1;
    }
    return AttachmentNumbered(number);
}

int ViewOpen(const char* path, int flags)
{
    if (g_count == 0 || path == nullptr || path[0] != '/')
    {
        return kViewPassThrough;
    }
    // Every open of the process comes here: most paths leave at the first comparison.
    if (strncmp(path, "/dev/", 5) == 0)
    {
        unsigned number = 0;
        size_t bsgLength = strlen(kBsgDir);
        if ((ParseNumbered(path, kNodePrefix, &number) && AttachmentNumbered(number) < 0) ||
            (strncmp(path, kBsgDir, bsgLength) == 0 && (path[bsgLength] == '\0' || path[bsgLength] == '/')))
        {
            errno = ENOENT;
            return -1;
        }
        return kViewPassThrough;
    }
    int k = strncmp(path, "/sys/", 5) == 0 ? SerialPageAttachment(path) : -1;
    return k >= 0 ? OpenSerialPage(k, flags) : kViewPassThrough;
}

} // namespace sesim

extern "C" {

int scandir(const char* dir, struct dirent*** namelist, int (*filter)(const struct dirent*),
            int (*compar)(const struct dirent**, const struct dirent**))
{
    if (g_count > 0 && IsClassDir(dir))
    {
        return ScanView(namelist, filter, compar);
    }
    static auto real = reinterpret_cast<decltype(&scandir)>(dlsym(RTLD_NEXT, "scandir"));
    if (real == nullptr)
    {
        errno = ENOSYS;
        return -1;
    }
    return real(dir, namelist, filter, compar);
}

// The same layout as struct dirent on the 64-bit platforms the attachment is built for.
int scandir64(const char* dir, struct dirent64*** namelist, int (*filter)(const struct dirent64*),
              int (*compar)(const struct dirent64**, const struct dirent64**))
{
    static_assert(sizeof(struct dirent) == sizeof(struct dirent64), "dirent and dirent64 differ");
    if (g_count > 0 && IsClassDir(dir))
    {
        return ScanView(reinterpret_cast<struct dirent***>(namelist),
                        reinterpret_cast<int (*)(const struct dirent*)>(filter),
                        reinterpret_cast<int (*)(const struct dirent**, const struct dirent**)>(compar));
    }
    static auto real = reinterpret_cast<decltype(&scandir64)>(dlsym(RTLD_NEXT, "scandir64"));
    if (real == nullptr)
    {
        errno = ENOSYS;
        return -1;
    }
    return real(dir, namelist, filter, compar);
}

} // extern "C"
