// Shared pieces of the fuzz targets: a reader that takes bytes off the front of the input.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace fuzz
{

class Input
{
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    size_t Left() const { return size_ - at_; }
    uint8_t Byte()
    {
        return at_ < size_ ? data_[at_++] : 0;
    }
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

// A failed invariant is a finding: abort, so that the fuzzer keeps the input.
inline void Check(bool condition)
{
    if (!condition)
    {
        abort();
    }
}

} // namespace fuzz

#endif
