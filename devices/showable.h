#pragma once

#include <string>
#include <string_view>

namespace velkaro {

// A name any program may have chosen, made safe to show: every byte that is
// not valid UTF-8, every C0 and C1 control, and every bidirectional control
// becomes '?'.
std::string ShowableName(std::string_view name);

}  // namespace velkaro
