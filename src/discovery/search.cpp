#include "discovery/search.h"

#include "net/socket_api.h"

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "core/log.h"
#include "core/text.h"
#include "core/worker_thread.h"
#include "discovery/search_answer.h"
#include "discovery/version_text.h"
#include "net/adapters.h"
#include "net/capture.h"
#include "net/multicast.h"
#include "net/raw_frame.h"

namespace mardo {
namespace {

// A new row is filled through its camera id: the technician may delete rows meanwhile.
void set_column(device_list& list, camera_id row, int column, const std::string& text) {
  list.set_text_of(row, column, wide_string(text));
}

// Columns both paths fill from the adapter the answer came in on.
void set_adapter_columns(device_list& list, camera_id row, const dev_info_t& adapter) {
  set_column(list, row, kColEtherName, adapter.acName);
  set_column(list, row, kColLocalMac, format_mac_lower(adapter.aucMac));
}

void raw_answer_thread(device_state& state, int index, const dev_info_t& adapter) {
  capture_port* port = adapter.pCapHandle.get();
  if (!port) return;
  captured_frame_t frame;
  while (state.searching.load()) {
    if (port->read(frame) <= 0) continue;
    const auto answer = parse_raw_search_answer(frame.bytes.data(), frame.bytes.size(),
                                                frame.wire_len, adapter.aucMac);
    if (!answer || state.seen.test_and_set(answer->mac) || answer->hidden) continue;
    std::lock_guard lock(state.list_lock);
    device_list& list = state.list;
    const camera_id row = list.append_row();
    set_column(list, row, kColMac, answer->mac);
    set_column(list, row, kColIp, answer->ip);
    if (answer->detailed) {
      log_printf("[%s]winpcap recv: %s \r\n", adapter.acIpAddr[0], answer->version.c_str());
      set_column(list, row, kColAlgo, answer->algo);
      set_adapter_columns(list, row, adapter);
      set_column(list, row, kColFullVersion, answer->version);
      if (!answer->model.empty()) set_column(list, row, kColDev, answer->model);
      set_column(list, row, kColVer, format_version_text(answer->version, state.show_algo.load()));
    }
    list.set_tag_of(row, make_row_tag(list.row_of(row), index));
  }
}

void mc_search_thread(device_state& state, int index, const dev_info_t& adapter) {
  const char* local_ip = adapter.acIpAddr[0];
  mc_socket_t sock;
  if (!open_mc_socket(local_ip, sock)) return;
  mc_send(sock, kSearchRequestText);
  while (state.searching.load() == 1) {
    mc_header_t header{};
    std::string text;
    if (mc_receive(sock, header, text) != mc_pass_t::text) continue;
    log_printf("[%s]socket recv: %s \r\n", local_ip, text.c_str());
    const auto answer = parse_mc_search_answer(text);
    if (!answer) continue;
    state.addrs.store(answer->mac, answer->addr);
    if (state.seen.test_and_set(answer->mac)) continue;
    std::lock_guard lock(state.list_lock);
    device_list& list = state.list;
    const camera_id row = list.append_row();
    set_column(list, row, kColMac, answer->mac);
    set_column(list, row, kColIp, answer->ip);
    set_column(list, row, kColAlgo, answer->algo);
    set_adapter_columns(list, row, adapter);
    set_column(list, row, kColFullVersion, answer->version);
    set_column(list, row, kColDev, answer->model);
    set_column(list, row, kColVer, format_version_text(answer->version, state.show_algo.load()));
    list.set_tag_of(row, make_row_tag(list.row_of(row), index));
  }
  close_mc_socket(sock);
}

// The dotted-quad parser's value in host order, so that comparing the numbers compares the
// octets first to last; a text that is no address is 255.255.255.255.
std::uint32_t sort_key(const std::u16string& ip) {
  return ntohl(inet_addr(ansi_string(ip).c_str()));
}

}  // namespace

void finish_search_rows(device_list& list) {
  const int count = list.count();
  std::map<std::u16string, int> uses;
  for (int row = 0; row < count; ++row) ++uses[list.text(row, kColIp)];
  for (int row = 0; row < count; ++row) {
    if (uses[list.text(row, kColIp)] > 1) list.set_text(row, kColDupMark, u"1");
  }
  // The rows' own address texts: tags repeat (hand-entered rows carry 0, and a deleted row
  // lets a later one reuse its index), so they cannot stand for a row.
  list.sort([](const list_row_t& a, const list_row_t& b) {
    const std::uint32_t ka = sort_key(a.columns[kColIp]);
    const std::uint32_t kb = sort_key(b.columns[kColIp]);
    return ka < kb ? -1 : ka > kb ? 1 : 0;
  });
  for (int row = 0; row < list.count(); ++row) {
    const std::string number = std::to_string(row + 1);
    list.set_text(row, kColId, wide_string(number));
  }
}

device_search::device_search(device_state& state, search_window& window)
    : state_(state), window_(window) {}

device_search::~device_search() {
  if (controller_.joinable()) controller_.join();
}

void device_search::on_search_clicked() {
  if (running_.exchange(true)) return;
  if (controller_.joinable()) controller_.join();
  window_.read_controls();
  state_.searching = 1;
  controller_ = start_worker("search", [this] { run_controller(); });
  if (!controller_.joinable()) {
    state_.searching = 0;
    running_ = false;
    return;
  }
  window_.arm_search_timer(kSearchTimerMs);
}

void device_search::on_timer() {
  state_.searching = 0;
}

void device_search::on_show_algo_changed() {
  window_.read_controls();
  const int show = state_.show_algo.load();
  // A search's end sorts the rows; column 7 and column 3 must be of the same row.
  std::lock_guard lock(state_.list_lock);
  device_list& list = state_.list;
  for (int row = 0; row < list.count(); ++row) {
    const std::string full = ansi_string(list.text(row, kColFullVersion));
    list.set_text(row, kColVer, wide_string(format_version_text(full, show)));
  }
}

void device_search::wait_idle() {
  while (running_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (controller_.joinable()) controller_.join();
}

void device_search::run_controller() {
  // Whatever happens below, the search ends with the button usable again, and running_ is
  // cleared first: a click on the enabled button must start a search.
  struct end_of_search {
    device_search& search;
    ~end_of_search() {
      search.running_ = false;
      search.window_.set_search_enabled(true);
    }
  } at_end{*this};

  window_.set_search_enabled(false);
  state_.list.delete_all();
  enumerate_adapters(state_.adapters);
  state_.seen.clear();
  state_.addrs.clear();

  // The controller and every answer thread hold their own copy of the adapters, so the
  // ports stay open until the last of them is done. The threads join on every path.
  const std::vector<dev_info_t> adapters = state_.adapters.snapshot();
  std::vector<std::jthread> threads;
  threads.reserve(2 * adapters.size());
  for (int j = 0; j < static_cast<int>(adapters.size()); ++j) {
    const dev_info_t& adapter = adapters[static_cast<std::size_t>(j)];
    if (adapter.pCapHandle) adapter.pCapHandle->apply_filter("ether proto 0xFFF1");
    threads.push_back(start_worker<std::jthread>(
        adapter.acIpAddr[0], [this, j, adapter] { raw_answer_thread(state_, j, adapter); }));
    threads.push_back(start_worker<std::jthread>(
        adapter.acIpAddr[0], [this, j, adapter] { mc_search_thread(state_, j, adapter); }));
  }

  std::uint8_t frame[kSearchFrameSize] = {};
  std::memset(frame, 0xFF, 6);
  frame[12] = 0xFF;
  frame[13] = 0xF0;
  for (int pass = 0; pass < kSearchPasses; ++pass) {
    for (const dev_info_t& adapter : adapters) {
      if (!adapter.pCapHandle) continue;
      std::memcpy(frame + 6, adapter.aucMac, 6);
      adapter.pCapHandle->send(frame, kSearchFrameSize);
    }
    // The pause after the last pass ends with the search: the passes began only after the
    // adapters were opened, and the timer, not the pause, decides when answering stops.
    const auto pause_end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kSearchPassPauseMs);
    while (std::chrono::steady_clock::now() < pause_end &&
           (pass + 1 < kSearchPasses || state_.searching.load() != 0)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  while (state_.searching.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  threads.clear();

  std::lock_guard lock(state_.list_lock);
  finish_search_rows(state_.list);
}

}  // namespace mardo
