#include "discovery/search.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "app/log.h"
#include "app/text.h"
#include "discovery/search_answer.h"
#include "discovery/version_text.h"
#include "net/adapters.h"
#include "net/capture.h"
#include "net/multicast.h"
#include "net/raw_frame.h"

namespace mardo {
namespace {

using adapter_ref = adapter_table::adapter_ref;

void set_column(device_list& list, int row, int column, const std::string& text) {
  list.set_text(row, column, wide_string(text));
}

// Columns both paths fill from the adapter the answer came in on.
void set_adapter_columns(device_list& list, int row, const dev_info_t& adapter) {
  set_column(list, row, kColEtherName, adapter.acName);
  set_column(list, row, kColLocalMac, format_mac_lower(adapter.aucMac));
}

void raw_answer_thread(device_state& state, int index, const adapter_ref& adapter) {
  pcap_t* handle = adapter->pCapHandle;
  if (!handle) return;
  while (state.searching.load()) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    if (cap_next_frame(handle, &header, &data) > 0 && header && data) {
      const auto answer =
          parse_raw_search_answer(data, header->caplen, header->len, adapter->aucMac);
      if (answer && !state.seen.test_and_set(answer->mac) && !answer->hidden) {
        std::lock_guard lock(state.list_lock);
        device_list& list = state.list;
        const int row = list.add_row();
        set_column(list, row, kColMac, answer->mac);
        set_column(list, row, kColIp, answer->ip);
        if (answer->detailed) {
          log_printf("[%s]winpcap recv: %s \r\n", adapter->acIpAddr[0], answer->version.c_str());
          set_column(list, row, kColAlgo, answer->algo);
          set_adapter_columns(list, row, *adapter);
          set_column(list, row, kColFullVersion, answer->version);
          if (!answer->model.empty()) set_column(list, row, kColDev, answer->model);
          set_column(list, row, kColVer,
                     format_version_text(answer->version, state.show_algo.load()));
        }
        list.set_tag(row, make_row_tag(row, index));
      }
    }
  }
}

void mc_search_thread(device_state& state, int index, const adapter_ref& adapter) {
  const char* local_ip = adapter->acIpAddr[0];
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
    const int row = list.add_row();
    set_column(list, row, kColMac, answer->mac);
    set_column(list, row, kColIp, answer->ip);
    set_column(list, row, kColAlgo, answer->algo);
    set_adapter_columns(list, row, *adapter);
    set_column(list, row, kColFullVersion, answer->version);
    set_column(list, row, kColDev, answer->model);
    set_column(list, row, kColVer, format_version_text(answer->version, state.show_algo.load()));
    list.set_tag(row, make_row_tag(row, index));
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
  std::map<std::uint32_t, std::uint32_t> key_of_tag;
  for (int row = 0; row < count; ++row) {
    const std::u16string ip = list.text(row, kColIp);
    ++uses[ip];
    key_of_tag[list.tag(row)] = sort_key(ip);
  }
  for (int row = 0; row < count; ++row) {
    if (uses[list.text(row, kColIp)] > 1) list.set_text(row, kColDupMark, u"1");
  }
  list.sort([&key_of_tag](std::uint32_t a, std::uint32_t b) {
    const std::uint32_t ka = key_of_tag[a];
    const std::uint32_t kb = key_of_tag[b];
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
  controller_ = std::thread([this] { run_controller(); });
  window_.arm_search_timer(kSearchTimerMs);
}

void device_search::on_timer() {
  state_.searching = 0;
}

void device_search::on_show_algo_changed() {
  window_.read_controls();
  const int show = state_.show_algo.load();
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
  window_.set_search_enabled(false);
  state_.list.delete_all();
  enumerate_adapters(state_.adapters);
  state_.seen.clear();
  state_.addrs.clear();

  // Each answer thread holds its adapter for the whole search, so no rebuild can close a
  // handle under it.
  std::vector<std::thread> threads;
  std::vector<adapter_ref> senders;
  for (int j = 0; j < state_.adapters.count(); ++j) {
    auto adapter = state_.adapters.at(j);
    if (!adapter) break;
    if ((*adapter)->pCapHandle) cap_apply_filter((*adapter)->pCapHandle, "ether proto 0xFFF1");
    threads.emplace_back(
        [this, j, ref = *state_.adapters.at(j)] { raw_answer_thread(state_, j, ref); });
    threads.emplace_back(
        [this, j, ref = *state_.adapters.at(j)] { mc_search_thread(state_, j, ref); });
    senders.push_back(std::move(*adapter));
  }

  std::uint8_t frame[kSearchFrameSize] = {};
  std::memset(frame, 0xFF, 6);
  frame[12] = 0xFF;
  frame[13] = 0xF0;
  for (int pass = 0; pass < kSearchPasses; ++pass) {
    for (const adapter_ref& adapter : senders) {
      if (!adapter->pCapHandle) continue;
      std::memcpy(frame + 6, adapter->aucMac, 6);
      cap_send_frame(adapter->pCapHandle, frame, kSearchFrameSize);
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
  senders.clear();

  while (state_.searching.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (std::thread& t : threads) t.join();

  finish_search_rows(state_.list);
  window_.set_search_enabled(true);
  running_ = false;
}

}  // namespace mardo
