#include "win32_system.h"

// The serial requests come with the driver kit; it needs these before it.
#include <winioctl.h>
// clang-format off
#include <ntdef.h>
#include <ntddser.h>
// clang-format on

namespace velkaro {

Win32System& Win32System::Real() {
  static Win32System real;
  return real;
}

HANDLE Win32System::CreateFileW(const wchar_t* name, DWORD access, DWORD share_mode, DWORD creation,
                                DWORD flags) {
  return ::CreateFileW(name, access, share_mode, nullptr, creation, flags, nullptr);
}

BOOL Win32System::CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

BOOL Win32System::GetCommState(HANDLE handle, DCB* dcb) { return ::GetCommState(handle, dcb); }

BOOL Win32System::SetCommState(HANDLE handle, DCB* dcb) { return ::SetCommState(handle, dcb); }

BOOL Win32System::GetLineParity(HANDLE handle, BYTE* parity) {
  SERIAL_LINE_CONTROL line{};
  line.Parity = kParityNotTold;
  DWORD returned = 0;
  if (!::DeviceIoControl(handle, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line, sizeof line,
                         &returned, nullptr)) {
    return FALSE;
  }
  *parity = line.Parity;
  return TRUE;
}

BOOL Win32System::GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  return ::GetCommTimeouts(handle, timeouts);
}

BOOL Win32System::SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
  return ::SetCommTimeouts(handle, timeouts);
}

BOOL Win32System::SetupComm(HANDLE handle, DWORD in_queue, DWORD out_queue) {
  return ::SetupComm(handle, in_queue, out_queue);
}

BOOL Win32System::CancelSynchronousIo(DWORD thread_id) {
  const HANDLE thread = ::OpenThread(THREAD_TERMINATE, FALSE, thread_id);
  if (thread == nullptr) return FALSE;
  const BOOL cancelled = ::CancelSynchronousIo(thread);
  ::CloseHandle(thread);
  return cancelled;
}

}  // namespace velkaro
