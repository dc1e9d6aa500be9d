// The kernel's list of tty drivers, /proc/tty/drivers, as the classifier
// reads it.
#include <sys/sysmacros.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tty_kind.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const velkaro::TtyDriverList list =
      velkaro::TtyDriverList::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const dev_t device : {makedev(4, 64), makedev(188, 0), makedev(136, 3), makedev(5, 1),
                             makedev(0xfff, 0xfffff), makedev(0, 0)}) {
    [[maybe_unused]] const std::string type = list.TypeOf(device);
  }
  return 0;
}
