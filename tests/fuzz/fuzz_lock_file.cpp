// A UUCP lock file's content, as any program may have written it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_checks.h"
#include "lock_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const pid_t pid = velkaro::LockOwner(std::string_view(reinterpret_cast<const char*>(data), size));
  velkaro::fuzz::Require(pid >= 0 && pid <= 4 * 1024 * 1024, "a pid out of the kernel's range");
  return 0;
}
