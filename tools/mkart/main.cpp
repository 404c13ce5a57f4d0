// mkart: writes the program's pictures.
//   mkart OUTDIR             the icon and bitmaps, as committed under res/
//   mkart --preview OUTDIR   enlarged PNG previews of each picture
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "tools/mkart/art.h"

namespace {

bool Write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "mkart: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kv27::art;
  if (argc == 3 && std::strcmp(argv[1], "--preview") == 0) {
    const std::string dir = argv[2];
    bool ok = Write(dir + "/icon16.png", PreviewPng(DrawIcon(16), 16));
    ok = Write(dir + "/icon32.png", PreviewPng(DrawIcon(32), 8)) && ok;
    ok = Write(dir + "/icon32_1x.png", PreviewPng(DrawIcon(32), 1)) && ok;
    ok = Write(dir + "/absent.png", PreviewPng(DrawIndicator(false), 16)) && ok;
    ok = Write(dir + "/present.png", PreviewPng(DrawIndicator(true), 16)) && ok;
    return ok ? 0 : 1;
  }
  if (argc != 2 || argv[1][0] == '-') {
    std::fprintf(stderr, "usage: mkart OUTDIR | mkart --preview OUTDIR\n");
    return 2;
  }
  bool ok = true;
  for (const ArtFile& f : AllArtFiles()) ok = Write(std::string(argv[1]) + "/" + f.name, f.bytes) && ok;
  return ok ? 0 : 1;
}
