#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "port_finding.h"

namespace velkaro {

// What a look at a POSIX port, or a probe of it, can find, each with its
// one text.
enum class Seen {
  kFree,              // opened, set and put back
  kInUse,             // detail: who, "minicom (pid 42)"
  kLocked,            // detail: who and where, "minicom (pid 42) in /run/lock/LCK..ttyS0"
  kFlocked,           //
  kExclusive,         //
  kLineDiscipline,    // detail: the discipline's number
  kLoginTerminal,     // detail: "login, pid 42", or "pid 42"
  kConsole,           //
  kNotYours,          // detail: the group the user is not in, or empty
  kRefusedSettings,   //
  kUseCannotBeSeen,   // /proc cannot be read
  kNotSeenInUse,      // another port, not opened, and nobody seen using it
  kNoNode,            //
  kNoUart,            //
  kNotASerialPort,    // a chosen device of another kind
  kNodeChanged,       // the path led elsewhere once opened
  kNoAnswer,          // detail: the errno's name
  kPathLeadsNowhere,  // detail: the errno's name, ENOTDIR or ELOOP
  kPathNotLookedAt,   // the user may not look along the path
};
std::string FindingText(Seen seen, std::string_view detail = {});

// The name the system gives an errno, "ENOENT"; "error 1234" for one it
// does not name.
std::string ErrnoName(int errnum);

// "pid 42", or "minicom (pid 42)" where the process's name can be read; a
// login's is "login, pid 42".
std::string Who(const PortHolder& holder, bool login = false);

// A holder of the kind, with the program's name, as it named itself, where
// its pid is known.
PortHolder HeldBy(std::string kind, pid_t pid = 0, std::string lock = {},
                  const std::string& proc_root = "/proc");

// The stable names that lead to a port, kept and told at the end of its
// hardware's words.
void AddNames(PortHardware& hardware, std::vector<std::string> names);

// Why an open was refused (EACCES): the node's group, where joining it is
// what the user lacks. Root is never refused for want of a group, and a
// group that may not read and write the node is not the reason either.
std::string PermissionFinding(const std::optional<struct stat>& node);

}  // namespace velkaro
