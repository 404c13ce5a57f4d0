#include "tools/mkart/art.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>

namespace kv27::art {
namespace {

using i64 = std::int64_t;

struct Color {
  int r, g, b;
};

constexpr Color Rgb(std::uint32_t v) {
  return {static_cast<int>(v >> 16 & 0xFF), static_cast<int>(v >> 8 & 0xFF), static_cast<int>(v & 0xFF)};
}

Color Mix(Color a, Color b, i64 num, i64 den) {
  num = std::clamp<i64>(num, 0, den);
  auto m = [&](int x, int y) { return static_cast<int>((x * (den - num) + y * num + den / 2) / den); };
  return {m(a.r, b.r), m(a.g, b.g), m(a.b, b.b)};
}

// ------------------------------------------------------------------ shapes
// Coordinates are integers in a design grid; every test is exact.

bool InEllipse(i64 x, i64 y, i64 cx, i64 cy, i64 rx, i64 ry) {
  const i64 dx = x - cx, dy = y - cy;
  return dx * dx * ry * ry + dy * dy * rx * rx <= rx * rx * ry * ry;
}

// A rectangle whose top corners have radius rt and bottom corners radius rb.
bool InRoundRect(i64 x, i64 y, i64 x0, i64 y0, i64 x1, i64 y1, i64 rt, i64 rb) {
  if (x < x0 || x > x1 || y < y0 || y > y1) return false;
  const i64 r = (y < (y0 + y1) / 2) ? rt : rb;
  const i64 cx = std::clamp(x, x0 + r, x1 - r);
  const i64 cy = std::clamp(y, y0 + r, y1 - r);
  return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
}

// Within half-width hw of the segment a-b (round caps).
bool NearSegment(i64 x, i64 y, i64 ax, i64 ay, i64 bx, i64 by, i64 hw) {
  const i64 vx = bx - ax, vy = by - ay, px = x - ax, py = y - ay;
  const i64 len2 = vx * vx + vy * vy;
  const i64 t = px * vx + py * vy;
  if (t <= 0) return px * px + py * py <= hw * hw;
  if (t >= len2) return (x - bx) * (x - bx) + (y - by) * (y - by) <= hw * hw;
  const i64 cross = px * vy - py * vx;
  return cross * cross <= hw * hw * len2;
}

bool InTriangle(i64 x, i64 y, i64 ax, i64 ay, i64 bx, i64 by, i64 cx, i64 cy) {
  auto side = [](i64 px, i64 py, i64 qx, i64 qy, i64 x, i64 y) { return (qx - px) * (y - py) - (qy - py) * (x - px); };
  const i64 d1 = side(ax, ay, bx, by, x, y), d2 = side(bx, by, cx, cy, x, y), d3 = side(cx, cy, ax, ay, x, y);
  const bool neg = d1 < 0 || d2 < 0 || d3<0, pos = d1> 0 || d2 > 0 || d3 > 0;
  return !(neg && pos);
}

// ------------------------------------------------------------------ rendering
// A scene gives the colour at a point of the design grid, or nothing where it is
// transparent. Each pixel averages kSub x kSub samples.
using Scene = std::function<std::optional<Color>(i64 x, i64 y)>;
constexpr int kSub = 8;

Picture Render(int width, int height, i64 unitsPerPixel, const Scene& scene) {
  Picture pic{width, height, std::vector<Pixel>(static_cast<std::size_t>(width) * height)};
  const i64 step = unitsPerPixel / kSub;
  for (int py = 0; py < height; ++py) {
    for (int px = 0; px < width; ++px) {
      i64 r = 0, g = 0, b = 0, n = 0;
      for (int sy = 0; sy < kSub; ++sy) {
        for (int sx = 0; sx < kSub; ++sx) {
          const auto c = scene(px * unitsPerPixel + sx * step + step / 2, py * unitsPerPixel + sy * step + step / 2);
          if (!c) continue;
          r += c->r, g += c->g, b += c->b, ++n;
        }
      }
      Pixel& p = pic.pixels[static_cast<std::size_t>(py) * width + px];
      if (n == 0) continue;
      p = {static_cast<std::uint8_t>((r + n / 2) / n), static_cast<std::uint8_t>((g + n / 2) / n),
           static_cast<std::uint8_t>((b + n / 2) / n),
           static_cast<std::uint8_t>((n * 255 + kSub * kSub / 2) / (kSub * kSub))};
    }
  }
  return pic;
}

// ------------------------------------------------------------------ the icon
// Design grid: 4096 units across the icon, whatever its size.
constexpr i64 kIconGrid = 4096;

std::optional<Color> IconScene(i64 x, i64 y) {
  // The up-arrow badge at the lower right, white-rimmed so it stands off the mouse.
  constexpr i64 kShaftX = 3390, kShaftHalf = 250, kShaftTop = 2500, kShaftBottom = 3930;
  constexpr i64 kHeadTop = 1930, kHeadBase = 2880, kHeadHalf = 680, kRim = 190;
  const bool arrow =
      (x >= kShaftX - kShaftHalf && x <= kShaftX + kShaftHalf && y >= kShaftTop && y <= kShaftBottom) ||
      InTriangle(x, y, kShaftX - kHeadHalf, kHeadBase, kShaftX, kHeadTop, kShaftX + kHeadHalf, kHeadBase);
  if (arrow) return Mix(Rgb(0x3CCB63), Rgb(0x15843A), y - kHeadTop, kShaftBottom - kHeadTop);
  const bool rim = (x >= kShaftX - kShaftHalf - kRim && x <= kShaftX + kShaftHalf + kRim && y >= kShaftTop &&
                    y <= kShaftBottom + kRim) ||
                   InTriangle(x, y, kShaftX - kHeadHalf - 2 * kRim - 60, kHeadBase + kRim, kShaftX,
                              kHeadTop - 2 * kRim - 40, kShaftX + kHeadHalf + 2 * kRim + 60, kHeadBase + kRim);
  if (rim) return Rgb(0xFFFFFF);

  // The mouse, seen from above: rounded body, split buttons, wheel.
  constexpr i64 kX0 = 420, kX1 = 2780, kY0 = 180, kY1 = 3900, kTopR = 1180, kBottomR = 980, kLine = 230;
  if (!InRoundRect(x, y, kX0, kY0, kX1, kY1, kTopR, kBottomR)) return std::nullopt;
  if (!InRoundRect(x, y, kX0 + kLine, kY0 + kLine, kX1 - kLine, kY1 - kLine, kTopR - kLine, kBottomR - kLine))
    return Rgb(0x1B1E23);
  constexpr i64 kMid = (kX0 + kX1) / 2, kSplitY = 1700;
  if (InRoundRect(x, y, kMid - 190, 640, kMid + 190, 1420, 190, 190)) return Rgb(0xD4DAE2);
  if (std::abs(x - kMid) <= 70 && y <= kSplitY) return Rgb(0x1B1E23);
  if (std::abs(y - kSplitY) <= 70) return Rgb(0x1B1E23);
  // Lit from the upper left.
  return Mix(Rgb(0x6D7684), Rgb(0x2A2F37), (x - kX0) + (y - kY0), (kX1 - kX0) + (kY1 - kY0));
}

// ------------------------------------------------------------------ the indicators
// 15 x 16 pixels: 10 x 10 dialog units at 96 dpi with the dialog's font.
constexpr int kIndicatorWidth = 15, kIndicatorHeight = 16;
constexpr i64 kIndicatorUnit = 64;            // grid units per pixel
constexpr Color kDialogFace = Rgb(0xF0F0F0);  // COLOR_BTNFACE of the default theme

std::optional<Color> IndicatorScene(bool present, i64 x, i64 y) {
  constexpr i64 kCx = 480, kCy = 512, kR = 440, kEdge = 56;
  if (!InEllipse(x, y, kCx, kCy, kR, kR)) return kDialogFace;
  if (present) {
    const bool tick = NearSegment(x, y, 250, 530, 410, 690, 62) || NearSegment(x, y, 410, 690, 715, 345, 62);
    if (tick) return Rgb(0xFFFFFF);
    if (!InEllipse(x, y, kCx, kCy, kR - kEdge, kR - kEdge)) return Rgb(0x1C7A35);
    return Mix(Rgb(0x49C46A), Rgb(0x23963F), y - (kCy - kR), 2 * kR);
  }
  const bool cross = NearSegment(x, y, 315, 347, 645, 677, 62) || NearSegment(x, y, 645, 347, 315, 677, 62);
  if (cross) return Rgb(0xD93025);
  if (!InEllipse(x, y, kCx, kCy, kR - kEdge, kR - kEdge)) return Rgb(0x8C939B);
  return Mix(Rgb(0xE4E7EA), Rgb(0xC3C8CE), y - (kCy - kR), 2 * kR);
}

// ------------------------------------------------------------------ file formats
void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
void Put32Be(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}

// BITMAPINFOHEADER.
void PutInfoHeader(std::vector<std::uint8_t>& out, int width, int height, int bitCount, std::uint32_t imageSize) {
  Put32(out, 40);
  Put32(out, static_cast<std::uint32_t>(width));
  Put32(out, static_cast<std::uint32_t>(height));
  Put16(out, 1);  // planes
  Put16(out, static_cast<std::uint32_t>(bitCount));
  Put32(out, 0);  // BI_RGB
  Put32(out, imageSize);
  Put32(out, 0);  // pixels per metre: unspecified
  Put32(out, 0);
  Put32(out, 0);  // colours used
  Put32(out, 0);  // colours important
}

// One icon image: BITMAPINFOHEADER of double height, 32-bit BGRA rows and the
// 1-bit AND mask rows (1 = transparent), both bottom-up, rows padded to 4 bytes.
std::vector<std::uint8_t> IconImage(const Picture& pic) {
  const std::uint32_t xorSize = static_cast<std::uint32_t>(pic.width * pic.height * 4);
  const int maskStride = (pic.width + 31) / 32 * 4;
  const std::uint32_t andSize = static_cast<std::uint32_t>(maskStride * pic.height);
  std::vector<std::uint8_t> out;
  PutInfoHeader(out, pic.width, pic.height * 2, 32, xorSize + andSize);
  for (int y = pic.height - 1; y >= 0; --y) {
    for (int x = 0; x < pic.width; ++x) {
      const Pixel& p = pic.pixels[static_cast<std::size_t>(y) * pic.width + x];
      out.insert(out.end(), {p.b, p.g, p.r, p.a});
    }
  }
  for (int y = pic.height - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(static_cast<std::size_t>(maskStride), 0);
    for (int x = 0; x < pic.width; ++x) {
      if (pic.pixels[static_cast<std::size_t>(y) * pic.width + x].a < 128) row[x / 8] |= 0x80 >> (x % 8);
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

}  // namespace

Picture DrawIcon(int size) { return Render(size, size, kIconGrid / size, IconScene); }

Picture DrawIndicator(bool present) {
  return Render(kIndicatorWidth, kIndicatorHeight, kIndicatorUnit,
                [present](i64 x, i64 y) { return IndicatorScene(present, x, y); });
}

std::vector<std::uint8_t> IconFile() {
  const std::array<int, 2> sizes = {16, 32};
  std::vector<std::vector<std::uint8_t>> images;
  for (int s : sizes) images.push_back(IconImage(DrawIcon(s)));
  std::vector<std::uint8_t> out;
  Put16(out, 0);  // ICONDIR: reserved, type 1 (icon), count
  Put16(out, 1);
  Put16(out, static_cast<std::uint32_t>(sizes.size()));
  std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) {  // ICONDIRENTRY
    out.push_back(static_cast<std::uint8_t>(sizes[i]));
    out.push_back(static_cast<std::uint8_t>(sizes[i]));
    out.push_back(0);  // colour count: more than 256
    out.push_back(0);
    Put16(out, 1);   // planes
    Put16(out, 32);  // bits per pixel
    Put32(out, static_cast<std::uint32_t>(images[i].size()));
    Put32(out, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const auto& img : images) out.insert(out.end(), img.begin(), img.end());
  return out;
}

std::vector<std::uint8_t> BitmapFile(const Picture& pic) {
  const int stride = (pic.width * 3 + 3) / 4 * 4;
  const std::uint32_t imageSize = static_cast<std::uint32_t>(stride * pic.height);
  std::vector<std::uint8_t> out;
  out.push_back('B');  // BITMAPFILEHEADER
  out.push_back('M');
  Put32(out, 14 + 40 + imageSize);
  Put32(out, 0);
  Put32(out, 14 + 40);
  PutInfoHeader(out, pic.width, pic.height, 24, imageSize);
  for (int y = pic.height - 1; y >= 0; --y) {
    for (int x = 0; x < pic.width; ++x) {
      const Pixel& p = pic.pixels[static_cast<std::size_t>(y) * pic.width + x];
      out.insert(out.end(), {p.b, p.g, p.r});
    }
    for (int pad = pic.width * 3; pad < stride; ++pad) out.push_back(0);
  }
  return out;
}

std::vector<ArtFile> AllArtFiles() {
  return {{"KV27MFirmwareUpdate.ico", IconFile()},
          {"mouse_absent.bmp", BitmapFile(DrawIndicator(false))},
          {"mouse_present.bmp", BitmapFile(DrawIndicator(true))}};
}

std::vector<std::uint8_t> PreviewPng(const Picture& pic, int scale) {
  const int w = pic.width * scale, h = pic.height * scale;
  std::vector<std::uint8_t> raw;  // filter byte 0, then RGBA per row
  for (int y = 0; y < h; ++y) {
    raw.push_back(0);
    for (int x = 0; x < w; ++x) {
      const Pixel& p = pic.pixels[static_cast<std::size_t>(y / scale) * pic.width + x / scale];
      raw.insert(raw.end(), {p.r, p.g, p.b, p.a});
    }
  }
  std::vector<std::uint8_t> z = {0x78, 0x01};  // zlib, stored blocks
  for (std::size_t pos = 0; pos < raw.size() || pos == 0;) {
    const std::size_t n = std::min<std::size_t>(65535, raw.size() - pos);
    z.push_back(pos + n == raw.size() ? 1 : 0);
    Put16(z, static_cast<std::uint32_t>(n));
    Put16(z, static_cast<std::uint32_t>(~n & 0xFFFF));
    z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(pos),
             raw.begin() + static_cast<std::ptrdiff_t>(pos + n));
    pos += n;
    if (n == 0) break;
  }
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t c : raw) a = (a + c) % 65521, b = (b + a) % 65521;
  Put32Be(z, b << 16 | a);

  std::vector<std::uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  auto chunk = [&out](const char* type, const std::vector<std::uint8_t>& data) {
    Put32Be(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    Put32Be(out, Crc32(out.data() + start, out.size() - start));
  };
  std::vector<std::uint8_t> ihdr;
  Put32Be(ihdr, static_cast<std::uint32_t>(w));
  Put32Be(ihdr, static_cast<std::uint32_t>(h));
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});  // 8-bit RGBA
  chunk("IHDR", ihdr);
  chunk("IDAT", z);
  chunk("IEND", {});
  return out;
}

}  // namespace kv27::art
