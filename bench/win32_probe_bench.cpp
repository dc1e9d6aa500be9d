// How long one probe of each of COM1 to COM6 takes through the Win32 port:
// the median of many, in microseconds. Under Wine, run it through
// tests/wine_com_harness so that the ports are the harness's stand-ins:
//
//   tests/without_serial_ports.sh build/ci/tests/wine_com_harness
//     --prefix /tmp/velkaro-wine -- build/windows/bench/win32_probe_bench.exe
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "port_probe.h"
#include "win32_port.h"

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  if (rounds <= 0) {
    std::fprintf(stderr, "usage: win32_probe_bench [ROUNDS]\n");
    return 2;
  }
  velkaro::Win32Port comm;
  velkaro::LampState lamps;
  velkaro::ErrorTrap err;
  std::printf("port  median us  (%d probes each)\n", rounds);
  for (std::int16_t n = velkaro::SerialPort::kFirstPort; n <= velkaro::SerialPort::kLastPort; ++n) {
    std::vector<double> took;
    for (int i = 0; i < rounds; ++i) {
      const auto start = std::chrono::steady_clock::now();
      velkaro::ProbePort(n, comm, lamps, err);
      took.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
    std::nth_element(took.begin(), took.begin() + rounds / 2, took.end());
    std::printf("COM%d  %9.1f\n", n, took[rounds / 2]);
  }
  return 0;
}
