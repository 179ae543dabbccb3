#include "png_io.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace deploy {
namespace {

struct File {
  FILE* f;
  File(const std::string& path, const char* mode) : f(std::fopen(path.c_str(), mode)) {
    if (!f) throw std::runtime_error("cannot open " + path);
  }
  ~File() { std::fclose(f); }
};

// libpng reports errors by longjmp to the setjmp of the calling function; the
// message is kept here and thrown once control is back in C++ code.
struct Failure {
  char message[256] = "";
};

void png_failed(png_structp png, png_const_charp message) {
  auto* failure = static_cast<Failure*>(png_get_error_ptr(png));
  std::snprintf(failure->message, sizeof failure->message, "%s", message);
  png_longjmp(png, 1);
}

void png_warned(png_structp, png_const_charp) {}

// The libpng calls of read_png: no C++ object with a destructor lives in this
// frame, so a longjmp out of libpng skips none. Returns false on failure.
bool read_rows(png_structp png, png_infop info, FILE* f, Image* im,
               std::vector<png_bytep>* rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, f);
  png_read_info(png, info);
  png_set_expand(png);  // palette and low-bit grey to 8 bits, tRNS to alpha
  png_set_strip_16(png);
  png_set_strip_alpha(png);
  png_set_gray_to_rgb(png);
  png_read_update_info(png, info);
  const png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  if (png_get_rowbytes(png, info) != static_cast<size_t>(w) * 3 || w > 1u << 15 || h > 1u << 15)
    png_error(png, "not an 8-bit RGB image of at most 32768 x 32768 pixels");
  im->width = static_cast<int>(w);
  im->height = static_cast<int>(h);
  im->rgb.resize(static_cast<size_t>(w) * h * 3);
  rows->resize(h);
  for (png_uint_32 y = 0; y < h; ++y) (*rows)[y] = im->at(0, static_cast<int>(y));
  png_read_image(png, rows->data());
  png_read_end(png, nullptr);
  return true;
}

bool write_rows(png_structp png, png_infop info, FILE* f, const Image& im) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, f);
  png_set_IHDR(png, info, im.width, im.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < im.height; ++y)
    png_write_row(png, const_cast<png_bytep>(im.rgb.data() + static_cast<size_t>(y) * im.width * 3));
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

Image read_png(const std::string& path) {
  File file(path, "rb");
  Failure failure;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &failure, png_failed, png_warned);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    throw std::runtime_error("libpng: out of memory");
  }
  Image im;
  std::vector<png_bytep> rows;
  const bool ok = read_rows(png, info, file.f, &im, &rows);
  png_destroy_read_struct(&png, &info, nullptr);
  if (!ok) throw std::runtime_error("cannot read " + path + " as PNG: " + failure.message);
  return im;
}

void write_png(const std::string& path, const Image& image) {
  File file(path, "wb");
  Failure failure;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, png_failed, png_warned);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    throw std::runtime_error("libpng: out of memory");
  }
  const bool ok = write_rows(png, info, file.f, image);
  png_destroy_write_struct(&png, &info);
  if (!ok) throw std::runtime_error("cannot write " + path + " as PNG: " + failure.message);
}

namespace {

void put(Image& im, int x, int y, Colour c) {
  if (x < 0 || y < 0 || x >= im.width || y >= im.height) return;
  uint8_t* p = im.at(x, y);
  p[0] = c.r;
  p[1] = c.g;
  p[2] = c.b;
}

// A coordinate rounded to a pixel, kept far from int's limits.
int pixel(float v) {
  if (!std::isfinite(v)) return -1;
  return static_cast<int>(std::lround(std::max(-1e6f, std::min(1e6f, v))));
}

}  // namespace

void draw_line(Image& im, float x1f, float y1f, float x2f, float y2f, Colour c) {
  int x1 = pixel(x1f), y1 = pixel(y1f), x2 = pixel(x2f), y2 = pixel(y2f);
  const int dx = std::abs(x2 - x1), dy = -std::abs(y2 - y1);
  const int sx = x1 < x2 ? 1 : -1, sy = y1 < y2 ? 1 : -1;
  int err = dx + dy;
  for (int steps = 0; steps <= dx - dy; ++steps) {
    put(im, x1, y1, c);
    if (x1 == x2 && y1 == y2) break;
    const int e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x1 += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y1 += sy;
    }
  }
}

void draw_rect(Image& im, float x1, float y1, float x2, float y2, Colour c) {
  draw_line(im, x1, y1, x2, y1, c);
  draw_line(im, x2, y1, x2, y2, c);
  draw_line(im, x2, y2, x1, y2, c);
  draw_line(im, x1, y2, x1, y1, c);
}

void draw_dot(Image& im, float x, float y, Colour c) {
  const int cx = pixel(x), cy = pixel(y);
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) put(im, cx + dx, cy + dy, c);
}

void tint(Image& im, const bool* mask, Colour c, float alpha) {
  for (int y = 0; y < im.height; ++y)
    for (int x = 0; x < im.width; ++x) {
      if (!mask[static_cast<size_t>(y) * im.width + x]) continue;
      uint8_t* p = im.at(x, y);
      const uint8_t col[3] = {c.r, c.g, c.b};
      for (int k = 0; k < 3; ++k)
        p[k] = static_cast<uint8_t>(std::lround((1 - alpha) * p[k] + alpha * col[k]));
    }
}

}  // namespace deploy
