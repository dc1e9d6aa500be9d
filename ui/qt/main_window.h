#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QWidget>

#include <array>
#include <functional>

#include "lamp_state.h"
#include "scan_sequencer.h"
#include "serial_port.h"

class QLabel;
class QPushButton;
class QTimer;

namespace velkaro {

// Switches the window's Qt timer on and off for the scan.
class QtTimerSwitch : public TimerSwitch {
 public:
  void Attach(QTimer* timer) { timer_ = timer; }
  void SetEnabled(bool enabled) override;

 private:
  QTimer* timer_ = nullptr;
};

// The program's one window: the button, the sentence, six port rows with
// their lamps, and the timer that drives the scan.
class Form1 : public QWidget {
  Q_OBJECT

 public:
  explicit Form1(SerialPort& comm, QWidget* parent = nullptr);

  const LampState& lamps() const { return lamps_; }
  const ScanSequencer& scan() const { return scan_; }

  // Called when a tick fails, after the timer was stopped. By default it
  // shows a message box and ends the program with status 1; tests put their
  // own here, since a modal box would wait for a press nobody makes.
  std::function<void(const QString& what)> on_scan_failure;

 public slots:
  void Command1_Click();
  void Timer1_Timer();

 private:
  void Form_Load();
  // Shows, for every port, the lamp the lamp state says is seen. Qt paints
  // the change once the event procedure has returned.
  void ShowLamps();

  LampState lamps_;
  QtTimerSwitch timer_switch_;
  ScanSequencer scan_;
  QPushButton* Command1 = nullptr;
  QTimer* Timer1 = nullptr;
  std::array<std::array<QLabel*, kStackingOrder.size()>, kPortCount> lamp_widgets_{};
};

// A size by size image of a built-in icon file.
QImage IconResourceImage(const QString& path, int size);
// The 16 by 16 picture of a lamp kind, from the built-in icons.
QPixmap LampPixmap(LampKind kind);
// The program's icon, a serial cable plug.
QIcon ProgramIcon();

}  // namespace velkaro
