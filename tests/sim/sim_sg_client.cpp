// A small SG_IO client for the simulator's process tests, run under `sesim run`. It talks to the
// device the way any sg user does (open, ioctl, fstat, close) and prints what came back, one
// `key=value` item per line.
//   sim_sg_client probe DEV                  malformed sg_io_hdr records and the other ioctls
//   sim_sg_client cmd DEV CDBHEX [in N]
//   sim_sg_client loop DEV N                 N status page reads, with the time they took
#include <errno.h>
#include <limits.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "vocabulary.h"

namespace
{

const char* ErrnoName(int e)
{
    return e == 0 ? "ok" : strerrorname_np(e);
}

void* const kBadPointer = reinterpret_cast<void*>(8);

struct Request
{
    sg_io_hdr_t h;
    uint8_t cdb[260];
    uint8_t sense[96];
    uint8_t data[4096];
};

void Prepare(Request& r, const std::vector<uint8_t>& cdb, int direction, size_t length)
{
    memset(&r, 0, sizeof(r));
    memcpy(r.cdb, cdb.data(), cdb.size());
    r.h.interface_id = 'S';
    r.h.cmdp = r.cdb;
    r.h.cmd_len = (unsigned char)cdb.size();
    r.h.dxfer_direction = direction;
    r.h.dxferp = length > 0 ? r.data : nullptr;
    r.h.dxfer_len = (unsigned)length;
    r.h.sbp = r.sense;
    r.h.mx_sb_len = sizeof(r.sense);
    r.h.timeout = 60000;
}

int Issue(int fd, sg_io_hdr_t* h)
{
    return ioctl(fd, SG_IO, h) == 0 ? 0 : errno;
}

const std::vector<uint8_t> kInquiry = {0x12, 0, 0, 0, 96, 0};
const std::vector<uint8_t> kTur = {0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kBadOpcode = {0xC7, 0, 0, 0, 0, 0};

int Probe(int fd, const char* path)
{
    Request r;
    auto report = [](const char* name, int e) { printf("%s=%s\n", name, ErrnoName(e)); };

    report("header-fault", ioctl(fd, SG_IO, kBadPointer) == 0 ? 0 : errno);
    // Each: a request, the one thing wrong with it, and the name it is reported under. The last
    // two reach the enclosure: the fault shows when the driver copies the results back.
    const std::vector<uint8_t> kWriteBuffer0 = {0x3B, 1, 1, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> kWriteBuffer6 = {0x3B, 1, 1, 0, 0, 0, 0, 0, 6, 0};
    const struct
    {
        const char* name;
        const std::vector<uint8_t>& cdb;
        int direction;
        size_t length;
        void (*spoil)(sg_io_hdr_t& h);
    } malformed[] = {
        {"interface-id", kTur, SG_DXFER_NONE, 0, [](sg_io_hdr_t& h) { h.interface_id = 'Q'; }},
        {"no-cdb", kTur, SG_DXFER_NONE, 0, [](sg_io_hdr_t& h) { h.cmdp = nullptr; }},
        {"cdb-5", kTur, SG_DXFER_NONE, 0, [](sg_io_hdr_t& h) { h.cmd_len = 5; }},
        {"cdb-253", kTur, SG_DXFER_NONE, 0, [](sg_io_hdr_t& h) { h.cmd_len = 253; }},
        {"cdb-fault", kTur, SG_DXFER_NONE, 0, [](sg_io_hdr_t& h) { h.cmdp = static_cast<unsigned char*>(kBadPointer); }},
        {"cdb-33", kTur, SG_DXFER_NONE, 0, [](sg_io_hdr_t& h) { h.cmd_len = 33; }},
        {"direction-unknown", kInquiry, -7, 96, [](sg_io_hdr_t&) {}},
        {"none-with-data", kTur, SG_DXFER_NONE, 4, [](sg_io_hdr_t&) {}},
        {"to-dev-without-data", kWriteBuffer0, SG_DXFER_TO_DEV, 0, [](sg_io_hdr_t&) {}},
        {"transfer-256MiB", kInquiry, SG_DXFER_FROM_DEV, 96, [](sg_io_hdr_t& h) { h.dxfer_len = 256u * 1024 * 1024; }},
        {"mmap-io", kTur, SG_DXFER_NONE, 0, [](sg_io_hdr_t& h) { h.flags = 4; }}, // SG_FLAG_MMAP_IO
        {"iovec-1025", kInquiry, SG_DXFER_FROM_DEV, 96, [](sg_io_hdr_t& h) { h.iovec_count = 1025; }},
        {"iovec-fault", kInquiry, SG_DXFER_FROM_DEV, 96,
         [](sg_io_hdr_t& h) {
             h.iovec_count = 2;
             h.dxferp = kBadPointer;
         }},
        {"data-out-fault", kWriteBuffer6, SG_DXFER_TO_DEV, 6, [](sg_io_hdr_t& h) { h.dxferp = kBadPointer; }},
        {"data-in-fault", kInquiry, SG_DXFER_FROM_DEV, 96, [](sg_io_hdr_t& h) { h.dxferp = kBadPointer; }},
        {"sense-fault", kBadOpcode, SG_DXFER_NONE, 0, [](sg_io_hdr_t& h) { h.sbp = static_cast<unsigned char*>(kBadPointer); }},
    };
    for (const auto& m : malformed)
    {
        Prepare(r, m.cdb, m.direction, m.length);
        m.spoil(r.h);
        report(m.name, Issue(fd, &r.h));
    }

    // Well-formed requests and what the driver reports for them.
    Prepare(r, kInquiry, SG_DXFER_FROM_DEV, 96);
    int e = Issue(fd, &r.h);
    printf("inquiry=%s status=%d resid=%d info=%u sb_len_wr=%u type=%d\n", ErrnoName(e), r.h.status, r.h.resid,
           r.h.info, r.h.sb_len_wr, r.data[0]);
    Prepare(r, kBadOpcode, SG_DXFER_NONE, 0);
    r.h.mx_sb_len = 8;
    e = Issue(fd, &r.h);
    printf("check=%s status=%d masked=%d driver=%d info=%u sb_len_wr=%u key=%d\n", ErrnoName(e), r.h.status,
           r.h.masked_status, r.h.driver_status, r.h.info, r.h.sb_len_wr, r.sense[2] & 0x0F);
    Prepare(r, kInquiry, SG_DXFER_FROM_DEV, 96);
    uint8_t first[10], second[100];
    sg_iovec_t iov[2] = {{first, sizeof(first)}, {second, sizeof(second)}};
    r.h.iovec_count = 2;
    r.h.dxferp = iov;
    e = Issue(fd, &r.h);
    printf("iovec=%s resid=%d vendor=%c%c%.6s\n", ErrnoName(e), r.h.resid, first[8], first[9], (const char*)second);
    Prepare(r, kInquiry, SG_DXFER_TO_DEV, 96);
    e = Issue(fd, &r.h);
    printf("wrong-direction=%s status=%d resid=%d\n", ErrnoName(e), r.h.status, r.h.resid);

    // A lock on a node's descriptor is a lock on the enclosure: another open of it conflicts.
    int other = open(path, O_RDWR | O_NONBLOCK);
    int lockFirst = flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    int lockSecond = flock(other, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    printf("lock=%s second-lock=%s\n", ErrnoName(lockFirst), ErrnoName(lockSecond));
    close(other);

    int value = 0;
    printf("version=%d\n", ioctl(fd, SG_GET_VERSION_NUM, &value) == 0 ? value : -1);
    printf("timeout=%d\n", ioctl(fd, SG_GET_TIMEOUT, 0));
    value = 0;
    printf("emulated=%d\n", ioctl(fd, SG_EMULATED_HOST, &value) == 0 ? value : -1);
    printf("reserved=%d\n", ioctl(fd, SG_GET_RESERVED_SIZE, &value) == 0 ? value : -1);
    sg_scsi_id id;
    memset(&id, 0xFF, sizeof(id));
    e = ioctl(fd, SG_GET_SCSI_ID, &id) == 0 ? 0 : errno;
    printf("scsi-id=%s type=%d\n", ErrnoName(e), id.scsi_type);
    printf("version-fault=%s\n", ErrnoName(ioctl(fd, SG_GET_VERSION_NUM, kBadPointer) == 0 ? 0 : errno));
    printf("unknown-ioctl=%s\n", ErrnoName(ioctl(fd, 0x22FF, &value) == 0 ? 0 : errno));
    struct stat st;
    if (fstat(fd, &st) == 0)
        printf("fstat=%s major=%u\n", S_ISCHR(st.st_mode) ? "chr" : "other", major(st.st_rdev));
    return 0;
}

int Command(int fd, int argc, char** argv)
{
    std::vector<uint8_t> cdb = vocab::FromHex(argv[0]);
    Request r;
    if (argc >= 3 && strcmp(argv[1], "in") == 0)
        Prepare(r, cdb, SG_DXFER_FROM_DEV, (size_t)strtoul(argv[2], nullptr, 10));
    else
        Prepare(r, cdb, SG_DXFER_NONE, 0);
    int e = Issue(fd, &r.h);
    if (e != 0)
    {
        printf("errno=%s\n", ErrnoName(e));
        return 1;
    }
    size_t din = r.h.dxfer_direction == SG_DXFER_FROM_DEV ? r.h.dxfer_len - (unsigned)r.h.resid : 0;
    printf("status=%02x host=%02x driver=%02x resid=%d sense=%s din=%s\n", r.h.status, r.h.host_status,
           r.h.driver_status, r.h.resid, vocab::Hex(r.sense, r.h.sb_len_wr).c_str(), vocab::Hex(r.data, din).c_str());
    return 0;
}

int Loop(int fd, long count)
{
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    unsigned shortest = UINT_MAX;
    for (long i = 0; i < count; i++)
    {
        Request r;
        Prepare(r, {0x1C, 1, 0x0E, 0, 60, 0}, SG_DXFER_FROM_DEV, 60);
        if (Issue(fd, &r.h) != 0 || r.h.status != 0)
            return 1;
        shortest = std::min(shortest, r.h.duration);
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    double wall = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    printf("wall_us_per_command=%.2f shortest_duration_ms=%u\n", wall * 1e6 / (double)count, shortest);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        fprintf(stderr, "usage: sim_sg_client probe|cmd|loop DEV ...\n");
        return 2;
    }
    std::string what = argv[1];
    int fd = open(argv[2], O_RDWR | O_NONBLOCK);
    if (fd < 0)
    {
        printf("open=%s\n", ErrnoName(errno));
        return 1;
    }
    int rc = 2;
    if (what == "probe")
        rc = Probe(fd, argv[2]);
    else if (what == "cmd" && argc >= 4)
        rc = Command(fd, argc - 3, argv + 3);
    else if (what == "loop" && argc >= 4)
        rc = Loop(fd, strtol(argv[3], nullptr, 10));
    close(fd);
    return rc;
}
