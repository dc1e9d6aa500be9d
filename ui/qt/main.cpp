#include <QApplication>
#include <QSocketNotifier>
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
#include <system_error>
#include <thread>
#include <vector>

#include "arguments.h"
#include "end_signals.h"
#include "inventory.h"
#include "main_window.h"
#include "platform_port.h"
#include "port_settings.h"
#include "posix_list.h"
#include "posix_port.h"
#include "posix_watch.h"

namespace {

constexpr char kUsage[] =
    "Usage: velkaro [--port COMn=DEVICE]... [--list [--json] [--all] | --watch [--json] |\n"
    "               --help | --version]\n"
    "Tells which of the serial ports COM1 to COM6 exist: press TEST PORTS in its window.\n"
    "  --list         try the ports once, with no window, and print one line for each:\n"
    "                 COM1 (/dev/ttyS0): present, in use by minicom (pid 4242)\n"
    "  --json         with --list: print what was found as one JSON document\n"
    "  --all          with --list: also tell every other serial port of the machine\n"
    "                 (USB, CDC ACM, on-chip), who uses it and what it is, without\n"
    "                 opening it\n"
    "  --watch        tell every serial port of the machine, then each one that is\n"
    "                 plugged in or pulled out, as it happens, until ended; with\n"
    "                 --json, one JSON object a line. Opens no port\n"
    "  --port COMn=DEVICE\n"
    "                 try DEVICE, an absolute path, as COMn (1 to 6) in this run:\n"
    "                 --port COM5=/dev/ttyUSB0; may be given for each port\n"
    "  -h, --help     show this and exit\n"
    "  --version      show the version and exit\n"
    "COMn is /dev/ttyS(n-1) unless chosen here or in the [ports] group of\n"
    "~/.config/Velkaro/Velkaro.conf, as COM5=/dev/ttyUSB0; the command line wins.\n"
    "It also takes Qt's own options, with one dash, such as -platform xcb or -platform wayland.\n";

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
  // Qt's last word, without its advice to reinstall: it gives that for
  // every platform that fails, most of them a display that cannot be reached.
  QString last = text.section(u'\n', 0, 0);
  last.remove(QLatin1String("Reinstalling the application may fix this problem."));
  reasons << last.trimmed();
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

int CannotTakeSignals() {
  std::fprintf(stderr, "velkaro: cannot take signals: %s\n", std::strerror(errno));
  return 1;
}

// Writes what --help or --version says; a write that fails is told, as
// --list's is.
int Say(const std::string& text, const char* what) {
  std::fputs(text.c_str(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "velkaro: cannot write the %s: %s\n", what, std::strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything can be opened: a port must never become a standard
  // descriptor, where a message meant for a person would reach it.
  if (!velkaro::OpenStandardDescriptors()) return 1;

  // Judged whole before Qt starts, so that the same arguments are judged
  // the same way with a display or without.
  const velkaro::Arguments asked = velkaro::JudgeArguments(argc, argv);
  switch (asked.mode) {
    case velkaro::Arguments::Mode::kRefused:
      return UsageError(asked.refusal);
    case velkaro::Arguments::Mode::kHelp:
      return Say(kUsage, "help");
    case velkaro::Arguments::Mode::kVersion:
      return Say(std::string("velkaro ") + VELKARO_VERSION + "\n", "version");
    case velkaro::Arguments::Mode::kList:
    case velkaro::Arguments::Mode::kWatch:
    case velkaro::Arguments::Mode::kWindow:
      break;
  }
  // The devices of COM1 to COM6, made once for the program's whole life.
  velkaro::SerialPort& ports = velkaro::LastingPlatformSerialPort(velkaro::ChosenPorts(
      asked.ports, velkaro::PortsFromSettings(velkaro::SettingsFile(), [](const std::string& why) {
        std::fprintf(stderr, "velkaro: warning: %s\n", why.c_str());
      })));
  if (asked.mode == velkaro::Arguments::Mode::kWatch) {
    // Nothing is opened; a signal ends it as it ends others, between lines.
    if (!velkaro::end_signals::Install()) return CannotTakeSignals();
    std::vector<std::string> rows;
    for (std::int16_t port = 1; port <= 6; ++port) rows.push_back(ports.DevicePath(port));
    return velkaro::WatchPorts(rows, stdout, asked.json);
  }
  if (asked.mode == velkaro::Arguments::Mode::kList) {
    // Before any probe: a kill, Ctrl+C or logout lets a probe put its port back.
    if (!velkaro::end_signals::Install()) return CannotTakeSignals();
    velkaro::OtherPortsOf others;
    if (asked.all) {
      others = [](const std::vector<std::string>& rows) {
        return velkaro::Inventory().OtherPorts(rows);
      };
    }
    return velkaro::ListPorts(ports, stdout, asked.json, others);
  }

  // The probes need a thread of their own, and so does Qt: where none can
  // be started (a limit on processes), say so before anything is shown or
  // opened.
  try {
    std::thread([] {}).join();
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "velkaro: cannot show the window: no thread can be started: %s\n",
                 error.code().message().c_str());
    return 1;
  }
  // Whoever asked Qt to end at a warning hears it at once, from Qt.
  if (!QtStopsAt("QT_FATAL_WARNINGS", QtWarningMsg) &&
      !QtStopsAt("QT_FATAL_CRITICALS", QtCriticalMsg)) {
    held.qt_handler = qInstallMessageHandler(HoldWhileMakingThePlatform);
  }
  // Qt is given its own options alone: --port and its value are ours.
  std::vector<char*> qt_argv = {argv[0]};
  for (const int at : asked.qt_args) qt_argv.push_back(argv[at]);
  qt_argv.push_back(nullptr);
  int qt_argc = static_cast<int>(qt_argv.size()) - 1;
  QApplication app(qt_argc, qt_argv.data());
  PassOnHeldMessages();
  // Qt took its own options; one it left is not for the platform in use.
  if (qt_argc > 1) {
    EndWithApplication(UsageError(std::string("Qt did not take ") + qt_argv[1] + " here"));
  }
  const QString platform = QGuiApplication::platformName();
  if (!velkaro::ShowsAWindow(platform.toStdString())) {
    EndWithApplication(UsageError("the platform " + platform.toStdString() + " shows no window"));
  }
  if (QGuiApplication::primaryScreen() == nullptr) {
    std::fputs("velkaro: cannot show the window: no screen\n", stderr);
    EndWithApplication(1);
  }
  QApplication::setApplicationName("Velkaro");
  QApplication::setDesktopFileName("org.velkaro.Velkaro");

  // From here a signal ends the event loop, and the window's end then lets a
  // probe that holds its port put it back. Until now its default action
  // ended the program at once, even while Qt waited on a display.
  if (!velkaro::end_signals::Install()) EndWithApplication(CannotTakeSignals());
  QSocketNotifier signalled(velkaro::end_signals::ReadEnd(), QSocketNotifier::Read);
  QObject::connect(&signalled, &QSocketNotifier::activated, &app, [&signalled] {
    signalled.setEnabled(false);  // once is enough: the pipe is never read
    QCoreApplication::quit();
  });

  std::unique_ptr<velkaro::Form1> form;
  try {
    form = std::make_unique<velkaro::Form1>(ports);
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "velkaro: cannot show the window: no thread for the probes: %s\n",
                 error.code().message().c_str());
    EndWithApplication(1);
  }
  form->show();
  const int status = QApplication::exec();
  // The window has gone; a probe that holds its port puts it back first.
  form.reset();
  if (const int signal = velkaro::end_signals::Caught())
    velkaro::end_signals::EndAsSignalled(signal);
  EndWithApplication(status);
}
