// SPDX-License-Identifier: Apache-2.0
//
// The gray pages the benchmarks halftone, made in memory so that every
// figure can be had without a rendered label at hand:
//
//   photo_page     smooth shading with edges and grain, like a photograph;
//   label_page     white paper with lines of text-like bars and a bar code;
//   shipping_label a 4 x 6 in label at 203 dpi as the Printer Application
//                  is handed it: label_page with a gray logo, and a photo
//                  band over rows 71 % to 97 % of the height inside a margin
//                  of 4 % of the width (where bench/photo-band lays one on
//                  the bundled label).
//

#ifndef PELNA_BENCH_PAGES_H
#define PELNA_BENCH_PAGES_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace bench {

constexpr int kLabelWidth  = 812;   // 4 in at 203 dpi
constexpr int kLabelHeight = 1218;  // 6 in at 203 dpi

constexpr int kBandTop    = 71;  // photo band rows, per cent of the height
constexpr int kBandBottom = 97;
constexpr int kBandMargin = 4;   // left and right of the band, per cent of the width

struct Page
{
  int                       width;   // pixels per row
  int                       height;  // rows
  std::vector<std::uint8_t> pixels;  // width x height, 0 black, 255 white
};

//
// 'photo_value()' - The photograph's gray value at (x, y) before grain.
//

inline double
photo_value(int x,  // I - Column
            int y)  // I - Row
{
  double v = 128.0 + 90.0 * sin(x / 211.0) * cos(y / 157.0) + 30.0 * sin((x + y) / 37.0);

  if ((x / 300 + y / 400) % 3 == 0)  // patches with hard edges
    v = 255.0 - v * 0.6;
  return v;
}

//
// 'photo_page()' - Smooth shading with edges and grain, like a photograph.
//

inline Page
photo_page(int width,   // I - Pixels per row
           int height)  // I - Rows
{
  Page                               page{width, height, {}};
  std::mt19937                       random(1234);
  std::uniform_int_distribution<int> grain(-12, 12);

  page.pixels.resize(static_cast<size_t>(width) * height);

  for (int y = 0; y < height; y ++)
    for (int x = 0; x < width; x ++)
    {
      const int value = static_cast<int>(photo_value(x, y)) + grain(random);

      page.pixels[static_cast<size_t>(y) * width + x] =
          static_cast<std::uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
    }

  return page;
}

//
// 'fill()' - Paint a rectangle of a page with one value, cut at its edges.
//

inline void
fill(Page        &page,   // IO - Page
     int          x0,     // I  - Left column
     int          y0,     // I  - Top row
     int          w,      // I  - Columns
     int          h,      // I  - Rows
     std::uint8_t value)  // I  - Gray value
{
  for (int y = y0; y < y0 + h && y < page.height; y ++)
    for (int x = x0; x < x0 + w && x < page.width; x ++)
      page.pixels[static_cast<size_t>(y) * page.width + x] = value;
}

//
// 'label_page()' - White page with lines of text-like bars and a bar code.
//

inline Page
label_page(int width,   // I - Pixels per row
           int height)  // I - Rows
{
  Page                               page{width, height, {}};
  std::mt19937                       random(42);
  std::uniform_int_distribution<int> coin(0, 99);

  page.pixels.assign(static_cast<size_t>(width) * height, 255);

  // Lines of "characters": short bars of random width with gaps.
  for (int line = 40; line < height / 2; line += 60)
    for (int x = 40; x < width - 60;)
    {
      const int w = 8 + coin(random) % 20;

      if (coin(random) < 80)
        fill(page, x, line, w, 30, static_cast<std::uint8_t>(coin(random) < 90 ? 0 : 90));
      x += w + 6;
    }

  // A bar code across the lower half.
  for (int x = 60; x < width - 60;)
  {
    const int w = 2 + coin(random) % 8;

    fill(page, x, height / 2 + 100, w, 400, 0);
    x += w + 2 + coin(random) % 8;
  }

  return page;
}

//
// 'shipping_label()' - label_page with a gray logo and a photo band.
//

inline Page
shipping_label()
{
  Page                               page = label_page(kLabelWidth, kLabelHeight);
  std::mt19937                       random(99);
  std::uniform_int_distribution<int> grain(-12, 12);

  // A logo in the top right corner: a gray square with a darker ring.
  fill(page, page.width - 200, 20, 160, 160, 160);
  fill(page, page.width - 170, 50, 100, 100, 70);
  fill(page, page.width - 150, 70, 60, 60, 200);

  const int x0 = page.width * kBandMargin / 100;
  const int x1 = page.width - x0;

  for (int y = page.height * kBandTop / 100; y < page.height * kBandBottom / 100; y ++)
    for (int x = x0; x < x1; x ++)
    {
      const int value = static_cast<int>(photo_value(x * 3, y * 3)) + grain(random);

      page.pixels[static_cast<size_t>(y) * page.width + x] =
          static_cast<std::uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
    }

  return page;
}

} // namespace bench

#endif // PELNA_BENCH_PAGES_H
