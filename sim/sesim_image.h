// Firmware images of the simulated enclosure: the image format, its CRC-32 and the SHA-256
// digest that `sesim show` prints.
#ifndef SESIM_IMAGE_H
#define SESIM_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sesim
{

// Image layout: magic, 4-character revision, payload length (big-endian), payload, then the
// CRC-32 (IEEE) of everything before it, big-endian.
constexpr char kImageMagic[8] = {'S', 'E', 'S', 'I', 'M', 'G', '0', '1'};
constexpr size_t kImageMagicLength = sizeof(kImageMagic);
constexpr size_t kRevisionLength = 4;
constexpr size_t kImageRevisionOffset = 8;
constexpr size_t kImagePayloadLengthOffset = 12;
constexpr size_t kImageHeaderLength = 16;
constexpr size_t kImageTrailerLength = 4;
constexpr size_t kImageMinLength = kImageHeaderLength + kImageTrailerLength;
// The revision of an image accepted with --accept-any-image that carries no image header.
constexpr char kUnknownRevision[kRevisionLength] = {'?', '?', '?', '?'};

// CRC-32 (IEEE 802.3, reflected, as zlib and the image trailer use it). The running value is the
// raw register: start from kCrc32Start, finish with Crc32Finish.
constexpr uint32_t kCrc32Start = 0xFFFFFFFFu;
uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t length);
inline uint32_t Crc32Finish(uint32_t crc)
{
    return ~crc;
}

class Sha256
{
  public:
    static constexpr size_t kDigestLength = 32;
    Sha256();
    void Update(const uint8_t* data, size_t length);
    void Finish(uint8_t digest[kDigestLength]);

  private:
    void Block(const uint8_t* block);
    uint32_t h_[8];
    uint8_t buffer_[64];
    size_t buffered_ = 0;
    uint64_t total_ = 0;
};

// Hex SHA-256 of a file's content (what sha256sum prints); empty when it cannot be read.
std::string Sha256FileHex(const std::string& path);

// Hands a file's content to `consume` a piece at a time; false, with errno set, when it cannot
// be opened or read to its end.
bool ReadFileChunks(const std::string& path, const std::function<void(const uint8_t*, size_t)>& consume);

// True when REV is exactly four printable ASCII characters.
bool ValidRevision(const std::string& revision);

// Produces the bytes of a valid image of `size` bytes whose payload is derived from the revision,
// a piece at a time.
class ImageGenerator
{
  public:
    ImageGenerator(const char revision[kRevisionLength], uint64_t size);
    // Fills up to `capacity` bytes; returns how many (0 at the end).
    size_t Next(uint8_t* out, size_t capacity);

  private:
    uint64_t size_;
    uint64_t position_ = 0;
    uint32_t x_;
    uint32_t crc_ = kCrc32Start;
    uint8_t header_[kImageHeaderLength];
    uint8_t trailer_[kImageTrailerLength] = {};
};

std::vector<uint8_t> MakeImage(const char revision[kRevisionLength], uint32_t size);

// Writes a valid image of exactly `size` bytes (at least kImageMinLength) whose payload is
// derived from the revision. Returns false with a message on failure.
bool WriteImageFile(const std::string& path, const char revision[kRevisionLength], uint64_t size,
                    std::string* error);

// What the enclosure learns from an image it received: the 16 header bytes, the CRC register
// over every byte before the trailer, and the 4 trailer bytes.
struct ReceivedImage
{
    const uint8_t* header;  // kImageHeaderLength bytes
    uint32_t crcRegister;   // running CRC over bytes [0, length - 4)
    const uint8_t* trailer; // kImageTrailerLength bytes
    uint32_t length;
};
// True when the received bytes form a valid image; its revision is then copied to `revision`.
bool CheckReceivedImage(const ReceivedImage& image, char revision[kRevisionLength]);

} // namespace sesim

#endif
