#pragma once
// Dialog units, as the dialog templates give positions: a horizontal unit is a quarter of the
// dialog font's average character width, a vertical one an eighth of its height.
#include <QFont>
#include <QRect>
#include <QSize>

#include <optional>

namespace mardo {

struct dialog_base_t {
  int cx;  // average character width in pixels
  int cy;  // character height in pixels
};

// The font every dialog of the tool is laid out in. A CJK family comes first so that the
// captions are drawn in the font the metrics are taken from.
QFont dialog_font();

// The average width is that of the 52 Latin letters divided by 52, rounded up.
dialog_base_t dialog_base_units(const QFont& font);

// A template rectangle in pixels; each edge is scaled and rounded on its own, so adjacent
// controls stay adjacent.
QRect dialog_rect(const dialog_base_t& base, int x, int y, int cx, int cy);
QSize dialog_size(const dialog_base_t& base, int cx, int cy);

// The main window's layout rule: a new client size below the minimum is not accepted; an
// accepted one moves the controls by its difference from the last accepted size, taken as
// 16-bit signed values.
inline constexpr int kLayoutMinWidth = 960;
inline constexpr int kLayoutMinHeight = 630;

struct size_delta_t {
  int dx;
  int dy;
};
std::optional<size_delta_t> accepted_size_delta(QSize last, QSize now);

}  // namespace mardo
