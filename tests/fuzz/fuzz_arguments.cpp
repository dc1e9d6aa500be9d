// An argument vector, its arguments the input's parts between zero bytes,
// judged as the Linux program and velkaro.com judge it; whatever is
// refused is told as text that may be shown.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "arguments.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> parts(1, "velkaro");
  std::string part;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      parts.push_back(std::move(part));
      part.clear();
    } else {
      part += static_cast<char>(data[i]);
    }
  }
  parts.push_back(std::move(part));
  std::vector<const char*> argv;
  for (const std::string& arg : parts) argv.push_back(arg.c_str());
  for (const bool qt : {true, false}) {
    const velkaro::Arguments asked =
        velkaro::JudgeArguments(static_cast<int>(argv.size()), argv.data(), qt);
    velkaro::fuzz::CheckShowable(asked.refusal, "a refusal");
    for (const std::string& path : asked.ports) {
      velkaro::fuzz::Require(path.empty() || velkaro::PathRefusal(path).empty(),
                             "a path taken that would be refused");
    }
  }
  return 0;
}
