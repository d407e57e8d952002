#include "sesim_image.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sesim
{

namespace
{

constexpr uint32_t kCrc32Polynomial = 0xEDB88320u; // IEEE 802.3, reflected
constexpr int kCrcSlices = 8;

// Slicing-by-8 tables: a 256 MiB image is checked block by block as it arrives, so the CRC
// must cost well under a microsecond per kilobyte.
struct CrcTables
{
    uint32_t t[kCrcSlices][256];
    CrcTables()
    {
        for (uint32_t i = 0; i < 256; i++)
        {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
            {
                c = (c & 1) ? (c >> 1) ^ kCrc32Polynomial : c >> 1;
            }
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; i++)
        {
            for (int s = 1; s < kCrcSlices; s++)
            {
                t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
            }
        }
    }
};

const CrcTables& Tables()
{
    static const CrcTables tables;
    return tables;
}

uint32_t LoadLe32(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

uint32_t Be32(const uint8_t* p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

constexpr uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotr(uint32_t x, unsigned n)
{
    return (x >> n) | (x << (32 - n));
}

} // namespace

uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t length)
{
    const CrcTables& tb = Tables();
    while (length >= (size_t)kCrcSlices)
    {
        uint32_t lo = LoadLe32(data) ^ crc;
        uint32_t hi = LoadLe32(data + 4);
        crc = tb.t[7][lo & 0xFF] ^ tb.t[6][(lo >> 8) & 0xFF] ^ tb.t[5][(lo >> 16) & 0xFF] ^ tb.t[4][lo >> 24] ^
              tb.t[3][hi & 0xFF] ^ tb.t[2][(hi >> 8) & 0xFF] ^ tb.t[1][(hi >> 16) & 0xFF] ^ tb.t[0][hi >> 24];
        data += kCrcSlices;
        length -= kCrcSlices;
    }
    while (length-- > 0)
    {
        crc = (crc >> 8) ^ tb.t[0][(crc ^ *data++) & 0xFF];
    }
    return crc;
}

// buffer_ holds bytes only up to the fill count, which starts at zero.
// cppcheck-suppress uninitMemberVar
Sha256::Sha256()
    : h_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19}
{
}

void Sha256::Block(const uint8_t* block)
{
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
    {
        w[i] = Be32(block + (size_t)4 * i);
    }
    for (int i = 16; i < 64; i++)
    {
        uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
    for (int i = 0; i < 64; i++)
    {
        uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kSha256K[i] + w[i];
        uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
    h_[5] += f;
    h_[6] += g;
    h_[7] += h;
}

void Sha256::Update(const uint8_t* data, size_t length)
{
    total_ += length;
    if (buffered_ > 0)
    {
        size_t take = std::min(length, sizeof(buffer_) - buffered_);
        memcpy(buffer_ + buffered_, data, take);
        buffered_ += take;
        data += take;
        length -= take;
        if (buffered_ < sizeof(buffer_))
        {
            return;
        }
        Block(buffer_);
        buffered_ = 0;
    }
    while (length >= sizeof(buffer_))
    {
        Block(data);
        data += sizeof(buffer_);
        length -= sizeof(buffer_);
    }
    memcpy(buffer_, data, length);
    buffered_ = length;
}

void Sha256::Finish(uint8_t digest[kDigestLength])
{
    uint64_t bits = total_ * 8;
    // Padding: a one bit, zeros up to 56 mod 64, then the message length in bits.
    uint8_t pad[72] = {0x80};
    size_t padLength = (buffered_ < 56) ? 56 - buffered_ : 120 - buffered_;
    for (int i = 0; i < 8; i++)
    {
        pad[padLength + i] = (uint8_t)(bits >> (56 - 8 * i));
    }
    uint64_t keep = total_;
    Update(pad, padLength + 8);
    total_ = keep;
    for (int i = 0; i < 8; i++)
    {
        digest[(size_t)4 * i] = (uint8_t)(h_[i] >> 24);
        digest[(size_t)4 * i + 1] = (uint8_t)(h_[i] >> 16);
        digest[(size_t)4 * i + 2] = (uint8_t)(h_[i] >> 8);
        digest[4 * i + 3] = (uint8_t)h_[i];
    }
}

bool ReadFileChunks(const std::string& path, const std::function<void(const uint8_t*, size_t)>& consume)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        return false;
    }
    static thread_local uint8_t chunk[1 << 16];
    for (;;)
    {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n < 0)
        {
            close(fd);
            return false;
        }
        if (n == 0)
        {
            break;
        }
        consume(chunk, (size_t)n);
    }
    close(fd);
    return true;
}

std::string Sha256FileHex(const std::string& path)
{
    Sha256 sha;
    if (!ReadFileChunks(path, [&sha](const uint8_t* data, size_t length) { sha.Update(data, length); }))
    {
        return "";
    }
    uint8_t digest[Sha256::kDigestLength];
    sha.Finish(digest);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : digest)
    {
        hex += kHex[b >> 4];
        hex += kHex[b & 0xF];
    }
    return hex;
}

bool ValidRevision(const std::string& revision)
{
    if (revision.size() != kRevisionLength)
    {
        return false;
    }
    for (char c : revision)
    {
        if (c < 0x21 || c > 0x7E)
        {
            return false;
        }
    }
    return true;
}

ImageGenerator::ImageGenerator(const char revision[kRevisionLength], uint64_t size) : size_(size)
{
    uint32_t payloadLength = size >= kImageMinLength ? (uint32_t)(size - kImageMinLength) : 0;
    memcpy(header_, kImageMagic, kImageMagicLength);
    memcpy(header_ + kImageRevisionOffset, revision, kRevisionLength);
    for (int i = 0; i < 4; i++)
    {
        header_[kImagePayloadLengthOffset + i] = (uint8_t)(payloadLength >> (24 - 8 * i));
    }
    // The payload is a xorshift stream seeded from the revision: two images of the same revision
    // and size are identical, images of different revisions differ everywhere.
    uint32_t seed = 2166136261u;
    for (size_t i = 0; i < kRevisionLength; i++)
    {
        seed = (seed ^ (uint8_t)revision[i]) * 16777619u;
    }
    x_ = seed | 1;
}

size_t ImageGenerator::Next(uint8_t* out, size_t capacity)
{
    size_t n = 0;
    uint64_t crcEnd = size_ - kImageTrailerLength;
    // Header and payload first, then their CRC in one pass, then the trailer.
    while (n < capacity && position_ < crcEnd)
    {
        if (position_ < kImageHeaderLength)
        {
            out[n] = header_[position_];
        }
        else
        {
            x_ ^= x_ << 13;
            x_ ^= x_ >> 17;
            x_ ^= x_ << 5;
            out[n] = (uint8_t)x_;
        }
        n++;
        position_++;
    }
    crc_ = Crc32Update(crc_, out, n);
    if (n < capacity && position_ == crcEnd)
    {
        uint32_t value = Crc32Finish(crc_);
        for (int i = 0; i < 4; i++)
        {
            trailer_[i] = (uint8_t)(value >> (24 - 8 * i));
        }
    }
    while (n < capacity && position_ < size_)
    {
        out[n++] = trailer_[position_ - crcEnd];
        position_++;
    }
    return n;
}

std::vector<uint8_t> MakeImage(const char revision[kRevisionLength], uint32_t size)
{
    std::vector<uint8_t> bytes(size);
    ImageGenerator generator(revision, size);
    generator.Next(bytes.data(), bytes.size());
    return bytes;
}

bool WriteImageFile(const std::string& path, const char revision[kRevisionLength], uint64_t size,
                    std::string* error)
{
    if (size < kImageMinLength || size > UINT32_MAX)
    {
        *error = "image size must be from 20 to 4294967295 bytes";
        return false;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        *error = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
    ImageGenerator generator(revision, size);
    static thread_local uint8_t chunk[1 << 16];
    bool ok = true;
    for (;;)
    {
        size_t n = generator.Next(chunk, sizeof(chunk));
        if (n == 0)
        {
            break;
        }
        size_t done = 0;
        while (ok && done < n)
        {
            ssize_t w = write(fd, chunk + done, n - done);
            if (w < 0 && errno == EINTR)
            {
                continue;
            }
            ok = w > 0;
            done += ok ? (size_t)w : 0;
        }
        if (!ok)
        {
            break;
        }
    }
    if (close(fd) != 0)
    {
        ok = false;
    }
    if (!ok)
    {
        *error = "cannot write " + path + ": " + strerror(errno);
        unlink(path.c_str());
    }
    return ok;
}

bool CheckReceivedImage(const ReceivedImage& image, char revision[kRevisionLength])
{
    if (image.length < kImageMinLength)
    {
        return false;
    }
    if (memcmp(image.header, kImageMagic, kImageMagicLength) != 0)
    {
        return false;
    }
    if (Be32(image.header + kImagePayloadLengthOffset) != image.length - kImageMinLength)
    {
        return false;
    }
    if (Crc32Finish(image.crcRegister) != Be32(image.trailer))
    {
        return false;
    }
    memcpy(revision, image.header + kImageRevisionOffset, kRevisionLength);
    return true;
}

} // namespace sesim
