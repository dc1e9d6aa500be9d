#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace velkaro {

// Ways to tell that another program holds a serial port without touching the
// port itself. Each only reads files that describe the system.

// "LCK..ttyS0" for /dev/ttyS0, "LCK..pts_3" for /dev/pts/3.
std::string LockFileName(const std::string& device_path);

// True if a UUCP lock file for the device names a live process other than ours.
bool HeldByLockFile(const std::string& device_path, const std::vector<std::string>& lock_dirs);

// The device number a tty_nr field of /proc/<pid>/stat stands for.
dev_t DecodeTtyNr(unsigned int tty_nr);

// True if the device is the controlling terminal of any process under proc_root.
bool IsControllingTerminal(dev_t device, const std::string& proc_root);

// True if the device is one of the kernel consoles listed in the given file.
bool IsActiveConsole(dev_t device, const std::string& console_active);

}  // namespace velkaro
