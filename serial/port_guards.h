#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

// Ways to tell that a port is absent, or that another program holds it,
// without touching the port itself. Each only reads files that describe the
// system.

// "LCK..ttyS0" for /dev/ttyS0, "LCK..pts_3" for /dev/pts/3.
std::string LockFileName(const std::string& device_path);

// The process a UUCP lock file's content names, or 0 if it names none. Four
// bytes with a zero among them are a binary pid; otherwise a decimal number
// after any blanks, ending the content or followed by a blank, is one in
// text. Anything else, and pids out of range, make it stale.
pid_t LockOwner(std::string_view content);

// True if a regular lock file for the device, in any of the directories,
// names a live process other than ours.
bool HeldByLockFile(const std::string& device_path, const std::vector<std::string>& lock_dirs);

// The device number a tty_nr field of /proc/<pid>/stat stands for.
dev_t DecodeTtyNr(unsigned int tty_nr);

// What sysfs (/sys/dev/char/MAJOR:MINOR) tells of a character device.
enum class SysfsVerdict {
  kUnknown,  // no such entry: a pseudo-terminal, or no sysfs
  kNoUart,   // a serial port node with no UART behind it
  kConsole,  // a kernel console
  kPort,     // a serial port, none of the above
  kNotTty,   // a device, but no terminal: no other program's use of it counts
};
SysfsVerdict JudgeBySysfs(dev_t device, const std::string& sysfs_char_root);

// Where and how to look at the other processes on the machine.
struct ProcessWalk {
  std::string proc_root = "/proc";
  // The session a process belongs to: its leader's pid, 0 for a leader
  // outside our pid namespace, or -1 if unknown.
  std::function<pid_t(pid_t)> session_of = [](pid_t pid) { return ::getsid(pid); };
};

// True if a process other than ours has the device open, or it is the
// controlling terminal of another process's session. The descriptors of
// every process tell it; a session is asked only where they cannot: a
// process we may not look into, one holding /dev/tty, one whose first
// thread has exited, and every process for a pseudo-terminal. Stops at the
// first holder found.
bool HeldByAnotherProcess(dev_t device, const ProcessWalk& walk);

// True if the device is one of the kernel consoles listed in the given file.
bool IsActiveConsole(dev_t device, const std::string& console_active);

}  // namespace velkaro
