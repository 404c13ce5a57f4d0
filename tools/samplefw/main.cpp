// samplefw OUT.bin: writes the sample image's plain payload.
#include <fstream>
#include <iostream>

#include "tools/samplefw/samplefw.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: samplefw OUT.bin\n";
    return 2;
  }
  const std::vector<std::uint8_t> plain = kv27::MakeSampleFirmware();
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(plain.data()), static_cast<std::streamsize>(plain.size()));
  out.close();
  if (!out) {
    std::cerr << "samplefw: cannot write " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
