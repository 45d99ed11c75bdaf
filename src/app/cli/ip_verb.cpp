// `mardo-cli ip` and `mardo-cli batch-ip`: the IP change of one camera and the batch over the
// chosen ones, each by its row's transport, after a search. `--verify` searches again and
// tells, per camera, whether it now answers at the address it was given: the only
// confirmation a camera reached by raw frames gets.
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "app/cli/verb.h"
#include "core/text.h"
#include "config/batch_ip.h"
#include "config/ip_change.h"
#include "discovery/headless_search.h"
#include "net/tick.h"

namespace mardo {
namespace {

// A camera answers the change from its old address and takes the new one afterwards (a real
// one restarts its network, which takes seconds): --verify searches again until every changed
// camera answers at its new address, or this long after the first of those searches began.
inline constexpr int kVerifyWindowMs = 15000;
inline constexpr char kTextRawSent[] = "已发送";
inline constexpr char kTextRawNotSent[] = "发送失败";
inline constexpr char kTextNotChanged[] = "未修改";

struct given_t {
  std::string mac;  // as the row shows it
  std::string ip;   // the address it was given
  bool multicast = false;
  bool confirmed = false;  // by the camera's own answer (multicast only)
  bool sent = false;       // the set-IP frame went out (raw only)
};

bool answers_at(const device_list& list, const given_t& g) {
  for (int r = 0; r < list.count(); ++r)
    if (cli::canonical_mac(ansi_string(list.text(r, kColMac))) == cli::canonical_mac(g.mac) &&
        ansi_string(list.text(r, kColIp)) == g.ip)
      return true;
  return false;
}

// New searches; each camera's row by MAC (either spelling) must show its new address in one
// of them. A camera whose frame never went out cannot have moved and is not waited for.
std::vector<bool> verify(device_state& state, const std::vector<given_t>& given) {
  std::vector<bool> found(given.size(), false);
  const std::uint64_t t0 = tick_ms();
  for (;;) {
    run_headless_search(state);
    bool waiting = false;
    for (std::size_t i = 0; i < given.size(); ++i) {
      if (!found[i]) found[i] = answers_at(state.list, given[i]);
      waiting = waiting || (!found[i] && (given[i].multicast || given[i].sent));
    }
    if (!waiting || tick_ms() - t0 >= static_cast<std::uint64_t>(kVerifyWindowMs)) return found;
  }
}

int report(device_state& state, const std::vector<given_t>& given, bool check) {
  const std::vector<bool> seen = check ? verify(state, given) : std::vector<bool>(given.size());
  bool all = true;
  for (std::size_t i = 0; i < given.size(); ++i) {
    const given_t& g = given[i];
    const bool done = g.multicast ? g.confirmed : g.sent;
    std::string status = g.multicast ? (g.confirmed ? kTextIpChanged : kTextIpChangeFailed)
                                     : (g.sent ? kTextRawSent : kTextRawNotSent);
    if (check) status += seen[i] ? " | 已确认" : " | 未确认";
    std::printf("%-17s %-15s %s\n", g.mac.c_str(), g.ip.c_str(), status.c_str());
    all = all && (check ? seen[i] : done);
  }
  std::fflush(stdout);
  return all ? cli::kExitOk : cli::kExitSomeFailed;
}

// Each address text given, checked before the search: named on stderr when refused.
bool addresses_ok(const char* verb,
                  std::initializer_list<std::tuple<const char*, const std::string*, address_field_t>> texts) {
  bool ok = true;
  for (const auto& [option, text, field] : texts) {
    if (!text) continue;
    const std::string fault = address_text_fault(*text, field);
    if (fault.empty()) continue;
    std::fprintf(stderr, "mardo-cli %s: %s %s: %s\n", verb, option, text->c_str(), fault.c_str());
    ok = false;
  }
  return ok;
}

struct ip_options_t {
  std::string mac, ip;
  std::optional<std::string> netmask, gateway;
  bool verify = false;
};

int run_ip(const ip_options_t& o) {
  device_state state;
  std::vector<int> rows;
  std::vector<std::string> missing;
  cli::row_choice_t choice;
  choice.macs = {o.mac};
  if (const int status = cli::search_and_tick(state, choice, "ip", rows, missing);
      status != cli::kExitOk) {
    cli::print_not_found(missing);
    return status;
  }
  const std::optional<camera_t> camera = camera_at(state, rows.front());
  if (!camera) return cli::kExitSomeFailed;
  const std::string& mac = camera->mac;
  // Unset fields start as the dialog's: the camera's own netmask and gateway.
  ip_fields_t fields;
  if (const auto& r = camera->multicast) {
    fields = initial_ip_fields(o.ip, r->uiNetmask, r->uiGateway);
  } else if (const auto& adapter = camera->adapter; adapter && (!o.netmask || !o.gateway)) {
    const auto found = query_camera_ip(*adapter, mac);
    fields = initial_ip_fields(o.ip, found ? std::optional(found->netmask) : std::nullopt,
                               found ? std::optional(found->gateway) : std::nullopt);
  } else {
    fields = initial_ip_fields(o.ip, std::nullopt, std::nullopt);
  }
  if (o.netmask) fields.netmask = *o.netmask;
  if (o.gateway) fields.gateway = *o.gateway;
  given_t g{mac, o.ip, camera->multicast.has_value(), false, false};
  g.sent = apply_ip_change(state, *camera, fields, &g.confirmed) && !g.multicast;
  const int status = report(state, {g}, o.verify);
  state.adapters.clear();
  return status;
}

struct batch_options_t {
  batch_ip_fields_t fields;
  cli::row_choice_t rows;
  bool verify = false;
};

int run_batch(const batch_options_t& o) {
  device_state state;
  std::vector<int> rows;
  std::vector<std::string> missing;
  if (const int status = cli::search_and_tick(state, o.rows, "batch-ip", rows, missing);
      status != cli::kExitOk) {
    cli::print_not_found(missing);
    return status;
  }
  std::vector<given_t> given;
  const std::vector<camera_t> cameras = ticked_cameras(state);
  run_batch_ip(state, cameras, o.fields, [&](const batch_ip_step_t& step) {
    given.push_back({step.camera->mac, dotted_text(step.address), step.multicast, step.confirmed, step.sent});
  });
  int status = report(state, given, o.verify);
  // A run ends at a camera it cannot reach (its adapter gone); those after it kept their
  // addresses.
  for (std::size_t i = given.size(); i < cameras.size(); ++i) {
    std::printf("%-17s %-15s %s\n", cameras[i].mac.c_str(), cameras[i].ip.c_str(), kTextNotChanged);
    status = cli::kExitSomeFailed;
  }
  cli::print_not_found(missing);
  state.adapters.clear();
  return cli::with_missing(status, missing);
}

}  // namespace

namespace cli {

void add_ip_verbs(CLI::App& app, int& status) {
  auto one = std::make_shared<ip_options_t>();
  CLI::App* ip = app.add_subcommand("ip", "Search, then give one camera new addresses.");
  ip->add_option("--mac", one->mac, "the camera")->required()->type_name("MAC");
  ip->add_option("--ip", one->ip, "its new address (sent as typed)")->required()->type_name("A");
  ip->add_option("--netmask", one->netmask, "default: the camera's own")->type_name("N");
  ip->add_option("--gateway", one->gateway, "default: the camera's own; '' for none (0.0.0.0)")
      ->type_name("G");
  ip->add_flag("--verify", one->verify, "search again (for up to about 15 s) until the camera "
                                        "answers there");
  ip->footer(
      "Addresses are four decimal octets 0..255 (a netmask's ones contiguous), checked before "
      "the search.\n"
      "A camera the multicast search found confirms the change itself (修改IP成功 / 修改IP失败); "
      "one reached by raw frames never answers (已发送, or 发送失败 when the frame could not be "
      "sent), and only --verify tells.\n"
      "Exit status: 0 the camera confirmed (with --verify: answers at the new address; without, "
      "a raw camera counts when its frame was sent); 1 otherwise, also when the camera was not "
      "found; 2 bad arguments, also an address that is not one.");
  ip->callback([one, &status] {
    if (canonical_mac(one->mac).empty()) {
      std::fprintf(stderr, "mardo-cli ip: not a MAC: %s\n", one->mac.c_str());
      status = kExitBadInput;
      return;
    }
    if (!addresses_ok("ip", {{"--ip", &one->ip, address_field_t::address},
                             {"--netmask", one->netmask ? &*one->netmask : nullptr, address_field_t::netmask},
                             {"--gateway", one->gateway ? &*one->gateway : nullptr, address_field_t::gateway}})) {
      status = kExitBadInput;
      return;
    }
    // No gateway is 0.0.0.0 on the wire; the empty text would read as 255.255.255.255.
    if (one->gateway && one->gateway->empty()) *one->gateway = "0.0.0.0";
    status = run_ip(*one);
  });

  auto batch = std::make_shared<batch_options_t>();
  CLI::App* b = app.add_subcommand(
      "batch-ip", "Search, then give the chosen cameras consecutive addresses in list order.");
  b->add_option("--start", batch->fields.start_ip, "the first address")->required()->type_name("A");
  b->add_option("--netmask", batch->fields.netmask, "default 255.255.255.0")->type_name("N");
  b->add_option("--gateway", batch->fields.gateway,
                "default 192.168.55.1, as the dialog; '' for none (0.0.0.0)")
      ->type_name("G");
  b->add_flag("--same", batch->fields.same_ip, "every camera the start address (设置为同一IP)");
  b->add_flag("--verify", batch->verify, "search again (for up to about 15 s) until each camera "
                                         "answers there");
  add_row_choice(*b, batch->rows);
  b->footer(
      "The last octet counts on without carry (x.y.z.255 is followed by x.y.z.0). Addresses are "
      "four decimal octets 0..255 (a netmask's ones contiguous), checked before the search.\n"
      "Exit status: 0 every camera confirmed (with --verify: answers at its new address; without, "
      "raw cameras count when their frame was sent); 1 otherwise, also when a --mac was not found "
      "(its line says 未找到; the others are still changed); 2 bad arguments, also an address "
      "that is not one.");
  b->callback([batch, &status] {
    const batch_ip_fields_t& f = batch->fields;
    if (!addresses_ok("batch-ip", {{"--start", &f.start_ip, address_field_t::address},
                                   {"--netmask", &f.netmask, address_field_t::netmask},
                                   {"--gateway", &f.gateway, address_field_t::gateway}})) {
      status = kExitBadInput;
      return;
    }
    if (batch->fields.gateway.empty()) batch->fields.gateway = "0.0.0.0";
    status = run_batch(*batch);
  });
}

}  // namespace cli
}  // namespace mardo
