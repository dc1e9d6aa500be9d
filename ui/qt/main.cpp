#include <QApplication>
#include <QStringList>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "main_window.h"
#include "platform_port.h"
#include "posix_port.h"
#include "scan_sequencer.h"

namespace {

constexpr char kUsage[] =
    "Usage: velkaro [--list | --help | --version]\n"
    "Tells which of the serial ports COM1 to COM6 exist: press TEST PORTS in its window.\n"
    "  --list         try the ports once, with no window, and print one line for each:\n"
    "                 COM1 (/dev/ttyS0): present, in use by minicom (pid 4242)\n"
    "  -h, --help     show this and exit\n"
    "  --version      show the version and exit\n"
    "It also takes Qt's own options, with one dash, such as -platform xcb or -platform wayland.\n";

// The scan the window runs, without the window or the timer's waits. Every
// port gets its line; the status is 1 if one could not be judged or the
// list could not be written.
int ListPorts() {
  struct Ticks : velkaro::TimerSwitch {
    void SetEnabled(bool on) override { running = on; }
    bool running = false;
  } timer;
  const std::unique_ptr<velkaro::SerialPort> comm = velkaro::MakePlatformSerialPort();
  velkaro::LampState lamps;
  velkaro::ScanSequencer scan(lamps, *comm, timer);
  bool all_judged = true;
  scan.Form_Load();
  scan.Command1_Click();
  while (timer.running) {
    try {
      scan.Timer1_Timer();
    } catch (const std::exception&) {
      // The port's line says why; the scan goes on with the next port.
      std::fprintf(stderr, "velkaro: COM%d could not be judged: %s\n",
                   static_cast<int>(scan.ScanStep),
                   velkaro::FailureInWords(std::current_exception()).c_str());
      all_judged = false;
    }
  }
  int write_error = 0;
  for (std::int16_t port = 1; port <= velkaro::kPortCount; ++port) {
    if (std::printf("%s\n", scan.Summary(port).c_str()) < 0 && write_error == 0) {
      write_error = errno;
    }
  }
  // On a terminal each line went out as it was printed, so a failed write
  // shows in the stream's error flag, not in the last flush.
  if (std::fflush(stdout) != 0 && write_error == 0) write_error = errno;
  if (std::ferror(stdout)) {
    std::fprintf(stderr, "velkaro: cannot write the list: %s\n",
                 std::strerror(write_error != 0 ? write_error : EIO));
    return 1;
  }
  return all_judged ? 0 : 1;
}

// Ends the program once Qt has begun, with no probe under way: no port is
// open between probes, so there is nothing left to tidy. Ending here skips
// ~QApplication, where Qt 6.4's Wayland client may wait forever for its own
// event thread, and where Qt 6.8 leaves some of its own memory behind.
[[noreturn]] void EndWithApplication(int status) {
  std::fflush(nullptr);
  std::_Exit(status);
}

int UsageError(const std::string& what) {
  std::fprintf(stderr, "velkaro: %s\n%s", what.c_str(), kUsage);
  return 2;
}

// What Qt says while it makes its platform, held back until it is known
// whether the window can be shown: should Qt give up, its warnings are the
// reason, and its last word (an abort that blames the installation) is not.
// A platform may log from a thread of its own, so the messages are guarded.
struct HeldMessage {
  QtMsgType type;
  std::string category;
  QString text;
};
struct {
  std::mutex mutex;
  bool holding = true;
  std::vector<HeldMessage> messages;
  QtMessageHandler qt_handler = nullptr;
} held;

void HoldWhileMakingThePlatform(QtMsgType type, const QMessageLogContext& context,
                                const QString& text) {
  std::unique_lock lock(held.mutex);
  if (!held.holding) {
    lock.unlock();
    held.qt_handler(type, context, text);
    return;
  }
  if (type != QtFatalMsg) {
    held.messages.push_back({type, context.category ? context.category : "", text});
    return;
  }
  // Qt's warnings first, as they came, then Qt's own last word.
  QStringList reasons;
  for (const HeldMessage& message : held.messages) {
    if (message.type == QtWarningMsg || message.type == QtCriticalMsg) {
      reasons << message.text.trimmed();
    }
  }
  reasons << text.section(u'\n', 0, 0).trimmed();
  std::fprintf(stderr, "velkaro: cannot show the window: %s\n",
               reasons.join(QStringLiteral("; ")).toLocal8Bit().constData());
  EndWithApplication(1);
}

// Whether Qt itself ends the program at a message of the kind the variable
// names, read as Qt reads it: unset, empty or 0 is no; a positive number is
// yes (at that many such messages), and so is anything that is no number. A
// negative number means "never" to some Qt releases and "at once" to
// others, so the Qt in use is asked: a child gives it one such message.
bool QtStopsAt(const char* variable, QtMsgType type) {
  const QByteArray value = qgetenv(variable);
  if (value.isEmpty()) return false;
  bool ok = false;
  const int count = value.toInt(&ok, 0);
  if (!ok || count > 0) return true;
  if (count == 0) return false;
  const pid_t child = ::fork();
  if (child == 0) {
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    ::dup2(::open("/dev/null", O_WRONLY), 2);
    if (type == QtCriticalMsg) {
      qCritical("a question");
    } else {
      qWarning("a question");
    }
    ::_exit(0);
  }
  int status = 0;
  // Where the child cannot tell, Qt has its way.
  if (child < 0 || ::waitpid(child, &status, 0) != child) return true;
  return !WIFEXITED(status);
}

// The platforms that show a window on a screen: X11, Wayland in its
// variants, and the framebuffer ones. Any other leaves a process nobody can
// see or close.
bool ShowsAWindow(const QString& platform) {
  return platform == QLatin1String("xcb") || platform.startsWith(QLatin1String("wayland")) ||
         platform == QLatin1String("eglfs") || platform == QLatin1String("linuxfb");
}

// Passes on what Qt said while it made its platform, and all it says later.
void PassOnHeldMessages() {
  const std::lock_guard lock(held.mutex);
  if (held.qt_handler == nullptr) return;  // nothing was held
  held.holding = false;
  for (const HeldMessage& message : held.messages) {
    const QMessageLogContext context(nullptr, 0, nullptr, message.category.c_str());
    held.qt_handler(message.type, context, message.text);
  }
  held.messages.clear();
  qInstallMessageHandler(held.qt_handler);
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything can be opened: a port must never become a standard
  // descriptor, where a message meant for a person would reach it.
  if (!velkaro::OpenStandardDescriptors()) return 1;

  // Velkaro's own options are spelt with two dashes, and judged whole
  // before anything else; Qt's take one.
  bool help = false, version = false, list = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
    } else if (arg == "--version") {
      version = true;
    } else if (arg == "--list") {
      list = true;
    } else if (arg.empty()) {
      return UsageError("an empty argument");
    } else if (arg.starts_with("--")) {
      return UsageError("unknown option " + std::string(arg));
    }
  }
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (version) {
    std::printf("velkaro %s\n", VELKARO_VERSION);
    return 0;
  }
  if (list) {
    if (argc > 2) return UsageError("--list takes no other argument");
    return ListPorts();
  }

  // Whoever asked Qt to end at a warning hears it at once, from Qt.
  if (!QtStopsAt("QT_FATAL_WARNINGS", QtWarningMsg) &&
      !QtStopsAt("QT_FATAL_CRITICALS", QtCriticalMsg)) {
    held.qt_handler = qInstallMessageHandler(HoldWhileMakingThePlatform);
  }
  QApplication app(argc, argv);
  PassOnHeldMessages();
  // Qt took the options that are its own; anything left is not ours either.
  if (argc > 1) EndWithApplication(UsageError(std::string("unknown argument ") + argv[1]));
  const QString platform = QGuiApplication::platformName();
  if (!ShowsAWindow(platform)) {
    EndWithApplication(UsageError("the platform " + platform.toStdString() + " shows no window"));
  }
  if (QGuiApplication::primaryScreen() == nullptr) {
    std::fputs("velkaro: cannot show the window: no screen\n", stderr);
    EndWithApplication(1);
  }
  QApplication::setApplicationName("Velkaro");
  QApplication::setDesktopFileName("org.velkaro.Velkaro");

  const std::unique_ptr<velkaro::SerialPort> comm = velkaro::MakePlatformSerialPort();
  auto form = std::make_unique<velkaro::Form1>(*comm);
  form->show();
  const int status = QApplication::exec();
  // The window has gone; a probe still under way puts its port back first.
  form.reset();
  EndWithApplication(status);
}
