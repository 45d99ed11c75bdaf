#pragma once
// Helpers for the window tests: a main window whose start-up touches no adapter, controls
// found by id, and waits that let the event loop run.
#include <QAbstractButton>
#include <QApplication>
#include <QTableView>
#include <QTest>

#include <functional>
#include <memory>

#include "app/window/mardo_dlg.h"

namespace mardo::gui_test {

// A start-up that leaves the adapter table empty: nothing is opened in the namespace the test
// runs in.
inline dlg_hooks_t quiet_hooks() {
  dlg_hooks_t hooks;
  hooks.start_up = [](device_state&) {};
  hooks.choose_file = [](QWidget*, const QString&) { return QString(); };
  hooks.message_box = [](QWidget*, const QString&, const QString&) {};
  return hooks;
}

inline std::unique_ptr<CMardoDlg> shown_window(dlg_hooks_t hooks = quiet_hooks()) {
  auto window = std::make_unique<CMardoDlg>(std::move(hooks));
  window->show();
  static_cast<void>(QTest::qWaitForWindowExposed(window.get()));
  return window;
}

template <typename T = QWidget>
T* control(const CMardoDlg& window, int id) {
  return qobject_cast<T*>(window.control(id));
}

// Runs the event loop until pred holds or timeout_ms passed; gives pred's last answer.
inline bool wait_for(const std::function<bool()>& pred, int timeout_ms) {
  return QTest::qWaitFor(pred, timeout_ms);
}

// Adds `count` rows as a search thread would, each with its MAC text.
inline void add_rows(device_state& state, int count) {
  for (int i = 0; i < count; ++i) {
    std::lock_guard lock(state.list_lock);
    const int row = state.list.add_row();
    const std::u16string mac =
        u"02-00-00-00-00-" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26));
    state.list.set_text(row, kColMac, mac);
  }
}

}  // namespace mardo::gui_test
