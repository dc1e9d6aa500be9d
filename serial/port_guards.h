#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <sys/stat.h>

#include <functional>
#include <optional>
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

// A live process other than ours that a lock file names, and where the lock
// file is.
struct LockHolder {
  pid_t pid = 0;  // 0: no such lock
  std::string path;
  explicit operator bool() const { return pid > 0; }
};

// The first regular lock file for the device, in any of the directories,
// that names a live process other than ours.
LockHolder HeldByLockFile(const std::string& device_path,
                          const std::vector<std::string>& lock_dirs);

// The device number a tty_nr field of /proc/<pid>/stat stands for.
dev_t DecodeTtyNr(unsigned int tty_nr);

// What sysfs (/sys/dev/char/MAJOR:MINOR) tells of a character device.
enum class SysfsVerdict {
  kUnknown,   // no such entry: a pseudo-terminal, or no sysfs
  kNoUart,    // a serial port node with no UART behind it
  kConsole,   // a kernel console
  kPort,      // a serial port, none of the above
  kTerminal,  // a terminal whose driver tells nothing of consoles: USB serial, CDC ACM
  kNotTty,    // a device, but no terminal: no other program's use of it counts
};
SysfsVerdict JudgeBySysfs(dev_t device, const std::string& sysfs_char_root);

// The type the kernel's list of tty drivers (/proc/tty/drivers) gives the
// device's driver: "serial", "pty:slave", "system:/dev/tty", "console"...;
// empty where the list does not have the device, nothing where the list
// cannot be read.
std::optional<std::string> TtyDriverType(dev_t device, const std::string& proc_root = "/proc");

// /dev/tty, /dev/console, /dev/ptmx and the virtual consoles: terminals
// that stand for another, and no serial port of their own.
bool IsTerminalAlias(dev_t device);

// Whether the node is a serial port, as the kernel's list of tty drivers
// tells (a serial driver's, or a pseudo-terminal), or where that list cannot
// be read, as sysfs does; never /dev/tty, /dev/console, /dev/ptmx or a
// virtual console. Nothing is opened.
bool IsSerialPortNode(const struct stat& node, const std::string& proc_root,
                      const std::string& sysfs_char_root);

// Where and how to look at the other processes on the machine.
struct ProcessWalk {
  std::string proc_root = "/proc";
  // The session a process belongs to: its leader's pid, 0 for a leader
  // outside our pid namespace, or -1 if unknown.
  std::function<pid_t(pid_t)> session_of = [](pid_t pid) { return ::getsid(pid); };
};

// A process other than ours that holds a device.
struct Holder {
  pid_t pid = 0;            // 0: none found
  bool by_session = false;  // its session's terminal, where pid is the session's leader if known
  // The processes could not be looked at (no /proc, or not our own entry in
  // it): nobody's use of the device can be seen.
  bool blind = false;
  explicit operator bool() const { return pid > 0; }
};

// A process other than ours that has the device open, or whose session has
// it as its controlling terminal. The descriptors of every process tell it;
// a session is asked only where they cannot: a process we may not look
// into, one holding /dev/tty, one whose first thread has exited, and every
// process for a pseudo-terminal. A pseudo-terminal's descriptor counts
// only on the file system of its node (node_filesystem, where given), as
// another devpts instance numbers its own the same. Stops at the first
// holder found.
Holder HeldByAnotherProcess(dev_t device, const ProcessWalk& walk, dev_t node_filesystem = 0);

// The same for many devices at once, none a pseudo-terminal, in one walk
// through the processes: a holder for each device, in their order.
std::vector<Holder> HeldByOtherProcesses(const std::vector<dev_t>& devices,
                                         const ProcessWalk& walk);

// A process's command name, as /proc/<pid>/comm gives it, or empty.
std::string ProcessName(pid_t pid, const std::string& proc_root = "/proc");
// The same, as the process named itself: for data, not for a terminal.
std::string ProcessNameAsItIs(pid_t pid, const std::string& proc_root = "/proc");

// A name any program may have chosen, made safe to show: every byte that is
// not valid UTF-8, every C0 and C1 control, and every bidirectional control
// becomes '?'.
std::string ShowableName(std::string_view name);

// The names of the kernel consoles listed in the given file ("ttyS0", "tty0").
std::vector<std::string> ActiveConsoles(const std::string& console_active);

// True if the device is one of the kernel consoles listed in the given file.
bool IsActiveConsole(dev_t device, const std::string& console_active);

}  // namespace velkaro
