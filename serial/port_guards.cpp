#include "port_guards.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace velkaro {
namespace {

// Reads at most `limit` bytes of a small file; empty if it cannot be read.
std::string ReadSmallFile(int dir_fd, const char* path, std::size_t limit) {
  const int fd = ::openat(dir_fd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return {};
  std::string text(limit, '\0');
  std::size_t used = 0;
  while (used < limit) {
    const ssize_t got = ::read(fd, text.data() + used, limit - used);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    used += static_cast<std::size_t>(got);
  }
  ::close(fd);
  text.resize(used);
  return text;
}

// Lock files hold the owner's pid as ten ASCII digits (HDB) or, in the older
// style, as a binary int.
pid_t LockOwner(const std::string& content) {
  if (content.size() == sizeof(int) && !std::isdigit(static_cast<unsigned char>(content[0])) &&
      content[0] != ' ') {
    int pid;
    std::memcpy(&pid, content.data(), sizeof pid);
    return pid;
  }
  long pid = 0;
  if (std::sscanf(content.c_str(), "%ld", &pid) != 1) return 0;
  return static_cast<pid_t>(pid);
}

bool IsLiveProcess(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

std::string LockFileName(const std::string& device_path) {
  static constexpr std::string_view kDev = "/dev/";
  std::string name = device_path.starts_with(kDev) ? device_path.substr(kDev.size())
                                                   : device_path.substr(device_path.rfind('/') + 1);
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return "LCK.." + name;
}

bool HeldByLockFile(const std::string& device_path, const std::vector<std::string>& lock_dirs) {
  const std::string name = LockFileName(device_path);
  for (const std::string& dir : lock_dirs) {
    const std::string content = ReadSmallFile(AT_FDCWD, (dir + "/" + name).c_str(), 64);
    const pid_t owner = LockOwner(content);
    // A lock of a dead process is stale, and one of ours is no other program's.
    if (owner > 0 && owner != ::getpid() && IsLiveProcess(owner)) return true;
  }
  return false;
}

dev_t DecodeTtyNr(unsigned int tty_nr) {
  const unsigned int major = (tty_nr >> 8) & 0xfffu;
  const unsigned int minor = (tty_nr & 0xffu) | ((tty_nr >> 12) & 0xfff00u);
  return makedev(major, minor);
}

bool IsControllingTerminal(dev_t device, const std::string& proc_root) {
  DIR* proc = ::opendir(proc_root.c_str());
  if (proc == nullptr) return false;
  bool found = false;
  while (!found) {
    const dirent* entry = ::readdir(proc);
    if (entry == nullptr) break;
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    const std::string path = std::string(entry->d_name) + "/stat";
    const std::string stat = ReadSmallFile(::dirfd(proc), path.c_str(), 512);
    // The command name in parentheses may hold anything, so count fields
    // from the last ')': state, ppid, pgrp, session, tty_nr.
    const std::size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) continue;
    int tty_nr = 0;
    if (std::sscanf(stat.c_str() + close_paren + 1, " %*c %*d %*d %*d %d", &tty_nr) != 1) continue;
    found = tty_nr != 0 && DecodeTtyNr(static_cast<unsigned int>(tty_nr)) == device;
  }
  ::closedir(proc);
  return found;
}

bool IsActiveConsole(dev_t device, const std::string& console_active) {
  std::istringstream names(ReadSmallFile(AT_FDCWD, console_active.c_str(), 4096));
  std::string name;
  while (names >> name) {
    struct stat st;
    if (::stat(("/dev/" + name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device) {
      return true;
    }
  }
  return false;
}

}  // namespace velkaro
