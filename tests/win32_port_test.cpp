#include "win32_port.h"

#include <dbt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "console_list.h"
#include "fake_port.h"
#include "port_json.h"
#include "port_probe.h"
#include "scan_sequencer.h"

namespace velkaro {
namespace {

// --- The mapping of open failures ---------------------------------------------

TEST(Win32OpenErrorNumber, MapsEachCodeOnce) {
  struct Case {
    DWORD code;
    ErrorNumber number;
  };
  const Case cases[] = {
      {ERROR_FILE_NOT_FOUND, kNoSuchPort},
      {ERROR_PATH_NOT_FOUND, kNoSuchPort},
      {ERROR_ACCESS_DENIED, kPortUnavailable},
      {ERROR_SHARING_VIOLATION, kPortUnavailable},
      {ERROR_BUSY, kPortUnavailable},
      {ERROR_LOCK_VIOLATION, kPortUnavailable},
      // An unreachable Bluetooth device behind a configured port.
      {ERROR_SEM_TIMEOUT, kPortUnavailable},
      {ERROR_GEN_FAILURE, kNoSuchPort},
      {ERROR_INVALID_NAME, kNoSuchPort},
      {ERROR_NOT_READY, kNoSuchPort},
      {ERROR_INVALID_PARAMETER, kNoSuchPort},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(OpenErrorNumber(c.code), c.number) << "Win32 error " << c.code;
  }
}

// --- Every call made to fail through the seam ---------------------------------

enum class Call {
  kCreate,
  kGetState,
  kGetParity,
  kGetTimeouts,
  kSetup,
  kSetState,
  kSetTimeouts,
  kClose
};

// One device, the way a driver keeps it: its state, its timeouts, open handles.
class FakeWin32 : public Win32System {
 public:
  FakeWin32() {
    state.DCBlength = sizeof(DCB);
    state.BaudRate = CBR_19200;
    state.ByteSize = 7;
    state.Parity = EVENPARITY;
    state.StopBits = TWOSTOPBITS;
    state.fBinary = TRUE;
    state.fParity = TRUE;
    state.fOutxCtsFlow = TRUE;
    state.fOutX = TRUE;
    state.fDtrControl = DTR_CONTROL_DISABLE;
    state.fRtsControl = RTS_CONTROL_ENABLE;
    state.ErrorChar = 0;
    timeouts = {5, 6, 7, 8, 9};
  }

  HANDLE CreateFileW(const wchar_t* name, DWORD access, DWORD share_mode, DWORD creation,
                     DWORD flags) override {
    opened_name = name;
    opened_access = access;
    opened_share = share_mode;
    opened_creation = creation;
    opened_flags = flags;
    if (Failing(Call::kCreate)) return INVALID_HANDLE_VALUE;
    if (during_create && during_create()) return INVALID_HANDLE_VALUE;
    ++open_handles;
    return kHandle;
  }
  BOOL CloseHandle(HANDLE handle) override {
    EXPECT_EQ(handle, kHandle);
    --open_handles;
    return !Failing(Call::kClose);
  }
  BOOL GetCommState(HANDLE, DCB* dcb) override {
    if (Failing(Call::kGetState)) return FALSE;
    *dcb = state;
    return TRUE;
  }
  BOOL GetLineParity(HANDLE, BYTE* parity) override {
    if (Failing(Call::kGetParity)) return FALSE;
    *parity = parity_told.value_or(state.Parity);
    return TRUE;
  }
  // Refuses a state out of range, as drivers do.
  BOOL SetCommState(HANDLE, DCB* dcb) override {
    if (Failing(Call::kSetState)) return FALSE;
    if (dcb->Parity > SPACEPARITY || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
        dcb->StopBits > TWOSTOPBITS) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    ++sets;
    if (sets == 2 && ignore_restore) return TRUE;
    state = *dcb;
    parity_told.reset();  // a parity set is a parity the driver can name
    return TRUE;
  }
  BOOL GetCommTimeouts(HANDLE, COMMTIMEOUTS* t) override {
    if (Failing(Call::kGetTimeouts)) return FALSE;
    *t = timeouts;
    return TRUE;
  }
  BOOL SetCommTimeouts(HANDLE, COMMTIMEOUTS* t) override {
    if (Failing(Call::kSetTimeouts)) return FALSE;
    timeouts = *t;
    return TRUE;
  }
  BOOL SetupComm(HANDLE, DWORD in, DWORD out) override {
    queues = {in, out};
    return !Failing(Call::kSetup);
  }

  // Cuts short only a request under way, as Windows does.
  BOOL CancelSynchronousIo(DWORD thread) override {
    {
      const std::lock_guard lock(mutex);
      if (thread != waiting_in_create) {
        ::SetLastError(ERROR_NOT_FOUND);
        return FALSE;
      }
      cancelled.push_back(thread);
    }
    cancel.notify_all();
    return TRUE;
  }

  void FailWith(Call call, DWORD code) {
    fail_call = call;
    fail_code = code;
  }
  void FailNothing() { fail_call.reset(); }
  void ThrowAt(Call call) { throw_call = call; }

  static inline const HANDLE kHandle = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x4242));
  DCB state{};
  COMMTIMEOUTS timeouts{};
  std::pair<DWORD, DWORD> queues{0, 0};
  int open_handles = 0;
  int sets = 0;
  bool ignore_restore = false;      // says it took the second state, keeps the first
  std::optional<BYTE> parity_told;  // what the driver names, where not the state's
  // Runs inside CreateFileW; true makes it fail, with the code it left.
  std::function<bool()> during_create;
  std::mutex mutex;  // for what another thread cancels
  std::condition_variable cancel;
  std::vector<DWORD> cancelled;  // the threads whose request was cut short
  DWORD waiting_in_create = 0;   // set by during_create while it waits
  std::wstring opened_name;
  DWORD opened_access = 0, opened_share = 1, opened_creation = 0, opened_flags = 1;

 private:
  bool Failing(Call call) {
    if (throw_call == call && std::exchange(throw_call, std::nullopt)) throw std::bad_alloc();
    if (fail_call != call) return false;
    ::SetLastError(fail_code);
    return true;
  }
  std::optional<Call> fail_call;
  std::optional<Call> throw_call;  // once
  DWORD fail_code = ERROR_GEN_FAILURE;
};

bool SameState(const DCB& a, const DCB& b) {
  return SameLineState(a, b) && a.fErrorChar == b.fErrorChar && a.ErrorChar == b.ErrorChar;
}

bool SameTimeouts(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b) {
  return a.ReadIntervalTimeout == b.ReadIntervalTimeout &&
         a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier &&
         a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant &&
         a.WriteTotalTimeoutMultiplier == b.WriteTotalTimeoutMultiplier &&
         a.WriteTotalTimeoutConstant == b.WriteTotalTimeoutConstant;
}

class Win32PortSeamTest : public testing::Test {
 protected:
  FakeWin32 sys;
  const DCB found_state = sys.state;
  const COMMTIMEOUTS found_timeouts = sys.timeouts;
  std::vector<PortDevice> devices;  // as SetupAPI would list them
  Win32Port port{
      Win32PortOptions{.device_name = DefaultDeviceName, .devices = [this] { return devices; }},
      sys};
};

TEST_F(Win32PortSeamTest, OpensExclusivelyAppliesTheSettingsAndPutsThemBack) {
  ASSERT_EQ(port.SetCommPort(3), kNoError);
  ASSERT_EQ(port.SetPortOpen(true), kNoError);

  EXPECT_EQ(sys.opened_name, L"\\\\.\\COM3");
  EXPECT_EQ(sys.opened_access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(sys.opened_share, 0u);
  EXPECT_EQ(sys.opened_creation, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(sys.opened_flags, 0u);
  EXPECT_EQ(sys.queues, std::make_pair(DWORD{1024}, DWORD{512}));

  // 9600 8N1 with "?" for parity errors and no flow control; DTR and RTS as found.
  EXPECT_EQ(sys.state.BaudRate, static_cast<DWORD>(CBR_9600));
  EXPECT_EQ(sys.state.ByteSize, 8);
  EXPECT_EQ(sys.state.Parity, NOPARITY);
  EXPECT_EQ(sys.state.StopBits, ONESTOPBIT);
  EXPECT_EQ(sys.state.ErrorChar, '?');
  EXPECT_TRUE(sys.state.fErrorChar);
  EXPECT_TRUE(sys.state.fBinary);
  EXPECT_FALSE(sys.state.fOutxCtsFlow || sys.state.fOutxDsrFlow || sys.state.fOutX ||
               sys.state.fInX);
  EXPECT_EQ(sys.state.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
  EXPECT_EQ(sys.state.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  // Reads return at once; a write could wait at most one millisecond.
  EXPECT_EQ(sys.timeouts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(sys.timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(sys.timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(sys.timeouts.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(sys.timeouts.WriteTotalTimeoutConstant, 1u);

  ASSERT_EQ(port.SetPortOpen(false), kNoError);
  EXPECT_EQ(port.Finding(), "present, free");
  EXPECT_EQ(port.DevicePath(3), "\\\\.\\COM3");
  EXPECT_FALSE(port.is_open());
  EXPECT_EQ(sys.open_handles, 0);
  EXPECT_TRUE(SameState(sys.state, found_state));
  EXPECT_TRUE(SameTimeouts(sys.timeouts, found_timeouts));
}

TEST_F(Win32PortSeamTest, OpenFailuresLeaveNoHandle) {
  ASSERT_EQ(port.SetCommPort(2), kNoError);
  const struct {
    DWORD code;
    ErrorNumber number;
    const char* finding;
    std::vector<PortDevice> listed;  // the devices SetupAPI lists
    const char* json;                // its holder and hardware as JSON
  } kCases[] = {
      {ERROR_FILE_NOT_FOUND, kNoSuchPort, "absent: ERROR_FILE_NOT_FOUND", {}, "null null"},
      {ERROR_ACCESS_DENIED,
       kPortUnavailable,
       "present, in use by another program or access denied",
       {{L"COM20", L"USB Serial Device (COM20)", L""}, {L"LPT2", L"Printer Port (LPT2)", L""}},
       R"({"kind":"exclusive"} null)"},
      {ERROR_SEM_TIMEOUT,
       kPortUnavailable,
       "present, but its device did not answer (ERROR_SEM_TIMEOUT); "
       "Standard Serial over Bluetooth link",
       {{L"COM1", L"Communications Port (COM1)", L""},
        {L"COM2", L"Standard Serial over Bluetooth link (COM2)", L"Standard Serial"}},
       R"(null {"description":"Standard Serial over Bluetooth link",)"
       R"("name":"Standard Serial over Bluetooth link"})"},
      {1234, kNoSuchPort, "absent: Windows error 1234", {}, "null null"},
      {ERROR_SEM_TIMEOUT,
       kPortUnavailable,
       "present, but its device did not answer (ERROR_SEM_TIMEOUT); Communications Port",
       {{L"COM2", L"", L"Communications Port"}},  // no friendly name
       R"(null {"description":"Communications Port","name":"Communications Port"})"},
  };
  for (const auto& [code, number, finding, listed, json] : kCases) {
    devices = listed;
    sys.FailWith(Call::kCreate, code);
    EXPECT_EQ(port.SetPortOpen(true), number) << "Win32 error " << code;
    EXPECT_EQ(port.Finding(), finding);
    const nlohmann::ordered_json data = PortJson(2, "", port.Found());
    EXPECT_EQ(data["holder"].dump() + " " + data["hardware"].dump(), json);
    if (code == 1234) {
      EXPECT_EQ(data["error"], "error 1234") << "one form for an unnamed error";
    }
    EXPECT_EQ(data["restored"], nullptr) << "never opened, so never changed";
    EXPECT_FALSE(port.is_open());
    EXPECT_EQ(port.SetPortOpen(false), kNoError);
    EXPECT_EQ(sys.open_handles, 0);
  }
}

// Every other COM port SetupAPI lists is told as it lists it, by number,
// and never opened: COM1 to COM6 are the rows', and LPT is no COM port.
TEST_F(Win32PortSeamTest, EveryOtherComPortIsToldByNumberWithoutAnOpen) {
  devices = {
      {L"COM12", L"USB Serial Port (COM12)", L"USB Serial Port", L"USB\\VID_0403&PID_6001&REV_0600",
       L"Port_#0001.Hub_#0004"},
      {L"COM3", L"Communications Port (COM3)", L"Communications Port"},
      {L"LPT1", L"Printer Port (LPT1)", L"Printer Port"},
      {L"COM7", L"", L"Standard Serial over Bluetooth link", L"BTHENUM\\{00001101}", L""},
      {L"COMX", L"Not a port (COMX)", L""},
  };
  const std::vector<OtherPort> others = Inventory([this] { return devices; }).OtherPorts({});
  std::string lines;
  nlohmann::ordered_json data = nlohmann::ordered_json::array();
  for (const OtherPort& other : others) {
    lines += other.name + " (" + other.device + "): " + other.found.line + "\n";
    data.push_back(PortJson(0, other.device, other.found));
  }
  EXPECT_EQ(lines,
            "COM7 (\\\\.\\COM7): present, not opened; Standard Serial over Bluetooth link, "
            "BTHENUM\\{00001101}\n"
            "COM12 (\\\\.\\COM12): present, not opened; USB Serial Port, "
            "USB\\VID_0403&PID_6001&REV_0600, at Port_#0001.Hub_#0004\n");
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[1]["port"], nullptr);
  EXPECT_EQ(data[1]["present"], true);
  data[1]["hardware"].erase("description");
  EXPECT_EQ(
      data[1]["hardware"].dump(),
      R"({"bus":"usb","vendor_id":"0403","product_id":"6001","name":"USB Serial Port",)"
      R"("hardware_id":"USB\\VID_0403&PID_6001&REV_0600","location":"Port_#0001.Hub_#0004"})");
  EXPECT_TRUE(sys.opened_name.empty());
}

// Any step after the open failing is 8015; the handle stays open until the
// close, and whatever was changed by then is put back.
TEST_F(Win32PortSeamTest, ASettingStepFailingKeepsTheHandleUntilTheClose) {
  ASSERT_EQ(port.SetCommPort(1), kNoError);
  for (Call step : {Call::kGetState, Call::kGetParity, Call::kGetTimeouts, Call::kSetup,
                    Call::kSetState, Call::kSetTimeouts}) {
    SCOPED_TRACE(static_cast<int>(step));
    sys.FailWith(step, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(port.SetPortOpen(true), kLineSettingsFailed);
    EXPECT_TRUE(port.is_open());
    EXPECT_EQ(sys.open_handles, 1);
    sys.FailNothing();
    EXPECT_EQ(port.SetPortOpen(false), kNoError);
    EXPECT_EQ(sys.open_handles, 0);
    EXPECT_TRUE(SameState(sys.state, found_state));
    EXPECT_TRUE(SameTimeouts(sys.timeouts, found_timeouts));
  }
  // A step that throws instead, as an allocation failing there would: the
  // port is put back and closed before the failure goes on.
  sys.ThrowAt(Call::kSetTimeouts);
  EXPECT_THROW(port.SetPortOpen(true), std::bad_alloc);
  EXPECT_FALSE(port.is_open());
  EXPECT_EQ(sys.open_handles, 0);
  EXPECT_TRUE(SameState(sys.state, found_state));
}

// A driver may report a state it could not take back. Wine names no parity
// for a tty with odd parity chosen but parity off, and GetCommState then gives
// stray memory, often a parity in range.
TEST_F(Win32PortSeamTest, AFoundStateOutOfRangeIsMendedOrLeftAlone) {
  constexpr BYTE kNotTold = Win32System::kParityNotTold;
  const struct {
    const char* what;
    BYTE parity, byte_size, stop_bits;
    BOOL parity_checked;
    ErrorNumber opened;
    BYTE parity_restored;
    std::optional<BYTE> told = std::nullopt;
  } kCases[] = {
      {"parity out of range, none checked", 33, 7, TWOSTOPBITS, FALSE, kNoError, NOPARITY},
      {"parity out of range, but checked", 33, 7, TWOSTOPBITS, TRUE, kLineSettingsFailed, 33},
      {"space parity, the last in range", SPACEPARITY, 7, TWOSTOPBITS, TRUE, kNoError, SPACEPARITY},
      {"byte size out of range", EVENPARITY, 9, TWOSTOPBITS, TRUE, kLineSettingsFailed, EVENPARITY},
      {"stop bits out of range", EVENPARITY, 7, 3, TRUE, kLineSettingsFailed, EVENPARITY},
      {"stray odd parity, none named", ODDPARITY, 7, TWOSTOPBITS, FALSE, kNoError, NOPARITY,
       kNotTold},
      {"stray odd parity, none named, but checked", ODDPARITY, 7, TWOSTOPBITS, TRUE,
       kLineSettingsFailed, ODDPARITY, kNotTold},
  };
  ASSERT_EQ(port.SetCommPort(1), kNoError);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    sys.state.Parity = c.parity;
    sys.state.ByteSize = c.byte_size;
    sys.state.StopBits = c.stop_bits;
    sys.state.fParity = c.parity_checked;
    sys.parity_told = c.told;
    const DCB before = sys.state;
    DCB mended = before;
    mended.Parity = c.parity_restored;
    sys.sets = 0;
    EXPECT_EQ(port.SetPortOpen(true), c.opened);
    EXPECT_EQ(port.SetPortOpen(false), kNoError) << "the restore was refused";
    if (c.opened.failed()) {
      EXPECT_EQ(sys.sets, 0) << "a state that could not be put back was changed";
      EXPECT_TRUE(SameState(sys.state, before));
    } else {
      EXPECT_TRUE(SameState(sys.state, mended));
    }
  }
}

// A restore the driver did not take, or refused, fails the close and says
// why, in the line and the JSON alike; an error Windows's headers do not
// name is "error N", as on Linux.
TEST_F(Win32PortSeamTest, ARestoreTheDriverDidNotTakeFailsTheClose) {
  const struct {
    DWORD refused;  // by the restore of the timeouts; 0: the state is ignored instead
    const char* why;
  } kCases[] = {{0, "the driver kept other settings"},
                {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
                {55, "error 55"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.why);
    FakeWin32 driver;
    driver.ignore_restore = c.refused == 0;
    Win32Port restored(Win32PortOptions{.device_name = DefaultDeviceName,
                                        .devices = [] { return std::vector<PortDevice>(); }},
                       driver);
    ASSERT_EQ(restored.SetCommPort(1), kNoError);
    ASSERT_EQ(restored.SetPortOpen(true), kNoError);
    if (c.refused != 0) driver.FailWith(Call::kSetTimeouts, c.refused);
    EXPECT_EQ(restored.SetPortOpen(false), kNoSuchPort);
    EXPECT_EQ(driver.open_handles, 0);
    EXPECT_EQ(
        restored.Finding(),
        std::string("present, free; its line settings could not be put back (") + c.why + ")");
    const nlohmann::ordered_json data = PortJson(1, "", restored.Found());
    EXPECT_EQ(data["restored"], false);
    EXPECT_EQ(data["restore_error"], c.why);
  }
}

TEST_F(Win32PortSeamTest, AFailedCloseStillGivesUpTheHandle) {
  ASSERT_EQ(port.SetCommPort(1), kNoError);
  ASSERT_EQ(port.SetPortOpen(true), kNoError);
  sys.FailWith(Call::kClose, ERROR_INVALID_HANDLE);
  EXPECT_EQ(port.SetPortOpen(false), kNoSuchPort);
  EXPECT_FALSE(port.is_open());
  EXPECT_EQ(port.SetPortOpen(false), kNoError);  // not closed twice
  EXPECT_EQ(sys.open_handles, 0);
}

TEST_F(Win32PortSeamTest, ThePortIsChosenOnlyWhileClosedAndInRange) {
  EXPECT_EQ(port.SetPortOpen(true), kNoSuchPort);  // none chosen yet
  EXPECT_EQ(port.SetCommPort(0), kNoSuchPort);
  EXPECT_EQ(port.SetCommPort(7), kNoSuchPort);
  ASSERT_EQ(port.SetCommPort(6), kNoError);
  ASSERT_EQ(port.SetPortOpen(true), kNoError);
  EXPECT_EQ(port.SetCommPort(5), kNoSuchPort);
  EXPECT_EQ(port.SetPortOpen(true), kNoSuchPort);  // already open
  EXPECT_EQ(sys.open_handles, 1);
}

TEST_F(Win32PortSeamTest, AnUnreachableBluetoothPortShowsGreen) {
  sys.FailWith(Call::kCreate, ERROR_SEM_TIMEOUT);
  LampState lamps;
  lamps.ResetLamps();
  ErrorTrap err;
  ProbePort(6, port, lamps, err);
  EXPECT_EQ(lamps.SeenLamp(6), LampKind::kOk);
  EXPECT_EQ(sys.open_handles, 0);
}

// The program's end cuts short an open still waiting on its device, and
// nothing else: a cancel as the open succeeds closes the port unchanged, an
// idle port's cancel cuts nothing short, and no open follows a cancel.
TEST_F(Win32PortSeamTest, TheEndCutsShortOnlyAnOpenStillWaiting) {
  DWORD waiting = 0;
  sys.during_create = [&] {
    std::unique_lock lock(sys.mutex);
    waiting = sys.waiting_in_create = ::GetCurrentThreadId();
    sys.cancel.notify_all();
    sys.cancel.wait(lock, [&] { return !sys.cancelled.empty(); });
    sys.waiting_in_create = 0;
    ::SetLastError(ERROR_OPERATION_ABORTED);
    return true;
  };
  ASSERT_FALSE(port.SetCommPort(1).failed());
  ErrorNumber opened;
  std::thread worker([&] { opened = port.SetPortOpen(true); });
  {
    std::unique_lock lock(sys.mutex);
    ASSERT_TRUE(sys.cancel.wait_for(lock, std::chrono::seconds(10), [&] { return waiting != 0; }));
  }
  port.CancelOpen();
  worker.join();
  EXPECT_EQ(sys.cancelled, std::vector<DWORD>{waiting});
  EXPECT_TRUE(opened.failed());
  sys.during_create = nullptr;
  EXPECT_TRUE(port.SetPortOpen(true).failed()) << "an open after the cancel";
  EXPECT_EQ(sys.open_handles, 0);

  FakeWin32 late;
  Win32Port racing(Win32PortOptions{}, late);
  late.during_create = [&racing] {
    racing.CancelOpen();  // as the device answers
    return false;
  };
  ASSERT_FALSE(racing.SetCommPort(1).failed());
  EXPECT_TRUE(racing.SetPortOpen(true).failed());
  EXPECT_EQ(late.open_handles, 0);
  EXPECT_EQ(late.sets, 0) << "the port was changed after the cancel";

  FakeWin32 quiet;
  Win32Port idle(Win32PortOptions{}, quiet);
  idle.CancelOpen();
  EXPECT_TRUE(quiet.cancelled.empty());
  ASSERT_FALSE(idle.SetCommPort(1).failed());
  EXPECT_TRUE(idle.SetPortOpen(true).failed());
  EXPECT_TRUE(quiet.opened_name.empty()) << "an open was tried after the cancel";

  // An end that no longer waits for the probe: the port is given back unchanged.
  FakeWin32 left;
  Win32Port behind(Win32PortOptions{}, left);
  behind.SetHoldGate([] { return false; });
  ASSERT_FALSE(behind.SetCommPort(1).failed());
  EXPECT_TRUE(behind.SetPortOpen(true).failed());
  EXPECT_EQ(left.open_handles, 0);
  EXPECT_EQ(left.sets, 0);
}

// `velkaro --list` in a console: Ctrl+C, Ctrl+Break or the console's end in
// mid-probe ends the list once a probe that holds its port has put it back,
// and does not wait for one still opening; without them the list is written
// and its status told.
TEST(ConsoleListTest, AStopInMidProbeEndsTheListOnceThePortIsBack) {
  using Hold = FakeSerialPort::Hold;
  const HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (const Hold where : {Hold::kHoldingPort, Hold::kInOpen}) {
    ::ResetEvent(stop);
    FakeSerialPort comm;
    comm.SetOpenOutcome(1, kNoError);
    comm.HoldOpen(1, where);
    std::atomic<bool> released = false;
    std::thread release([&] {
      comm.WaitUntilOpenHeld();
      ::SetEvent(stop);
      ::Sleep(100);
      released = true;
      comm.ReleaseOpen();
    });
    std::string written;
    const int status = win32::ListPorts(comm, false, stop, [&written](const std::string& text) {
      written += text;
      return true;
    });
    const bool waited = released;
    release.join();
    ProbeWorker::JoinLeftBehind();
    EXPECT_EQ(status, win32::kListStopped);
    EXPECT_EQ(waited, where == Hold::kHoldingPort);
    EXPECT_EQ(written, "");
    EXPECT_FALSE(comm.is_open());
  }
  ::ResetEvent(stop);
  FakeSerialPort comm;
  comm.SetOpenOutcome(2, kNoError);
  std::string written;
  const auto keep = [&written](const std::string& text) {
    written += text;
    return true;
  };
  EXPECT_EQ(win32::ListPorts(comm, true, stop, keep), 0);
  const auto ports = nlohmann::ordered_json::parse(written)["ports"];
  ASSERT_EQ(ports.size(), 6u);
  EXPECT_EQ(ports[1]["present"], true);
  EXPECT_EQ(ports[1]["finding"], "present, free");
  EXPECT_EQ(win32::ListPorts(comm, false, stop, [](const std::string&) { return false; }), 1)
      << "a list that could not be written";
  ::CloseHandle(stop);
}

// The session's end reaches velkaro.com through a hidden top-level window,
// as Windows tells a console program that has user32 nothing of it: a logoff
// in mid-scan stops the list.
TEST(ConsoleListTest, TheSessionsEndReachesTheHiddenWindow) {
  const HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HWND window = win32::WatchSessionEnd(stop);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(::GetAncestor(window, GA_PARENT), ::GetDesktopWindow()) << "not a top-level window";
  EXPECT_FALSE(::IsWindowVisible(window));
  DWORD_PTR agreed = FALSE;
  ASSERT_NE(::SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_BLOCK,
                                  5000, &agreed),
            0);
  EXPECT_EQ(agreed, static_cast<DWORD_PTR>(TRUE));
  EXPECT_EQ(::WaitForSingleObject(stop, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ::PostMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
  EXPECT_EQ(::WaitForSingleObject(stop, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
}

// velkaro.com --watch: Windows's word that a port came or went reaches the
// hidden window, and the watch tells the port that came and the one that
// went, as the device registry lists them, until it is stopped.
TEST(ConsoleWatchTest, AnArrivalAndARemovalAreTold) {
  const HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HANDLE changed = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  const HWND window = win32::WatchSessionEnd(stop, changed);
  ASSERT_NE(window, nullptr);
  std::mutex mutex;
  std::vector<PortDevice> devices = {
      {L"COM3", L"Communications Port (COM3)", L"Communications Port"}};
  std::string written;
  int status = 0;
  std::thread watching([&] {
    status = win32::WatchPorts(
        false, stop, changed,
        [&] {
          const std::lock_guard lock(mutex);
          return devices;
        },
        [&](const std::string& line) {
          const std::lock_guard lock(mutex);
          written += line.substr(line.find(' ') + 1);  // without the time
          return true;
        },
        std::chrono::system_clock::now);
  });
  const auto told = [&](long lines) {
    for (int i = 0; i < 500; ++i) {
      {
        const std::lock_guard lock(mutex);
        if (std::count(written.begin(), written.end(), '\n') >= lines) return true;
      }
      ::Sleep(10);
    }
    return false;
  };
  // As Windows broadcasts it: a port, by its name.
  const auto broadcast = [window](WPARAM what, const wchar_t* name) {
    std::vector<BYTE> buffer(sizeof(DEV_BROADCAST_PORT_W) + 16 * sizeof(wchar_t));
    auto* port = reinterpret_cast<DEV_BROADCAST_PORT_W*>(buffer.data());
    port->dbcp_size = static_cast<DWORD>(buffer.size());
    port->dbcp_devicetype = DBT_DEVTYP_PORT;
    std::wcscpy(port->dbcp_name, name);
    ::SendMessageTimeoutW(window, WM_DEVICECHANGE, what, reinterpret_cast<LPARAM>(port), SMTO_BLOCK,
                          5000, nullptr);
  };
  EXPECT_TRUE(told(1));
  {
    const std::lock_guard lock(mutex);
    devices.push_back(
        {L"COM12", L"USB Serial Port (COM12)", L"USB Serial Port", L"USB\\VID_0403&PID_6001", L""});
  }
  broadcast(DBT_DEVICEARRIVAL, L"COM12");
  EXPECT_TRUE(told(2));
  {
    const std::lock_guard lock(mutex);
    devices.erase(devices.begin());
  }
  broadcast(DBT_DEVICEREMOVECOMPLETE, L"COM3");
  EXPECT_TRUE(told(3));
  ::SetEvent(stop);
  watching.join();
  EXPECT_EQ(status, win32::kListStopped);
  EXPECT_EQ(written,
            "present COM3 (\\\\.\\COM3): present, not opened; Communications Port\n"
            "added COM12 (\\\\.\\COM12): present, not opened; USB Serial Port, "
            "USB\\VID_0403&PID_6001\n"
            "removed COM3 (\\\\.\\COM3): absent: removed; Communications Port\n");
  ::CloseHandle(changed);
  ::CloseHandle(stop);
}

// Ctrl+C and Ctrl+Break stop the list while the scan may hold a port, and
// are not passed on to Windows's own handler, which would end the program
// at once with the port changed; once the scan is over, they are.
TEST(ConsoleListTest, CtrlCAndCtrlBreakAreTakenUntilTheScanIsOver) {
  const HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  win32::WatchSessionEnd(stop);  // the scan is yet to come
  for (const DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
    ::ResetEvent(stop);
    EXPECT_EQ(win32::OnConsoleEnd(event), TRUE) << "passed on, event " << event;
    EXPECT_EQ(::WaitForSingleObject(stop, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  }
  ::ResetEvent(stop);
  FakeSerialPort comm;
  EXPECT_EQ(win32::ListPorts(comm, false, stop, [](const std::string&) { return true; }), 0);
  EXPECT_EQ(win32::OnConsoleEnd(CTRL_C_EVENT), FALSE) << "kept from ending after the scan";
  ::CloseHandle(stop);
}

// A list stopped ends the program as Ctrl+C ends any console program, with
// the status cmd shows for it.
TEST(ConsoleListDeathTest, AStoppedListEndsAsCtrlCEndsAProgram) {
  EXPECT_EXIT(
      {
        const HANDLE stop = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
        FakeSerialPort comm;
        win32::ListPorts(
            comm, false, stop, [](const std::string&) { return true; }, {}, true);
      },
      testing::ExitedWithCode(static_cast<int>(STATUS_CONTROL_C_EXIT)), "");
}

// --- Real ports under Wine ----------------------------------------------------
// These need the links wine_com_harness makes; anywhere else they are skipped,
// so that a run on a real machine never opens its ports.

class WineComLinksTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* links = std::getenv("VELKARO_WINE_COM_LINKS");
    if (links == nullptr || std::string(links) != "1") {
      GTEST_SKIP() << "needs COM1 to COM6 as wine_com_harness sets them up";
    }
  }

  static ErrorNumber OpenAndClose(std::int16_t n) {
    Win32Port port;
    EXPECT_EQ(port.SetCommPort(n), kNoError);
    const ErrorNumber opened = port.SetPortOpen(true);
    EXPECT_EQ(port.SetPortOpen(false), kNoError) << "COM" << n;
    EXPECT_FALSE(port.is_open());
    return opened;
  }

  static DCB StateOf(std::int16_t n) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    HANDLE h = ::CreateFileW(DefaultDeviceName(n).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(::GetCommState(h, &dcb));
    ::CloseHandle(h);
    return dcb;
  }
};

// COM1 has odd parity chosen but parity off, which Wine's driver names no
// parity for: the buffer it fills must say so, not what it held before.
// First of the suite, before a probe has set COM1 (Wine clears the odd).
TEST_F(WineComLinksTest, AParityTheDriverDoesNotNameIsToldAsNotTold) {
  const HANDLE h = ::CreateFileW(DefaultDeviceName(1).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BYTE parity = NOPARITY;
  EXPECT_TRUE(Win32System::Real().GetLineParity(h, &parity));
  ::CloseHandle(h);
  EXPECT_EQ(parity, Win32System::kParityNotTold);
}

// Wine registers no device of the ports class: each finding is told alone.
TEST_F(WineComLinksTest, NoDeviceNameIsToldWhereNoneIsRegistered) {
  for (std::int16_t n = 1; n <= kPortCount; ++n) EXPECT_EQ(FriendlyName(n, ListPortDevices()), "");
  Win32Port port;
  ASSERT_EQ(port.SetCommPort(1), kNoError);
  port.SetPortOpen(true);
  port.SetPortOpen(false);
  EXPECT_EQ(port.Finding(), "present, free");
}

TEST_F(WineComLinksTest, EachKindOfPortGivesItsNumber) {
  EXPECT_EQ(OpenAndClose(1), kNoError);             // a terminal
  EXPECT_EQ(OpenAndClose(2), kLineSettingsFailed);  // a device, but no terminal
  EXPECT_EQ(OpenAndClose(3), kNoSuchPort);          // a link to nothing
  EXPECT_EQ(OpenAndClose(4), kPortUnavailable);     // held by another program
  EXPECT_EQ(OpenAndClose(5), kPortUnavailable);     // not ours to open
  EXPECT_EQ(OpenAndClose(6), kNoSuchPort);          // no link at all
  // Nothing is left open between probes.
  EXPECT_EQ(OpenAndClose(1), kNoError);
}

TEST_F(WineComLinksTest, APortIsLeftWithTheSettingsItWasFoundWith) {
  const DCB before = StateOf(1);
  ASSERT_NE(before.BaudRate, static_cast<DWORD>(CBR_9600));  // the harness's odd settings
  ASSERT_EQ(OpenAndClose(1), kNoError);
  EXPECT_TRUE(SameState(StateOf(1), before));
}

TEST_F(WineComLinksTest, ProbesLeakNoHandles) {
  DWORD before = 0;
  ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &before));
  for (int i = 0; i < 50; ++i) {
    OpenAndClose(1);
    OpenAndClose(2);
    OpenAndClose(3);
  }
  DWORD after = 0;
  ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &after));
  EXPECT_EQ(after, before);
}

struct NoTimer : TimerSwitch {
  void SetEnabled(bool on) override { enabled = on; }
  bool enabled = false;
};

TEST_F(WineComLinksTest, AScanShowsWhichPortsExist) {
  LampState lamps;
  Win32Port comm;
  NoTimer timer;
  ScanSequencer scan(lamps, comm, timer);
  scan.Form_Load();
  scan.Command1_Click();
  for (int tick = 0; tick < 7; ++tick) scan.Timer1_Timer();
  EXPECT_FALSE(timer.enabled);

  const LampKind expected[] = {LampKind::kOk, LampKind::kOk, LampKind::kBad,
                               LampKind::kOk, LampKind::kOk, LampKind::kBad};
  for (int n = 1; n <= kPortCount; ++n) {
    EXPECT_EQ(lamps.SeenLamp(n), expected[n - 1]) << "COM" << n;
  }
  EXPECT_FALSE(comm.is_open());
}

}  // namespace
}  // namespace velkaro
