// The window on a real X server (Xvfb): it renders, and the font it is drawn in has a glyph
// for every character of every caption. The part that needs the display runs in a child
// process of this program (`--xvfb-child`), since this one is offscreen.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QGlyphRun>
#include <QHeaderView>
#include <QLabel>
#include <QRawFont>
#include <QScreen>
#include <QSet>
#include <QTabWidget>
#include <QTableView>
#include <QTextLayout>
#include <QWindow>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/window/about_dlg.h"
#include "app/window/string_table.h"
#include "gui_fixture.h"

extern char** environ;

namespace mardo::gui_test {
namespace {

// ---- the child, on the X display ----

struct caption_t {
  QString text;
  QFont font;
  QString where;
};

// Mnemonic markers are not drawn.
QString drawn_text(QString text) {
  text.remove(QLatin1Char('&'));
  return text;
}

// The characters of `text` that the fonts Qt picks for drawing it do not cover: a glyph index
// of 0 is the box of a missing character.
QStringList uncovered(const caption_t& caption) {
  QStringList missing;
  QTextLayout layout(caption.text, caption.font);
  layout.beginLayout();
  QTextLine line = layout.createLine();
  if (line.isValid()) line.setLineWidth(1e6);
  layout.endLayout();
  const QList<QGlyphRun> runs = layout.glyphRuns();
  for (const QGlyphRun& run : runs) {
    for (quint32 glyph : run.glyphIndexes()) {
      if (glyph == 0) missing << QStringLiteral("glyph 0 in %1").arg(run.rawFont().familyName());
    }
  }
  const QList<uint> chars = caption.text.toUcs4();
  for (uint ch : chars) {
    if (QChar::isSpace(ch)) continue;
    bool covered = false;
    for (const QGlyphRun& run : runs) covered = covered || run.rawFont().supportsCharacter(ch);
    if (!covered) missing << QStringLiteral("U+%1").arg(ch, 4, 16, QLatin1Char('0'));
  }
  return missing;
}

std::vector<caption_t> captions_of(QWidget* root) {
  std::vector<caption_t> out;
  const QString where = root->metaObject()->className();
  out.push_back({root->windowTitle(), root->font(), where + QStringLiteral(" title")});
  for (auto* button : root->findChildren<QAbstractButton*>()) {
    out.push_back({drawn_text(button->text()), button->font(), button->objectName()});
  }
  for (auto* label : root->findChildren<QLabel*>()) {
    if (!label->text().isEmpty()) out.push_back({label->text(), label->font(), where});
  }
  for (auto* tabs : root->findChildren<QTabWidget*>()) {
    for (int i = 0; i < tabs->count(); ++i) {
      out.push_back({tabs->tabText(i), tabs->font(), QStringLiteral("tab")});
    }
  }
  for (auto* view : root->findChildren<QTableView*>()) {
    for (int c = 0; c < view->model()->columnCount(); ++c) {
      const QString header = view->model()->headerData(c, Qt::Horizontal).toString();
      if (!header.isEmpty()) out.push_back({header, view->horizontalHeader()->font(), "header"});
    }
  }
  std::erase_if(out, [](const caption_t& c) { return c.text.trimmed().isEmpty(); });
  return out;
}

int distinct_colours(const QImage& image, QRect area) {
  QSet<QRgb> seen;
  area = area.intersected(image.rect());
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) seen.insert(image.pixel(x, y));
  }
  return static_cast<int>(seen.size());
}

}  // namespace

int run_xvfb_child() {
  bool ok = true;
  CMardoDlg window(quiet_hooks());
  window.show();
  if (!QTest::qWaitForWindowExposed(&window, 10000)) {
    std::printf("window not exposed\n");
    return 1;
  }
  toggle_console();
  QTest::qWait(300);

  // What the X server shows, not what the window believes it painted.
  const QImage screen = window.screen()->grabWindow(0).toImage();
  const QRect frame(window.mapToGlobal(QPoint(0, 0)), window.size());
  const int colours = distinct_colours(screen, frame);
  QWidget* search = window.control(kIdSearch);
  const QRect button(search->mapToGlobal(QPoint(0, 0)), search->size());
  const int button_colours = distinct_colours(screen, button);
  std::printf("colours in window %d, in search button %d\n", colours, button_colours);
  if (colours < 8 || button_colours < 3) {
    std::printf("window not rendered\n");
    ok = false;
  }

  std::vector<caption_t> captions = captions_of(&window);
  if (QWidget* console = window.console().window()) {
    for (caption_t& c : captions_of(console)) captions.push_back(c);
  }
  CAboutDlg about(&window);
  for (caption_t& c : captions_of(&about)) captions.push_back(c);
  captions.push_back({drawn_text(load_string(kIdsAboutItem)), window.font(), "menu"});

  int checked = 0;
  for (const caption_t& c : captions) {
    ++checked;
    const QStringList missing = uncovered(c);
    if (!missing.isEmpty()) {
      ok = false;
      std::printf("uncovered in \"%s\" (%s): %s\n", c.text.toUtf8().constData(),
                  c.where.toUtf8().constData(), missing.join(", ").toUtf8().constData());
    }
  }
  std::printf("captions checked %d, font %s, dialog base units %d x %d\n", checked,
              QFontInfo(window.font()).family().toUtf8().constData(), window.base_units().cx,
              window.base_units().cy);
  std::printf(ok ? "xvfb child ok\n" : "xvfb child failed\n");
  std::fflush(stdout);
  return ok ? 0 : 1;
}

namespace {

// ---- the parent: Xvfb and the child ----

std::optional<std::string> find_program(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

bool exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            int stdout_fd) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (stdout_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, stdout_fd >= 0 ? stdout_fd : 1, 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

std::optional<int> wait_exit(pid_t pid, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (!wait_exit(pid, 5000)) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// An Xvfb of our own on the first free display number; stopped by its PID.
class xvfb_server {
 public:
  xvfb_server() {
    const auto program = find_program("Xvfb");
    if (!program) {
      why_not_ = "Xvfb is not installed";
      return;
    }
    for (int display = 91; display < 200 && pid_ < 0; ++display) {
      const std::string n = std::to_string(display);
      const std::string socket = "/tmp/.X11-unix/X" + n;
      if (exists(socket) || exists("/tmp/.X" + n + "-lock")) continue;
      const pid_t pid =
          spawn({*program, ":" + n, "-nolisten", "tcp", "-screen", "0", "1600x1000x24"},
                {"PATH=/usr/bin:/bin"}, -1);
      if (pid < 0) continue;
      bool up = false;
      for (int i = 0; i < 500 && !up; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) break;  // display taken meanwhile
        up = exists(socket);
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (up) {
        pid_ = pid;
        display_ = ":" + n;
      } else {
        stop(pid);
      }
    }
    if (pid_ < 0 && why_not_.empty()) why_not_ = "no Xvfb display could be started";
  }
  ~xvfb_server() { stop(pid_); }
  xvfb_server(const xvfb_server&) = delete;
  xvfb_server& operator=(const xvfb_server&) = delete;

  bool ok() const { return pid_ > 0; }
  const std::string& display() const { return display_; }
  const std::string& why_not() const { return why_not_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
  std::string why_not_;
};

std::string read_all(int fd) {
  std::string out;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

bool in_ci() {
  const char* ci = std::getenv("CI");
  return ci && (std::strcmp(ci, "true") == 0 || std::strcmp(ci, "1") == 0);
}

TEST(Xvfb, WindowRendersAndEveryCaptionCharacterHasAGlyph) {
  xvfb_server server;
  if (!server.ok()) {
    if (in_ci()) FAIL() << server.why_not();
    GTEST_SKIP() << server.why_not();
  }
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (entry.starts_with("QT_QPA_PLATFORM=") || entry.starts_with("DISPLAY=") ||
        entry.starts_with("WAYLAND_DISPLAY=") || entry.starts_with("ASAN_OPTIONS=")) {
      continue;
    }
    env.push_back(entry);
  }
  // Under LeakSanitizer: the X platform's D-Bus connection is left for the process end to
  // release, which is no leak of ours.
  const char* asan = std::getenv("ASAN_OPTIONS");
  env.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                "detect_leaks=0");
  env.push_back("DISPLAY=" + server.display());
  env.push_back("QT_QPA_PLATFORM=xcb");
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  const pid_t child = spawn({"/proc/self/exe", "--xvfb-child"}, env, pipe_fds[1]);
  close(pipe_fds[1]);
  ASSERT_GT(child, 0);
  std::string output;
  std::thread reader([&] { output = read_all(pipe_fds[0]); });
  const auto code = wait_exit(child, 60000);
  if (!code) stop(child);
  reader.join();
  close(pipe_fds[0]);
  ASSERT_TRUE(code.has_value()) << "the child did not end\n" << output;
  std::printf("%s", output.c_str());
  EXPECT_EQ(*code, 0) << output;
  EXPECT_NE(output.find("xvfb child ok"), std::string::npos) << output;
  EXPECT_EQ(output.find("uncovered"), std::string::npos) << output;
}

}  // namespace
}  // namespace mardo::gui_test
