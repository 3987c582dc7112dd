// Reads a fuzzer's input as a sequence of small decisions and byte strings; past the end
// every read gives zeros, so any input is a complete program. One harness thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vh::fuzz {

class TFuzzInput {
 public:
  TFuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Done() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  // Up to `most` bytes, the count taken from the input.
  std::string Bytes(size_t most) {
    size_t n = Word() % (most + 1);
    if (n > size_ - pos_) n = size_ - pos_;
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace vh::fuzz
