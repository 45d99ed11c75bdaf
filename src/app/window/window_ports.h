#pragma once
// What the main window hands its command groups, and nothing more: the device state, the
// dialogs and boxes (which tests script), a poster to the GUI thread, the board of running
// jobs, and the stop flag that closing the window raises. No controller sees CMardoDlg.
#include <QDialog>
#include <QObject>
#include <QString>
#include <QWidget>

#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/window/qt_text.h"
#include "core/camera.h"
#include "core/stop.h"

namespace mardo {

// What the window's start-up and its dialogs do; tests put their own in.
struct dlg_hooks_t {
  // Initialisation step 6. Default: load the capture library, enumerate the adapters.
  std::function<void(device_state&)> start_up;
  // The open-file dialog; gives the chosen path, or empty when cancelled.
  std::function<QString(QWidget* parent, const QString& start)> choose_file;
  // A modal message box. Default: an information box.
  std::function<void(QWidget* parent, const QString& caption, const QString& text)> message_box;
  // A Yes/No question; true for Yes. Default: a question box.
  std::function<bool(QWidget* parent, const QString& caption, const QString& text)> question;
  // Runs a modal dialog; true when it was accepted. Default: exec().
  std::function<bool(QDialog& dialog)> run_dialog;
  // The workstation's serial port names. Default: the system's own list.
  std::function<std::vector<std::string>()> serial_ports;
};

// Runs functions on the GUI thread, in the order posted. Any thread.
class gui_poster {
 public:
  explicit gui_poster(QObject& context) : context_(&context) {}
  void post(std::function<void()> fn) const;
  bool on_gui_thread() const;

 private:
  QObject* context_;
};

// The jobs that write into rows (upgrade, batch IP, factory test, product models). While any
// runs, the commands that clear, delete or renumber rows are off. GUI thread only.
class row_jobs {
 public:
  explicit row_jobs(std::function<void()> on_change) : on_change_(std::move(on_change)) {}
  void begin();
  void end();
  bool busy() const { return running_ > 0; }

 private:
  std::function<void()> on_change_;
  int running_ = 0;
};

// The worker threads of one command group. Each is joined on the GUI thread as soon as it
// ends, and whatever still runs is joined when the group goes (after the window raised the
// stop flag, so that takes a moment).
class worker_set {
 public:
  explicit worker_set(const gui_poster& poster) : poster_(poster) {}
  ~worker_set() { join_all(); }
  worker_set(const worker_set&) = delete;
  worker_set& operator=(const worker_set&) = delete;

  // Starts fn on a thread working for `stop`'s job; then_on_gui runs on the GUI thread once fn
  // has ended, whether it returned or threw. False when no thread could be started (then_on_gui
  // has then run already).
  bool start(std::string where, stop_flag& stop, std::function<void()> fn,
             std::function<void()> then_on_gui = {});
  void join_all();
  std::size_t running() const { return threads_.size(); }

 private:
  void reap(std::thread::id id);

  const gui_poster& poster_;
  std::list<std::thread> threads_;
};

struct window_ports {
  QWidget& parent;  // the dialogs' parent; its title is the questions' caption
  device_state& state;
  const dlg_hooks_t& hooks;
  const gui_poster& poster;
  row_jobs& jobs;
  stop_flag& stop;
};

}  // namespace mardo
