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

class QEvent;
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
  // Probes run on a thread of the window's own, which owns `comm` while the
  // window lives; the window ends once a probe under way has put its port
  // back.
  explicit Form1(SerialPort& comm, QWidget* parent = nullptr);

  const LampState& lamps() const { return lamps_; }
  const ScanSequencer& scan() const { return scan_; }

  // Called when a tick or a probe fails, after the timer was stopped. By default it
  // shows a message box and ends the program with status 1; tests put their
  // own here, since a modal box would wait for a press nobody makes.
  std::function<void(const QString& what)> on_scan_failure;

 public slots:
  void Command1_Click();
  void Timer1_Timer();
  // A probe came back from the worker.
  void ProbeDone();

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void Form_Load();
  // Runs a step of the scan and shows the lamps after it; a step that
  // throws stops the timer and is told.
  void Step(void (ScanSequencer::*step)());
  // The port labels' colour, readable on the window's background.
  void ColourPortLabels();
  // The platform's font for the button, smaller only where the caption would
  // run into the button's frame.
  void FitCaption();
  // Shows, for every port, the lamp the lamp state says is seen. Qt paints
  // the change once the event procedure has returned.
  void ShowLamps();
  // Gives each port's label and lamps what is known of the port, as their
  // tooltip and, for assistive technology, the lamps' description.
  void ShowFindings();

  LampState lamps_;
  QtTimerSwitch timer_switch_;
  ScanSequencer scan_;
  QPushButton* Command1 = nullptr;
  QTimer* Timer1 = nullptr;
  std::array<std::array<QLabel*, kStackingOrder.size()>, kPortCount> lamp_widgets_{};
  std::array<QLabel*, kPortCount> port_labels_{};
};

// A size by size image of a built-in icon file, each pixel repeated scale
// times each way.
QImage IconResourceImage(const QString& path, int size, int scale = 1);
// The 16 by 16 picture of a lamp kind, from the built-in icons, in screen
// pixels for a lamp spot 16 pixels square on a screen of the given device
// pixel ratio: each pixel repeated the largest whole number of times that
// fits.
QPixmap LampPixmap(LampKind kind, qreal device_pixel_ratio);
// The program's icon, a serial cable plug.
QIcon ProgramIcon();

}  // namespace velkaro
