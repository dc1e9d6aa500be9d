#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "lamp_state.h"
#include "scan_sequencer.h"
#include "serial_port.h"

namespace velkaro::win32 {

// The window's controls are child windows with these ids. Command1 is IDOK,
// so that Enter presses it as the default button of a dialog.
int ControlId(std::string_view name);  // a control of the layout table, or 0
int LampId(int port);                  // the one window that shows a port's lamp

// Switches the window's Win32 timer on and off for the scan. Enabling a
// running timer leaves its countdown as it is.
class TimerSwitch32 : public TimerSwitch {
 public:
  static constexpr UINT_PTR kTimerId = 1;
  void Attach(HWND window) { window_ = window; }
  void SetEnabled(bool enabled) override;
  bool enabled() const { return enabled_; }

 private:
  HWND window_ = nullptr;
  bool enabled_ = false;
};

// The program's one window, written with the Win32 API alone: the button,
// the sentence, six port rows with their lamps, and the timer that drives
// the scan. Positions come from the layout table, in twips converted with
// the screen's DPI.
class Form1 {
 public:
  // Creates the window and its controls, hidden, and runs Form_Load. Throws
  // std::runtime_error if Windows refuses to make it.
  Form1(HINSTANCE instance, SerialPort& comm);
  ~Form1();
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  HWND hwnd() const { return window_; }
  // The tooltip control: one tool for each port's lamp and one for its label.
  HWND tooltip() const { return tooltip_; }
  const LampState& lamps() const { return lamps_; }
  const ScanSequencer& scan() const { return scan_; }
  bool timer_enabled() const { return timer_switch_.enabled(); }

  void Command1_Click();
  void Timer1_Timer();

  // Called when handling a message failed (a tick, or a press whose timer
  // Windows refused), after the timer was stopped. By default it shows a
  // message box and ends the program with status 1; tests put their own
  // here, since a modal box would wait for a press nobody makes.
  std::function<void(const std::string& what)> on_scan_failure;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static LRESULT CALLBACK LampProc(HWND lamp, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void Fail(const std::string& what) noexcept;
  // Destroys the window and frees the fonts and icons; safe to call twice.
  void Release() noexcept;
  void CreateControls();
  // Places every control and lamp from the layout table at the given DPI,
  // makes the fonts anew for it and sizes the window: to `suggested` if
  // Windows gave a rectangle, else around the table's client area.
  void LayOut(int dpi, const RECT* suggested);
  // The desktop's message font for the button, smaller only where the
  // caption would not fit inside the button's frame.
  HFONT FittingButtonFont() const;
  // Gives the window the program's icon at the sizes of its DPI.
  void SetIcons();
  void Form_Load();
  // Shows, for every port whose seen lamp changed since it was last shown,
  // the lamp the lamp state now says is seen, and for every port whose
  // finding changed, the finding in its lamp's text and tooltips. Other
  // lamps are not touched.
  void ShowLamps();
  // Paints a lamp window whole in one step: the picture over the window's
  // background is put together off screen first.
  void PaintLamp(HWND lamp, HDC dc) const;
  int Pixels(int twips) const;

  HINSTANCE instance_;
  HWND window_ = nullptr;
  HWND focus_ = nullptr;  // the control that had the focus when the window was switched away from
  int dpi_ = 96;
  HFONT label_font_ = nullptr;
  HFONT description_font_ = nullptr;
  HFONT button_font_ = nullptr;
  std::array<HICON, kStackingOrder.size()> lamp_icons_{};
  HICON small_icon_ = nullptr, big_icon_ = nullptr;  // the window's own, at its DPI
  std::array<HWND, kPortCount> lamp_windows_{};
  // What each lamp window shows: nothing yet when it is made.
  std::array<std::optional<LampKind>, kPortCount> lamps_shown_{};
  HWND tooltip_ = nullptr;  // owned by the window, and destroyed with it
  std::array<std::wstring, kPortCount> texts_shown_{};
  LampState lamps_;
  TimerSwitch32 timer_switch_;
  ScanSequencer scan_;
};

// Runs the window's messages until it is closed, with a dialog's keyboard
// handling (Tab, Enter, Space). Returns the program's exit status.
int RunMessageLoop(HWND window);

}  // namespace velkaro::win32
