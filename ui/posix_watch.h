#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "device_events.h"
#include "inventory.h"

namespace velkaro {

// What `velkaro --watch` reads and where it ends, as seams for its tests.
struct WatchSources {
  DeviceEvents& events;
  const Inventory& inventory;
  std::vector<std::string> rows;  // the six rows' devices, COM1 first
  std::function<std::chrono::system_clock::time_point()> now = std::chrono::system_clock::now;
  // Readable once the watch is to end (the signals' pipe); and what ends it
  // then, returning the status where it does not end the program itself.
  int stop_fd = -1;
  std::function<int()> stop;
};

// Tells every serial port of the machine, never opening any, then each that
// comes or goes, as a line (or with `json` a JSON object on a line) on `out`,
// flushed at once; between events it waits in one poll, with no timer. Ends
// at the word to stop, or returns 1 where a line could not be written.
int WatchPorts(WatchSources& sources, std::FILE* out, bool json);

// The same for the program: the system's device events and the signals that
// end it, which end it as they end others.
int WatchPorts(const std::vector<std::string>& rows, std::FILE* out, bool json);

}  // namespace velkaro
