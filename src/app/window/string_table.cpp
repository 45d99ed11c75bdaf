#include "app/window/string_table.h"

#include <iterator>

namespace mardo {
namespace {

struct string_entry_t {
  int id;
  const char16_t* text;
};

constexpr string_entry_t kStrings[] = {
#include "strings.inc"
};

}  // namespace

QString load_string(int id) {
  for (const string_entry_t& entry : kStrings) {
    if (entry.id == id) return QString::fromUtf16(entry.text);
  }
  return {};
}

}  // namespace mardo
