// Dialog units to pixels, and the size rule of the main window's layout.
#include <gtest/gtest.h>

#include <QFontMetrics>

#include "app/window/dialog_units.h"
#include "case_name.h"

namespace mardo {
namespace {

TEST(DialogUnits, BaseUnitsAreTheRoundedUpLetterAverageAndTheFontHeight) {
  const QFont font = dialog_font();
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  const dialog_base_t base = dialog_base_units(font);
  EXPECT_GE(base.cx * 52, letters);
  EXPECT_LT((base.cx - 1) * 52, letters);
  EXPECT_EQ(base.cy, metrics.height());
}

struct rect_case_t {
  const char* name;
  dialog_base_t base;
  int x, y, cx, cy;
  QRect pixels;
};

class DialogRect : public testing::TestWithParam<rect_case_t> {};

TEST_P(DialogRect, ScalesEachEdgeAndRoundsToNearest) {
  const rect_case_t& c = GetParam();
  EXPECT_EQ(dialog_rect(c.base, c.x, c.y, c.cx, c.cy), c.pixels);
}

INSTANTIATE_TEST_SUITE_P(
    Rects, DialogRect,
    testing::Values(
        // 6 x 13: a typical 8-point dialog font.
        rect_case_t{"search_button", {6, 13}, 10, 10, 50, 14, QRect(15, 16, 75, 23)},
        rect_case_t{"whole_dialog", {6, 13}, 0, 0, 680, 430, QRect(0, 0, 1020, 699)},
        rect_case_t{"halves_round_up", {7, 17}, 10, 13, 19, 8, QRect(18, 28, 33, 17)},
        // Each edge is rounded on its own: 1.5 and 3 give a width of 1, not 1.5 rounded to 2.
        rect_case_t{"edges_rounded_on_their_own", {6, 13}, 1, 0, 1, 0, QRect(2, 0, 1, 0)},
        rect_case_t{"origin", {7, 17}, 0, 0, 0, 0, QRect(0, 0, 0, 0)}),
    case_name());

struct delta_case_t {
  const char* name;
  QSize last, now;
  bool accepted;
  int dx, dy;
};

class SizeRule : public testing::TestWithParam<delta_case_t> {};

TEST_P(SizeRule, AcceptsOnlySizesFromTheMinimumAndGivesTheirDelta) {
  const delta_case_t& c = GetParam();
  const auto delta = accepted_size_delta(c.last, c.now);
  ASSERT_EQ(delta.has_value(), c.accepted);
  if (!delta) return;
  EXPECT_EQ(delta->dx, c.dx);
  EXPECT_EQ(delta->dy, c.dy);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SizeRule,
    testing::Values(
        delta_case_t{"larger", QSize(1020, 700), QSize(1200, 800), true, 180, 100},
        delta_case_t{"smaller_but_above_minimum", QSize(1200, 800), QSize(960, 630), true, -240,
                     -170},
        delta_case_t{"narrower_than_minimum", QSize(1020, 700), QSize(959, 800), false, 0, 0},
        delta_case_t{"lower_than_minimum", QSize(1020, 700), QSize(1200, 629), false, 0, 0},
        delta_case_t{"from_a_start_below_minimum", QSize(800, 500), QSize(960, 630), true, 160,
                     130},
        // The differences are 16-bit values, as the size message carries them.
        delta_case_t{"wraps_at_16_bits", QSize(1000, 700), QSize(1000 + 65536, 700), true, 0, 0},
        delta_case_t{"unchanged", QSize(1020, 700), QSize(1020, 700), true, 0, 0}),
    case_name());

}  // namespace
}  // namespace mardo
