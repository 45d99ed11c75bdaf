// The main window offscreen: title, controls, columns, layout, select-all, keys, progress.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <string>
#include <thread>
#include <vector>

#include "app/window/about_dlg.h"
#include "app/window/string_table.h"
#include "case_name.h"
#include "gui_fixture.h"

namespace mardo {
namespace {

using gui_test::control;
using gui_test::shown_window;
using gui_test::wait_for;

QString text_of(const CMardoDlg& window, int row, int column) {
  return QString::fromStdU16String(const_cast<CMardoDlg&>(window).state().list.text(row, column));
}

// ---- title ----

struct title_case_t {
  const char* name;
  const char* version;
  const char16_t* title;
};

class WindowTitle : public testing::TestWithParam<title_case_t> {};

TEST_P(WindowTitle, CarriesTheFileVersionOnlyWhenItReadsAsFourNumbers) {
  EXPECT_EQ(main_window_title(GetParam().version), QString::fromUtf16(GetParam().title));
}

INSTANTIATE_TEST_SUITE_P(
    Versions, WindowTitle,
    testing::Values(
        title_case_t{"this_build", "1.1.1.6311",
                     u"批量升级工具 V1.1.1.6311   [2023/10/08 10:00:00]"},
        title_case_t{"missing", "", u"批量升级工具 V   [2023/10/08 10:00:00]"},
        title_case_t{"three_parts", "1.1.1", u"批量升级工具 V   [2023/10/08 10:00:00]"},
        title_case_t{"trailing_text", "1.1.1.6311x", u"批量升级工具 V   [2023/10/08 10:00:00]"},
        title_case_t{"part_over_16_bits", "1.1.1.70000", u"批量升级工具 V   [2023/10/08 10:00:00]"},
        title_case_t{"zeros", "0.0.0.0", u"批量升级工具 V0.0.0.0   [2023/10/08 10:00:00]"}),
    case_name());

TEST(MainWindow, TitleIsBuiltFromThisBuildsVersion) {
  auto window = shown_window();
  EXPECT_EQ(window->windowTitle(),
            QStringLiteral("批量升级工具 V1.1.1.6311   [2023/10/08 10:00:00]"));
}

// ---- controls ----

struct control_case_t {
  const char* name;
  int id;  // -1: a label found by its caption
  const char16_t* caption;
  int x, y, cx, cy;
  bool visible;
};

const control_case_t kControlCases[] = {
    {"upgrade", 1, u"升级", 620, 10, 50, 14, true},
    {"search", 1000, u"搜索", 10, 10, 50, 14, true},
    {"adapter_combo", 1001, u"", 55, 10, 160, 100, false},
    {"device_list", 1002, u"", 10, 30, 660, 365, true},
    {"package_path", 1003, u"", 380, 10, 180, 14, true},
    {"browse", 1004, u"浏览...", 565, 10, 50, 14, true},
    {"add_manual", 1010, u"手动添加...", 45, 400, 70, 14, true},
    {"delete_rows", 1011, u"删除...", 120, 400, 50, 14, true},
    {"delete_all", 1012, u"全部删除...", 175, 400, 70, 14, true},
    {"adapter_label", -1, u"网卡列表：", 10, 13, 41, 8, false},
    {"path_label", -1, u"升级包路径：", 325, 13, 49, 8, true},
    {"select_all", 1016, u"全选", 10, 402, 32, 10, true},
    {"reboot", 1017, u"重启", 620, 400, 50, 14, true},
    {"change_ip", 1018, u"修改IP...", 480, 400, 60, 14, false},
    {"batch_ip", 1019, u"批量修改IP...", 545, 400, 70, 14, true},
    {"double_click_hint", 1020, u"提示：双击列表中的项可以修改IP地址", 540, 415, 137, 8, true},
    {"time_sync", 1021, u"手动同步", 250, 400, 50, 14, false},
    {"delete_logs", 1022, u"删除日志", 305, 400, 50, 14, false},
    {"factory_test", 1023, u"出厂测试", 360, 400, 50, 14, false},
    {"format_label", -1, u"支持iupk和zip格式升级包", 380, 0, 93, 8, true},
    {"export_mac", 1028, u"导出MAC...", 415, 400, 50, 14, false},
    {"power_test", 1029, u"开始断电测试", 65, 10, 53, 14, false},
    {"show_algo", 1032, u"显示算法版本信息", 230, 12, 80, 10, true},
    {"set_model", 1033, u"设置产品型号", 45, 415, 70, 14, false},
    {"query_model", 1034, u"查询产品型号", 120, 415, 70, 14, false},
};

QWidget* find_control(const CMardoDlg& window, const control_case_t& c) {
  if (c.id != -1) return window.control(c.id);
  for (QLabel* label : window.findChildren<QLabel*>(QStringLiteral("static"))) {
    if (label->text() == QString::fromUtf16(c.caption)) return label;
  }
  return nullptr;
}

QString caption_of(QWidget* widget) {
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  return {};
}

class MainWindowControls : public testing::TestWithParam<control_case_t> {
 protected:
  static void SetUpTestSuite() { window_ = shown_window().release(); }
  static void TearDownTestSuite() {
    delete window_;
    window_ = nullptr;
  }
  static CMardoDlg* window_;
};
CMardoDlg* MainWindowControls::window_ = nullptr;

TEST_P(MainWindowControls, HasItsCaptionPlaceAndStartVisibility) {
  const control_case_t& c = GetParam();
  QWidget* widget = find_control(*window_, c);
  ASSERT_NE(widget, nullptr);
  EXPECT_EQ(widget->property("ctrl_id").toInt(), c.id);
  EXPECT_EQ(caption_of(widget), QString::fromUtf16(c.caption));
  EXPECT_EQ(widget->isVisible(), c.visible);
  const QRect expected = dialog_rect(window_->base_units(), c.x, c.y, c.cx, c.cy);
  const QRect actual = widget->geometry();
  EXPECT_EQ(actual.topLeft(), expected.topLeft());
  EXPECT_EQ(actual.width(), expected.width());
  // A combo box's template height is its drop-down's, not its own.
  if (qobject_cast<QComboBox*>(widget) == nullptr) {
    EXPECT_EQ(actual.height(), expected.height());
  }
}

INSTANTIATE_TEST_SUITE_P(Dialog102, MainWindowControls, testing::ValuesIn(kControlCases),
                         case_name());

TEST(MainWindow, ControlsAreOfTheirKinds) {
  auto window = shown_window();
  auto* upgrade = control<QPushButton>(*window, kIdUpgrade);
  ASSERT_NE(upgrade, nullptr);
  EXPECT_TRUE(upgrade->isDefault());
  EXPECT_NE(control<QPushButton>(*window, kIdSearch), nullptr);
  EXPECT_NE(control<QComboBox>(*window, kIdAdapterCombo), nullptr);
  EXPECT_EQ(control<QComboBox>(*window, kIdAdapterCombo)->count(), 0);
  EXPECT_NE(control<QTableView>(*window, kIdList), nullptr);
  EXPECT_NE(control<QLineEdit>(*window, kIdPackagePath), nullptr);
  EXPECT_NE(control<QCheckBox>(*window, kIdSelectAll), nullptr);
  EXPECT_NE(control<QCheckBox>(*window, kIdShowAlgo), nullptr);
  EXPECT_EQ(window->control(4242), nullptr);
}

TEST(MainWindow, ClientAreaIsTheTemplateSizeInDialogUnits) {
  auto window = shown_window();
  EXPECT_EQ(window->size(), dialog_size(window->base_units(), 680, 430));
  EXPECT_EQ(window->last_client_size(), window->size());
}

// ---- the list ----

TEST(MainWindow, ListHasElevenColumnsWithTheirHeadersAndStartWidths) {
  auto window = shown_window();
  QTableView* list = window->list();
  ASSERT_EQ(list->model()->columnCount(), 11);
  const char16_t* headers[] = {u"id", u"mac", u"ip",         u"ver",      u"dev", u"info",
                               u"",   u"",    u"ether name", u"localmac", u"algo"};
  const int widths[] = {60, 130, 110, 360, 160, 160, 0, 0, 0, 0, 0};
  for (int column = 0; column < 11; ++column) {
    SCOPED_TRACE(column);
    EXPECT_EQ(list->model()->headerData(column, Qt::Horizontal).toString(),
              QString::fromUtf16(headers[column]));
    EXPECT_EQ(list->horizontalHeader()->sectionSize(column), widths[column]);
  }
}

TEST(MainWindow, ColumnsWithoutWidthCanBeWidenedByTheUser) {
  auto window = shown_window();
  QHeaderView* header = window->list()->horizontalHeader();
  for (int column = 6; column < 11; ++column) {
    SCOPED_TRACE(column);
    EXPECT_FALSE(header->isSectionHidden(column));
    EXPECT_EQ(header->sectionResizeMode(column), QHeaderView::Interactive);
    header->resizeSection(column, 80);
    EXPECT_EQ(header->sectionSize(column), 80);
  }
}

TEST(MainWindow, ListShowsCheckBoxesFullRowsSeveralSelectableWithGrid) {
  auto window = shown_window();
  gui_test::add_rows(window->state(), 3);
  window->model().catch_up();
  QTableView* list = window->list();
  EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);
  EXPECT_TRUE(list->showGrid());
  const QModelIndex first = list->model()->index(0, kColId);
  EXPECT_TRUE(list->model()->flags(first).testFlag(Qt::ItemIsUserCheckable));
  EXPECT_EQ(list->model()->data(first, Qt::CheckStateRole).toInt(), Qt::Unchecked);
  list->selectionModel()->select(list->model()->index(0, 0),
                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
  list->selectionModel()->select(list->model()->index(2, 0),
                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
  EXPECT_EQ(list->selectionModel()->selectedRows().size(), 2);
}

// ---- layout ----

struct anchored_t {
  int id;
  int grow_x, grow_y, move_x, move_y;  // multiples of dx / dy
};

// Every control that follows the size; all others keep their place.
const anchored_t kAnchored[] = {
    {1003, 1, 0, 0, 0}, {1004, 0, 0, 1, 0}, {1, 0, 0, 1, 0},    {1002, 1, 1, 0, 0},
    {1016, 0, 0, 0, 1}, {1010, 0, 0, 0, 1}, {1011, 0, 0, 0, 1}, {1012, 0, 0, 0, 1},
    {1021, 0, 0, 0, 1}, {1022, 0, 0, 0, 1}, {1023, 0, 0, 0, 1}, {1028, 0, 0, 0, 1},
    {1018, 0, 0, 1, 1}, {1020, 0, 0, 1, 1}, {1019, 0, 0, 1, 1}, {1017, 0, 0, 1, 1},
};
const int kFixed[] = {1000, 1001, 1029, 1032, 1033, 1034};

std::map<int, QRect> geometries(const CMardoDlg& window) {
  std::map<int, QRect> out;
  for (const control_case_t& c : kControlCases) {
    if (c.id != -1) out[c.id] = window.control(c.id)->geometry();
  }
  return out;
}

bool resized_to(CMardoDlg& window, QSize size) {
  window.resize(size);
  return wait_for([&] { return window.size() == size; }, 2000);
}

void expect_moved_by(const std::map<int, QRect>& before, const CMardoDlg& window, int dx, int dy) {
  for (const anchored_t& a : kAnchored) {
    SCOPED_TRACE(a.id);
    const QRect was = before.at(a.id);
    const QRect now = window.control(a.id)->geometry();
    EXPECT_EQ(now.x(), was.x() + a.move_x * dx);
    EXPECT_EQ(now.y(), was.y() + a.move_y * dy);
    EXPECT_EQ(now.width(), was.width() + a.grow_x * dx);
    EXPECT_EQ(now.height(), was.height() + a.grow_y * dy);
  }
  for (int id : kFixed) {
    SCOPED_TRACE(id);
    EXPECT_EQ(window.control(id)->geometry(), before.at(id));
  }
}

QSize grown(QSize start, int dx, int dy) {
  return QSize(std::max(start.width(), kLayoutMinWidth) + dx,
               std::max(start.height(), kLayoutMinHeight) + dy);
}

TEST(MainWindowLayout, EnlargingWidensTheListAndTheVerColumnByTheSameAmount) {
  auto window = shown_window();
  const QSize start = window->size();
  const auto before = geometries(*window);
  const int ver_before = window->list()->horizontalHeader()->sectionSize(kColVer);
  const int id_before = window->list()->horizontalHeader()->sectionSize(kColId);
  const QSize target = grown(start, 120, 70);
  ASSERT_TRUE(resized_to(*window, target));
  const int dx = target.width() - start.width();
  const int dy = target.height() - start.height();
  expect_moved_by(before, *window, dx, dy);
  EXPECT_EQ(window->list()->horizontalHeader()->sectionSize(kColVer), ver_before + dx);
  EXPECT_EQ(window->list()->horizontalHeader()->sectionSize(kColId), id_before);
  EXPECT_EQ(window->last_client_size(), target);
}

TEST(MainWindowLayout, ShrinkingBelowTheMinimumChangesNothing) {
  auto window = shown_window();
  const QSize accepted = grown(window->size(), 40, 40);
  ASSERT_TRUE(resized_to(*window, accepted));
  const auto before = geometries(*window);
  const int ver_before = window->list()->horizontalHeader()->sectionSize(kColVer);
  for (QSize small : {QSize(kLayoutMinWidth - 1, accepted.height()),
                      QSize(accepted.width(), kLayoutMinHeight - 1), QSize(500, 300)}) {
    SCOPED_TRACE(small.width());
    ASSERT_TRUE(resized_to(*window, small));
    expect_moved_by(before, *window, 0, 0);
    EXPECT_EQ(window->list()->horizontalHeader()->sectionSize(kColVer), ver_before);
    EXPECT_EQ(window->last_client_size(), accepted);
  }
}

TEST(MainWindowLayout, NextAcceptedSizeCountsFromTheLastAcceptedOne) {
  auto window = shown_window();
  const QSize accepted = grown(window->size(), 40, 40);
  ASSERT_TRUE(resized_to(*window, accepted));
  const auto before = geometries(*window);
  const int ver_before = window->list()->horizontalHeader()->sectionSize(kColVer);
  ASSERT_TRUE(resized_to(*window, QSize(700, 500)));
  const QSize next(kLayoutMinWidth + 10, kLayoutMinHeight + 5);
  ASSERT_TRUE(resized_to(*window, next));
  const int dx = next.width() - accepted.width();
  const int dy = next.height() - accepted.height();
  expect_moved_by(before, *window, dx, dy);
  EXPECT_EQ(window->list()->horizontalHeader()->sectionSize(kColVer), ver_before + dx);
}

// ---- select all (check box 1016, timer 2) ----

class SelectAll : public testing::Test {
 protected:
  void SetUp() override {
    window_ = shown_window();
    box_ = control<QCheckBox>(*window_, kIdSelectAll);
    ASSERT_NE(box_, nullptr);
  }
  device_list& rows() { return window_->state().list; }
  bool box_becomes(bool on) {
    // Timer 2 runs every second; two periods leave room for a loaded machine.
    return wait_for([&] { return box_->isChecked() == on; }, 2500);
  }

  std::unique_ptr<CMardoDlg> window_;
  QCheckBox* box_ = nullptr;
};

TEST_F(SelectAll, ClickingItChecksAndUnchecksEveryRow) {
  gui_test::add_rows(window_->state(), 4);
  box_->click();
  for (int row = 0; row < 4; ++row) EXPECT_TRUE(rows().checked(row)) << row;
  EXPECT_EQ(window_->select_all.load(), 1);
  box_->click();
  for (int row = 0; row < 4; ++row) EXPECT_FALSE(rows().checked(row)) << row;
  EXPECT_EQ(window_->select_all.load(), 0);
}

TEST_F(SelectAll, UncheckingOneRowClearsItWithinASecond) {
  gui_test::add_rows(window_->state(), 3);
  box_->click();
  ASSERT_TRUE(box_->isChecked());
  window_->model().catch_up();
  // Through the view's model, as the user's click on the row's box would.
  ASSERT_TRUE(window_->model().setData(window_->model().index(2, kColId), Qt::Unchecked,
                                       Qt::CheckStateRole));
  EXPECT_TRUE(box_becomes(false));
  EXPECT_EQ(window_->select_all.load(), 0);
}

TEST_F(SelectAll, CheckingTheLastUncheckedRowSetsItWithinASecond) {
  gui_test::add_rows(window_->state(), 3);
  rows().set_checked(1, true);
  rows().set_checked(2, true);
  // Counted from the first row: a later checked row does not make up for it.
  QTest::qWait(1200);
  EXPECT_FALSE(box_->isChecked());
  window_->model().catch_up();
  ASSERT_TRUE(
      window_->model().setData(window_->model().index(0, kColId), Qt::Checked, Qt::CheckStateRole));
  EXPECT_TRUE(box_becomes(true));
  EXPECT_EQ(window_->select_all.load(), 1);
}

TEST_F(SelectAll, OnAnEmptyListNothingHappensAndTheBoxFallsBack) {
  QSignalSpy inserted(&window_->model(), &QAbstractItemModel::rowsInserted);
  box_->click();
  EXPECT_EQ(rows().count(), 0);
  EXPECT_TRUE(box_becomes(false));
  EXPECT_EQ(inserted.count(), 0);
  EXPECT_EQ(window_->select_all.load(), 0);
}

// ---- keys ----

struct key_case_t {
  const char* name;
  Qt::Key key;
  Qt::KeyboardModifiers modifiers;
  bool toggles;
};

class ConsoleKey : public testing::TestWithParam<key_case_t> {};

TEST_P(ConsoleKey, OnlyCtrlAltPTogglesTheConsole) {
  auto window = shown_window();
  // Sent to the list, which has no use for it: the window looks first.
  QTest::keyClick(window->list(), GetParam().key, GetParam().modifiers);
  EXPECT_EQ(window->console().is_visible(), GetParam().toggles);
  EXPECT_EQ(window->console().window() != nullptr, GetParam().toggles);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ConsoleKey,
    testing::Values(
        key_case_t{"ctrl_alt_p", Qt::Key_P, Qt::ControlModifier | Qt::AltModifier, true},
        key_case_t{"ctrl_alt_shift_p", Qt::Key_P,
                   Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier, true},
        key_case_t{"ctrl_p", Qt::Key_P, Qt::ControlModifier, false},
        key_case_t{"alt_p", Qt::Key_P, Qt::AltModifier, false},
        key_case_t{"p", Qt::Key_P, Qt::NoModifier, false},
        key_case_t{"ctrl_alt_o", Qt::Key_O, Qt::ControlModifier | Qt::AltModifier, false}),
    case_name());

TEST(MainWindowKeys, CtrlAltPShowsAndHidesTheConsoleAndIsConsumed) {
  auto window = shown_window();
  auto* edit = control<QLineEdit>(*window, kIdPackagePath);
  edit->setFocus();
  QTest::keyClick(edit, Qt::Key_P, Qt::ControlModifier | Qt::AltModifier);
  ASSERT_NE(window->console().window(), nullptr);
  EXPECT_TRUE(window->console().window()->isVisible());
  QTest::keyClick(edit, Qt::Key_P, Qt::ControlModifier | Qt::AltModifier);
  EXPECT_FALSE(window->console().window()->isVisible());
  EXPECT_FALSE(window->console().is_visible());
  QTest::keyClick(edit, Qt::Key_P, Qt::ControlModifier | Qt::AltModifier);
  EXPECT_TRUE(window->console().window()->isVisible());
  // Consumed: the edit never saw a "p".
  EXPECT_TRUE(edit->text().isEmpty());
}

TEST(MainWindowKeys, EscapeEndsTheDialogWithoutTheCloseHandler) {
  auto window = shown_window();
  int close_hook_calls = 0;
  window->set_close_hook([&] { ++close_hook_calls; });
  QTest::keyClick(window->list(), Qt::Key_Escape);
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(window->result(), QDialog::Rejected);
  EXPECT_EQ(close_hook_calls, 0);
}

TEST(MainWindowKeys, ClosingTheWindowRunsTheCloseHandlerOnce) {
  auto window = shown_window();
  int close_hook_calls = 0;
  window->set_close_hook([&] { ++close_hook_calls; });
  EXPECT_TRUE(window->close());
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(close_hook_calls, 1);
}

TEST(MainWindowKeys, EnterActivatesUpgrade) {
  auto window = shown_window();
  QSignalSpy upgrade(control<QPushButton>(*window, kIdUpgrade), &QPushButton::clicked);
  QSignalSpy search(control<QPushButton>(*window, kIdSearch), &QPushButton::clicked);
  window->list()->setFocus();
  QTest::keyClick(window->list(), Qt::Key_Return);
  EXPECT_EQ(upgrade.count(), 1);
  EXPECT_EQ(search.count(), 0);
  // The upgrade handler is not wired yet; Enter must not end the dialog either.
  EXPECT_TRUE(window->isVisible());
}

// ---- progress of the patch transfer ----

// Progress is queued to the GUI thread: it reaches its camera's row wherever that row went, a
// row that is gone gets nothing, and a report still queued when the camera's final text is
// written never covers that text.
TEST(MainWindowProgress, QueuedProgressFollowsItsCameraAndNeverCoversAFinalText) {
  auto window = shown_window();
  device_state& state = window->state();
  gui_test::add_rows(state, 3);
  auto task_of = [&](int row, std::u16string image) {
    upgrade_task_t task;
    task.camera = *camera_at(state, row);
    task.image_name = std::move(image);
    return task;
  };
  const upgrade_task_t first = task_of(0, u"a.img"), second = task_of(1, u"patch.bin"),
                       third = task_of(2, u"c.img");
  window->upgrade().post_transfer_progress(first, 40);
  std::thread worker([&] { window->upgrade().post_transfer_progress(second, 0); });
  worker.join();
  window->upgrade().post_transfer_progress(third, 80);
  state.list.set_status_of(third.camera.id, u"升级成功，相机即将重启！");
  // The first camera's row moves to the end; the second's goes.
  state.list.sort([&](const list_row_t& a, const list_row_t&) { return a.id == first.camera.id ? 1 : -1; });
  state.list.delete_row(state.list.row_of(second.camera.id));
  ASSERT_TRUE(wait_for([&] { return !text_of(*window, 1, kColInfo).isEmpty(); }, 2000));
  QTest::qWait(50);
  EXPECT_EQ(text_of(*window, state.list.row_of(first.camera.id), kColInfo), QStringLiteral("传输 40%"));
  EXPECT_EQ(text_of(*window, state.list.row_of(third.camera.id), kColInfo),
            QStringLiteral("升级成功，相机即将重启！"));
  EXPECT_EQ(state.list.count(), 2);
}

// ---- browse ----

TEST(MainWindowBrowse, StartsAtTheProgramAndPutsTheChosenPathIntoTheEdit) {
  QString asked_with;
  QString answer = QStringLiteral("/tmp/pkg/firmware.iupk");
  dlg_hooks_t hooks = gui_test::quiet_hooks();
  hooks.choose_file = [&](QWidget*, const QString& start) {
    asked_with = start;
    return answer;
  };
  auto window = shown_window(hooks);
  auto* browse = control<QPushButton>(*window, kIdBrowse);
  auto* edit = control<QLineEdit>(*window, kIdPackagePath);
  browse->click();
  EXPECT_EQ(asked_with, QCoreApplication::applicationFilePath());
  EXPECT_EQ(edit->text(), QStringLiteral("/tmp/pkg/firmware.iupk"));

  answer.clear();  // cancelled
  browse->click();
  EXPECT_EQ(edit->text(), QStringLiteral("/tmp/pkg/firmware.iupk"));

  answer = QStringLiteral("/") + QString(kMaxPathChars, QLatin1Char('a'));  // does not fit
  browse->click();
  EXPECT_EQ(edit->text(), QStringLiteral("/tmp/pkg/firmware.iupk"));

  answer = QStringLiteral("/") + QString(kMaxPathChars - 2, QLatin1Char('b'));  // just fits
  browse->click();
  EXPECT_EQ(edit->text(), answer);
}

// ---- upgrade (button 1) ----

TEST(MainWindowUpgrade, EmptyPathIsRefusedAndARunHoldsTheButtonOffUntilItEnds) {
  QStringList boxes;
  dlg_hooks_t hooks = gui_test::quiet_hooks();
  hooks.message_box = [&](QWidget*, const QString& caption, const QString& text) {
    boxes << caption + QStringLiteral("|") + text;
  };
  auto window = shown_window(hooks);
  auto* button = control<QPushButton>(*window, kIdUpgrade);
  auto* edit = control<QLineEdit>(*window, kIdPackagePath);
  QTest::keyClick(edit, Qt::Key_Return);  // Enter is the default button's
  EXPECT_EQ(boxes, QStringList{QStringLiteral("提示|升级包路径不能为空")});

  struct enabled_log : QObject {
    QList<bool> seen;
    bool eventFilter(QObject* o, QEvent* e) override {
      if (e->type() == QEvent::EnabledChange) seen << static_cast<QWidget*>(o)->isEnabled();
      return false;
    }
  } log;
  button->installEventFilter(&log);
  // A run that ticks nobody: it ends with its box, and the button back.
  QTemporaryFile file;
  ASSERT_TRUE(file.open());
  file.write("plain image");
  file.flush();
  edit->setText(file.fileName());
  button->click();
  ASSERT_TRUE(gui_test::wait_for([&] { return boxes.size() == 2 && button->isEnabled(); }, 5000));
  EXPECT_EQ(boxes.back(), QStringLiteral("提示|请至少选择一台设备"));
  EXPECT_EQ(log.seen, (QList<bool>{false, true}));
  EXPECT_EQ(window->upgrade().package_path(), file.fileName().toStdU16String());
  button->removeEventFilter(&log);
}

// ---- configuration (buttons 1010, 1011, 1012) ----

TEST(MainWindowConfig, ManualEntryRefusesACountThatIsNoNumberOrTooLargeThenAddsAndDeleteAsksFirst) {
  QStringList boxes;
  int dialogs = 0;
  bool answer = false;
  dlg_hooks_t hooks = gui_test::quiet_hooks();
  hooks.message_box = [&](QWidget*, const QString&, const QString& text) { boxes << text; };
  hooks.question = [&](QWidget*, const QString&, const QString& text) {
    boxes << text;
    return answer;
  };
  hooks.run_dialog = [&](QDialog& dialog) {
    ++dialogs;
    auto* count = dialog.findChild<QLineEdit*>(QStringLiteral("1008"));
    dialog.findChild<QLineEdit*>(QStringLiteral("1014"))->setText(QStringLiteral("0011223344fe"));
    // No number, and a MAC pasted into the count (a billion rows): refused, it stays open.
    for (const QString& refused : {QString(), QStringLiteral("001122334455")}) {
      count->setText(refused);
      dialog.findChild<QPushButton*>(QStringLiteral("1"))->click();
      EXPECT_EQ(dialog.result(), 0);
    }
    count->setText(QStringLiteral("2"));
    dialog.findChild<QPushButton*>(QStringLiteral("1"))->click();
    return dialog.result() == QDialog::Accepted;
  };
  auto window = shown_window(hooks);
  control<QPushButton>(*window, kIdAddManual)->click();
  EXPECT_EQ(dialogs, 1);
  EXPECT_EQ(boxes, (QStringList{QStringLiteral("请输入一个整数。"), QStringLiteral("请输入一个整数。")}));
  device_list& rows = window->state().list;
  ASSERT_EQ(rows.count(), 2);
  EXPECT_EQ(text_of(*window, 1, kColMac), QStringLiteral("00-11-22-33-44-FF"));
  EXPECT_EQ(text_of(*window, 1, kColIp), QStringLiteral("192.168.55.100"));

  boxes.clear();
  control<QPushButton>(*window, kIdDeleteRows)->click();  // nothing ticked: no question
  EXPECT_TRUE(boxes.isEmpty());
  rows.set_checked(0, true);
  control<QPushButton>(*window, kIdDeleteRows)->click();
  EXPECT_EQ(rows.count(), 2);  // answered No
  answer = true;
  control<QPushButton>(*window, kIdDeleteRows)->click();
  EXPECT_EQ(rows.count(), 1);
  EXPECT_EQ(text_of(*window, 0, kColId), QStringLiteral("2"));
  control<QPushButton>(*window, kIdDeleteAll)->click();
  EXPECT_EQ(rows.count(), 0);
  EXPECT_EQ(boxes, (QStringList{QStringLiteral("是否确认删除？"), QStringLiteral("是否确认删除？"),
                                QStringLiteral("是否确认删除？")}));
}

TEST(MainWindowConfig, IpChangeTakesTheLowestSelectedRow) {
  QString shown;
  dlg_hooks_t hooks = gui_test::quiet_hooks();
  hooks.run_dialog = [&](QDialog& dialog) {
    shown = dialog.findChild<QLineEdit*>(QStringLiteral("1009"))->text();
    return false;
  };
  auto window = shown_window(hooks);
  // An adapter that cannot be opened: nothing goes out, the dialog opens with the defaults.
  dev_info_t adapter{};
  std::snprintf(adapter.acName, sizeof adapter.acName, "mardo-no-such-adapter");
  window->state().adapters.assign({adapter});
  gui_test::add_rows(window->state(), 3);
  for (int r = 0; r < 3; ++r)
    window->state().list.set_text(r, kColIp,
                                  u"192.0.2." + std::u16string(1, static_cast<char16_t>(u'1' + r)));
  window->model().catch_up();
  auto* selection = window->list()->selectionModel();
  selection->select(window->model().index(2, 0),
                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
  selection->select(window->model().index(1, 0),
                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
  window->config().on_change_ip();
  EXPECT_EQ(shown, QStringLiteral("192.0.2.2"));
}

TEST(MainWindowConfig, SetProductTakesTheDialogsTextsAndCancelSendsNothing) {
  bool accept = false;
  dlg_hooks_t hooks = gui_test::quiet_hooks();
  hooks.choose_file = [](QWidget*, const QString&) {
    return QStringLiteral("/") + QString(255, QLatin1Char('p'));
  };
  hooks.run_dialog = [&](QDialog& dialog) {
    dialog.findChild<QLineEdit*>(QStringLiteral("1034"))->setText(QStringLiteral("P-1"));
    dialog.findChild<QPushButton*>(QStringLiteral("1037"))->click();  // 浏览
    return accept;
  };
  auto window = shown_window(hooks);
  gui_test::add_rows(window->state(), 1);
  device_list& rows = window->state().list;
  rows.set_text(0, kColIp, u"127.0.0.1");  // loopback: nothing leaves the machine
  rows.set_text(0, kColInfo, u"before");
  rows.set_checked(0, true);
  window->factory().on_set_product();
  EXPECT_EQ(text_of(*window, 0, kColInfo), QStringLiteral("before"));
  accept = true;
  window->factory().on_set_product();
  // The chosen path has 256 bytes: refused without a connection.
  EXPECT_TRUE(
      wait_for([&] { return text_of(*window, 0, kColInfo) == QStringLiteral("设置失败"); }, 5000));
}

TEST(MainWindowFactory, ChoosersAppearOnlyWhenNeededAndCancellingEachLeavesNoPort) {
  struct row_t {
    int ticked;
    std::vector<std::string> ports;
    bool pick;  // the device chooser picks its second entry and is accepted
    bool accept_com;
    QStringList shown;
    int station;
    std::string port;
  };
  const std::vector<row_t> rows = {
      {1, {"/dev/ttyS0", "/dev/ttyS1"}, false, false, {QStringLiteral("串口")}, 0, ""},
      {1, {"/dev/ttyS0", "/dev/ttyS1"}, false, true, {QStringLiteral("串口")}, 0, "/dev/ttyS0"},
      {1, {}, false, true, {}, 0, ""},  // no ports: nothing to choose
      {2, {"/dev/ttyS0"}, false, false, {QStringLiteral("设备")}, -1, ""},
      {2, {"/dev/ttyS0"}, true, false, {QStringLiteral("设备"), QStringLiteral("串口")}, 1, ""},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    const row_t& r = rows[i];
    QStringList shown;
    QString preselected;
    dlg_hooks_t hooks = gui_test::quiet_hooks();
    hooks.question = [](QWidget*, const QString&, const QString&) { return true; };
    hooks.serial_ports = [&] { return r.ports; };
    hooks.run_dialog = [&](QDialog& dialog) {
      shown << dialog.windowTitle();
      if (auto* devices = dialog.findChild<QComboBox*>(QStringLiteral("1001"))) {
        EXPECT_EQ(devices->currentIndex(), -1);
        if (!r.pick) return false;
        devices->setCurrentIndex(1);
        return true;
      }
      preselected = dialog.findChild<QComboBox*>(QStringLiteral("1026"))->currentText();
      return r.accept_com;
    };
    auto window = shown_window(hooks);
    gui_test::add_rows(window->state(), 2);
    for (int k = 0; k < r.ticked; ++k) window->state().list.set_checked(k, true);
    window->factory().on_factory_test();
    EXPECT_EQ(shown, r.shown);
    EXPECT_EQ(window->test_station_row, r.station);
    EXPECT_EQ(std::string(window->test_com_port), r.port);
    if (r.shown.contains(QStringLiteral("串口"))) {
      EXPECT_EQ(preselected.toStdString(), r.ports.front());
    }
    auto* button = control<QPushButton>(*window, kIdFactoryTest);
    EXPECT_TRUE(wait_for([&] { return button->isEnabled(); }, 5000));
  }
}

// ---- show algorithm version (check box 1032) ----

TEST(MainWindowShowAlgo, CheckBoxRedisplaysTheVersionColumnOfEveryRow) {
  auto window = shown_window();
  device_list& rows = window->state().list;
  gui_test::add_rows(window->state(), 2);
  rows.set_text(0, kColFullVersion, u"V1.0.2.SVR_3.4.5, algo : x1, flash : 16M");
  rows.set_text(1, kColFullVersion, u"2.0.1, algo : x1");
  auto* box = control<QCheckBox>(*window, kIdShowAlgo);
  box->click();
  EXPECT_EQ(window->state().show_algo.load(), 1);
  EXPECT_EQ(text_of(*window, 0, kColVer),
            QStringLiteral("V1.0.2.SVR_3.4.5, algo : x1, flash : 16M"));
  EXPECT_EQ(text_of(*window, 1, kColVer), QStringLiteral("2.0.1, algo : x1"));
  box->click();
  EXPECT_EQ(window->state().show_algo.load(), 0);
  EXPECT_EQ(text_of(*window, 0, kColVer), QStringLiteral("3.4.5, flash : 16M"));
  EXPECT_EQ(text_of(*window, 1, kColVer), QStringLiteral("2.0.1"));
}

TEST(MainWindowShowAlgo, ControlsReadFromAnotherThreadGiveTheBoxesAsTheWindowShowsThem) {
  auto window = shown_window();
  control<QCheckBox>(*window, kIdShowAlgo)->setChecked(true);
  control<QCheckBox>(*window, kIdSelectAll)->setChecked(true);
  std::thread reader([&] { window->read_controls(); });
  reader.join();
  EXPECT_EQ(window->state().show_algo.load(), 1);
  EXPECT_EQ(window->select_all.load(), 1);
}

TEST(MainWindowShowAlgo, MembersAreWrittenBackIntoTheBoxes) {
  auto window = shown_window();
  window->state().show_algo = 1;
  window->select_all = 1;
  window->update_data(false);
  EXPECT_TRUE(control<QCheckBox>(*window, kIdShowAlgo)->isChecked());
  EXPECT_TRUE(control<QCheckBox>(*window, kIdSelectAll)->isChecked());
}

// ---- timer 1 ----

TEST(MainWindowSearchTimer, ArmedFromAnotherThreadItEndsTheSearchAndKeepsFiring) {
  auto window = shown_window();
  window->state().searching = 1;
  std::thread search_thread([&] { window->search().arm_search_timer(50); });
  search_thread.join();
  EXPECT_TRUE(wait_for([&] { return window->state().searching.load() == 0; }, 2000));
  // Never stopped: a flag set again is cleared again.
  window->state().searching = 1;
  EXPECT_TRUE(wait_for([&] { return window->state().searching.load() == 0; }, 2000));
}

// The search's end turns its button back on from its own thread, but not while a job reports
// into rows: those rows must not be cleared or renumbered under it, so the row commands stay
// off until the last job ends.
TEST(MainWindowSearchTimer, SearchButtonFollowsTheSearchAndStaysOffWhileAJobRuns) {
  auto window = shown_window();
  auto* search = control<QPushButton>(*window, kIdSearch);
  const auto row_commands_on = [&] {
    bool on = true;
    for (int id : {kIdAddManual, kIdDeleteRows, kIdDeleteAll}) {
      QWidget* button = control(*window, id);
      on = on && button != nullptr && button->isEnabled();
    }
    return on;
  };
  std::thread controller([&] { window->search().set_search_enabled(false); });
  controller.join();
  EXPECT_TRUE(wait_for([&] { return !search->isEnabled(); }, 2000));
  window->jobs().begin();
  window->jobs().begin();
  EXPECT_FALSE(row_commands_on());
  std::thread ended([&] { window->search().set_search_enabled(true); });
  ended.join();
  QTest::qWait(50);
  EXPECT_FALSE(search->isEnabled());
  window->jobs().end();
  EXPECT_FALSE(search->isEnabled());
  window->jobs().end();
  EXPECT_TRUE(search->isEnabled());
  EXPECT_TRUE(row_commands_on());
}

// ---- About, from the window's menu ----

TEST(MainWindowAbout, WindowMenuOpensTheAboutDialog) {
  auto window = shown_window();
  QString item_text;
  QString about_title;
  QStringList about_texts;
  bool about_icon = false;
  QTimer::singleShot(50, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (menu == nullptr || menu->actions().isEmpty()) return;
    item_text = menu->actions().first()->text();
    QTimer::singleShot(50, [&] {
      auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
      if (about == nullptr) return;
      about_title = about->windowTitle();
      for (QLabel* label : about->findChildren<QLabel*>()) {
        if (!label->pixmap().isNull()) about_icon = true;
        if (!label->text().isEmpty()) about_texts << label->text();
      }
      if (auto* ok = about->findChild<QPushButton*>(QStringLiteral("1"))) {
        about_texts << ok->text();
        ok->click();
      }
    });
    menu->setActiveAction(menu->actions().first());
    QTest::keyClick(menu, Qt::Key_Return);
  });
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                          window->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(window.get(), &event);
  EXPECT_EQ(item_text, load_string(kIdsAboutItem));
  EXPECT_EQ(item_text, QStringLiteral("关于 Mardo(&A)..."));
  EXPECT_EQ(about_title, QStringLiteral("关于 Mardo"));
  EXPECT_TRUE(about_icon);
  ASSERT_GE(about_texts.size(), 3);
  EXPECT_EQ(about_texts.first(), QStringLiteral("Mardo 1.1.1.6283 版"));
  EXPECT_EQ(about_texts.last(), QStringLiteral("确定"));
}

TEST(MainWindowAbout, WindowCarriesTheApplicationIcon) {
  auto window = shown_window();
  EXPECT_FALSE(window->windowIcon().isNull());
  EXPECT_FALSE(app_icon().pixmap(32, 32).isNull());
}

// ---- power-off test ----

TEST(MainWindowPowerTest, ButtonTogglesWithItsCaptionOnlyWhenARowIsTicked) {
  auto window = shown_window();
  auto* button = control<QPushButton>(*window, kIdPowerTest);
  window->reboot_count = 5;
  button->click();
  EXPECT_EQ(button->text(), QStringLiteral("开始断电测试"));
  EXPECT_FALSE(window->power_test_running);
  EXPECT_EQ(window->reboot_count, 5);

  gui_test::add_rows(window->state(), 2);
  // Loopback only: the probe finds no camera there and keeps trying until it is stopped.
  window->state().list.set_text(1, kColIp, u"127.0.0.1");
  window->state().list.set_checked(1, true);
  button->click();
  EXPECT_EQ(button->text(), QStringLiteral("停止断电测试"));
  EXPECT_TRUE(window->power_test_running);
  EXPECT_EQ(window->power_test_count, 1);
  EXPECT_EQ(window->reboot_count, 0);
  button->click();
  EXPECT_EQ(button->text(), QStringLiteral("开始断电测试"));
  EXPECT_FALSE(window->power_test_running);

  // Closing ends a running test but leaves the caption alone.
  button->click();
  EXPECT_TRUE(window->close());
  EXPECT_EQ(window->power().count(), 0);
  EXPECT_EQ(button->text(), QStringLiteral("停止断电测试"));
}

}  // namespace
}  // namespace mardo
