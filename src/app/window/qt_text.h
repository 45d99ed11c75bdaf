#pragma once
// The core's UTF-8 text as the window's text, and back: the one conversion the window uses.
#include <QString>

#include <string>
#include <string_view>

namespace mardo {

inline QString qtext(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::string utf8(const QString& text) { return text.toStdString(); }

}  // namespace mardo
