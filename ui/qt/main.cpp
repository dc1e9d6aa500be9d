#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "main_window.h"
#include "platform_port.h"

namespace {

// Qt would abort with a terse message; say plainly what is missing instead.
bool HasDisplay() {
  return std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr ||
         std::getenv("QT_QPA_PLATFORM") != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "velkaro: no display to show the window on (neither DISPLAY nor "
                 "WAYLAND_DISPLAY is set). Start it from a desktop session.\n");
    return 1;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("Velkaro");
  QApplication::setDesktopFileName("org.velkaro.Velkaro");
  QApplication::setWindowIcon(velkaro::ProgramIcon());

  const std::unique_ptr<velkaro::SerialPort> comm = velkaro::MakePlatformSerialPort();
  velkaro::Form1 form(*comm);
  form.show();
  return QApplication::exec();
}
