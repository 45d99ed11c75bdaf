#include "app/window/dialog_units.h"

#include <QApplication>
#include <QFontMetrics>
#include <QStringList>

#include <cstdint>

namespace mardo {
namespace {

constexpr int kDialogPointSize = 9;

// MulDiv: the product over the divisor, rounded half away from zero.
int mul_div(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator
                                       : (product - half) / denominator);
}

int delta16(int now, int last) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(now) -
                                   static_cast<std::uint16_t>(last));
}

}  // namespace

QFont dialog_font() {
  QFont font = QApplication::font();
  font.setFamilies({QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans SC"),
                    QStringLiteral("WenQuanYi Micro Hei"), font.family()});
  font.setPointSize(kDialogPointSize);
  return font;
}

dialog_base_t dialog_base_units(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {(letters + 51) / 52, metrics.height()};
}

QRect dialog_rect(const dialog_base_t& base, int x, int y, int cx, int cy) {
  const int left = mul_div(x, base.cx, 4);
  const int top = mul_div(y, base.cy, 8);
  const int right = mul_div(x + cx, base.cx, 4);
  const int bottom = mul_div(y + cy, base.cy, 8);
  return QRect(left, top, right - left, bottom - top);
}

QSize dialog_size(const dialog_base_t& base, int cx, int cy) {
  return QSize(mul_div(cx, base.cx, 4), mul_div(cy, base.cy, 8));
}

std::optional<size_delta_t> accepted_size_delta(QSize last, QSize now) {
  if (now.width() < kLayoutMinWidth || now.height() < kLayoutMinHeight) return std::nullopt;
  return size_delta_t{delta16(now.width(), last.width()), delta16(now.height(), last.height())};
}

}  // namespace mardo
