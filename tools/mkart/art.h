// The program's pictures, drawn from code so that they rebuild byte for byte:
// the application icon (a mouse with an up-arrow, 16x16 and 32x32, 32-bit with
// alpha and an AND mask) and the two device indicator bitmaps (24-bit).
//
// Drawing uses integer arithmetic only, so every compiler and FPU produces the
// same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv27::art {

struct Pixel {
  std::uint8_t r = 0, g = 0, b = 0, a = 0;
};

struct Picture {
  int width = 0, height = 0;
  std::vector<Pixel> pixels;  // row-major, top row first
};

// The icon at one size (16 or 32).
Picture DrawIcon(int size);
// The indicator beside the device label: absent (grey disc, red cross) or present
// (green disc, white tick), opaque on the dialog face colour.
Picture DrawIndicator(bool present);

// Files as committed under res/.
std::vector<std::uint8_t> IconFile();                          // .ico with the 16 and 32 pixel images
std::vector<std::uint8_t> BitmapFile(const Picture& picture);  // 24-bit bottom-up .bmp

struct ArtFile {
  std::string name;  // file name under res/
  std::vector<std::uint8_t> bytes;
};
std::vector<ArtFile> AllArtFiles();

// A PNG of the picture enlarged `scale` times (nearest neighbour), for looking at
// the art; stored deflate blocks, no compression.
std::vector<std::uint8_t> PreviewPng(const Picture& picture, int scale);

}  // namespace kv27::art
