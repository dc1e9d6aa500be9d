#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "handles.h"
#include "lamp_state.h"
#include "layout.h"
#include "scan_sequencer.h"
#include "serial_port.h"

namespace velkaro::win32 {

// The window's controls are child windows with these ids. Command1 is IDOK,
// so that Enter presses it as the default button of a dialog.
int ControlId(std::string_view name);  // a control of the layout table, or 0
int LampId(int port);                  // the one window that shows a port's lamp

// Posted to the window by the probe's worker when a probe has ended.
inline constexpr UINT kProbeDoneMessage = WM_APP + 1;

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
  // std::runtime_error if Windows refuses to make it. Probes run on a thread
  // of the form's own, which owns `comm` while the form lives; the form ends
  // once a probe under way has put its port back.
  Form1(HINSTANCE instance, SerialPort& comm);
  // Ends the window first, while everything its last messages use lives;
  // then waits for a probe under way.
  ~Form1();
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  HWND hwnd() const { return window_.get(); }
  // The tooltip control: one tool for each port's lamp and one for its label.
  HWND tooltip() const { return tooltip_; }
  const LampState& lamps() const { return lamps_; }
  const ScanSequencer& scan() const { return scan_; }
  bool timer_enabled() const { return timer_switch_.enabled(); }

  void Command1_Click();
  void Timer1_Timer();
  // A probe came back from the worker.
  void ProbeDone();

  // Called when handling a message failed (a tick, a probe's return, or a press whose timer
  // Windows refused), after the timer was stopped. By default it shows a
  // message box and ends the program with status 1; tests put their own
  // here, since a modal box would wait for a press nobody makes.
  std::function<void(const std::string& what)> on_scan_failure;
  // How the worker posts a probe's return; tests make it fail, as a full
  // message queue does. Set before the first press.
  std::function<BOOL(HWND, UINT, WPARAM, LPARAM)> post_message = ::PostMessageW;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static LRESULT CALLBACK LampProc(HWND lamp, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void Fail(const std::string& what) noexcept;
  void CreateControls();
  // Places every control and lamp from the layout table at the given DPI,
  // makes the fonts, icons and lamp pictures anew for it and sizes the
  // window: to `suggested` if Windows gave a rectangle, else around the
  // table's client area.
  void LayOut(int dpi, const RECT* suggested);
  // Gives the window the program's icon at the sizes of its DPI.
  void SetIcons();
  // Works out the port labels' colour and draws each lamp's picture, at the
  // lamps' size, over the window's background, for the colours of now.
  void TakeColours();
  // Gives the focus back to the control that last had it, or the button.
  void FocusLastControl();
  void Form_Load();
  // Shows, for every port whose seen lamp changed since it was last shown,
  // the lamp the lamp state now says is seen, and for every port whose
  // finding changed, the finding in its lamp's text and tooltips. Other
  // lamps are not touched.
  void ShowLamps();
  // Paints a lamp window whole in one step, from its ready picture.
  void PaintLamp(HWND lamp, HDC dc) const;
  int Pixels(int twips) const;
  HWND PortLabel(int port) const;

  HINSTANCE instance_;
  int dpi_ = 96;
  // Ended in the reverse of this order: the window, and with it every
  // control, before the fonts, icons and pictures they were given.
  // By the kind of font each control of the table has.
  using Fonts = std::array<Font, 3>;
  Fonts fonts_;
  Icon small_icon_, big_icon_;  // the window's own, at its DPI
  MemoryDc lamp_dc_;            // for painting from the pictures
  std::array<Bitmap, kStackingOrder.size()> lamp_pictures_;
  Window window_;
  // The window's children, by their place in the layout table, and ended with it.
  std::array<HWND, layout::kControls.size()> controls_{};
  std::array<HWND, kPortCount> lamp_windows_{};
  HWND tooltip_ = nullptr;
  HWND focus_ = nullptr;  // the control that had the focus when the window was switched away from
  COLORREF label_colour_ = 0;
  // What each lamp window shows: nothing yet when it is made.
  std::array<std::optional<LampKind>, kPortCount> lamps_shown_{};
  std::array<std::wstring, kPortCount> texts_shown_{};
  LampState lamps_;
  TimerSwitch32 timer_switch_;
  // Where the worker posts a probe's return: the window while it exists.
  // Looked at and posted to under the lock, so that the window cannot go
  // (and its handle pass to another) in between.
  std::mutex post_mutex_;
  HWND post_to_ = nullptr;
  ScanSequencer scan_;
};

}  // namespace velkaro::win32
