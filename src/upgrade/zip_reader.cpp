#include "upgrade/zip_reader.h"

#include <zip.h>

#include <algorithm>

#include "core/system.h"
#include "upgrade/package.h"

namespace mardo {
namespace {

struct archive_closer {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using archive_ptr = std::unique_ptr<zip_t, archive_closer>;

struct member_closer {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using member_ptr = std::unique_ptr<zip_file_t, member_closer>;

// Only ".bin" members are images; "_L_" marks a member the tool must not send.
bool skipped_by_name(std::string_view name) {
  if (name.find("_L_") != std::string_view::npos) return true;
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos || name.substr(dot + 1) != "bin";
}

// Reads at most capacity bytes into the slot. Never inflates past that: one byte of look-ahead
// tells a member that goes on (a lying size, a zip bomb) from one that ends there, and at the
// end the archive's CRC of the member is verified.
void read_member(zip_file_t* file, zip_slot_t& slot, std::size_t capacity) {
  slot.overrun = false;
  std::size_t got = 0;
  while (got < capacity) {
    const zip_int64_t n = zip_fread(file, slot.data.get() + got, capacity - got);
    if (n < 0) {
      slot.count = -1;
      return;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got == capacity) {
    std::uint8_t probe = 0;
    const zip_int64_t n = zip_fread(file, &probe, 1);
    if (n < 0) {
      slot.count = -1;
      return;
    }
    slot.overrun = n > 0;
  }
  slot.count = static_cast<std::int64_t>(got);
}

// Gives back what a short or failed read did not fill; the slot keeps a buffer either way.
void fit_buffer(zip_slot_t& slot, std::size_t capacity) {
  const std::size_t used = std::max<std::size_t>(slot.bytes().size(), 1);
  if (used >= capacity) return;
  if (void* smaller = std::realloc(slot.data.get(), used)) {
    (void)slot.data.release();
    slot.data.reset(static_cast<std::uint8_t*>(smaller));
  }
}

// libzip 1.7 leaks when a password open meets a method it cannot decode, so such a member is
// not reopened: the open could only fail.
bool password_open_can_work(const zip_stat_t& st) {
  const bool encryption = (st.valid & ZIP_STAT_ENCRYPTION_METHOD) == 0 ||
                          st.encryption_method == ZIP_EM_NONE ||
                          zip_encryption_method_supported(st.encryption_method, 0) != 0;
  const bool compression = (st.valid & ZIP_STAT_COMP_METHOD) == 0 ||
                           zip_compression_method_supported(st.comp_method, 0) != 0;
  return encryption && compression;
}

void read_slot(zip_t* archive, zip_uint64_t k, zip_slot_t& slot) {
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(archive, k, ZIP_FL_ENC_RAW, &st) != 0) return;
  if ((st.valid & ZIP_STAT_NAME) == 0 || (st.valid & ZIP_STAT_SIZE) == 0 || st.name == nullptr)
    return;
  zip_uint8_t opsys = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(archive, k, 0, &opsys, &attributes) != 0) return;
  std::string_view name(st.name);
  name = name.substr(0, kZipNameMax);
  if (attributes == kZipDirectoryAttributes || skipped_by_name(name)) return;
  // Too large for a slot: no part of it could be sent, so none of it is read.
  if (st.size > kZipSlotCapacity) {
    slot.name = std::string(name);
    slot.size = st.size;
    slot.too_large = true;
    return;
  }

  // An encrypted member opened without a password cannot be read: libzip refuses the open,
  // where the first read would only have come up short. Either way the member is then
  // reopened with the stored password, so the refusal counts as a failed first read.
  member_ptr file(zip_fopen_index(archive, k, 0));
  if (!file && zip_error_code_zip(zip_get_error(archive)) != ZIP_ER_NOPASSWD) return;
  zip_error_clear(archive);

  const auto capacity = static_cast<std::size_t>(st.size);
  auto* buffer = static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(capacity, 1)));
  if (buffer == nullptr) return;
  slot.data.reset(buffer);
  slot.name = std::string(name);
  slot.size = st.size;
  slot.count = -1;
  if (file) read_member(file.get(), slot, capacity);
  if (!slot.complete()) {
    file.reset();
    slot.password_tried = true;
    if (password_open_can_work(st))
      file.reset(zip_fopen_index_encrypted(archive, k, 0, kZipPassword));
    if (file) {
      slot.password_opened = true;
      read_member(file.get(), slot, capacity);
    } else {
      zip_error_clear(archive);
    }
  }
  file.reset();
  fit_buffer(slot, capacity);
}

std::string_view read_archive(zip_t* archive, zip_package_t& package) {
  package.slots.clear();
  package.full_slot = -1;
  const zip_int64_t members = zip_get_num_entries(archive, 0);
  if (members < 0) return kTextZipInfoFailed;
  // Members past the slot table are not looked at.
  const std::size_t considered =
      std::min<std::size_t>(static_cast<std::size_t>(members), kZipSlotCount);
  package.slots.resize(considered);
  for (std::size_t k = 0; k < considered; ++k) {
    zip_slot_t& slot = package.slots[k];
    read_slot(archive, k, slot);
    if (slot.complete() && package_is_full(slot.bytes())) {
      package.full_slot = static_cast<int>(k);
      break;
    }
  }
  return {};
}

}  // namespace

std::string_view open_zip_package(const std::string& path, zip_package_t& package) {
  package = zip_package_t{};
  // libzip takes an empty file for an empty archive; it is not one.
  const std::optional<std::uint64_t> size = regular_file_size(path);
  if (!size || *size == 0) return kTextZipOpenFailed;
  // libzip reads the name as UTF-8 on Windows too.
  int error = 0;
  archive_ptr archive(zip_open(path.c_str(), ZIP_RDONLY, &error));
  if (!archive) return kTextZipOpenFailed;
  return read_archive(archive.get(), package);
}

std::string_view open_zip_package_bytes(std::span<const std::uint8_t> archive_bytes,
                                        zip_package_t& package) {
  package = zip_package_t{};
  if (archive_bytes.empty()) return kTextZipOpenFailed;
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source =
      zip_source_buffer_create(archive_bytes.data(), archive_bytes.size(), 0, &error);
  if (source == nullptr) {
    zip_error_fini(&error);
    return kTextZipOpenFailed;
  }
  archive_ptr archive(zip_open_from_source(source, ZIP_RDONLY, &error));
  zip_error_fini(&error);
  if (!archive) {
    zip_source_free(source);
    return kTextZipOpenFailed;
  }
  return read_archive(archive.get(), package);
}

}  // namespace mardo
