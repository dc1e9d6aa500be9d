#include "port_finding.h"

namespace velkaro {

std::string FindingLine(const PortFinding& found) {
  std::string line = found.words;
  if (found.hardware && !found.hardware->description.empty()) {
    line += "; " + found.hardware->description;
  }
  if (found.restored == false) {
    line += "; its line settings could not be put back (" + found.restore_error + ")";
  }
  return line;
}

}  // namespace velkaro
