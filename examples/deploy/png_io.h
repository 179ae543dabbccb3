// 8-bit RGB images read and written through libpng, and the few shapes the
// deployment example draws on them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace deploy {

struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;  // row-major, 3 bytes a pixel

  uint8_t* at(int x, int y) { return rgb.data() + (static_cast<size_t>(y) * width + x) * 3; }
};

// Any PNG libpng reads (palette, grey, 16-bit, alpha), as 8-bit RGB.
// std::runtime_error naming the file where it cannot be read.
Image read_png(const std::string& path);
void write_png(const std::string& path, const Image& image);

struct Colour {
  uint8_t r, g, b;
};

void draw_rect(Image& im, float x1, float y1, float x2, float y2, Colour c);
void draw_line(Image& im, float x1, float y1, float x2, float y2, Colour c);
void draw_dot(Image& im, float x, float y, Colour c);
// Blends `c` into the pixels where mask (height x width, row-major) is set.
void tint(Image& im, const bool* mask, Colour c, float alpha);

}  // namespace deploy
