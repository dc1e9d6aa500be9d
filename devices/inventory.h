#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "node_system.h"
#include "port_finding.h"
#include "process_walk.h"
#include "read_file.h"
#include "sysfs_hardware.h"
#include "tty_kind.h"

namespace velkaro {

// Where the inventory reads what the machine tells of its serial ports.
struct InventoryOptions {
  std::vector<std::string> lock_dirs = {"/run/lock", "/var/lock"};
  std::string console_active = "/sys/class/tty/console/active";
  std::string sysfs_char_root = "/sys/dev/char";
  // Every terminal of the machine, for the ports beyond the rows.
  std::string sysfs_class_tty = "/sys/class/tty";
  std::string dev_root = "/dev";
  // The stable names udev gives serial ports.
  std::vector<std::string> serial_link_dirs = {"/dev/serial/by-id", "/dev/serial/by-path"};
  IdFiles id_files;
  ProcessWalk processes;
  // Where the kernel's list of tty drivers is read (its tty/drivers); empty:
  // under processes.proc_root.
  std::string tty_drivers_root;
};

// A row's device as the inventory saw it, before anything opened it.
struct NodeLook {
  enum class Verdict {
    kMayOpen,      // nothing seen that speaks against opening it
    kAbsent,       // no port there
    kUnavailable,  // there, but the kernel or another program has it
    kNotJudged,    // its path could not be looked along
  };
  Verdict verdict = Verdict::kMayOpen;
  // The node that was judged (O_PATH), which the open reopens, so that a
  // path that moves meanwhile cannot lead it elsewhere; none where there
  // is no node.
  OwnedFd node_fd;
  std::optional<struct stat> node;
  bool terminal = false;    // a terminal's node: another program's use of it counts
  bool sysfs_knew = false;  // sysfs told it is a port, with a UART where it has a type
  PortFinding found;        // the words, error, holder and hardware so far
};

// Every serial port of the machine, told from what the system says of it,
// without opening any: on Linux the serial terminals of sysfs, their UART
// and USB facts, the /dev/serial links, the ID databases, the console list,
// the kernel's driver list, and who holds each (lock files, the processes'
// descriptors, sessions). An open raises DTR, and resets many boards.
class Inventory {
 public:
  explicit Inventory(InventoryOptions options = {}, NodeSystem& sys = NodeSystem::Real());

  // Every serial port beyond the rows' devices (by their paths and by the
  // nodes they lead to), in a stable order, by kind and then number. One
  // walk through the processes serves them all. May take a while.
  std::vector<OtherPort> OtherPorts(const std::vector<std::string>& row_paths) const;
  // Every serial port of the machine, told as OtherPorts tells those, the
  // rows' devices among them, each with its row.
  std::vector<OtherPort> EveryPort(const std::vector<std::string>& row_paths) const;
  // The serial port of the terminal named ("ttyUSB0"), as EveryPort tells
  // it; nothing where it is none, or no longer there.
  std::optional<OtherPort> PortNamed(const std::string& name,
                                     const std::vector<std::string>& row_paths) const;

  // Looks at a row's device: its node, what the classifier makes of it, its
  // hardware, and the console. A device the user `chosen` must stand for a
  // port (a terminal, not /dev/tty or a watchdog).
  void Look(const std::string& path, bool chosen, NodeLook& look) const;
  // A live process other than ours that a lock file names for the node, under
  // the path or under the node's own name: false where there is none, else
  // the look is unavailable with its holder.
  bool HeldByLockFile(const std::string& path, NodeLook& look) const;
  // A process other than ours with the terminal open, or as its session's:
  // false where there is none; else, or where /proc is blind, the look is
  // unavailable. Only a terminal is looked for.
  bool HeldByProcess(NodeLook& look) const;

  const InventoryOptions& options() const { return options_; }

 private:
  // Tells the terminals, each with its row where it is one's device; the
  // rows' own are passed over unless `with_rows`.
  std::vector<OtherPort> Describe(const std::vector<SerialTty>& ttys,
                                  const std::vector<std::string>& row_paths, bool with_rows) const;
  TtyClassifier Classifier() const;

  InventoryOptions options_;
  NodeSystem& sys_;
};

}  // namespace velkaro
