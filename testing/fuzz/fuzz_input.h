// The fuzzer's input read as a stream of decisions. Every read past the end
// yields zeros, and every target reads a zero as "behave as usual", so a
// short input plays the ordinary case and each byte the fuzzer adds turns one
// more decision.
#ifndef VELUNOR_TESTING_FUZZ_FUZZ_INPUT_H_
#define VELUNOR_TESTING_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <string>

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }

  uint16_t u16() {
    uint16_t low = byte();
    return static_cast<uint16_t>(low | byte() << 8);
  }

  uint32_t u32() {
    uint32_t low = u16();
    return low | static_cast<uint32_t>(u16()) << 16;
  }

  uint64_t u64() {
    uint64_t low = u32();
    return low | static_cast<uint64_t>(u32()) << 32;
  }

  // A number in [0, bound], from as few bytes as the bound needs.
  uint32_t upTo(uint32_t bound) {
    uint32_t value = bound < 0x100 ? byte() : bound < 0x10000 ? u16() : u32();
    return bound == UINT32_MAX ? value : value % (bound + 1);
  }

  // `length` raw bytes (zeros past the end).
  std::string bytes(size_t length) {
    std::string out(length, '\0');
    for (char& c : out) c = static_cast<char>(byte());
    return out;
  }

  bool exhausted() const { return position_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

#endif  // VELUNOR_TESTING_FUZZ_FUZZ_INPUT_H_
