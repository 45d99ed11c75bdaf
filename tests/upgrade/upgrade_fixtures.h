#pragma once
// Packages and archives made by the tests: full packages laid out byte by byte, and zip
// archives written by libzip in a temporary folder (no system has to have a `zip` command).
#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "net/byte_view.h"
#include "temp_dir.h"
#include "upgrade/package.h"

namespace mardo::test {

using bytes_t = std::vector<std::uint8_t>;

inline bytes_t text_bytes(std::string_view text) {
  return bytes_t(text.begin(), text.end());
}

// Bytes that differ from image to image and do not compress to nothing.
inline bytes_t pattern(std::size_t size, std::uint32_t seed = 1) {
  bytes_t out(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return out;
}

struct image_t {
  std::string name;
  bytes_t data;
};

// Recomputes both header checksums; check type 0 only where its range is all there.
inline void reseal(bytes_t& package) {
  if (package.size() < kPackageHeaderSize) return;
  const std::span<const std::uint8_t> all(package);
  put_le32(package.data() + kHeaderCrc1Offset,
           package_crc32(all.subspan(kHeaderCrc1Begin, kHeaderCrc1Length)));
  if (package.size() >= kHeaderCrc0Begin + kHeaderCrc0Length) {
    put_le32(package.data() + kHeaderCrc0Offset,
             package_crc32(all.subspan(kHeaderCrc0Begin, kHeaderCrc0Length)));
  }
}

// A full package: the new images, then the old ones, laid out one after the other.
inline bytes_t make_package(const std::vector<image_t>& new_images,
                            const std::vector<image_t>& old_images, std::uint32_t check_type) {
  bytes_t p(kPackageHeaderSize, 0);
  std::memcpy(p.data(), kPackageMagic.data(), kPackageMagic.size());
  put_le32(p.data() + kCheckTypeOffset, check_type);
  put_le32(p.data() + kNewCountOffset, static_cast<std::uint32_t>(new_images.size()));
  put_le32(p.data() + kOldCountOffset, static_cast<std::uint32_t>(old_images.size()));
  std::size_t i = 0;
  auto add = [&](const image_t& img) {
    std::uint8_t* e = p.data() + kEntryTableOffset + kEntrySize * i++;
    const auto offset = static_cast<std::uint32_t>(p.size() - kPackageHeaderSize);
    put_le32(e, offset);
    put_le32(e + 4, static_cast<std::uint32_t>(img.data.size()));
    put_le32(e + 8, package_crc32(img.data));
    std::memcpy(e + kImageNameOffset, img.name.data(), std::min(img.name.size(), kImageNameSize));
    p.insert(p.end(), img.data.begin(), img.data.end());
  };
  for (const image_t& img : new_images) add(img);
  for (const image_t& img : old_images) add(img);
  reseal(p);
  return p;
}

inline std::uint8_t* entry_place(bytes_t& package, std::size_t i) {
  return package.data() + kEntryTableOffset + kEntrySize * i;
}

enum class zip_method { deflate, store };

// Names are UTF-8, as the tool and libzip take them; a path made from a std::string would be
// read in the ANSI code page on Windows.
inline std::filesystem::path utf8_path(std::string_view text) {
  return std::u8string(text.begin(), text.end());
}

// A temporary folder, removed with everything in it.
class temp_dir {
 public:
  temp_dir() : path_(make_temp_dir("mardo-upgrade-")) { EXPECT_FALSE(path_.empty()); }
  ~temp_dir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

  void write(std::string_view name, const bytes_t& data) const {
    const std::filesystem::path at = utf8_path(file(name));
    std::filesystem::create_directories(at.parent_path());
    std::ofstream out(at, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    EXPECT_TRUE(out.good()) << at;
  }

  bytes_t read(std::string_view name) const {
    std::ifstream in(utf8_path(file(name)), std::ios::binary);
    return bytes_t(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // An archive of the folder's files: the members in this order, each under its name in the
  // folder; a name ending in '/' is a folder entry. With a password every member is encrypted
  // the traditional PKWARE way, as `zip -P` does. Deflated members that would not shrink are
  // stored, as `zip` does.
  bool zip(std::string_view archive, const std::vector<std::string>& members,
           std::string_view password = {}, zip_method method = zip_method::deflate) const {
    int error = 0;
    zip_t* out = zip_open(file(archive).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (out == nullptr) {
      ADD_FAILURE() << "libzip cannot create " << archive << ": error " << error;
      return false;
    }
    const std::string secret(password);
    for (const std::string& m : members) {
      zip_int64_t at = -1;
      if (m.ends_with('/')) {
        at = zip_dir_add(out, m.c_str(), ZIP_FL_ENC_UTF_8);
      } else if (zip_source_t* data = zip_source_file(out, file(m).c_str(), 0, 0)) {
        at = zip_file_add(out, m.c_str(), data, ZIP_FL_ENC_UTF_8);
        if (at < 0) zip_source_free(data);
      }
      const auto k = static_cast<zip_uint64_t>(at);
      if (at < 0 ||
          (method == zip_method::store && zip_set_file_compression(out, k, ZIP_CM_STORE, 0) != 0) ||
          (!secret.empty() &&
           zip_file_set_encryption(out, k, ZIP_EM_TRAD_PKWARE, secret.c_str()) != 0)) {
        ADD_FAILURE() << "libzip cannot add " << m << ": " << zip_strerror(out);
        zip_discard(out);
        return false;
      }
    }
    if (zip_close(out) != 0) {
      ADD_FAILURE() << "libzip cannot write " << archive << ": " << zip_strerror(out);
      zip_discard(out);
      return false;
    }
    return true;
  }

 private:
  std::string path_;
};

// Where a member's fields live in an archive made by zip(): its central directory record and
// its local header.
struct zip_member_at {
  std::size_t central = 0;
  std::size_t local = 0;
  bool found = false;
};

inline zip_member_at find_member(const bytes_t& zip, std::string_view name) {
  zip_member_at at;
  for (std::size_t i = 0; i + 46 <= zip.size(); ++i) {
    if (zip[i] != 'P' || zip[i + 1] != 'K' || zip[i + 2] != 1 || zip[i + 3] != 2) continue;
    byte_reader r(zip);
    r.seek(i + 28);
    const std::uint16_t name_length = r.le16();
    r.seek(i + 42);
    const std::uint32_t local = r.le32();
    r.seek(i + 46);
    const auto stored = r.bytes(name_length);
    if (r.ok() &&
        std::string_view(reinterpret_cast<const char*>(stored.data()), stored.size()) == name) {
      at.central = i;
      at.local = local;
      at.found = true;
      return at;
    }
  }
  return at;
}

}  // namespace mardo::test
