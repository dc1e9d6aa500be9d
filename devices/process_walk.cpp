#include "process_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <sstream>

#include "read_file.h"
#include "showable.h"
#include "tty_kind.h"

namespace velkaro {
namespace {

// The controlling terminal field of /proc/<pid>/stat, or -1 if unreadable.
// Runs once per session on every probe, so it reads into the stack.
long long ReadTtyNr(int proc_fd, const char* pid) {
  char path[32];
  std::snprintf(path, sizeof path, "%s/stat", pid);
  char stat[512];
  ssize_t got;
  {
    const OwnedFd fd(::openat(proc_fd, path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return -1;
    do {
      got = ::read(fd.get(), stat, sizeof stat - 1);
    } while (got < 0 && errno == EINTR);
  }
  if (got <= 0) return -1;
  stat[got] = '\0';
  // The command name in parentheses may hold anything, so count fields
  // from the last ')': state, ppid, pgrp, session, tty_nr.
  const char* close_paren = std::strrchr(stat, ')');
  int tty_nr = 0;
  if (close_paren == nullptr || std::sscanf(close_paren + 1, " %*c %*d %*d %*d %d", &tty_nr) != 1) {
    return -1;
  }
  return tty_nr;
}

bool IsTerminalOf(long long tty_nr, dev_t device) {
  return tty_nr > 0 && DecodeTtyNr(static_cast<unsigned int>(tty_nr)) == device;
}

// A device the walk looks for, and what it found.
struct Sought {
  dev_t device = 0;
  dev_t filesystem = 0;        // a descriptor counts only on this one; 0: on any
  bool every_session = false;  // its sessions are asked even where descriptors tell
  Holder held;
};

bool AllHeld(std::span<const Sought> sought) {
  return std::all_of(sought.begin(), sought.end(), [](const Sought& s) { return s.held.pid > 0; });
}

// What one process's descriptors tell of the devices, beside each device
// they hold.
enum class Descriptors {
  kClear,    // none could hide its session's terminal
  kUnclear,  // they could not all be seen, or one is /dev/tty: ask the session
};

// True if the process has more threads than its first: its descriptor list
// is empty once that first thread has exited. A task directory links two
// entries plus one per thread, in /proc as in any directory of directories.
bool HasOtherThreads(int proc_fd, const char* pid) {
  char path[32];
  std::snprintf(path, sizeof path, "%s/task", pid);
  struct statx st;
  return ::statx(proc_fd, path, AT_STATX_DONT_SYNC, STATX_NLINK, &st) == 0 && st.stx_nlink > 3;
}

// Lists the descriptors in one fd directory with getdents64 into the stack
// and looks at each once, marking every sought device one is on: this runs
// for every process on every probe.
Descriptors ListDescriptors(int proc_fd, const char* fd_path, pid_t pid, std::span<Sought> sought,
                            bool& listed_any) {
  const OwnedFd dir(::openat(proc_fd, fd_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const int fd_dir = dir.get();
  if (fd_dir < 0) return Descriptors::kUnclear;  // gone, or not ours to look into (EACCES)
  const dev_t kDevTty = makedev(5, 0);
  Descriptors seen = Descriptors::kClear;
  alignas(dirent64) char entries[4096];
  for (;;) {
    const long got = ::syscall(SYS_getdents64, fd_dir, entries, sizeof entries);
    if (got < 0) seen = Descriptors::kUnclear;
    if (got <= 0) break;
    for (long at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
      at += entry->d_reclen;
      if (entry->d_name[0] == '.') continue;
      listed_any = true;
      // Whatever path the process opened it by (a chroot's own /dev, a bind
      // mount), a descriptor on the port has the port's device number. The
      // link is followed without asking a network file system's server, so
      // a file on a mount whose server is gone cannot hold up the probe.
      struct statx st;
      if (::statx(fd_dir, entry->d_name, AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT, STATX_TYPE, &st) !=
          0) {
        seen = Descriptors::kUnclear;
        continue;
      }
      if (!S_ISCHR(st.stx_mode)) continue;
      const dev_t on = makedev(st.stx_rdev_major, st.stx_rdev_minor);
      const dev_t filesystem = makedev(st.stx_dev_major, st.stx_dev_minor);
      for (Sought& s : sought) {
        if (s.held.pid == 0 && on == s.device &&
            (s.filesystem == 0 || filesystem == s.filesystem)) {
          s.held = {pid, false};
        }
      }
      if (AllHeld(sought)) return seen;
      if (on == kDevTty) seen = Descriptors::kUnclear;
    }
  }
  return seen;
}

// A thread of the process other than its first, or 0.
pid_t OtherThread(int proc_fd, const char* pid) {
  char path[32];
  std::snprintf(path, sizeof path, "%s/task", pid);
  const int task_fd = ::openat(proc_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (task_fd < 0) return 0;
  const OwnedDir task(::fdopendir(task_fd));
  if (task == nullptr) {
    ::close(task_fd);
    return 0;
  }
  pid_t other = 0;
  while (other == 0) {
    const dirent* entry = ::readdir(task.get());
    if (entry == nullptr) break;
    if (entry->d_name[0] != '.' && std::strcmp(entry->d_name, pid) != 0) {
      other = static_cast<pid_t>(std::atol(entry->d_name));
    }
  }
  return other;
}

// What the process's descriptors tell of the devices.
Descriptors LookAtDescriptors(int proc_fd, const char* name, pid_t pid, std::span<Sought> sought) {
  char path[sizeof(dirent::d_name) + 32];
  std::snprintf(path, sizeof path, "%s/fd", name);
  bool listed_any = false;
  const Descriptors seen = ListDescriptors(proc_fd, path, pid, sought, listed_any);
  if (seen != Descriptors::kClear || listed_any || !HasOtherThreads(proc_fd, name)) return seen;
  // Its first thread has exited, and its list with it; the threads left
  // share one table of descriptors. Their session is asked as well.
  const pid_t thread = OtherThread(proc_fd, name);
  std::snprintf(path, sizeof path, "%s/task/%d/fd", name, static_cast<int>(thread));
  if (thread > 0) ListDescriptors(proc_fd, path, pid, sought, listed_any);
  return Descriptors::kUnclear;
}

// What the kernel's list of tty drivers says the device is.
enum class TerminalKind { kPseudo, kOther, kUnlisted };
TerminalKind KindOf(dev_t device, const std::string& proc_root) {
  const std::optional<std::string> type = TtyDriverType(device, proc_root);
  if (!type || type->empty()) return TerminalKind::kUnlisted;
  return type->starts_with("pty") ? TerminalKind::kPseudo : TerminalKind::kOther;
}

std::optional<pid_t> ParsePid(const char* name) {
  pid_t pid = 0;
  const char* end = name + std::strlen(name);
  const auto [ptr, ec] = std::from_chars(name, end, pid);
  if (ec != std::errc() || ptr != end || pid <= 0) return std::nullopt;
  return pid;
}

}  // namespace
dev_t DecodeTtyNr(unsigned int tty_nr) {
  const unsigned int major = (tty_nr >> 8) & 0xfffu;
  const unsigned int minor = (tty_nr & 0xffu) | ((tty_nr >> 12) & 0xfff00u);
  return makedev(major, minor);
}

namespace {

// Walks /proc once for every sought device, until each has a holder. False
// where the processes cannot be looked at.
bool Walk(std::span<Sought> sought, const ProcessWalk& walk) {
  const OwnedDir proc(::opendir(walk.proc_root.c_str()));
  if (proc == nullptr) return false;
  const int proc_fd = ::dirfd(proc.get());
  // Where our own descriptors cannot be listed (a tmpfs over /proc, say),
  // nobody else's can be either: the look is blind, not empty.
  if (const OwnedFd own(::openat(proc_fd, "self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      own.get() < 0) {
    return false;
  }
  const pid_t self = ::getpid();
  // Only a session leader can take a controlling terminal, and the members
  // of a session share it, so each session needs one look at its leader.
  // Members mostly follow their leader closely, so the last few leaders
  // looked at are remembered with their terminal, in place: nothing is
  // allocated per process.
  std::array<std::pair<pid_t, long long>, 16> recent_leaders{};
  std::size_t next_leader = 0;
  // Marks each device not yet held that `asked` picks and the session of
  // the process has as its terminal: its leader holds it, or the process
  // itself where no leader can be asked.
  const auto sessions_on_devices = [&](pid_t pid, const char* name, auto asked) {
    const pid_t leader = walk.session_of(pid);
    pid_t holder = leader;
    long long tty_nr = -1;
    if (leader > 0) {
      const auto recent =
          std::find_if(recent_leaders.begin(), recent_leaders.end(),
                       [leader](const auto& known) { return known.first == leader; });
      if (recent != recent_leaders.end()) {
        tty_nr = recent->second;
      } else {
        char leader_name[16];
        std::snprintf(leader_name, sizeof leader_name, "%d", static_cast<int>(leader));
        tty_nr = ReadTtyNr(proc_fd, leader_name);
        if (tty_nr >= 0) recent_leaders[next_leader++ % recent_leaders.size()] = {leader, tty_nr};
      }
    }
    if (tty_nr < 0) {
      // No leader to ask (gone, outside our namespace, or unknown): this
      // process's own record tells its session's terminal as well.
      tty_nr = ReadTtyNr(proc_fd, name);
      holder = pid;
    }
    for (Sought& s : sought) {
      if (s.held.pid == 0 && asked(s) && IsTerminalOf(tty_nr, s.device)) s.held = {holder, true};
    }
  };
  while (!AllHeld(sought)) {
    const dirent* entry = ::readdir(proc.get());
    if (entry == nullptr) break;
    const std::optional<pid_t> pid = ParsePid(entry->d_name);
    if (!pid) continue;
    // A session is asked only where the descriptors cannot tell.
    const Descriptors seen = *pid == self ? Descriptors::kClear
                                          : LookAtDescriptors(proc_fd, entry->d_name, *pid, sought);
    if (seen == Descriptors::kUnclear) {
      sessions_on_devices(*pid, entry->d_name, [](const Sought&) { return true; });
    } else if (std::any_of(sought.begin(), sought.end(),
                           [](const Sought& s) { return s.every_session && s.held.pid == 0; })) {
      sessions_on_devices(*pid, entry->d_name, [](const Sought& s) { return s.every_session; });
    }
  }
  return true;
}

// A device the walk looks for, as the kernel's list of tty drivers tells
// its kind. A pseudo-terminal stays its session's controlling terminal
// while only its master is open, so no descriptor on it needs to be left
// anywhere: every session is asked, unless the kernel says the device is
// none. Its number names it only within its own devpts instance (a
// container's has /dev/pts/0 too), so a descriptor on it counts only on the
// same one.
Sought SoughtDevice(dev_t device, const std::string& proc_root, dev_t node_filesystem) {
  const TerminalKind kind = KindOf(device, proc_root);
  return {.device = device,
          .filesystem = kind == TerminalKind::kPseudo ? node_filesystem : 0,
          .every_session = kind != TerminalKind::kOther,
          .held = {}};
}

}  // namespace

Holder HeldByAnotherProcess(dev_t device, const ProcessWalk& walk, dev_t node_filesystem) {
  Sought sought = SoughtDevice(device, walk.proc_root, node_filesystem);
  if (!Walk(std::span(&sought, 1), walk)) return {.blind = true};
  return sought.held;
}

std::vector<Holder> HeldByOtherProcesses(const std::vector<dev_t>& devices,
                                         const ProcessWalk& walk) {
  std::vector<Sought> sought;
  for (const dev_t device : devices) sought.push_back(SoughtDevice(device, walk.proc_root, 0));
  const bool seen = sought.empty() || Walk(sought, walk);
  std::vector<Holder> holders;
  for (const Sought& s : sought) holders.push_back(seen ? s.held : Holder{.blind = true});
  return holders;
}

std::string ProcessNameAsItIs(pid_t pid, const std::string& proc_root) {
  std::string name =
      ReadSmallFile(AT_FDCWD, (proc_root + "/" + std::to_string(pid) + "/comm").c_str(), 64);
  while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) name.pop_back();
  return name;
}

std::string ProcessName(pid_t pid, const std::string& proc_root) {
  return ShowableName(ProcessNameAsItIs(pid, proc_root));
}

}  // namespace velkaro
