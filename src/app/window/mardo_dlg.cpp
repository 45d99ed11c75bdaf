#include "app/window/mardo_dlg.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QResizeEvent>
#include <QTableView>
#include <QThread>

#include <algorithm>
#include <array>
#include <charconv>

#include "app/window/about_dlg.h"
#include "app/window/string_table.h"
#include "net/adapters.h"
#include "net/capture.h"

namespace mardo {
namespace {

enum class kind_t { button, default_button, combo, list, edit, label, check };
enum class start_t { shown, hidden, hidden_by_start_up };
// How a control follows a size change: grow by the width (and height) delta, or move by it.
enum class anchor_t { fixed, grow_x, move_x, grow_xy, move_y, move_xy };

struct control_spec_t {
  int id;
  kind_t kind;
  const char16_t* caption;
  int x, y, cx, cy;  // dialog units
  start_t start;
  anchor_t anchor;
};

// Dialog 102, in template order (which is also the tab order).
constexpr control_spec_t kControls[] = {
    {kIdUpgrade, kind_t::default_button, u"升级", 620, 10, 50, 14, start_t::shown,
     anchor_t::move_x},
    {kIdSearch, kind_t::button, u"搜索", 10, 10, 50, 14, start_t::shown, anchor_t::fixed},
    {kIdAdapterCombo, kind_t::combo, u"", 55, 10, 160, 100, start_t::hidden, anchor_t::fixed},
    {kIdList, kind_t::list, u"", 10, 30, 660, 365, start_t::shown, anchor_t::grow_xy},
    {kIdPackagePath, kind_t::edit, u"", 380, 10, 180, 14, start_t::shown, anchor_t::grow_x},
    {kIdBrowse, kind_t::button, u"浏览...", 565, 10, 50, 14, start_t::shown, anchor_t::move_x},
    {kIdAddManual, kind_t::button, u"手动添加...", 45, 400, 70, 14, start_t::shown,
     anchor_t::move_y},
    {kIdDeleteRows, kind_t::button, u"删除...", 120, 400, 50, 14, start_t::shown, anchor_t::move_y},
    {kIdDeleteAll, kind_t::button, u"全部删除...", 175, 400, 70, 14, start_t::shown,
     anchor_t::move_y},
    {kIdStatic, kind_t::label, u"网卡列表：", 10, 13, 41, 8, start_t::hidden, anchor_t::fixed},
    {kIdStatic, kind_t::label, u"升级包路径：", 325, 13, 49, 8, start_t::shown, anchor_t::fixed},
    {kIdSelectAll, kind_t::check, u"全选", 10, 402, 32, 10, start_t::shown, anchor_t::move_y},
    {kIdReboot, kind_t::button, u"重启", 620, 400, 50, 14, start_t::shown, anchor_t::move_xy},
    {kIdChangeIp, kind_t::button, u"修改IP...", 480, 400, 60, 14, start_t::hidden,
     anchor_t::move_xy},
    {kIdBatchIp, kind_t::button, u"批量修改IP...", 545, 400, 70, 14, start_t::shown,
     anchor_t::move_xy},
    {kIdDoubleClickHint, kind_t::label, u"提示：双击列表中的项可以修改IP地址", 540, 415, 137, 8,
     start_t::shown, anchor_t::move_xy},
    {kIdTimeSync, kind_t::button, u"手动同步", 250, 400, 50, 14, start_t::hidden_by_start_up,
     anchor_t::move_y},
    {kIdDeleteLogs, kind_t::button, u"删除日志", 305, 400, 50, 14, start_t::hidden_by_start_up,
     anchor_t::move_y},
    {kIdFactoryTest, kind_t::button, u"出厂测试", 360, 400, 50, 14, start_t::hidden_by_start_up,
     anchor_t::move_y},
    {kIdStatic, kind_t::label, u"支持iupk和zip格式升级包", 380, 0, 93, 8, start_t::shown,
     anchor_t::fixed},
    {kIdExportMac, kind_t::button, u"导出MAC...", 415, 400, 50, 14, start_t::hidden_by_start_up,
     anchor_t::move_y},
    {kIdPowerTest, kind_t::button, u"开始断电测试", 65, 10, 53, 14, start_t::hidden_by_start_up,
     anchor_t::fixed},
    {kIdShowAlgo, kind_t::check, u"显示算法版本信息", 230, 12, 80, 10, start_t::shown,
     anchor_t::fixed},
    {kIdSetModel, kind_t::button, u"设置产品型号", 45, 415, 70, 14, start_t::hidden,
     anchor_t::fixed},
    {kIdQueryModel, kind_t::button, u"查询产品型号", 120, 415, 70, 14, start_t::hidden,
     anchor_t::fixed},
};

constexpr const char16_t* kTitlePrefix = u"批量升级工具 V";
constexpr const char16_t* kTitleGap = u"   ";

void default_start_up(device_state& state) {
  load_capture_library();
  enumerate_adapters(state.adapters);
}

QString default_choose_file(QWidget* parent, const QString& start) {
  return QFileDialog::getOpenFileName(parent, QString(), start);
}

QWidget* make_control(const control_spec_t& entry, QWidget* parent) {
  const QString caption = QString::fromUtf16(entry.caption);
  switch (entry.kind) {
    case kind_t::button:
    case kind_t::default_button: {
      auto* button = new QPushButton(caption, parent);
      button->setDefault(entry.kind == kind_t::default_button);
      return button;
    }
    case kind_t::combo:
      return new QComboBox(parent);
    case kind_t::list:
      return new QTableView(parent);
    case kind_t::edit:
      return new QLineEdit(parent);
    case kind_t::label: {
      auto* label = new QLabel(caption, parent);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      return label;
    }
    case kind_t::check:
      return new QCheckBox(caption, parent);
  }
  return nullptr;
}

QRect moved(QRect rect, anchor_t anchor, int dx, int dy) {
  switch (anchor) {
    case anchor_t::fixed:
      break;
    case anchor_t::grow_x:
      rect.setWidth(std::max(0, rect.width() + dx));
      break;
    case anchor_t::move_x:
      rect.translate(dx, 0);
      break;
    case anchor_t::grow_xy:
      rect.setWidth(std::max(0, rect.width() + dx));
      rect.setHeight(std::max(0, rect.height() + dy));
      break;
    case anchor_t::move_y:
      rect.translate(0, dy);
      break;
    case anchor_t::move_xy:
      rect.translate(dx, dy);
      break;
  }
  return rect;
}

bool parse_version_part(std::string_view& text, unsigned& value) {
  const char* end = text.data() + text.size();
  const auto [next, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || next == text.data() || value > 0xFFFF) return false;
  text.remove_prefix(static_cast<std::size_t>(next - text.data()));
  return true;
}

}  // namespace

std::string_view file_version() {
  return MARDO_FILE_VERSION;
}

QString main_window_title(std::string_view version) {
  QString title = QString::fromUtf16(kTitlePrefix);
  std::array<unsigned, 4> parts{};
  std::string_view rest = version;
  bool readable = true;
  for (std::size_t i = 0; i < parts.size() && readable; ++i) {
    if (i > 0) {
      readable = rest.starts_with('.');
      if (readable) rest.remove_prefix(1);
    }
    readable = readable && parse_version_part(rest, parts[i]);
  }
  if (readable && rest.empty()) {
    title += QStringLiteral("%1.%2.%3.%4").arg(parts[0]).arg(parts[1]).arg(parts[2]).arg(parts[3]);
  }
  return title + QString::fromUtf16(kTitleGap) + QLatin1String(kBuildStamp);
}

CMardoDlg::CMardoDlg(dlg_hooks_t hooks, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
      hooks_(std::move(hooks)),
      model_(std::make_unique<device_model>(state_.list)),
      console_(std::make_unique<console_view>()) {
  if (!hooks_.start_up) hooks_.start_up = default_start_up;
  if (!hooks_.choose_file) hooks_.choose_file = default_choose_file;
  if (!hooks_.message_box)
    hooks_.message_box = [](QWidget* owner, const QString& caption, const QString& text) {
      QMessageBox::information(owner, caption, text);
    };
  if (!hooks_.question)
    hooks_.question = [](QWidget* owner, const QString& caption, const QString& text) {
      return QMessageBox::question(owner, caption, text, QMessageBox::Yes | QMessageBox::No) ==
             QMessageBox::Yes;
    };
  if (!hooks_.run_dialog)
    hooks_.run_dialog = [](QDialog& d) { return d.exec() == QDialog::Accepted; };
  set_console_window(console_.get());
  setFont(dialog_font());
  base_ = dialog_base_units(font());
  resize(dialog_size(base_, kDialogWidthDlu, kDialogHeightDlu));
  create_controls();
  const window_ports ports{*this, state_, hooks_, poster_, jobs_, stop_};
  auto button = [this](int id) -> QPushButton& { return *static_cast<QPushButton*>(controls_.at(id)); };
  power_ = std::make_unique<power_test_controller>(state_, button(kIdPowerTest),
                                                   static_cast<power_members_t&>(*this));
  search_ = std::make_unique<search_controller>(ports, *search_button_, [this] { read_controls(); });
  config_ = std::make_unique<config_controller>(
      ports, *list_, config_buttons_t{&button(kIdBatchIp), &button(kIdChangeIp)}, reboot_count);
  factory_ = std::make_unique<factory_controller>(ports, *factory_button_,
                                                  static_cast<factory_members_t&>(*this));
  upgrade_ = std::make_unique<upgrade_controller>(ports, *upgrade_button_);
  connect_controls();
  initialise();
  // The console key is looked at before any control of the window sees the key.
  qApp->installEventFilter(this);
}

CMardoDlg::~CMardoDlg() {
  qApp->removeEventFilter(this);
  shut_down();
  select_all_timer_.stop();
  // Each joins what it still runs; the stop flag has cut their waits short.
  upgrade_.reset();
  factory_.reset();
  config_.reset();
  search_.reset();
  power_.reset();
  list_->setModel(nullptr);
  state_.adapters.clear();
  set_console_window(nullptr);
}

void CMardoDlg::create_controls() {
  for (const control_spec_t& entry : kControls) {
    QWidget* widget = make_control(entry, this);
    widget->setProperty("ctrl_id", entry.id);
    widget->setObjectName(entry.id == kIdStatic ? QStringLiteral("static")
                                                : QString::number(entry.id));
    QRect rect = dialog_rect(base_, entry.x, entry.y, entry.cx, entry.cy);
    // A combo box's template height is that of its drop-down list.
    if (entry.kind == kind_t::combo) rect.setHeight(widget->sizeHint().height());
    widget->setGeometry(rect);
    widget->setVisible(entry.start != start_t::hidden);
    if (entry.id != kIdStatic) controls_[entry.id] = widget;
  }
  list_ = static_cast<QTableView*>(controls_.at(kIdList));
  search_button_ = static_cast<QPushButton*>(controls_.at(kIdSearch));
  upgrade_button_ = static_cast<QPushButton*>(controls_.at(kIdUpgrade));
  factory_button_ = static_cast<QPushButton*>(controls_.at(kIdFactoryTest));
  select_all_box_ = static_cast<QCheckBox*>(controls_.at(kIdSelectAll));
  show_algo_box_ = static_cast<QCheckBox*>(controls_.at(kIdShowAlgo));
  path_edit_ = static_cast<QLineEdit*>(controls_.at(kIdPackagePath));
  path_edit_->setMaxLength(kMaxPathChars - 1);

}

void CMardoDlg::connect_controls() {
  connect(select_all_box_, &QCheckBox::toggled, this,
          [this](bool on) { select_all_seen_.store(on); });
  connect(show_algo_box_, &QCheckBox::toggled, this,
          [this](bool on) { show_algo_seen_.store(on); });
  // Handlers run on clicks only, as a command message would; writing a box does not call them.
  connect(select_all_box_, &QCheckBox::clicked, this, &CMardoDlg::on_select_all_clicked);
  connect(show_algo_box_, &QCheckBox::clicked, this, [this] { search_->on_show_algo_changed(); });
  connect(search_button_, &QPushButton::clicked, this, [this] { search_->on_clicked(); });
  connect(upgrade_button_, &QPushButton::clicked, this,
          [this] { upgrade_->on_clicked(path_edit_->text()); });
  connect(static_cast<QPushButton*>(controls_.at(kIdBrowse)), &QPushButton::clicked, this,
          &CMardoDlg::on_browse);
  const std::pair<int, void (config_controller::*)()> config_buttons[] = {
      {kIdChangeIp, &config_controller::on_change_ip},
      {kIdBatchIp, &config_controller::on_batch_ip},
      {kIdReboot, &config_controller::on_reboot},
      {kIdTimeSync, &config_controller::on_sync_time},
      {kIdDeleteLogs, &config_controller::on_delete_logs},
      {kIdAddManual, &config_controller::on_add_manual},
      {kIdDeleteRows, &config_controller::on_delete_rows},
      {kIdDeleteAll, &config_controller::on_delete_all},
      {kIdExportMac, &config_controller::on_export}};
  const std::pair<int, void (factory_controller::*)()> factory_buttons[] = {
      {kIdSetModel, &factory_controller::on_set_product},
      {kIdQueryModel, &factory_controller::on_query_product},
      {kIdFactoryTest, &factory_controller::on_factory_test}};
  const auto wire = [this](const auto& buttons, const auto& controller) {
    for (const auto& [id, handler] : buttons)
      connect(static_cast<QPushButton*>(controls_.at(id)), &QPushButton::clicked, this,
              [&controller, handler = handler] { (controller.get()->*handler)(); });
  };
  wire(config_buttons, config_);
  wire(factory_buttons, factory_);
  connect(static_cast<QPushButton*>(controls_.at(kIdPowerTest)), &QPushButton::clicked, this,
          [this] { power_->on_clicked(); });
  connect(list_, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
    // A double-click on the empty area of the list hits no row and changes nothing.
    if (index.isValid()) config_->on_change_ip();
  });
  select_all_timer_.setTimerType(Qt::PreciseTimer);
  connect(&select_all_timer_, &QTimer::timeout, this, &CMardoDlg::on_select_all_timer);
}

void CMardoDlg::initialise() {
  setWindowIcon(app_icon());
  setWindowTitle(main_window_title(file_version()));

  list_->setModel(model_.get());
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setShowGrid(true);
  list_->setWordWrap(false);
  list_->setCornerButtonEnabled(false);
  list_->verticalHeader()->hide();
  list_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  list_->verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 4);
  QHeaderView* header = list_->horizontalHeader();
  header->setStretchLastSection(false);
  header->setHighlightSections(false);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  // Columns without width hold text for the commands; the user can still pull them open.
  header->setMinimumSectionSize(0);
  header->setSectionResizeMode(QHeaderView::Interactive);
  for (int column = 0; column < kColumnCount; ++column) {
    header->resizeSection(column, kDeviceColumns[static_cast<std::size_t>(column)].width);
  }

  hooks_.start_up(state_);
  last_size_ = size();
  select_all_timer_.start(kSelectAllTimerMs);
  for (int id : {kIdTimeSync, kIdDeleteLogs, kIdFactoryTest, kIdExportMac, kIdPowerTest}) {
    controls_.at(id)->hide();
  }
  upgrade_button_->setFocus();
}

QWidget* CMardoDlg::control(int id) const {
  const auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

void CMardoDlg::update_data(bool save) {
  if (save) {
    select_all = select_all_box_->isChecked() ? 1 : 0;
    state_.show_algo = show_algo_box_->isChecked() ? 1 : 0;
  } else {
    select_all_box_->setChecked(select_all != 0);
    show_algo_box_->setChecked(state_.show_algo != 0);
  }
}

void CMardoDlg::read_controls() {
  if (QThread::currentThread() == thread()) {
    update_data(true);
    return;
  }
  select_all = select_all_seen_.load() ? 1 : 0;
  state_.show_algo = show_algo_seen_.load() ? 1 : 0;
}

void CMardoDlg::on_row_jobs_changed() {
  search_->refresh_button();
  for (int id : {kIdAddManual, kIdDeleteRows, kIdDeleteAll}) controls_.at(id)->setEnabled(!jobs_.busy());
}

bool CMardoDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
      static_cast<QWidget*>(watched)->window() == this) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const Qt::KeyboardModifiers held = key->modifiers();
    if (key->key() == Qt::Key_P && held.testFlag(Qt::ControlModifier) &&
        held.testFlag(Qt::AltModifier)) {
      toggle_console();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void CMardoDlg::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  lay_out(event->size());
}

void CMardoDlg::lay_out(QSize client) {
  if (!last_size_.isValid()) return;  // still being built
  const auto delta = accepted_size_delta(last_size_, client);
  if (!delta) return;
  for (const control_spec_t& entry : kControls) {
    if (entry.anchor == anchor_t::fixed) continue;
    QWidget* widget = control(entry.id);
    widget->setGeometry(moved(widget->geometry(), entry.anchor, delta->dx, delta->dy));
  }
  QHeaderView* header = list_->horizontalHeader();
  header->resizeSection(kColVer, std::max(0, header->sectionSize(kColVer) + delta->dx));
  last_size_ = client;
  update();
}

void CMardoDlg::shut_down() {
  stop_.request();
  // While the adapters are still open, so the cameras get their stop commands.
  power_->on_close();
}

void CMardoDlg::closeEvent(QCloseEvent* event) {
  // Every camera gets its file back before the window goes; the caption stays.
  shut_down();
  if (close_hook_) close_hook_();
  QDialog::closeEvent(event);
}

void CMardoDlg::contextMenuEvent(QContextMenuEvent* event) {
  // Stands in for the system menu, which a Linux window does not let the program extend.
  const QString about = load_string(kIdsAboutItem);
  if (about.isEmpty()) {
    QDialog::contextMenuEvent(event);
    return;
  }
  QMenu menu(this);
  QAction* item = menu.addAction(about);
  item->setData(kAboutCommand);
  QAction* chosen = menu.exec(event->globalPos());
  if (chosen != nullptr) on_system_command(chosen->data().toInt());
}

void CMardoDlg::on_system_command(int id) {
  if (id != kAboutCommand) return;
  CAboutDlg about(this);
  about.exec();
}

void CMardoDlg::on_select_all_timer() {
  device_list& rows = state_.list;
  const int count = rows.count();
  int checked = 0;
  while (checked < count && rows.checked(checked)) ++checked;
  update_data(true);
  select_all = count > 0 && checked == count ? 1 : 0;
  update_data(false);
}

void CMardoDlg::on_select_all_clicked() {
  device_list& rows = state_.list;
  if (rows.count() == 0) return;
  update_data(true);
  const bool on = select_all != 0;
  for (int row = 0; row < rows.count(); ++row) rows.set_checked(row, on);
}

void CMardoDlg::on_browse() {
  const QString chosen = hooks_.choose_file(this, QCoreApplication::applicationFilePath());
  // A path that does not fit the path text is refused whole rather than cut.
  if (chosen.isEmpty() || chosen.size() >= kMaxPathChars) return;
  path_edit_->setText(QDir::toNativeSeparators(chosen));
}

}  // namespace mardo
