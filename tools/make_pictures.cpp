// Writes the lamp icons and the program's icon from their pixel tables.
//   make_pictures DIR    writes off.ico, ok.ico, bad.ico, test.ico, velkaro.ico
//                        and the plug as velkaro-16.png ... velkaro-128.png
//                        into DIR
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "pictures.h"

namespace {

bool Write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "make_pictures: cannot write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velkaro;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;
  for (LampKind kind : kStackingOrder) {
    ok = Write(dir + "/" + pictures::LampIconFileName(kind), pictures::EncodeLampIcon(kind)) && ok;
  }
  ok = Write(dir + "/velkaro.ico", pictures::EncodePlugIcon()) && ok;
  for (int size : pictures::kPlugPngSizes) {
    ok = Write(dir + "/" + pictures::PlugPngFileName(size), pictures::EncodePlugPng(size)) && ok;
  }
  return ok ? 0 : 1;
}
