#pragma once

#include <windows.h>

namespace velkaro {

// Every Win32 call the port makes on a device goes through here, so tests can
// make any of them fail the way a real driver would. A failing call leaves its
// code for GetLastError, as the real one does.
class Win32System {
 public:
  virtual ~Win32System() = default;

  // The calls as the system makes them.
  static Win32System& Real();

  virtual HANDLE CreateFileW(const wchar_t* name, DWORD access, DWORD share_mode, DWORD creation,
                             DWORD flags);
  virtual BOOL CloseHandle(HANDLE handle);
  virtual BOOL GetCommState(HANDLE handle, DCB* dcb);
  virtual BOOL SetCommState(HANDLE handle, DCB* dcb);
  // The line's parity as the driver itself says it (the line-control request
  // behind GetCommState), or kParityNotTold where the driver answers without
  // naming one. GetCommState would hand back stray memory there instead: Wine
  // leaves it unset for a tty with odd parity chosen but parity off.
  static constexpr BYTE kParityNotTold = 0xFF;
  virtual BOOL GetLineParity(HANDLE handle, BYTE* parity);
  virtual BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
  virtual BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
  virtual BOOL SetupComm(HANDLE handle, DWORD in_queue, DWORD out_queue);
  // Cuts short the request a thread of this process is waiting in.
  virtual BOOL CancelSynchronousIo(DWORD thread_id);
};

}  // namespace velkaro
