#include "finding_words.h"

#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "process_walk.h"
#include "showable.h"

namespace velkaro {

std::string FindingText(Seen seen, std::string_view detail) {
  const std::string d(detail);
  switch (seen) {
    case Seen::kFree:
      return "present, free";
    case Seen::kInUse:
      return "present, in use by " + d;
    case Seen::kLocked:
      return "present, locked by " + d;
    case Seen::kFlocked:
      return "present, locked by another program (flock)";
    case Seen::kExclusive:
      return "present, opened exclusively by another program";
    case Seen::kLineDiscipline:
      return "present, taken by the kernel's line discipline " + d;
    case Seen::kLoginTerminal:
      return "present, the terminal of a login session (" + d + ")";
    case Seen::kConsole:
      return "present, the kernel console";
    case Seen::kNotYours:
      return d.empty() ? "present, but you may not open it (permission denied)"
                       : "present, but you may not open it: it belongs to group " + d +
                             ", which you are not in";
    case Seen::kRefusedSettings:
      return "present, but it refused line settings";
    case Seen::kUseCannotBeSeen:
      return "present, not opened: /proc cannot be read, so other programs' use cannot be seen";
    case Seen::kNotSeenInUse:
      return "present, not opened: no other program seen using it";
    case Seen::kNoNode:
      return "absent: no device node";
    case Seen::kNoUart:
      return "absent: no UART behind this node";
    case Seen::kNotASerialPort:
      return "absent: not a serial port";
    case Seen::kNodeChanged:
      return "absent: its node changed while it was looked at";
    case Seen::kNoAnswer:
      return "absent: the device did not answer (" + d + ")";
    case Seen::kPathLeadsNowhere:
      return "absent: its path leads to no device (" + d + ")";
    case Seen::kPathNotLookedAt:
      return "not judged: its path cannot be looked along (permission denied)";
  }
  return {};
}

std::string ErrnoName(int errnum) {
  const char* name = ::strerrorname_np(errnum);
  return name != nullptr ? name : "error " + std::to_string(errnum);
}

std::string Who(const PortHolder& holder, bool login) {
  const std::string name = ShowableName(holder.program);
  const std::string number = "pid " + std::to_string(holder.pid);
  if (name.empty()) return number;
  return login ? name + ", " + number : name + " (" + number + ")";
}

PortHolder HeldBy(std::string kind, pid_t pid, std::string lock, const std::string& proc_root) {
  PortHolder holder{.kind = std::move(kind), .program = {}, .pid = pid, .lock = std::move(lock)};
  // As it named itself: JSON carries any name safely, where a terminal would not.
  if (pid > 0) holder.program = ProcessNameAsItIs(pid, proc_root);
  return holder;
}

void AddNames(PortHardware& hardware, std::vector<std::string> names) {
  for (const std::string& name : names) {
    hardware.description += (hardware.description.empty() ? "known as "
                             : &name == &names.front()    ? ", known as "
                                                          : ", ") +
                            ShowableName(name);
  }
  hardware.names = std::move(names);
}

std::string PermissionFinding(const std::optional<struct stat>& node) {
  constexpr mode_t kGroupRw = S_IRGRP | S_IWGRP;
  if (!node || ::geteuid() == 0 || (node->st_mode & kGroupRw) != kGroupRw) {
    return FindingText(Seen::kNotYours);
  }
  const gid_t gid = node->st_gid;
  std::vector<gid_t> ours(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
  ours.resize(static_cast<std::size_t>(
      std::max(::getgroups(static_cast<int>(ours.size()), ours.data()), 0)));
  ours.push_back(::getegid());
  std::vector<char> buffer(16384);
  group entry;
  group* found = nullptr;
  if (std::find(ours.begin(), ours.end(), gid) != ours.end() ||
      ::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return FindingText(Seen::kNotYours);
  }
  return FindingText(Seen::kNotYours, found->gr_name);
}

}  // namespace velkaro
