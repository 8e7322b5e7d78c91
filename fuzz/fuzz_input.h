#ifndef VESK_NUMERICS_FUZZ_INPUT_H
#define VESK_NUMERICS_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vesk::numerics::fuzzing {

/// Reads typed values off the front of a fuzzer's input; past its end every value is zero.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  template <typename T>
  T take() {
    T value{};
    const std::size_t count = size_ < sizeof(T) ? size_ : sizeof(T);
    std::memcpy(&value, data_, count);
    data_ += count;
    size_ -= count;
    return value;
  }

  /// All remaining whole doubles.
  std::vector<double> rest_as_doubles() {
    std::vector<double> values(size_ / sizeof(double));
    if (!values.empty()) std::memcpy(values.data(), data_, values.size() * sizeof(double));
    size_ = 0;
    return values;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace vesk::numerics::fuzzing

#endif  // VESK_NUMERICS_FUZZ_INPUT_H
