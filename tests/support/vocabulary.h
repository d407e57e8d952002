// The tests' shared vocabulary, header-only so that the GoogleTest programs, the fuzz targets and
// the test doubles preloaded into the programs all use the same few helpers: bytes and hex, the
// pages and messages of the enclosure protocol as the programs build them, sense data, the clock,
// and standard error captured.
#ifndef TEST_VOCABULARY_H
#define TEST_VOCABULARY_H

#include <dlfcn.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace vocab
{

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- bytes and hex

inline uint16_t Be16(const Bytes& b, size_t at)
{
    return (uint16_t)((b.at(at) << 8) | b.at(at + 1));
}

inline uint32_t Be32(const Bytes& b, size_t at)
{
    return ((uint32_t)Be16(b, at) << 16) | Be16(b, at + 2);
}

inline void PutBe(Bytes& b, size_t at, uint32_t value, int width)
{
    for (int i = 0; i < width; i++)
        b.at(at + (size_t)i) = (uint8_t)(value >> (8 * (width - 1 - i)));
}

inline std::string Hex(const uint8_t* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; i++)
    {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0xF];
    }
    return hex;
}

inline std::string Hex(const Bytes& bytes)
{
    return Hex(bytes.data(), bytes.size());
}

inline std::string Hex(const std::string& text)
{
    return Hex((const uint8_t*)text.data(), text.size());
}

inline Bytes FromHex(const std::string& hex)
{
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back((uint8_t)strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    return bytes;
}

// Takes bytes off the front of a fuzz input; past its end every byte reads as zero.
class ByteReader
{
  public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    size_t Left() const { return size_ - at_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t Be16()
    {
        uint16_t high = Byte();
        return (uint16_t)((high << 8) | Byte());
    }
    // Up to n bytes; *taken says how many there were.
    const uint8_t* Take(size_t n, size_t* taken)
    {
        *taken = n < Left() ? n : Left();
        const uint8_t* at = data_ + at_;
        at_ += *taken;
        return at;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A failed invariant in a fuzz target is a finding: abort, so that the fuzzer keeps the input.
inline void Check(bool condition)
{
    if (!condition)
        abort();
}

// ---------------------------------------------------------------- sense data

// Fixed-format sense data (18 bytes) with the key, ASC and ASCQ.
inline Bytes FixedSense(uint8_t key, uint8_t asc, uint8_t ascq, uint8_t responseCode = 0x70)
{
    Bytes sense(18, 0);
    sense[0] = responseCode;
    sense[2] = key;
    sense[7] = 10;
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

// Sense key, ASC and ASCQ as "kk/aa/qq", from either format; "-" without sense data.
inline std::string SenseText(const uint8_t* sense, size_t length)
{
    if (length < 4)
        return "-";
    bool descriptor = (sense[0] & 0x7F) >= 0x72;
    char text[16];
    snprintf(text, sizeof(text), "%02x/%02x/%02x", (descriptor ? sense[1] : sense[2]) & 0x0F,
             descriptor ? sense[2] : sense[12], descriptor ? sense[3] : sense[13]);
    return text;
}

// ---------------------------------------------------------------- enclosure pages and messages

constexpr size_t kControlHeaderLength = 24;

// The 24-byte header of a download microcode control page (SEND DIAGNOSTIC page 0x0E) that
// carries dataLength image bytes, padded to a multiple of four.
inline Bytes ControlHeader(uint8_t mode, uint32_t generation, uint32_t offset, uint32_t imageLength,
                           uint32_t dataLength, uint8_t bufferId = 0, uint8_t subenclosure = 0)
{
    Bytes page(kControlHeaderLength, 0);
    page[0] = 0x0E;
    page[1] = subenclosure;
    PutBe(page, 2, ((dataLength + 3) & ~3u) + 20, 2);
    PutBe(page, 4, generation, 4);
    page[8] = mode;
    page[11] = bufferId;
    PutBe(page, 12, offset, 4);
    PutBe(page, 16, imageLength, 4);
    PutBe(page, 20, dataLength, 4);
    return page;
}

// A whole control page: the header, the data and its zero pad bytes.
inline Bytes ControlPage(uint8_t mode, uint32_t generation, uint32_t offset, uint32_t imageLength, const Bytes& data,
                         uint8_t bufferId = 0, uint8_t subenclosure = 0)
{
    Bytes page = ControlHeader(mode, generation, offset, imageLength, (uint32_t)data.size(), bufferId, subenclosure);
    page.insert(page.end(), data.begin(), data.end());
    page.resize(kControlHeaderLength + ((data.size() + 3) & ~(size_t)3), 0);
    return page;
}

// A download microcode status page (RECEIVE DIAGNOSTIC RESULTS page 0x0E) with one descriptor.
inline Bytes StatusPage(uint8_t status, uint32_t expectedOffset, uint8_t additional = 0, uint32_t generation = 0,
                        uint32_t maxSize = 0x100000)
{
    Bytes page(24, 0);
    page[0] = 0x0E;
    page[3] = 20;
    PutBe(page, 4, generation, 4);
    page[10] = status;
    page[11] = additional;
    PutBe(page, 12, maxSize, 4);
    PutBe(page, 20, expectedOffset, 4);
    return page;
}

// A console command as WRITE BUFFER carries it: 01h, a reserved byte, the text and its NUL.
inline Bytes ConsoleMessage(const std::string& text)
{
    Bytes message(text.size() + 3, 0);
    message[0] = 0x01;
    for (size_t i = 0; i < text.size(); i++)
        message[2 + i] = (uint8_t)text[i];
    return message;
}

// ---------------------------------------------------------------- time

inline long long NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Polls until the condition holds or timeoutMs have passed; the limits are generous because a
// loaded machine is slow, never to measure anything.
template <typename Condition> bool WaitUntil(Condition condition, int timeoutMs = 30000, int pollMs = 20)
{
    for (long long deadline = NowMs() + timeoutMs;; usleep((useconds_t)pollMs * 1000))
    {
        if (condition())
            return true;
        if (NowMs() > deadline)
            return false;
    }
}

// ---------------------------------------------------------------- files

// A fresh directory under $TMPDIR, removed with its contents when the object goes.
class TempDir
{
  public:
    TempDir()
    {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/ses-test-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// ---------------------------------------------------------------- standard error

// Redirects descriptor 2 into a temporary file, so that a test sees exactly what a library wrote
// on standard error, until Text() is called.
class StderrCapture
{
  public:
    StderrCapture()
    {
        fflush(stderr);
        file_ = tmpfile();
        saved_ = dup(STDERR_FILENO);
        dup2(fileno(file_), STDERR_FILENO);
    }
    ~StderrCapture()
    {
        Restore();
        fclose(file_);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string Text()
    {
        Restore();
        std::string text;
        rewind(file_);
        char chunk[4096];
        for (size_t got; (got = fread(chunk, 1, sizeof(chunk), file_)) > 0;)
            text.append(chunk, got);
        return text;
    }

  private:
    void Restore()
    {
        if (saved_ >= 0)
        {
            fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    FILE* file_ = nullptr;
    int saved_ = -1;
};

} // namespace vocab

// Defines the test executable's ioctl, which stands in for the C library's for the libraries
// linked into it: SG_IO goes to ANSWER, an int (int fd, sg_io_hdr_t* header) of the test, and
// every other request on to the C library.
#define VOCAB_SG_IO_STAND_IN(ANSWER)                                                               \
    extern "C" int ioctl(int fd, unsigned long request, ...) noexcept                              \
    {                                                                                              \
        va_list ap;                                                                                \
        va_start(ap, request);                                                                     \
        void* argument = va_arg(ap, void*);                                                        \
        va_end(ap);                                                                                \
        if (request != SG_IO)                                                                      \
        {                                                                                          \
            using IoctlFn = int (*)(int, unsigned long, ...);                                      \
            static IoctlFn real = (IoctlFn)dlsym(RTLD_NEXT, "ioctl");                              \
            return real(fd, request, argument);                                                    \
        }                                                                                          \
        return (ANSWER)(fd, (sg_io_hdr_t*)argument);                                               \
    }

#endif
