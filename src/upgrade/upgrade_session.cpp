#include "upgrade/upgrade_session.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/stop.h"
#include "core/system.h"
#include "core/text.h"
#include "net/byte_view.h"
#include "net/command_port.h"
#include "net/service_port.h"
#include "net/sockets.h"
#include "net/tick.h"
#include "upgrade/choice.h"
#include "upgrade/package.h"
#include "upgrade/tftp_transfer.h"
#include "upgrade/tftp_write.h"

namespace mardo {
namespace {

constexpr int kPiecesPerPause = 64;
constexpr int kPiecePauseMs = 10;
constexpr int kStatusSendTries = 5;
constexpr int kStatusReceiveTries = 20;
constexpr std::string_view kResetMember = "ResetFlag\":";
constexpr std::string_view kResetSet = "ResetFlag\":1";
constexpr std::string_view kFinishSet = "FinishFlag\":1";

void show(const upgrade_task_t& task, std::string_view text) {
  show_status(task.owner->state(), task.camera, text);
}

svc_header_t route_header(socket_fd sock, std::uint32_t kind, std::uint32_t command) {
  svc_header_t h;
  h.kind = kind;
  h.command = command;
  h.link_id = static_cast<std::uint32_t>(sock);
  return h;
}

// Appends the message of piece j of n to `out`.
void add_piece(socket_fd sock, int j, int pieces, std::span<const std::uint8_t> piece,
               std::vector<std::uint8_t>& out) {
  svc_header_t h = route_header(sock, 1, kSvcPackageData);
  h.position = svc_position(j, pieces);
  h.index = static_cast<std::uint32_t>(j);
  h.payload_length = static_cast<std::uint32_t>(piece.size());
  const std::size_t at = out.size();
  out.resize(at + kSvcHeaderSize + piece.size());
  encode_svc_header(h, std::span<std::uint8_t, kSvcHeaderSize>(out.data() + at, kSvcHeaderSize));
  std::copy(piece.begin(), piece.end(), out.begin() + static_cast<std::ptrdiff_t>(at + kSvcHeaderSize));
}

// The answer after an image: up to `tries` waits until one carries the restart flag member.
std::optional<service_answer_t> wait_restart_answer(service_reader& reader,
                                                    const session_timing_t& timing) {
  for (int t = 0; t < timing.restart_tries && !reader.broken(); ++t) {
    std::optional<service_answer_t> a = reader.next(kSvcTimeoutMs);
    if (a && a->text.find(kResetMember) != std::string::npos) return a;
    pause_ms(timing.poll_pause_ms);
  }
  return std::nullopt;
}

// The status request goes out whole: a send cut short goes on from where it stopped, since
// starting it again would leave the camera a broken message in its stream.
bool send_status_request(socket_fd sock, const session_timing_t& timing) {
  std::array<std::uint8_t, kSvcHeaderSize> request{};
  svc_header_t h = route_header(sock, 3, kSvcStatusQuery);
  h.position = kSvcOnly;
  encode_svc_header(h, request);
  std::size_t sent = 0;
  for (int t = 0; t < kStatusSendTries; ++t) {
    std::size_t now = 0;
    if (send_service_message(sock, std::span(request).subspan(sent), false, &now)) return true;
    sent += now;
    pause_ms(timing.poll_pause_ms);
  }
  return false;
}

// Status rounds until the finish flag, a failure or the deadline; shows what each gives.
// The failure text it showed, or empty when the image finished.
std::string poll_status(const upgrade_task_t& task, service_reader& reader, socket_fd sock,
                        bool last_entry, bool reset_flag, const std::string& progress_text,
                        const session_timing_t& timing) {
  const std::uint64_t deadline = tick_ms() + static_cast<std::uint64_t>(timing.status_deadline_ms);
  auto fail = [&task](const char* text) {
    show(task, text);
    return std::string(text);
  };
  for (;;) {
    pause_ms(timing.poll_pause_ms);
    if (!send_status_request(sock, timing)) return fail(kTextStatusRequestFailed);
    std::optional<service_answer_t> a;
    for (int t = 0; t < kStatusReceiveTries && !a && !reader.broken(); ++t) {
      a = reader.next(kSvcTimeoutMs);
      if (!a) pause_ms(timing.poll_pause_ms);
    }
    if (!a || a->header.error != 0) return fail(kTextStatusAnswerFailed);
    if (a->header.payload_length != 0) {
      if (a->text.find(kFinishSet) != std::string::npos) {
        if (last_entry) show(task, reset_flag ? kTextUpgradeDone : kTextUpdated);
        return {};
      }
      show(task, progress_text);
    }
    if (tick_ms() >= deadline) return fail(kTextStatusTimeout);
  }
}

std::string updating_text(int i, int count, const std::string& name) {
  return std::string(kTextUpdating) + " (" + std::to_string(i + 1) + "/" + std::to_string(count) +
         ") " + name;
}

void run_service_route(upgrade_task_t& task, const std::string& address,
                       std::span<const std::uint8_t> package, const package_check_t& check,
                       const session_timing_t& timing) {
  socket_handle conn(connect_to_service(address.c_str(), kServicePort));
  const socket_fd sock = conn.fd();
  if (sock == kNoSocket) return show(task, kTextServiceConnectFailed);
  if (!send_upgrade_header(sock, package.first<kDeviceParamBlockSize>()))
    return show(task, kTextHeaderSendFailed);
  service_reader reader(sock);
  const std::optional<service_answer_t> accepted = receive_header_answer(reader);
  if (!accepted) return show(task, kTextHeaderAnswerFailed);
  if (accepted->header.error != 0) return show(task, kTextHeaderRejected);

  const int count = static_cast<int>(check.new_count);
  int last_shown = -1;
  bool go_on = true;
  std::string earlier_failure;
  std::vector<std::uint8_t> batch;
  for (int i = 0; i < count; ++i) {
    const std::optional<package_entry_t> entry = entry_at(package, static_cast<std::uint32_t>(i));
    if (!entry) return show(task, kTextIllegalPackage);
    if (!image_crc_ok(package, *entry)) return show(task, image_crc_failure_text(*entry, true));
    const std::string name(image_short_name(entry->image_name));
    if (entry->image_length == 0) {
      show(task, name + " " + kTextEmptyImage);
      go_on = false;
      if (earlier_failure.empty()) earlier_failure = name + " " + kTextEmptyImage;
      continue;
    }
    const std::span<const std::uint8_t> image = *image_of(package, *entry);
    const int pieces = static_cast<int>((image.size() + kSvcPiece - 1) / kSvcPiece);
    // The pieces between two pauses go to the socket in one call: the byte stream is the
    // same as one call per piece, at a sixty-fourth of the system calls.
    for (int first = 0; first < pieces;) {
      const int last = first == 0 ? 0 : std::min(pieces - 1, (first + kPiecesPerPause - 1) / kPiecesPerPause * kPiecesPerPause);
      batch.clear();
      for (int j = first; j <= last; ++j) {
        const std::size_t at = static_cast<std::size_t>(j) * kSvcPiece;
        add_piece(sock, j, pieces, image.subspan(at, std::min<std::size_t>(kSvcPiece, image.size() - at)), batch);
      }
      std::size_t sent = 0;
      if (!send_service_message(sock, batch, false, &sent)) {
        const int failed = first + static_cast<int>(sent / (kSvcHeaderSize + kSvcPiece));
        return show(task, std::string(kTextPieceSendFailed) + " " + std::to_string(failed));
      }
      if (last % kPiecesPerPause == 0) pause_ms(kPiecePauseMs);
      for (int j = first; j <= last; ++j) {
        const int p = service_progress(j, pieces, i, count);
        if (p != last_shown) {
          show(task, std::string(kTextProgress) + " " + std::to_string(p) + "% (" +
                         std::to_string(i + 1) + "/" + std::to_string(count) + ") " + name);
          last_shown = p;
        }
      }
      first = last + 1;
    }
    // The route ends here; its last word is the empty image, not the last progress.
    if (!go_on) return show(task, earlier_failure);
    const std::optional<service_answer_t> restart = wait_restart_answer(reader, timing);
    if (!restart || restart->header.error != 0) return show(task, kTextRestartQueryFailed);
    const bool reset_flag = restart->text.find(kResetSet) != std::string::npos;
    // The entries after a failed one are still sent, but the camera's last word is the
    // failure: a later image's success must not read as the whole upgrade's.
    const bool last = i == count - 1;
    const bool show_done = last && earlier_failure.empty();
    const std::string failure = poll_status(task, reader, sock, show_done, reset_flag,
                                            updating_text(i, count, name), timing);
    if (earlier_failure.empty()) earlier_failure = failure;
    if (last && failure.empty() && !show_done) show(task, earlier_failure);
  }
}

void run_older_route(upgrade_task_t& task, const std::string& address,
                     std::span<const std::uint8_t> package, const session_timing_t& timing) {
  const package_choice_t choice = choose_package_image(package, task.camera.full_version);
  show(task, choice.text);
  if (!choice.selected()) return;
  send_command_for_status(address.c_str(), 1000, {}, kCmdPrepareTransfer, kCmdPrepareTransferReply);
  pause_ms(timing.prepare_wait_ms);
  const package_entry_t entry = *entry_at(package, static_cast<std::uint32_t>(choice.index));
  const std::span<const std::uint8_t> image = *image_of(package, entry);
  const std::string name(image_short_name(entry.image_name));
  set_task_image(task, wide_string(name), image.data(), static_cast<int>(image.size()));
  run_tftp_transfer(task);
  const std::string line =
      address + " [ " + task.camera.mac + " ] 开始升级 : " + name;
  log_event(line.c_str());
}

int has_service(const std::string& address) {
  static const std::array<std::uint8_t, kDeviceParamBlockSize> zero{};
  return query_device_param(address.c_str(), kServicePort, zero);
}

}  // namespace

std::u16string patch_path_for(std::u16string_view package_path) {
  const std::size_t sep = package_path.find_last_of(u"\\/");
  const std::u16string_view folder =
      sep == std::u16string_view::npos ? std::u16string_view() : package_path.substr(0, sep + 1);
  return std::u16string(folder) + u"patch.bin";
}

int service_progress(int piece, int pieces, int entry, int count) {
  return static_cast<int>(((static_cast<double>(piece + 1) / pieces) + entry) / count * 100.0);
}

int run_bootstrap_patch(upgrade_task_t& task, const session_timing_t& timing) {
  const std::u16string path = patch_path_for(task.owner->package_path());
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(open_file(ansi_string(path), "rb"),
                                                       &std::fclose);
  if (!file) return show(task, kTextOpenFileFailed), 0;
  // 64-bit on every system: Windows' long would read a patch past 2 GiB as empty.
  const std::uint64_t size = regular_file_size(file.get()).value_or(0);
  if (size == 0) return show(task, kTextFileEmpty), 0;
  std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(size)]);
  if (!bytes) return show(task, kTextNoMemory), 0;
  if (std::fread(bytes.get(), 1, static_cast<std::size_t>(size), file.get()) !=
      static_cast<std::size_t>(size))
    return show(task, kTextShortRead), 0;
  file.reset();

  upgrade_task_t patch = task;
  set_task_image(patch, path, bytes.get(), static_cast<int>(size));
  run_tftp_transfer(patch);

  const std::string address = task.camera.ip;
  pause_ms(timing.after_patch_ms);
  const std::time_t deadline = std::time(nullptr) + timing.patch_probe_seconds;
  for (;;) {
    if (has_service(address) == 1) return 1;
    if (!pause_ms(timing.probe_pause_ms) || std::time(nullptr) >= deadline)
      return show(task, kTextRestartTimeout), 0;
  }
}

int run_upgrade_session(upgrade_task_t& task, const session_timing_t& timing) {
  const std::span<const std::uint8_t> package(task.data, static_cast<std::size_t>(task.length));
  const package_check_t check = validate_full_package(package);
  if (!check.ok()) return show(task, check.failure), 0;
  const std::string address = task.camera.ip;

  if (has_service(address) == 1) {
    if (check.new_count > 0)
      run_service_route(task, address, package, check, timing);
    else
      run_older_route(task, address, package, timing);
    return 0;
  }
  const std::string patch = ansi_string(patch_path_for(task.owner->package_path()));
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> probe(open_file(patch, "rb"), &std::fclose);
  if (check.new_count > 0 && probe) {
    probe.reset();
    if (run_bootstrap_patch(task, timing) == 1) run_service_route(task, address, package, check, timing);
    return 0;
  }
  if (check.old_count > 0)
    run_older_route(task, address, package, timing);
  else
    show(task, kTextNoOldImages);
  return 0;
}

}  // namespace mardo
