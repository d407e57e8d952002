#include "sesim_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sesim
{

namespace
{

constexpr char kStateFileMagic[8] = {'S', 'E', 'S', 'I', 'M', 'S', 'T', '1'};
constexpr size_t kStateHeaderLength = 64;
constexpr size_t kSlotAlignment = 64;
// A process that opens the enclosure waits this long for the lock before it gives up.
constexpr int kOpenLockTimeoutMs = 10000;

struct StateFileHeader
{
    char magic[8];
    uint32_t slotLength;
    uint32_t stateLength;
    // Taken around every command: a process-shared robust mutex costs no system call when
    // uncontended, and a holder killed with kill -9 hands it on (EOWNERDEAD).
    pthread_mutex_t mutex;
};
static_assert(sizeof(StateFileHeader) <= 64, "the state file header has 64 bytes");

struct Slot
{
    std::atomic<uint64_t> sequence; // 0: being written or never written
    uint32_t crc;
    uint32_t length;
    State state;
};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the slot sequence must be a plain word");

constexpr size_t SlotLength()
{
    return (sizeof(Slot) + kSlotAlignment - 1) / kSlotAlignment * kSlotAlignment;
}

constexpr size_t StateFileLength()
{
    return kStateHeaderLength + 2 * SlotLength();
}

// Opens a file of the enclosure on a descriptor above 2: a program that started with a standard
// descriptor closed must never read or write the enclosure's files through it.
int OpenAbove2(const std::string& path, int flags, mode_t mode = 0)
{
    constexpr int kFirstFree = 3;
    int fd = open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0 || fd >= kFirstFree)
    {
        return fd;
    }
    int high = fcntl(fd, F_DUPFD_CLOEXEC, kFirstFree);
    int saved = errno;
    close(fd);
    errno = saved;
    return high;
}

uint32_t StateCrc(const State& state)
{
    return Crc32Finish(Crc32Update(kCrc32Start, reinterpret_cast<const uint8_t*>(&state), sizeof(state)));
}

bool WriteAll(int fd, const void* data, size_t length)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (length > 0)
    {
        ssize_t n = write(fd, p, length);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            return false;
        }
        p += n;
        length -= (size_t)n;
    }
    return true;
}

bool MakeDirectories(const std::string& path)
{
    std::string partial;
    size_t at = 0;
    while (at != std::string::npos)
    {
        at = path.find('/', at + 1);
        partial = path.substr(0, at);
        if (partial.empty())
        {
            continue;
        }
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
        {
            return false;
        }
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Errno()
{
    return strerror(errno);
}

} // namespace

bool ReadTextFile(const std::string& path, std::string* text)
{
    text->clear();
    return ReadFileChunks(path,
                          [text](const uint8_t* data, size_t length) { text->append((const char*)data, length); });
}

bool WriteFileAtomically(const std::string& path, const void* data, size_t length, std::string* error)
{
    std::string temp = path + ".tmp." + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        *error = "cannot create " + temp + ": " + Errno();
        return false;
    }
    bool ok = WriteAll(fd, data, length);
    ok = (close(fd) == 0) && ok;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0)
    {
        *error = "cannot write " + path + ": " + Errno();
        unlink(temp.c_str());
        return false;
    }
    return true;
}

// The file that descriptors of the attached node are opened on (read and write for the owner
// and group, as a device node usually is).
bool WriteNodeFile(const std::string& path, std::string* error)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0660);
    if (fd < 0)
    {
        *error = "cannot create " + path + ": " + Errno();
        return false;
    }
    close(fd);
    return true;
}

// Writes a new state file under a temporary name, sets up its mutex in place, renames it.
bool WriteStateFile(const std::string& path, const std::string& bytes, std::string* error)
{
    std::string temp = path + ".tmp." + std::to_string(getpid());
    int fd = open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        *error = "cannot create " + temp + ": " + Errno();
        return false;
    }
    bool ok = WriteAll(fd, bytes.data(), bytes.size());
    void* map = ok ? mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (map != MAP_FAILED)
    {
        StateFileHeader* header = static_cast<StateFileHeader*>(map);
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        ok = pthread_mutex_init(&header->mutex, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
        munmap(map, bytes.size());
    }
    else
    {
        ok = false;
    }
    ok = (close(fd) == 0) && ok;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0)
    {
        *error = "cannot write " + path + ": " + Errno();
        unlink(temp.c_str());
        return false;
    }
    return true;
}

Store::~Store()
{
    if (map_ != nullptr)
    {
        munmap(map_, mapLength_);
    }
    for (int fd : {stateFd_, logFd_, consoleFd_, imageFd_})
    {
        if (fd >= 0)
        {
            close(fd);
        }
    }
}

namespace
{

// What a directory holds, as far as `sesim init` is concerned.
enum class DirectoryKind
{
    Missing,
    Empty,
    Enclosure,
    Other,
};

bool IsImageName(const std::string& name)
{
    char* end = nullptr;
    strtoul(name.c_str(), &end, 10);
    return end != name.c_str() && strcmp(end, ".img") == 0;
}

// Only what an enclosure keeps may be in its directory (and image files in images/): then it
// is an enclosure that init may replace.
DirectoryKind Classify(const std::string& dir, std::string* stranger)
{
    const char* const kOwnNames[] = {"config", "state", "images", "commands.log", "console.log", kNodeFileName};
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0)
    {
        return errno == ENOENT ? DirectoryKind::Missing : DirectoryKind::Other;
    }
    if (!S_ISDIR(st.st_mode))
    {
        *stranger = dir;
        return DirectoryKind::Other;
    }
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
    {
        *stranger = dir;
        return DirectoryKind::Other;
    }
    bool any = false, hasState = false;
    DirectoryKind kind = DirectoryKind::Enclosure;
    while (dirent* e = readdir(d))
    {
        std::string name = e->d_name;
        if (name == "." || name == "..")
        {
            continue;
        }
        any = true;
        hasState = hasState || name == "state";
        bool own = name.find(".tmp.") != std::string::npos; // left by a process killed mid-write
        for (const char* n : kOwnNames)
        {
            own = own || name == n;
        }
        if (!own)
        {
            *stranger = dir + "/" + name;
            kind = DirectoryKind::Other;
            break;
        }
    }
    closedir(d);
    if (!any)
    {
        return DirectoryKind::Empty;
    }
    if (kind == DirectoryKind::Enclosure)
    {
        std::string images = dir + "/images";
        if (DIR* i = opendir(images.c_str()))
        {
            while (dirent* e = readdir(i))
            {
                std::string name = e->d_name;
                if (name != "." && name != ".." && !IsImageName(name))
                {
                    *stranger = images + "/" + name;
                    kind = DirectoryKind::Other;
                    break;
                }
            }
            closedir(i);
        }
    }
    if (kind == DirectoryKind::Enclosure && !hasState)
    {
        *stranger = dir + "/state is missing";
        return DirectoryKind::Other;
    }
    return kind;
}

} // namespace

bool Store::Create(const std::string& dir, const Config& config, const InitialState& initial, bool force,
                   std::string* error)
{
    std::string stranger;
    switch (Classify(dir, &stranger))
    {
    case DirectoryKind::Other:
        *error = dir + " holds something that is not part of an enclosure (" + stranger + "); nothing was changed";
        return false;
    case DirectoryKind::Enclosure:
        if (!force)
        {
            *error = dir + " already holds an enclosure; use --force to replace it";
            return false;
        }
        break;
    default:
        break;
    }
    if (!MakeDirectories(dir))
    {
        *error = "cannot create directory " + dir + ": " + Errno();
        return false;
    }
    bool ok = false;
    do
    {
        std::string images = dir + "/images";
        if (DIR* d = opendir(images.c_str()))
        {
            while (dirent* e = readdir(d))
            {
                std::string name = e->d_name;
                if (IsImageName(name))
                {
                    unlink((images + "/" + name).c_str());
                }
            }
            closedir(d);
        }
        if (mkdir(images.c_str(), 0755) != 0 && errno != EEXIST)
        {
            *error = "cannot create " + images + ": " + Errno();
            break;
        }
        const uint32_t activeId = 1;
        if (!WriteImageFile(images + "/" + std::to_string(activeId) + ".img", initial.revision, kInitialImageSize,
                            error))
        {
            break;
        }
        static State state; // too large for a comfortable stack frame
        if (!InitState(initial, activeId, kInitialImageSize, &state, error))
        {
            break;
        }
        std::string file(StateFileLength(), '\0');
        StateFileHeader header{};
        memcpy(header.magic, kStateFileMagic, sizeof(header.magic));
        header.slotLength = (uint32_t)SlotLength();
        header.stateLength = (uint32_t)sizeof(State);
        memcpy(&file[0], &header, sizeof(header));
        Slot* slot = reinterpret_cast<Slot*>(&file[kStateHeaderLength]);
        slot->crc = StateCrc(state);
        slot->length = sizeof(State);
        memcpy(&slot->state, &state, sizeof(state));
        slot->sequence.store(1, std::memory_order_relaxed);
        std::string text = FormatConfig(config);
        if (!WriteFileAtomically(dir + "/config", text.data(), text.size(), error) ||
            !WriteStateFile(dir + "/state", file, error) ||
            !WriteFileAtomically(dir + "/commands.log", "", 0, error) ||
            !WriteFileAtomically(dir + "/console.log", "", 0, error) ||
            !WriteNodeFile(dir + "/" + kNodeFileName, error))
        {
            break;
        }
        ok = true;
    } while (false);
    return ok;
}

bool Store::Open(const std::string& dir, std::string* error)
{
    dir_ = dir;
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    {
        *error = dir + " is not an enclosure directory (run sesim init first)";
        return false;
    }
    if (!ReloadConfig(error))
    {
        return false;
    }
    stateFd_ = OpenAbove2(dir + "/state", O_RDWR);
    if (stateFd_ < 0)
    {
        *error = dir + ": the enclosure state cannot be opened: " + Errno();
        return false;
    }
    if (fstat(stateFd_, &st) != 0 || (size_t)st.st_size != StateFileLength())
    {
        *error = dir + "/state is damaged or from another version of sesim";
        return false;
    }
    mapLength_ = StateFileLength();
    void* map = mmap(nullptr, mapLength_, PROT_READ | PROT_WRITE, MAP_SHARED, stateFd_, 0);
    if (map == MAP_FAILED)
    {
        *error = dir + "/state cannot be mapped: " + Errno();
        return false;
    }
    map_ = static_cast<uint8_t*>(map);
    StateFileHeader header;
    memcpy(&header, map_, sizeof(header));
    if (memcmp(header.magic, kStateFileMagic, sizeof(header.magic)) != 0 || header.slotLength != SlotLength() ||
        header.stateLength != sizeof(State))
    {
        *error = dir + "/state is damaged or from another version of sesim";
        return false;
    }
    static State probe;
    if (!Lock(kOpenLockTimeoutMs))
    {
        *error = dir + "/state is locked by another process or damaged";
        return false;
    }
    bool loaded = Load(&probe, true);
    Unlock();
    if (!loaded)
    {
        *error = dir + "/state holds no valid enclosure state";
        return false;
    }
    logFd_ = OpenAbove2(dir + "/commands.log", O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (logFd_ < 0)
    {
        *error = dir + "/commands.log cannot be opened: " + Errno();
        return false;
    }
    return true;
}

bool Store::Lock(int timeoutMs)
{
    StateFileHeader* header = reinterpret_cast<StateFileHeader*>(map_);
    int r = 0;
    if (timeoutMs < 0)
    {
        r = pthread_mutex_lock(&header->mutex);
    }
    else
    {
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += timeoutMs / 1000;
        until.tv_nsec += (long)(timeoutMs % 1000) * 1000000;
        if (until.tv_nsec >= 1000000000)
        {
            until.tv_sec++;
            until.tv_nsec -= 1000000000;
        }
        r = pthread_mutex_timedlock(&header->mutex, &until);
    }
    if (r == EOWNERDEAD)
    {
        // The holder was killed. The slots need no repair: an interrupted save left the
        // previous state whole.
        r = pthread_mutex_consistent(&header->mutex);
    }
    locked_ = r == 0;
    return locked_;
}

void Store::Unlock()
{
    if (locked_)
    {
        locked_ = false;
        pthread_mutex_unlock(&reinterpret_cast<StateFileHeader*>(map_)->mutex);
    }
}

bool Store::Load(State* state, bool verify)
{
    Slot* slots[2] = {reinterpret_cast<Slot*>(map_ + kStateHeaderLength),
                      reinterpret_cast<Slot*>(map_ + kStateHeaderLength + SlotLength())};
    for (;;)
    {
        int best = -1;
        uint64_t bestSequence = 0;
        for (int i = 0; i < 2; i++)
        {
            uint64_t seq = slots[i]->sequence.load(std::memory_order_acquire);
            if (seq != 0 && seq > bestSequence && slots[i]->length == sizeof(State))
            {
                best = i;
                bestSequence = seq;
            }
        }
        if (best < 0)
        {
            return false;
        }
        memcpy(state, &slots[best]->state, sizeof(State));
        bool valid = state->magic == kStateMagic && state->version == kStateVersion;
        if (valid && verify)
        {
            valid = StateCrc(*state) == slots[best]->crc;
        }
        if (valid)
        {
            sequence_ = bestSequence;
            return true;
        }
        if (!verify)
        {
            return false;
        }
        // A damaged newest slot: fall back to the other one by invalidating this one.
        slots[best]->sequence.store(0, std::memory_order_release);
    }
}

void Store::Save(const State& state)
{
    Slot* slots[2] = {reinterpret_cast<Slot*>(map_ + kStateHeaderLength),
                      reinterpret_cast<Slot*>(map_ + kStateHeaderLength + SlotLength())};
    uint64_t a = slots[0]->sequence.load(std::memory_order_relaxed);
    uint64_t b = slots[1]->sequence.load(std::memory_order_relaxed);
    uint64_t newest = std::max(a, b);
    Slot* target = a <= b ? slots[0] : slots[1];
    // Invalidate the older slot before its bytes change; the newer one stays whole meanwhile.
    target->sequence.store(0, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    memcpy(&target->state, &state, sizeof(State));
    target->crc = StateCrc(state);
    target->length = sizeof(State);
    target->sequence.store(newest + 1, std::memory_order_release);
    sequence_ = newest + 1;
}

bool Store::ReloadConfig(std::string* error)
{
    std::string text;
    if (!ReadTextFile(dir_ + "/config", &text))
    {
        *error = dir_ + " is not an enclosure directory (no config file; run sesim init first)";
        return false;
    }
    std::string why;
    if (!ParseConfig(text, &config_, &why))
    {
        *error = dir_ + "/config is damaged: " + why;
        return false;
    }
    return true;
}

bool Store::WriteConfig(const Config& config, std::string* error)
{
    std::string text = FormatConfig(config);
    if (!WriteFileAtomically(dir_ + "/config", text.data(), text.size(), error))
    {
        return false;
    }
    config_ = config;
    return true;
}

std::string Store::ImagePath(uint32_t id) const
{
    return dir_ + "/images/" + std::to_string(id) + ".img";
}

void Store::RemoveImages(const Released& released)
{
    for (int i = 0; i < released.count; i++)
    {
        if (released.ids[i] == imageFdId_ && imageFd_ >= 0)
        {
            close(imageFd_);
            imageFd_ = -1;
            imageFdId_ = 0;
        }
        unlink(ImagePath(released.ids[i]).c_str());
    }
}

void Store::CollectGarbage(const State& state)
{
    std::string images = dir_ + "/images";
    DIR* d = opendir(images.c_str());
    if (d == nullptr)
    {
        return;
    }
    while (dirent* e = readdir(d))
    {
        char* end = nullptr;
        unsigned long id = strtoul(e->d_name, &end, 10);
        if (end == e->d_name || strcmp(end, ".img") != 0)
        {
            continue;
        }
        if (id == state.active.id || id == state.pending.id ||
            (state.download.phase != DownloadPhase::Idle && id == state.download.imageId))
        {
            continue;
        }
        unlink((images + "/" + e->d_name).c_str());
    }
    closedir(d);
}

void Store::AppendLog(const char* text, size_t length)
{
    if (logFd_ >= 0)
    {
        WriteAll(logFd_, text, length);
    }
}

void Store::AppendConsole(const char* text, size_t length)
{
    if (consoleFd_ < 0)
    {
        consoleFd_ = OpenAbove2(dir_ + "/console.log", O_WRONLY | O_APPEND | O_CREAT, 0644);
    }
    if (consoleFd_ >= 0 && length > 0)
    {
        WriteAll(consoleFd_, text, length);
    }
}

bool Store::OpenImage(uint32_t id, bool truncate)
{
    if (imageFd_ >= 0 && imageFdId_ == id && !truncate)
    {
        return true;
    }
    if (imageFd_ >= 0)
    {
        close(imageFd_);
        imageFd_ = -1;
        imageFdId_ = 0;
    }
    imageFd_ = OpenAbove2(ImagePath(id), O_WRONLY | O_CREAT | (truncate ? O_TRUNC : 0), 0644);
    if (imageFd_ < 0)
    {
        return false;
    }
    imageFdId_ = id;
    return true;
}

bool Store::CreateImage(uint32_t id)
{
    return OpenImage(id, true);
}

bool Store::WriteImage(uint32_t id, uint32_t offset, const uint8_t* data, size_t length)
{
    if (!OpenImage(id, false))
    {
        return false;
    }
    size_t done = 0;
    while (done < length)
    {
        ssize_t n = pwrite(imageFd_, data + done, length - done, (off_t)offset + (off_t)done);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            return false;
        }
        done += (size_t)n;
    }
    return true;
}

} // namespace sesim
