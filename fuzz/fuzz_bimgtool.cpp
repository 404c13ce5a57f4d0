// The image tool's "info", "check" and "unpack" on image files of any length
// and content, through its library entry point (no subprocess).
//
// Checks for every input: the exit status is success or failure (never a usage
// error: the arguments are fixed and valid), every handle is closed, and
// "unpack" leaves either the complete plain payload or nothing at all (no
// partial or temporary file).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "image/image.h"
#include "sim/world.h"
#include "tools/bimgtool/bimgtool.h"

using namespace kv27;
namespace fs = std::filesystem;

namespace {

void Require(bool condition, const char* what, const std::string& detail = {}) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_bimgtool: %s\n%s\n", what, detail.c_str());
    std::abort();
  }
}

sim::World& TheWorld() {
  // The image lives in memory (it shadows the host disk); unpack writes its
  // output to the host disk through the world, as the program writes its files.
  static sim::World* world = new sim::World();
  return *world;
}

// A private folder for unpack's output, removed at exit.
const fs::path& OutDir() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("kv-fuzz-bimgtool-" + std::to_string(::getpid()));
    fs::create_directories(d);
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(OutDir(), ec);
    });
    return d;
  }();
  return dir;
}

constexpr char kImage[] = "C:\\firmware\\in.bimg";

int Run(const std::vector<std::string>& args, std::string* text) {
  std::ostringstream out, err;
  const int status = RunBimgTool(TheWorld(), args, out, err);
  *text = out.str() + err.str();
  Require(status == kBimgOk || status == kBimgFailed, "unexpected exit status", *text);
  Require(TheWorld().OpenHandles().empty(), "a handle is left open", args[0]);
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sim::World& world = TheWorld();
  world.AddFile(u"C:\\firmware\\in.bimg", std::vector<std::uint8_t>(data, data + size));
  std::string text;

  Run({"info", kImage}, &text);
  Require(!text.empty(), "info printed nothing");
  const int checked = Run({"check", kImage}, &text);

  const fs::path outFile = OutDir() / "out.bin";
  std::error_code ec;
  fs::remove(outFile, ec);
  const int unpacked = Run({"unpack", kImage, outFile.string()}, &text);
  const bool exists = fs::exists(outFile, ec);
  if (unpacked == kBimgOk) {
    Require(size >= kImageHeaderSize + kImagePayloadSize, "unpack succeeded on a short file", text);
    Require(exists && fs::file_size(outFile, ec) == kImagePayloadSize, "unpack output is not one payload", text);
  } else {
    Require(!exists, "a failed unpack left an output file", text);
  }
  // What the upgrade accepts, unpack accepts too.
  if (checked == kBimgOk) Require(unpacked == kBimgOk, "check passed but unpack failed", text);
  for (const auto& entry : fs::directory_iterator(OutDir(), ec)) {
    Require(entry.path() == outFile, "unpack left a stray file", entry.path().string());
  }
  return 0;
}
