#pragma once

#include <string>
#include <string_view>

namespace velkaro {

// Text from outside (a name a program chose, a device's strings, a path),
// made safe to show: every byte that is not valid UTF-8, every C0 and C1
// control, and every bidirectional control becomes '?'.
std::string ShowableName(std::string_view name);

// Whether the text holds a control ShowableName would hide: a C0 or C1
// control, DEL or a bidirectional control, as UTF-8 or as a lone byte.
bool HoldsControls(std::string_view text);

}  // namespace velkaro
