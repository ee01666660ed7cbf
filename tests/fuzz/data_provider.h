// The input splitter of the fuzz targets, for both builds: the libFuzzer one
// (clang) and the corpus replay of the normal build (gcc, where libFuzzer's
// own header is not installed). It takes its values the way libFuzzer's
// FuzzedDataProvider does (integers from the end of the input, byte strings
// from the front, the same reductions), so that an input found by the fuzzer
// takes the same path when it is replayed.
#ifndef QUILL_FUZZ_DATA_PROVIDER_H
#define QUILL_FUZZ_DATA_PROVIDER_H

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

class FuzzedDataProvider {
 public:
  FuzzedDataProvider(const uint8_t* data, size_t size) : data_(data), left_(size) {}
  FuzzedDataProvider(const FuzzedDataProvider&) = delete;
  FuzzedDataProvider& operator=(const FuzzedDataProvider&) = delete;

  size_t remaining_bytes() const { return left_; }

  template <class T>
  std::vector<T> ConsumeBytes(size_t n) {
    static_assert(sizeof(T) == 1, "bytes only");
    n = std::min(n, left_);
    std::vector<T> out(n);
    if (n) std::memcpy(out.data(), data_, n);
    advance(n);
    return out;
  }
  template <class T>
  std::vector<T> ConsumeRemainingBytes() {
    return ConsumeBytes<T>(left_);
  }

  // Up to `max` characters; a backslash escapes a backslash, and a backslash
  // followed by anything else ends the string.
  std::string ConsumeRandomLengthString(size_t max) {
    std::string out;
    for (size_t i = 0; i < max && left_ != 0; ++i) {
      char next = char(data_[0]);
      advance(1);
      if (next == '\\' && left_ != 0) {
        next = char(data_[0]);
        advance(1);
        if (next != '\\') break;
      }
      out += next;
    }
    return out;
  }
  std::string ConsumeRandomLengthString() { return ConsumeRandomLengthString(left_); }

  template <class T>
  T ConsumeIntegralInRange(T min, T max) {
    static_assert(std::is_integral<T>::value && sizeof(T) <= 8, "integers only");
    if (min > max) abort();
    uint64_t range = uint64_t(max) - uint64_t(min);
    uint64_t result = 0;
    size_t offset = 0;
    while (offset < sizeof(T) * CHAR_BIT && (range >> offset) > 0 && left_ != 0) {
      --left_;
      result = (result << CHAR_BIT) | data_[left_];
      offset += CHAR_BIT;
    }
    if (range != std::numeric_limits<uint64_t>::max()) result = result % (range + 1);
    return T(uint64_t(min) + result);
  }
  template <class T>
  T ConsumeIntegral() {
    return ConsumeIntegralInRange(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
  }
  bool ConsumeBool() { return 1 & ConsumeIntegral<uint8_t>(); }

  template <class T, size_t N>
  T PickValueInArray(const T (&array)[N]) {
    return array[ConsumeIntegralInRange<size_t>(0, N - 1)];
  }
  template <class T>
  T PickValueInArray(std::initializer_list<const T> list) {
    if (list.size() == 0) abort();
    return *(list.begin() + ConsumeIntegralInRange<size_t>(0, list.size() - 1));
  }

 private:
  void advance(size_t n) {
    data_ += n;
    left_ -= n;
  }
  const uint8_t* data_;
  size_t left_;
};

#endif
