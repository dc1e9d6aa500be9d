#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace velkaro {

// Who else has a device open, or as a session's terminal, told from /proc
// without touching the device itself.

// The device number a tty_nr field of /proc/<pid>/stat stands for.
dev_t DecodeTtyNr(unsigned int tty_nr);

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

}  // namespace velkaro
