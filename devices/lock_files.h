#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace velkaro {

// UUCP lock files, as serial programs leave them in /run/lock: read only,
// never through a link, never from a device or a pipe.

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

}  // namespace velkaro
