// mkpackage: writes a full upgrade package ("QZUP") from image files, for the demo and for
// trying the tool by hand.
//
//   mkpackage OUT NAME=FILE ... [--old NAME=FILE ...]
//
// Images before --old are the new entries (the upgrade service's), those after it the old ones
// (sent by TFTP to older cameras). Prints one line per image: its CRC-32 (8 hex digits), its
// length and its name. The header checksum is of check type 1.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kHeader = 4096;
constexpr std::size_t kEntries = 280;
constexpr std::size_t kEntrySize = 144;
constexpr std::size_t kMaxEntries = (kHeader - kEntries) / kEntrySize;

void put_le32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t crc_of(const std::uint8_t* p, std::size_t n) {
  return static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0), p, static_cast<uInt>(n)));
}

struct image_t {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: mkpackage OUT NAME=FILE ... [--old NAME=FILE ...]\n");
    return 2;
  }
  std::vector<image_t> fresh, old;
  bool in_old = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--old") {
      in_old = true;
      continue;
    }
    const std::size_t eq = arg.find('=');
    if (eq == 0 || eq == std::string::npos || eq > 127) {
      std::fprintf(stderr, "mkpackage: not NAME=FILE: %s\n", arg.c_str());
      return 2;
    }
    std::ifstream in(arg.substr(eq + 1), std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "mkpackage: cannot read %s\n", arg.substr(eq + 1).c_str());
      return 2;
    }
    image_t img{arg.substr(0, eq), std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                                            std::istreambuf_iterator<char>())};
    (in_old ? old : fresh).push_back(std::move(img));
  }
  if (fresh.size() + old.size() > kMaxEntries) {
    std::fprintf(stderr, "mkpackage: at most %zu images\n", kMaxEntries);
    return 2;
  }
  std::vector<std::uint8_t> p(kHeader, 0);
  std::memcpy(p.data(), "QZUP", 4);
  put_le32(p, 8, 1);
  put_le32(p, 272, static_cast<std::uint32_t>(fresh.size()));
  put_le32(p, 276, static_cast<std::uint32_t>(old.size()));
  std::size_t index = 0;
  for (const auto* list : {&fresh, &old}) {
    for (const image_t& img : *list) {
      const std::size_t e = kEntries + kEntrySize * index++;
      put_le32(p, e, static_cast<std::uint32_t>(p.size() - kHeader));
      put_le32(p, e + 4, static_cast<std::uint32_t>(img.bytes.size()));
      const std::uint32_t crc = crc_of(img.bytes.data(), img.bytes.size());
      put_le32(p, e + 8, crc);
      std::memcpy(p.data() + e + 16, img.name.data(), img.name.size());
      p.insert(p.end(), img.bytes.begin(), img.bytes.end());
      std::printf("%08x %zu %s\n", crc, img.bytes.size(), img.name.c_str());
    }
  }
  put_le32(p, 12, crc_of(p.data() + 16, kHeader - 16));
  std::ofstream out(argv[1], std::ios::binary);
  out.write(reinterpret_cast<const char*>(p.data()), static_cast<std::streamsize>(p.size()));
  if (!out) {
    std::fprintf(stderr, "mkpackage: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
