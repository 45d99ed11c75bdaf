#pragma once
// Bounds-checked access to received bytes. Every parser reads fields through a
// byte_reader, so a short or lying frame stops the parse instead of being read past.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace mardo {

class byte_reader {
 public:
  explicit byte_reader(std::span<const std::uint8_t> data) : data_(data) {}
  byte_reader(const std::uint8_t* data, std::size_t size) : data_(data, size) {}

  std::size_t size() const { return data_.size(); }
  std::size_t offset() const { return pos_; }
  std::size_t remaining() const { return ok_ ? data_.size() - pos_ : 0; }
  // False once any read ran past the end; all later reads give zero.
  bool ok() const { return ok_; }

  void seek(std::size_t offset) {
    if (offset > data_.size())
      ok_ = false;
    else
      pos_ = offset;
  }
  void skip(std::size_t n) { take(n); }

  std::uint8_t u8() {
    const std::uint8_t* p = take(1);
    return p ? p[0] : 0;
  }
  std::uint16_t le16() {
    const std::uint8_t* p = take(2);
    return p ? static_cast<std::uint16_t>(p[0] | (p[1] << 8)) : 0;
  }
  std::uint16_t be16() {
    const std::uint8_t* p = take(2);
    return p ? static_cast<std::uint16_t>((p[0] << 8) | p[1]) : 0;
  }
  std::uint32_t le32() {
    const std::uint8_t* p = take(4);
    return p ? (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                std::uint32_t{p[3]} << 24)
             : 0;
  }
  std::uint32_t be32() {
    const std::uint8_t* p = take(4);
    return p ? (std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
                std::uint32_t{p[3]})
             : 0;
  }
  // n raw bytes, or an empty span (and !ok()) when fewer are left.
  std::span<const std::uint8_t> bytes(std::size_t n) {
    const std::uint8_t* p = take(n);
    return p ? std::span<const std::uint8_t>(p, n) : std::span<const std::uint8_t>();
  }
  // Text up to the first NUL, at most max bytes and never past the end. Consumes the
  // text and its NUL when there is one. Running out of data is not a failure here.
  std::string_view cstr(std::size_t max = SIZE_MAX) {
    if (!ok_) return {};
    std::size_t avail = data_.size() - pos_;
    std::size_t limit = avail < max ? avail : max;
    const char* start = reinterpret_cast<const char*>(data_.data() + pos_);
    const void* nul = std::memchr(start, 0, limit);
    std::size_t len = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - start) : limit;
    pos_ += len + (nul ? 1 : 0);
    return {start, len};
  }

 private:
  const std::uint8_t* take(std::size_t n) {
    if (!ok_ || n > data_.size() - pos_) {
      ok_ = false;
      return nullptr;
    }
    const std::uint8_t* p = data_.data() + pos_;
    pos_ += n;
    return p;
  }

  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

// Writers for fixed-layout records: the offset is explicit so a builder reads like
// the field table it implements. The caller sizes the buffer.
inline void put_be16(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v >> 8);
  at[1] = static_cast<std::uint8_t>(v);
}
inline void put_le16(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_le32(std::uint8_t* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put_be32(std::uint8_t* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

}  // namespace mardo
