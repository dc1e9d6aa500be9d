#include "port_finding.h"

#include "showable.h"

namespace velkaro {

// The text is made here: whatever came from outside into the words or the
// hardware's description (a device's strings, an ID database's names, a
// driver's name, a program's) reaches a terminal only as ShowableName
// leaves it.
std::string FindingLine(const PortFinding& found) {
  std::string line = found.words;
  if (found.hardware && !found.hardware->description.empty()) {
    line += "; " + found.hardware->description;
  }
  if (found.restored == false) {
    line += "; its line settings could not be put back (" + found.restore_error + ")";
  }
  return ShowableName(line);
}

}  // namespace velkaro
