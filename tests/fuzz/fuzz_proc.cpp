// What a process tells of itself in /proc, as the walk for a port's holder
// reads it: the input's first part (up to a zero byte) is a made-up
// process's stat line, the rest its name. The walk ends, and a holder it
// names is told as text that may be shown.
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "finding_words.h"
#include "fuzz_checks.h"
#include "process_walk.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fs::path root = [] {
    char name[] = "/tmp/velkaro-fuzz-proc-XXXXXX";
    const fs::path made = ::mkdtemp(name);
    fs::create_directories(made / "42" / "fd");
    // Our own descriptors, listed as /proc lists them: the look is not blind.
    fs::create_directory_symlink("/proc/self", made / "self");
    return made;
  }();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = std::min(input.find('\0'), input.size());
  std::ofstream(root / "42" / "stat", std::ios::binary | std::ios::trunc) << input.substr(0, split);
  std::ofstream(root / "42" / "comm", std::ios::binary | std::ios::trunc)
      << input.substr(std::min(split + 1, input.size()));
  const velkaro::ProcessWalk walk{.proc_root = root.string(),
                                  .session_of = [](pid_t) { return pid_t{42}; }};
  for (const dev_t device : {makedev(4, 64), makedev(136, 3)}) {
    if (const velkaro::Holder holder = velkaro::HeldByAnotherProcess(device, walk)) {
      const velkaro::PortHolder by = velkaro::HeldBy("session", holder.pid, {}, walk.proc_root);
      velkaro::fuzz::CheckShowable(velkaro::Who(by, true), "a holder's name");
    }
  }
  return 0;
}
