#include <QApplication>
#include <QStringList>

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
#include "scan_sequencer.h"

namespace {

constexpr char kUsage[] =
    "Usage: velkaro [--list | --help | --version]\n"
    "Tells which of the serial ports COM1 to COM6 exist: press TEST PORTS in its window.\n"
    "  --list     try the ports once, with no window, and print one line for each:\n"
    "             COM1 (/dev/ttyS0): present, in use by minicom (pid 4242)\n"
    "  --help     show this and exit\n"
    "  --version  show the version and exit\n"
    "It also takes Qt's own options, with one dash, such as -platform xcb or -platform wayland.\n";

// The scan the window runs, without the window or the timer's waits.
int ListPorts() {
  struct Ticks : velkaro::TimerSwitch {
    void SetEnabled(bool on) override { running = on; }
    bool running = false;
  } timer;
  const std::unique_ptr<velkaro::SerialPort> comm = velkaro::MakePlatformSerialPort();
  velkaro::LampState lamps;
  velkaro::ScanSequencer scan(lamps, *comm, timer);
  scan.Form_Load();
  scan.Command1_Click();
  while (timer.running) {
    try {
      scan.Timer1_Timer();
    } catch (const std::exception& e) {
      // The port keeps "not probed yet", and the scan goes on with the next.
      std::fprintf(stderr, "velkaro: COM%d: %s\n", static_cast<int>(scan.ScanStep), e.what());
    }
  }
  for (std::int16_t port = 1; port <= velkaro::kPortCount; ++port) {
    std::printf("%s\n", scan.Summary(port).c_str());
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "velkaro: cannot write the list: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
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
  QStringList reasons;
  for (const HeldMessage& message : held.messages) {
    if (message.type == QtWarningMsg || message.type == QtCriticalMsg) {
      reasons << message.text.trimmed();
    }
  }
  if (reasons.isEmpty()) reasons << text.section(u'\n', 0, 0);
  std::fprintf(stderr, "velkaro: cannot show the window: %s\n",
               reasons.join(QStringLiteral("; ")).toLocal8Bit().constData());
  EndWithApplication(1);
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
  // Velkaro's own options are spelt with two dashes; Qt's, with one.
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("velkaro %s\n", VELKARO_VERSION);
      return 0;
    }
    if (arg == "--list") {
      if (argc > 2) return UsageError("--list takes no other argument");
      return ListPorts();
    }
    if (arg.starts_with("--")) return UsageError("unknown option " + std::string(arg));
  }

  // Whoever asked Qt to end at a warning hears it at once, from Qt.
  if (!qEnvironmentVariableIsSet("QT_FATAL_WARNINGS") &&
      !qEnvironmentVariableIsSet("QT_FATAL_CRITICALS")) {
    held.qt_handler = qInstallMessageHandler(HoldWhileMakingThePlatform);
  }
  QApplication app(argc, argv);
  PassOnHeldMessages();
  // Qt took the options that are its own; anything left is not ours either.
  if (argc > 1) EndWithApplication(UsageError(std::string("unknown argument ") + argv[1]));
  // A platform with nothing to show the window on would leave a process
  // nobody can see or close.
  const QString platform = QGuiApplication::platformName();
  for (const char* shows_nothing : {"offscreen", "minimal", "minimalegl", "vnc"}) {
    if (platform.compare(QLatin1String(shows_nothing), Qt::CaseInsensitive) == 0) {
      EndWithApplication(UsageError("the platform " + platform.toStdString() + " shows no window"));
    }
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
