#include "lock_files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "read_file.h"

namespace velkaro {
namespace {

// The largest pid Linux can hand out (PID_MAX_LIMIT on 64-bit systems).
constexpr long long kPidMaxLimit = 4 * 1024 * 1024;

// A lock file's content, read only if it is a regular file: never through a
// symbolic link, and never from a device or a pipe.
std::string ReadLockFile(const std::string& path) {
  const OwnedFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return {};
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return ReadAtMost(fd, 64);
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

pid_t LockOwner(std::string_view content) {
  long long pid = 0;
  if (content.size() == sizeof(std::int32_t) && content.find('\0') != content.npos) {
    // Every pid fits in 22 bits, so a binary one has a zero byte; text has none.
    std::int32_t binary;
    std::memcpy(&binary, content.data(), sizeof binary);
    pid = binary;
  } else {
    // HDB's "%10d\n", minicom's "%10ld minicom user\n", or a bare number:
    // what follows the number after a blank is the writer's own.
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!content.empty() && blank(content.front())) content.remove_prefix(1);
    const char* end = content.data() + content.size();
    const auto [ptr, ec] = std::from_chars(content.data(), end, pid);
    if (ec != std::errc() || (ptr != end && !blank(*ptr))) return 0;
  }
  return pid >= 1 && pid <= kPidMaxLimit ? static_cast<pid_t>(pid) : 0;
}

LockHolder HeldByLockFile(const std::string& device_path,
                          const std::vector<std::string>& lock_dirs) {
  const std::string name = LockFileName(device_path);
  for (const std::string& dir : lock_dirs) {
    const std::string path = dir + "/" + name;
    const pid_t owner = LockOwner(ReadLockFile(path));
    // A lock of a dead process is stale, and one of ours is no other program's.
    if (owner > 0 && owner != ::getpid() && IsLiveProcess(owner)) return {owner, path};
  }
  return {};
}

}  // namespace velkaro
