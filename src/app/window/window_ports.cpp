#include "app/window/window_ports.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <memory>

#include "core/worker_thread.h"

namespace mardo {

void gui_poster::post(std::function<void()> fn) const {
  QMetaObject::invokeMethod(context_, std::move(fn), Qt::QueuedConnection);
}

bool gui_poster::on_gui_thread() const { return QThread::currentThread() == context_->thread(); }

void row_jobs::begin() {
  if (running_++ == 0 && on_change_) on_change_();
}

void row_jobs::end() {
  if (running_ > 0 && --running_ == 0 && on_change_) on_change_();
}

bool worker_set::start(std::string where, stop_flag& stop, std::function<void()> fn,
                       std::function<void()> then_on_gui) {
  auto done = std::make_shared<std::function<void()>>(std::move(then_on_gui));
  std::thread t = start_worker(
      std::move(where),
      [this, fn = std::move(fn), done] {
        // Also when fn throws: start_worker's guard catches it after this has run.
        struct on_end {
          worker_set* set;
          std::shared_ptr<std::function<void()>> then;
          ~on_end() {
            const std::thread::id id = std::this_thread::get_id();
            set->poster_.post([set = set, then = then, id] {
              set->reap(id);
              if (*then) (*then)();
            });
          }
        } end{this, done};
        fn();
      },
      &stop);
  if (!t.joinable()) {
    if (*done) (*done)();
    return false;
  }
  threads_.push_back(std::move(t));
  return true;
}

void worker_set::reap(std::thread::id id) {
  const auto it = std::find_if(threads_.begin(), threads_.end(),
                               [id](const std::thread& t) { return t.get_id() == id; });
  if (it == threads_.end()) return;
  it->join();
  threads_.erase(it);
}

void worker_set::join_all() {
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}

}  // namespace mardo
