#pragma once

#include <functional>
#include <string>
#include <vector>

#include "port_finding.h"
#include "scan_sequencer.h"
#include "serial_port.h"

namespace velkaro {

// How `velkaro --list` waits for a probe, and how a word to stop it (a
// signal on Linux; Ctrl+C, Ctrl+Break or the session's end on Windows) ends
// it, on each platform.
class ListEnds {
 public:
  virtual ~ListEnds() = default;
  // On the worker's thread, once a probe has ended. Never blocks.
  virtual void ProbeEnded() = 0;
  // Waits until a probe has ended, or a word to stop came.
  virtual void Wait() = 0;
  // The word to stop that came, or 0.
  virtual int Stopped() = 0;
  // No port is held from here: a word to stop that came, or comes, ends
  // the program at once, as it ends others.
  virtual void ScanOver() = 0;
  // Ends the program as the word to stop ends it. Returns (the status to
  // end with) only where a test stands in for the platform.
  virtual int EndAs(int stop) = 0;
};

// The ports beyond the rows, for --all, given the rows' devices; told by
// the inventory, without being opened.
using OtherPortsOf = std::function<std::vector<OtherPort>(const std::vector<std::string>&)>;

// Writes the whole list; false where it could not, with errno saying why.
using ListOutput = std::function<bool(const std::string&)>;

// The scan the window runs, without the window or the timer's waits, each
// probe on the worker while this thread waits for it or a word to stop.
// Writes one line for every port to `out`, or with `json` one JSON document
// of the findings as data (port_json.h); with `others`, every other serial
// port of the machine follows. At a word to stop it starts no further
// probe, lets a probe that holds its port put it back (one still opening
// holds nothing and is left behind), and ends as the word would.
// Returns the exit status: 1 where a port could not be judged, a port's
// settings could not be put back, the list could not be written, or no
// thread could be started for the probes; else 0.
int ListPorts(SerialPort& comm, ListEnds& ends, const ListOutput& out, bool json,
              const OtherPortsOf& others = {});

// Runs a step of the scan for `velkaro --list`. A step that fails is told on
// standard error, "COM3 could not be judged: …", and the scan goes on with
// the next port, whose line says why.
void StepOrTell(ScanSequencer& scan, void (ScanSequencer::*step)());

}  // namespace velkaro
