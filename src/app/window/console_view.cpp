#include "app/window/console_view.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QWidget>

#include "app/window/qt_text.h"

namespace mardo {
namespace {

// Closing the console must never end the tool, so its close request does nothing.
class console_frame final : public QWidget {
 public:
  console_frame()
      : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                             Qt::WindowMinMaxButtonsHint) {}

 protected:
  void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

QPlainTextEdit* make_pane(QWidget* parent) {
  auto* pane = new QPlainTextEdit(parent);
  pane->setReadOnly(true);
  pane->setLineWrapMode(QPlainTextEdit::NoWrap);
  pane->setMaximumBlockCount(console_view::kPaneLineLimit);
  pane->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  return pane;
}

std::string_view without_line_end(std::string_view line) {
  if (line.ends_with("\r\n")) return line.substr(0, line.size() - 2);
  if (line.ends_with('\n')) return line.substr(0, line.size() - 1);
  return line;
}

}  // namespace

console_view::console_view() = default;

console_view::~console_view() {
  set_event_view(nullptr);
}

void console_view::create() {
  if (window_) return;
  window_ = std::make_unique<console_frame>();
  window_->setWindowTitle(QStringLiteral("诊断控制台"));
  // The main window keeps the keyboard, so the next Ctrl+Alt+P reaches it.
  window_->setAttribute(Qt::WA_ShowWithoutActivating);
  window_->resize(800, 400);
  tabs_ = new QTabWidget(window_.get());
  diagnostic_ = make_pane(tabs_);
  events_ = make_pane(tabs_);
  tabs_->addTab(diagnostic_, QStringLiteral("诊断信息"));
  tabs_->addTab(events_, QStringLiteral("事件记录"));
  auto* layout = new QVBoxLayout(window_.get());
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(tabs_);
  set_event_view(this);
}

void console_view::show() {
  if (!window_) return;
  visible_.store(true, std::memory_order_release);
  window_->show();
}

void console_view::hide() {
  if (!window_) return;
  visible_.store(false, std::memory_order_release);
  window_->hide();
}

bool console_view::is_visible() const {
  return visible_.load(std::memory_order_acquire);
}

void console_view::write(std::string_view line) {
  queue(pane_t::diagnostic, line);
}

void console_view::write_event(std::string_view line) {
  queue(pane_t::event, line);
}

void console_view::queue(pane_t pane, std::string_view line) {
  std::lock_guard lock(waiting_mutex_);
  if (waiting_.size() >= kWaitingLimit) return;
  waiting_.emplace_back(pane, std::string(without_line_end(line)));
  if (!posted_) {
    posted_ = true;
    QMetaObject::invokeMethod(this, &console_view::catch_up, Qt::QueuedConnection);
  }
}

void console_view::catch_up() {
  std::vector<std::pair<pane_t, std::string>> lines;
  {
    std::lock_guard lock(waiting_mutex_);
    lines.swap(waiting_);
    posted_ = false;
  }
  if (!window_) return;
  // Consecutive lines of one pane go in with one append.
  QString block;
  int block_lines = 0;
  pane_t block_pane = pane_t::diagnostic;
  auto append = [&] {
    if (block_lines == 0) return;
    (block_pane == pane_t::diagnostic ? diagnostic_ : events_)->appendPlainText(block);
    block.clear();
    block_lines = 0;
  };
  for (const auto& [pane, text] : lines) {
    if (pane != block_pane) append();
    block_pane = pane;
    if (block_lines++ > 0) block += QLatin1Char('\n');
    block += qtext(text);
  }
  append();
}

QWidget* console_view::window() const {
  return window_.get();
}

QString console_view::diagnostic_text() {
  catch_up();
  return diagnostic_ ? diagnostic_->toPlainText() : QString();
}

QString console_view::event_text() {
  catch_up();
  return events_ ? events_->toPlainText() : QString();
}

}  // namespace mardo
