// A message on the kernel's uevent socket, as the watch reads it where no
// udev daemon runs.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "device_events.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  [[maybe_unused]] const auto event =
      velkaro::ParseKernelEvent(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
