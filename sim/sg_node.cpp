#include "sg_node.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sesim_session.h"

// The library is built without sanitizers: it runs inside sanitized and plain programs alike.
// It takes no lock of the caller's and allocates nothing per command; a command's buffers are
// static and guarded by one mutex.

namespace
{

// What glibc's <scsi/sg.h> leaves out of the kernel's interface.
constexpr int kSgDxferUnknown = -5;
constexpr unsigned kSgFlagMmapIo = 4;
constexpr int kSgVersion = 30536; // the sg driver of Linux 6.x reports 3.5.36
constexpr int kScsiGenericMajor = 21;
constexpr int kMinorBase = 32000; // far above any real sg node
constexpr unsigned long kSgNextCmdLen = 0x2283;
constexpr unsigned long kSgSetDebug = 0x227e;
constexpr unsigned long kSgGetAccessCount = 0x2289;
constexpr unsigned long kScsiIoctlGetIdlun = 0x5382;
constexpr unsigned long kScsiIoctlGetBusNumber = 0x5386;
constexpr unsigned long kBlkSectGet = 0x1267;
constexpr size_t kMaxCdbFromUser = 252; // SG_MAX_CDB_SIZE: longer is EMSGSIZE
constexpr size_t kMaxCdbToDevice = 32;  // the midlayer's CDB: longer is EINVAL
constexpr unsigned kMaxTransfer = 256u * 1024 * 1024; // a transfer of 256 MiB or more is EINVAL
constexpr int kUioMaxIov = 1024;
constexpr unsigned char kDriverSense = 0x08;
constexpr int kDefaultTimeoutTicks = 60 * 100; // 60 s in USER_HZ
constexpr int kDefaultReservedSize = 32768;
constexpr int kMaxReservedSize = 1048576;
constexpr int kSgTableSize = 128;
constexpr int64_t kNsPerMs = 1000000;
constexpr int kMaxSectorsBytes = 1280 * 512;
constexpr int kHostNumber = 200;
constexpr size_t kDataCapacity = 1 << 20; // bytes of a transfer that reach the device
constexpr int kMaxSimFds = 64;

struct SimFd
{
    int fd; // -1: free
    int node;
    int timeoutTicks;
    int reservedSize;
    int commandQueue;
    int keepOrphan;
};

pthread_mutex_t g_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
SimFd g_fds[kMaxSimFds];
std::atomic<int> g_simFdCount{0};
bool g_processVmWorks = true;
pid_t g_pid = 0; // cached: process_vm_* need it on every command; updated in a forked child
alignas(16) uint8_t g_dataOut[kDataCapacity];
alignas(16) uint8_t g_dataIn[kDataCapacity];
struct iovec g_iovecs[kUioMaxIov];

class Guard
{
  public:
    Guard() { pthread_mutex_lock(&g_mutex); }
    ~Guard() { pthread_mutex_unlock(&g_mutex); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
};

template <typename F>
F Next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void ForgetAllFds()
{
    for (SimFd& f : g_fds)
    {
        f.fd = -1;
    }
    g_pid = getpid();
    pthread_atfork(nullptr, nullptr, [] { g_pid = getpid(); });
}

// Out of line, because glibc declares the path arguments non-null and callers may still pass null.
__attribute__((noinline)) int NodeForPath(const char* path)
{
    return path != nullptr ? sgnode::FindNode(path) : -1;
}

__attribute__((noinline)) bool IsAbsolutePath(const char* path)
{
    return path != nullptr && path[0] == '/';
}

__attribute__((noinline)) bool IsEmptyPath(const char* path)
{
    return path != nullptr && path[0] == '\0';
}

SimFd* FindFd(int fd)
{
    if (g_simFdCount.load(std::memory_order_acquire) == 0 || fd < 0)
    {
        return nullptr;
    }
    for (SimFd& f : g_fds)
    {
        if (f.fd == fd)
        {
            return &f;
        }
    }
    return nullptr;
}

// Moves pieces between our memory and the caller's through process_vm_readv/writev, in one
// system call and in order, so that a bad pointer gives EFAULT as it would from the kernel
// instead of a crash in here; true only when every byte moved.
bool TransferWithCaller(bool toCaller, struct iovec* local, struct iovec* remote, int count)
{
    size_t total = 0;
    for (int i = 0; i < count; i++)
    {
        if (remote[i].iov_len > 0 && remote[i].iov_base == nullptr)
        {
            return false;
        }
        total += remote[i].iov_len;
    }
    if (total == 0)
    {
        return true;
    }
    if (g_processVmWorks)
    {
        long n = syscall(toCaller ? SYS_process_vm_writev : SYS_process_vm_readv, (long)g_pid, local,
                         (unsigned long)count, remote, (unsigned long)count, 0UL);
        if (n == (long)total)
        {
            return true;
        }
        if (!(n < 0 && (errno == ENOSYS || errno == EPERM)))
        {
            return false;
        }
        g_processVmWorks = false;
    }
    for (int i = 0; i < count; i++)
    {
        if (remote[i].iov_len > 0)
        {
            memcpy(toCaller ? remote[i].iov_base : local[i].iov_base,
                   toCaller ? local[i].iov_base : remote[i].iov_base, remote[i].iov_len);
        }
    }
    return true;
}

bool CopyFromCaller(void* to, const void* from, size_t length)
{
    struct iovec local = {to, length};
    struct iovec remote = {const_cast<void*>(from), length};
    return TransferWithCaller(false, &local, &remote, 1);
}

bool CopyToCaller(void* to, const void* from, size_t length)
{
    struct iovec local = {const_cast<void*>(from), length};
    struct iovec remote = {to, length};
    return TransferWithCaller(true, &local, &remote, 1);
}

// Checks that the caller's range is readable, without keeping the bytes.
bool ProbeCaller(const uint8_t* from, size_t length)
{
    static uint8_t sink[65536];
    while (length > 0)
    {
        size_t n = length < sizeof(sink) ? length : sizeof(sink);
        if (!CopyFromCaller(sink, from, n))
        {
            return false;
        }
        from += n;
        length -= n;
    }
    return true;
}

// Opens node `node` as the driver would: the caller needs read and write access to the node's
// file, then the device must be there.
int OpenNode(int node, int flags)
{
    Guard guard;
    // The sg driver refuses an exclusive open for reading only.
    if ((flags & O_EXCL) && (flags & O_ACCMODE) == O_RDONLY)
    {
        errno = EPERM;
        return -1;
    }
    SimFd* slot = nullptr;
    for (SimFd& f : g_fds)
    {
        if (f.fd < 0)
        {
            slot = &f;
            break;
        }
    }
    if (slot == nullptr)
    {
        errno = EMFILE;
        return -1;
    }
    static auto realOpen = Next<int (*)(const char*, int, ...)>("open");
    if (realOpen == nullptr)
    {
        errno = ENOSYS;
        return -1;
    }
    sgnode::Device* device = sgnode::NodeDevice(node);
    int fd = realOpen(device->NodeFile(), O_RDWR | O_CREAT | (flags & (O_CLOEXEC | O_NONBLOCK)), 0660);
    if (fd < 0)
    {
        return -1;
    }
    int error = device->Attach();
    if (error != 0)
    {
        static auto realClose = Next<int (*)(int)>("close");
        realClose(fd);
        errno = error;
        return -1;
    }
    slot->fd = fd;
    slot->node = node;
    slot->timeoutTicks = kDefaultTimeoutTicks;
    slot->reservedSize = kDefaultReservedSize;
    slot->commandQueue = 0;
    slot->keepOrphan = 0;
    g_simFdCount.fetch_add(1, std::memory_order_release);
    return fd;
}

void ForgetFd(int fd)
{
    Guard guard;
    SimFd* f = FindFd(fd);
    if (f != nullptr)
    {
        f->fd = -1;
        g_simFdCount.fetch_sub(1, std::memory_order_release);
    }
}

// SG_SCSI_RESET's targets as the enclosure sees them: a device reset is a logical unit reset; a
// bus or host reset reaches the device as a hard reset.
sesim::ResetKind ResetKindOf(int value)
{
    switch (value)
    {
    case SG_SCSI_RESET_DEVICE:
        return sesim::ResetKind::LogicalUnit;
    case SG_SCSI_RESET_HOST + 1: // SG_SCSI_RESET_TARGET
        return sesim::ResetKind::Target;
    default:
        return sesim::ResetKind::Hard;
    }
}

// sg_is_valid_dxfer() of the driver.
bool ValidTransfer(const sg_io_hdr_t& h)
{
    switch (h.dxfer_direction)
    {
    case SG_DXFER_NONE:
        return h.dxferp == nullptr && h.dxfer_len == 0;
    case SG_DXFER_FROM_DEV:
        return true;
    case SG_DXFER_TO_DEV:
    case SG_DXFER_TO_FROM_DEV:
        return h.dxferp != nullptr && h.dxfer_len != 0;
    case kSgDxferUnknown:
        return !((h.dxferp == nullptr && h.dxfer_len != 0) || (h.dxferp != nullptr && h.dxfer_len == 0));
    default:
        return false;
    }
}

// The data buffer as a list of segments: the caller's iovec array, or dxferp itself.
int Segments(const sg_io_hdr_t& h, int* error)
{
    if (h.iovec_count == 0)
    {
        g_iovecs[0].iov_base = h.dxferp;
        g_iovecs[0].iov_len = h.dxfer_len;
        return 1;
    }
    if (h.iovec_count > kUioMaxIov)
    {
        *error = EINVAL;
        return -1;
    }
    if (!CopyFromCaller(g_iovecs, h.dxferp, sizeof(struct iovec) * h.iovec_count))
    {
        *error = EFAULT;
        return -1;
    }
    // The driver truncates the list to dxfer_len; a list that then holds nothing is refused.
    size_t left = h.dxfer_len;
    for (int i = 0; i < h.iovec_count; i++)
    {
        g_iovecs[i].iov_len = g_iovecs[i].iov_len < left ? g_iovecs[i].iov_len : left;
        left -= g_iovecs[i].iov_len;
    }
    if (left == h.dxfer_len)
    {
        *error = EINVAL;
        return -1;
    }
    return h.iovec_count;
}

// Gathers data-out into g_dataOut (at most kDataCapacity bytes are kept; the rest is only
// checked to be readable). Returns the byte count, or -1 with EFAULT.
long GatherDataOut(int segments)
{
    size_t total = 0;
    for (int i = 0; i < segments; i++)
    {
        const uint8_t* base = static_cast<const uint8_t*>(g_iovecs[i].iov_base);
        size_t length = g_iovecs[i].iov_len;
        size_t keep = total < kDataCapacity ? kDataCapacity - total : 0;
        keep = keep < length ? keep : length;
        if (!CopyFromCaller(g_dataOut + total, base, keep) || !ProbeCaller(base + keep, length - keep))
        {
            return -1;
        }
        total += length;
    }
    return (long)total;
}

bool ScatterDataIn(int segments, size_t length)
{
    size_t done = 0;
    for (int i = 0; i < segments && done < length; i++)
    {
        size_t n = g_iovecs[i].iov_len < length - done ? g_iovecs[i].iov_len : length - done;
        if (!CopyToCaller(g_iovecs[i].iov_base, g_dataIn + done, n))
        {
            return false;
        }
        done += n;
    }
    return true;
}

// One SG_IO request: the results go into the caller's header at `arg`.
int SgIoOnce(SimFd& f, void* arg, int64_t arrivalNs)
{
    sg_io_hdr_t h;
    if (!CopyFromCaller(&h, arg, sizeof(h)))
    {
        return -EFAULT;
    }
    if (h.interface_id != 'S')
    {
        return -ENOSYS;
    }
    if (h.flags & kSgFlagMmapIo)
    {
        if (h.dxfer_len > (unsigned)f.reservedSize)
        {
            return -ENOMEM;
        }
        if (h.flags & SG_FLAG_DIRECT_IO)
        {
            return -EINVAL;
        }
        return -EINVAL; // the reserved buffer is not mapped: memory-mapped transfers are not modelled
    }
    if (h.cmdp == nullptr || h.cmd_len < 6 || h.cmd_len > kMaxCdbFromUser)
    {
        return -EMSGSIZE;
    }
    bool invalid = !ValidTransfer(h) || h.dxfer_len >= kMaxTransfer || h.cmd_len > kMaxCdbToDevice;
    bool hasData = h.dxfer_len > 0 && h.dxfer_direction != SG_DXFER_NONE;
    bool toDevice = h.dxfer_direction == SG_DXFER_TO_DEV;
    // The common case, a data-out buffer in one piece, comes in with the CDB in one call; the
    // driver's order of errors is kept: CDB EFAULT, then EINVAL, then data EFAULT.
    bool simpleOut = !invalid && hasData && toDevice && h.iovec_count == 0 && h.dxfer_len <= kDataCapacity;
    uint8_t cdb[kMaxCdbFromUser];
    struct iovec local[3] = {{cdb, h.cmd_len}, {g_dataOut, simpleOut ? h.dxfer_len : 0}, {}};
    struct iovec remote[3] = {{h.cmdp, h.cmd_len}, {h.dxferp, simpleOut ? h.dxfer_len : 0}, {}};
    bool dataOk = TransferWithCaller(false, local, remote, simpleOut ? 2 : 1);
    if (!dataOk && (!simpleOut || !CopyFromCaller(cdb, h.cmdp, h.cmd_len)))
    {
        return -EFAULT;
    }
    if (invalid)
    {
        return -EINVAL;
    }
    if (!dataOk)
    {
        return -EFAULT;
    }
    int segments = 0;
    long dataOutLength = simpleOut ? (long)h.dxfer_len : 0;
    if (hasData && !simpleOut)
    {
        int error = 0;
        segments = Segments(h, &error);
        if (segments < 0)
        {
            return -error;
        }
        // Data-out, and for TO_FROM_DEV the caller's buffer, go in before the command.
        if (toDevice || h.dxfer_direction == SG_DXFER_TO_FROM_DEV)
        {
            dataOutLength = GatherDataOut(segments);
            if (dataOutLength < 0)
            {
                return -EFAULT;
            }
        }
    }
    size_t dataInRoom = (hasData && !toDevice) ? (h.dxfer_len < kDataCapacity ? h.dxfer_len : kDataCapacity) : 0;
    sesim::Command command{cdb,
                           h.cmd_len,
                           g_dataOut,
                           toDevice ? (size_t)dataOutLength : 0,
                           g_dataIn,
                           dataInRoom};
    static sesim::Result result;
    sgnode::Device& device = *sgnode::NodeDevice(f.node);
    device.Execute(command, &result, arrivalNs);
    if (result.outcome == sesim::Outcome::TransportError)
    {
        return -result.errnoValue;
    }
    h.status = result.status;
    h.masked_status = (unsigned char)((result.status >> 1) & 0x7F);
    h.msg_status = 0;
    h.sb_len_wr = 0;
    h.host_status = result.outcome == sesim::Outcome::HostError ? result.hostStatus : 0;
    h.driver_status = 0;
    h.info = SG_INFO_OK;
    size_t transferred = 0;
    if (result.outcome == sesim::Outcome::Completed)
    {
        transferred = toDevice ? result.dataOutUsed : result.dataInLength;
    }
    h.resid = (int)(h.dxfer_len - (unsigned)transferred);
    // The latency still to be waited out is part of the command's time.
    h.duration = (unsigned)((std::max(sesim::MonotonicNs(), device.DeadlineNs()) - arrivalNs) / kNsPerMs);
    // As sg_new_read(): sense goes back after a CHECK CONDITION or when there is some, cut to
    // mx_sb_len and to the length its own additional length field gives; then the header; then
    // the data-in bytes.
    uint8_t sense[sesim::kSenseCapacity] = {};
    memcpy(sense, result.sense, result.senseLength);
    size_t senseLength = 0;
    if (h.mx_sb_len > 0 && h.sbp != nullptr && ((h.masked_status & 0x01) || (sense[0] & 0x70) == 0x70))
    {
        size_t room = h.mx_sb_len < sizeof(sense) ? h.mx_sb_len : sizeof(sense);
        senseLength = 8 + (size_t)sense[7];
        senseLength = senseLength < room ? senseLength : room;
        h.driver_status = kDriverSense;
        h.sb_len_wr = (unsigned char)senseLength;
    }
    if (h.masked_status != 0 || h.host_status != 0 || h.driver_status != 0)
    {
        h.info |= SG_INFO_CHECK;
    }
    bool dataIn = hasData && !toDevice && result.dataInLength > 0;
    bool simpleIn = dataIn && h.iovec_count == 0;
    local[0] = {sense, senseLength};
    remote[0] = {h.sbp, senseLength};
    local[1] = {&h, sizeof(h)};
    remote[1] = {arg, sizeof(h)};
    local[2] = {g_dataIn, simpleIn ? result.dataInLength : 0};
    remote[2] = {h.dxferp, simpleIn ? result.dataInLength : 0};
    if (!TransferWithCaller(true, local, remote, 3))
    {
        return -EFAULT;
    }
    if (dataIn && !simpleIn && !ScatterDataIn(segments, result.dataInLength))
    {
        return -EFAULT;
    }
    return 0;
}

// The enclosure's latency covers the whole request, copies included, as the caller sees it.
int SgIo(SimFd& f, void* arg)
{
    int64_t arrivalNs = sesim::MonotonicNs();
    int result = SgIoOnce(f, arg, arrivalNs);
    sgnode::NodeDevice(f.node)->Pace();
    return result;
}

bool PutInt(void* arg, int value)
{
    return CopyToCaller(arg, &value, sizeof(value));
}

bool GetInt(void* arg, int* value)
{
    return CopyFromCaller(value, arg, sizeof(*value));
}

// The sg driver's answer to ioctl `request` on a simulated node; -errno on failure.
int SimIoctl(SimFd& f, unsigned long request, void* arg)
{
    int value = 0;
    switch (request)
    {
    case SG_IO:
        return SgIo(f, arg);
    case SG_GET_VERSION_NUM:
        return PutInt(arg, kSgVersion) ? 0 : -EFAULT;
    case SG_SET_TIMEOUT:
        if (!GetInt(arg, &value))
            return -EFAULT;
        if (value < 0)
            return -EIO;
        f.timeoutTicks = value;
        return 0;
    case SG_GET_TIMEOUT:
        return f.timeoutTicks; // the driver returns it as the ioctl's value
    case SG_EMULATED_HOST:
    case SG_GET_LOW_DMA:
        return PutInt(arg, 0) ? 0 : -EFAULT;
    case SG_GET_RESERVED_SIZE:
        return PutInt(arg, f.reservedSize) ? 0 : -EFAULT;
    case SG_SET_RESERVED_SIZE:
        if (!GetInt(arg, &value))
            return -EFAULT;
        if (value < 0)
            return -EINVAL;
        f.reservedSize = value < kMaxReservedSize ? value : kMaxReservedSize;
        return 0;
    case SG_GET_SCSI_ID: {
        sg_scsi_id id{};
        id.host_no = kHostNumber + f.node;
        id.scsi_type = sgnode::NodeDevice(f.node)->DeviceType();
        id.h_cmd_per_lun = 1;
        id.d_queue_depth = 1;
        return CopyToCaller(arg, &id, sizeof(id)) ? 0 : -EFAULT;
    }
    case SG_GET_SG_TABLESIZE:
        return PutInt(arg, kSgTableSize) ? 0 : -EFAULT;
    case SG_GET_COMMAND_Q:
        return PutInt(arg, f.commandQueue) ? 0 : -EFAULT;
    case SG_SET_COMMAND_Q:
        if (!GetInt(arg, &value))
            return -EFAULT;
        f.commandQueue = value != 0;
        return 0;
    case SG_GET_KEEP_ORPHAN:
        return PutInt(arg, f.keepOrphan) ? 0 : -EFAULT;
    case SG_SET_KEEP_ORPHAN:
        if (!GetInt(arg, &value))
            return -EFAULT;
        f.keepOrphan = value;
        return 0;
    case SG_GET_PACK_ID:
        return PutInt(arg, -1) ? 0 : -EFAULT;
    case SG_GET_NUM_WAITING:
        return PutInt(arg, 0) ? 0 : -EFAULT;
    case SG_SET_FORCE_LOW_DMA:
    case kSgSetDebug:
        return GetInt(arg, &value) ? 0 : -EFAULT;
    case kSgNextCmdLen:
        if (!GetInt(arg, &value))
            return -EFAULT;
        return value > (int)kMaxCdbFromUser ? -ENOMEM : 0;
    case kSgGetAccessCount:
        return PutInt(arg, 1) ? 0 : -EFAULT;
    case SG_GET_REQUEST_TABLE: {
        sg_req_info_t table[SG_MAX_QUEUE];
        memset(table, 0, sizeof(table));
        return CopyToCaller(arg, table, sizeof(table)) ? 0 : -EFAULT;
    }
    case SG_SCSI_RESET:
        if (!GetInt(arg, &value))
            return -EFAULT;
        if (value == SG_SCSI_RESET_NOTHING)
            return 0;
        if (value < SG_SCSI_RESET_NOTHING || value > SG_SCSI_RESET_HOST + 1)
            return -EINVAL;
        return sgnode::NodeDevice(f.node)->Reset(ResetKindOf(value)) ? 0 : -EIO;
    case kScsiIoctlGetIdlun: {
        int idlun[2] = {(kHostNumber + f.node) << 24, kHostNumber + f.node};
        return CopyToCaller(arg, idlun, sizeof(idlun)) ? 0 : -EFAULT;
    }
    case kScsiIoctlGetBusNumber:
        return PutInt(arg, kHostNumber + f.node) ? 0 : -EFAULT;
    case kBlkSectGet:
        return PutInt(arg, kMaxSectorsBytes) ? 0 : -EFAULT;
    default:
        return -ENOTTY;
    }
}

void FillStat(int index, struct stat* st)
{
    memset(st, 0, sizeof(*st));
    st->st_dev = makedev(0, 5);
    st->st_ino = 0x5E51u + (ino_t)index;
    st->st_mode = S_IFCHR | 0660;
    st->st_nlink = 1;
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_rdev = makedev(kScsiGenericMajor, kMinorBase + index);
    st->st_blksize = 4096;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    st->st_atim = st->st_mtim = st->st_ctim = now;
}

void FillStatx(int index, struct statx* sx)
{
    struct stat st;
    FillStat(index, &st);
    memset(sx, 0, sizeof(*sx));
    sx->stx_mask = STATX_BASIC_STATS;
    sx->stx_blksize = (uint32_t)st.st_blksize;
    sx->stx_nlink = (uint32_t)st.st_nlink;
    sx->stx_uid = st.st_uid;
    sx->stx_gid = st.st_gid;
    sx->stx_mode = (uint16_t)st.st_mode;
    sx->stx_ino = st.st_ino;
    sx->stx_rdev_major = kScsiGenericMajor;
    sx->stx_rdev_minor = (uint32_t)(kMinorBase + index);
    sx->stx_dev_major = 0;
    sx->stx_dev_minor = 5;
    sx->stx_atime.tv_sec = sx->stx_mtime.tv_sec = sx->stx_ctime.tv_sec = st.st_mtim.tv_sec;
}

// Describes attachment `index` as an sg node; false, with nothing written, for -1 (a path or
// descriptor that is not simulated).
bool StatSim(int index, void* st)
{
    if (index < 0)
    {
        return false;
    }
    FillStat(index, static_cast<struct stat*>(st));
    return true;
}

bool StatSim(int index, struct statx* sx)
{
    if (index < 0)
    {
        return false;
    }
    FillStatx(index, sx);
    return true;
}

int FdNode(int fd)
{
    SimFd* f = FindFd(fd);
    return f != nullptr ? f->node : -1;
}

// The node that an *at() call names: an absolute path, or with AT_EMPTY_PATH and an empty path
// the descriptor itself. A relative path never names a device node here.
int AtNode(int dirfd, const char* path, int flags)
{
    if ((flags & AT_EMPTY_PATH) && IsEmptyPath(path))
    {
        return FdNode(dirfd);
    }
    return IsAbsolutePath(path) ? NodeForPath(path) : -1;
}

// A duplicate of a simulated descriptor is the same node: it gets a copy of the original's slot.
void CopySimFd(int fd, int copy)
{
    Guard guard;
    SimFd* f = FindFd(fd);
    for (SimFd& slot : g_fds)
    {
        if (f != nullptr && slot.fd < 0)
        {
            slot = *f;
            slot.fd = copy;
            g_simFdCount.fetch_add(1, std::memory_order_release);
            break;
        }
    }
}

int SimIoctlLocked(int fd, unsigned long request, void* arg)
{
    Guard guard;
    SimFd* f = FindFd(fd);
    if (f == nullptr)
    {
        return -EBADF;
    }
    return SimIoctl(*f, request, arg);
}

} // namespace

// The next definition of NAME (the C library's) with the type of this one; a missing one fails
// with ENOSYS.
#define REAL_AS(type, name)                                                                                          \
    static auto real = Next<type>(name);                                                                             \
    if (real == nullptr)                                                                                             \
    {                                                                                                                \
        errno = ENOSYS;                                                                                              \
        return -1;                                                                                                   \
    }

// The interposed functions, one line each. An entry names the function, its parameters, how it
// finds the node (-1: not ours), what it does for a node, and its arguments for the C library's
// own definition. The open family takes `mode` only with O_CREAT or O_TMPFILE.
// NOLINTBEGIN(bugprone-macro-parentheses): parameter and argument lists are substituted whole
#define OPEN_MODE                                                                                                    \
    va_list args;                                                                                                    \
    va_start(args, flags);                                                                                           \
    int mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, int) : 0;                        \
    va_end(args);
#define INTERPOSE(ret, name, params, find, forNode, prologue, args)                                                  \
    ret name params                                                                                                  \
    {                                                                                                                \
        int node = (find);                                                                                           \
        if (node >= 0)                                                                                               \
        {                                                                                                            \
            forNode;                                                                                                 \
        }                                                                                                            \
        prologue REAL_AS(ret(*) params, #name);                                                                      \
        return real args;                                                                                            \
    }
#define NO_PROLOGUE
#define OPEN_NODE return OpenNode(node, flags)
// A path that the linking library answers itself, rather than the C library.
#define OPEN_OTHER                                                                                                   \
    if (int other = sgnode::OpenOther(path, flags); other != sgnode::kPassThrough)                                   \
    {                                                                                                                \
        return other;                                                                                                \
    }
#define STAT_NODE                                                                                                    \
    StatSim(node, st);                                                                                               \
    return 0

extern "C" {

// The analyzer loses OPEN_MODE's va_start when the macro arrives as another macro's argument.
// NOLINTBEGIN(clang-analyzer-valist.Uninitialized)
INTERPOSE(int, open, (const char* path, int flags, ...), NodeForPath(path), OPEN_NODE, OPEN_MODE OPEN_OTHER,
          (path, flags, mode))
INTERPOSE(int, open64, (const char* path, int flags, ...), NodeForPath(path), OPEN_NODE, OPEN_MODE OPEN_OTHER,
          (path, flags, mode))
INTERPOSE(int, openat, (int dirfd, const char* path, int flags, ...), AtNode(dirfd, path, 0), OPEN_NODE,
          OPEN_MODE OPEN_OTHER, (dirfd, path, flags, mode))
INTERPOSE(int, openat64, (int dirfd, const char* path, int flags, ...), AtNode(dirfd, path, 0), OPEN_NODE,
          OPEN_MODE OPEN_OTHER, (dirfd, path, flags, mode))
// NOLINTEND(clang-analyzer-valist.Uninitialized)
// The fortified forms that _FORTIFY_SOURCE turns open() calls into.
INTERPOSE(int, __open_2, (const char* path, int flags), NodeForPath(path), OPEN_NODE, OPEN_OTHER, (path, flags))
INTERPOSE(int, __open64_2, (const char* path, int flags), NodeForPath(path), OPEN_NODE, OPEN_OTHER, (path, flags))
INTERPOSE(int, __openat_2, (int dirfd, const char* path, int flags), AtNode(dirfd, path, 0), OPEN_NODE, OPEN_OTHER,
          (dirfd, path, flags))
INTERPOSE(int, __openat64_2, (int dirfd, const char* path, int flags), AtNode(dirfd, path, 0), OPEN_NODE,
          OPEN_OTHER, (dirfd, path, flags))
INTERPOSE(int, close, (int fd), FdNode(fd), ForgetFd(fd), NO_PROLOGUE, (fd))
INTERPOSE(int, fstat, (int fd, struct stat* st), FdNode(fd), STAT_NODE, NO_PROLOGUE, (fd, st))
INTERPOSE(int, fstat64, (int fd, struct stat64* st), FdNode(fd), STAT_NODE, NO_PROLOGUE, (fd, st))
INTERPOSE(int, stat, (const char* path, struct stat* st), NodeForPath(path), STAT_NODE, NO_PROLOGUE, (path, st))
INTERPOSE(int, stat64, (const char* path, struct stat64* st), NodeForPath(path), STAT_NODE, NO_PROLOGUE, (path, st))
INTERPOSE(int, lstat, (const char* path, struct stat* st), NodeForPath(path), STAT_NODE, NO_PROLOGUE, (path, st))
INTERPOSE(int, lstat64, (const char* path, struct stat64* st), NodeForPath(path), STAT_NODE, NO_PROLOGUE, (path, st))
INTERPOSE(int, fstatat, (int dirfd, const char* path, struct stat* st, int flags), AtNode(dirfd, path, flags),
          STAT_NODE, NO_PROLOGUE, (dirfd, path, st, flags))
INTERPOSE(int, fstatat64, (int dirfd, const char* path, struct stat64* st, int flags), AtNode(dirfd, path, flags),
          STAT_NODE, NO_PROLOGUE, (dirfd, path, st, flags))
INTERPOSE(int, statx, (int dirfd, const char* path, int flags, unsigned int mask, struct statx* st),
          AtNode(dirfd, path, flags), STAT_NODE, NO_PROLOGUE, (dirfd, path, flags, mask, st))
// The node's file stands for the node: its directory's permissions decide.
INTERPOSE(int, access, (const char* path, int mode), NodeForPath(path), path = sgnode::NodeDevice(node)->NodeFile(),
          NO_PROLOGUE, (path, mode))

int ioctl(int fd, unsigned long request, ...) __THROW
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (FindFd(fd) != nullptr)
    {
        int r = SimIoctlLocked(fd, request, arg);
        if (r != -EBADF)
        {
            if (r < 0)
            {
                errno = -r;
                return -1;
            }
            return r;
        }
    }
    REAL_AS(int (*)(int, unsigned long, ...), "ioctl");
    return real(fd, request, arg);
}

int dup(int fd) __THROW
{
    REAL_AS(int (*)(int), "dup");
    int copy = real(fd);
    if (copy >= 0 && FindFd(fd) != nullptr)
    {
        CopySimFd(fd, copy);
    }
    return copy;
}

int dup2(int fd, int fd2) __THROW
{
    REAL_AS(int (*)(int, int), "dup2");
    if (fd != fd2 && FindFd(fd2) != nullptr)
    {
        ForgetFd(fd2);
    }
    int copy = real(fd, fd2);
    if (copy >= 0 && fd != fd2 && FindFd(fd) != nullptr)
    {
        CopySimFd(fd, copy);
    }
    return copy;
}

} // extern "C"
// NOLINTEND(bugprone-macro-parentheses)
