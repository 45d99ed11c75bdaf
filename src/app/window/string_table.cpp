#include "app/window/string_table.h"

#include "app/window/qt_text.h"
#include "core/string_table.h"

namespace mardo {

QString load_string(int id) { return qtext(string_text(id)); }

}  // namespace mardo
