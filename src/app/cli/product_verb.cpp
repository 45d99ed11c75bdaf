// `mardo-cli product set --product TEXT --hardware TEXT --package FILE (--all | --mac ...)` and
// `mardo-cli product query (--all | --mac ...)`: the product-model provisioning of the window
// over the chosen cameras, one after another, after a search.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/verb.h"
#include "core/text.h"
#include "testing/product_model.h"

namespace mardo {
namespace {

struct options_t {
  product_fields_t fields;
  cli::row_choice_t rows;
};

int run_product(const options_t& o, bool set) {
  const char* verb = set ? "product set" : "product query";
  if (set && !product_block(o.fields)) {
    std::fprintf(stderr, "mardo-cli %s: the package path has %zu bytes; at most %zu fit\n", verb,
                 o.fields.package_path.size(), kPackagePathField - 1);
    return cli::kExitBadInput;
  }
  device_state state;
  std::vector<int> rows;
  std::vector<std::string> missing;
  if (const int status = cli::search_and_tick(state, o.rows, verb, rows, missing);
      status != cli::kExitOk) {
    cli::print_not_found(missing);
    return status;
  }
  const std::vector<camera_t> cameras = start_ticked_cameras(state);
  const int done =
      set ? set_product_models(state, cameras, o.fields) : query_product_models(state, cameras);
  for (int r : rows)
    std::printf("%-17s %-15s %s\n", ansi_string(state.list.text(r, kColMac)).c_str(),
                ansi_string(state.list.text(r, kColIp)).c_str(),
                ansi_string(state.list.text(r, kColInfo)).c_str());
  std::fflush(stdout);
  cli::print_not_found(missing);
  state.adapters.clear();
  return cli::with_missing(done == static_cast<int>(rows.size()) ? cli::kExitOk : cli::kExitSomeFailed,
                           missing);
}

}  // namespace

namespace cli {

void add_product_verb(CLI::App& app, int& status) {
  CLI::App* product = app.add_subcommand("product", "Write or read the cameras' product and hardware models.");
  product->require_subcommand(1);
  auto set_options = std::make_shared<options_t>();
  CLI::App* set = product->add_subcommand("set", "Search, then give the chosen cameras the two model texts and the package.");
  set->add_option("--product", set_options->fields.product_model, "product model (the first 128 bytes are sent)")
      ->required();
  set->add_option("--hardware", set_options->fields.hardware_model, "hardware model (the first 128 bytes)")
      ->required();
  set->add_option("--package", set_options->fields.package_path, "the parameter package sent along")
      ->required()
      ->type_name("FILE");
  add_row_choice(*set, set_options->rows);
  set->footer("Prints each camera's 设置成功 or 设置失败 (未找到: a --mac not found). Exit status: 0 "
              "every camera took it; 1 some did not; 2 bad arguments (also a package path of "
              "256 bytes or more).");
  set->callback([set_options, &status] { status = run_product(*set_options, true); });

  auto query_options = std::make_shared<options_t>();
  CLI::App* query = product->add_subcommand("query", "Search, then read the chosen cameras' two model texts.");
  add_row_choice(*query, query_options->rows);
  query->footer("Prints \"product | hardware\" or 获取失败 per camera (未找到: a --mac not found). "
                "Exit status: 0 every camera answered; 1 some did not; 2 bad arguments.");
  query->callback([query_options, &status] { status = run_product(*query_options, false); });
}

}  // namespace cli
}  // namespace mardo
