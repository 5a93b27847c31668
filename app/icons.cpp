// SPDX-License-Identifier: Apache-2.0
//
// The app's icon, drawn here: a label printer with a barcode label coming
// out of it, on a transparent ground, as PNG files in the three sizes PAPPL
// asks for (48, 128 and 512 pixels square).  Shapes are described in units
// of the icon's side and sampled 4 x 4 times per pixel for smooth edges.
//

#include "app.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>

namespace pelna_app {

namespace {

// Sides of the small, medium and large icon, in pixels.
constexpr std::array<unsigned, 3> kIconSides = {48, 128, 512};

// Samples per pixel along each side.
constexpr unsigned kSamples = 4;

// An opaque or transparent colour, 0..255 per channel.
struct Colour
{
  std::uint8_t r, g, b, a;  // red, green, blue, opacity
};

constexpr Colour kClear  = {0, 0, 0, 0};         // the ground
constexpr Colour kBody   = {0x2F, 0x3E, 0x4A, 255};  // the printer
constexpr Colour kSlot   = {0x12, 0x18, 0x1D, 255};  // its paper exit
constexpr Colour kPaper  = {0xFF, 0xFF, 0xFF, 255};  // the label
constexpr Colour kEdge   = {0x9A, 0xA8, 0xB2, 255};  // the label's outline
constexpr Colour kInk    = {0x00, 0x00, 0x00, 255};  // the barcode
constexpr Colour kLight  = {0x3C, 0xC8, 0x5A, 255};  // the ready light

// Widths of the barcode's bars and gaps in turn, in eighths of a module.
constexpr unsigned kBars[] = {2, 1, 1, 1, 3, 1, 1, 2, 2, 1, 1, 1, 3, 2, 1, 1, 2};

//
// 'in_box()' - Whether u, v lies in a box with rounded corners.
//

bool
in_box(double u, double v, double left, double top, double right, double bottom, double radius)
{
  if (u < left || u > right || v < top || v > bottom)
    return false;

  const double cu = std::clamp(u, left + radius, right - radius);
  const double cv = std::clamp(v, top + radius, bottom - radius);
  return (u - cu) * (u - cu) + (v - cv) * (v - cv) <= radius * radius;
}

//
// 'barcode_ink()' - Whether column u of the label's barcode (0..1 across
// it) is a bar.
//

bool
barcode_ink(double u)  // I - Position across the barcode
{
  unsigned total = 0;

  for (unsigned w : kBars)
    total += w;

  auto     at  = static_cast<unsigned>(u * total);
  unsigned bar = 0;
  while (bar < std::size(kBars) && at >= kBars[bar])
    at -= kBars[bar++];
  return bar % 2 == 0;
}

//
// 'icon_colour()' - The colour of the icon at u, v (0..1 each way).
//

Colour
icon_colour(double u,  // I - Across
            double v)  // I - Down
{
  if (in_box(u, v, 0.26, 0.50, 0.74, 0.94, 0.03))
  {
    // The label, with its barcode.
    if (u > 0.33 && u < 0.67 && v > 0.66 && v < 0.87)
      return barcode_ink((u - 0.33) / 0.34) ? kInk : kPaper;
    return in_box(u, v, 0.275, 0.515, 0.725, 0.925, 0.02) ? kPaper : kEdge;
  }
  if (u > 0.20 && u < 0.80 && v > 0.56 && v < 0.60)
    return kSlot;
  if ((u - 0.79) * (u - 0.79) + (v - 0.27) * (v - 0.27) < 0.045 * 0.045)
    return kLight;
  if (in_box(u, v, 0.06, 0.12, 0.94, 0.62, 0.09))
    return kBody;
  return kClear;
}

//
// 'draw_icon()' - The icon as RGBA rows, side x side pixels.
//

std::vector<std::uint8_t>
draw_icon(unsigned side)  // I - Pixels each way
{
  std::vector<std::uint8_t> rgba(static_cast<std::size_t>(side) * side * 4);

  for (unsigned y = 0; y < side; y++)
  {
    for (unsigned x = 0; x < side; x++)
    {
      // Average the samples, weighting colour by opacity.
      double r = 0, g = 0, b = 0, a = 0;

      for (unsigned sy = 0; sy < kSamples; sy++)
      {
        for (unsigned sx = 0; sx < kSamples; sx++)
        {
          const Colour c = icon_colour((x + (sx + 0.5) / kSamples) / side, (y + (sy + 0.5) / kSamples) / side);
          r += c.r * c.a;
          g += c.g * c.a;
          b += c.b * c.a;
          a += c.a;
        }
      }

      std::uint8_t *px = rgba.data() + (static_cast<std::size_t>(y) * side + x) * 4;
      px[0] = a > 0 ? static_cast<std::uint8_t>(std::lround(r / a)) : 0;
      px[1] = a > 0 ? static_cast<std::uint8_t>(std::lround(g / a)) : 0;
      px[2] = a > 0 ? static_cast<std::uint8_t>(std::lround(b / a)) : 0;
      px[3] = static_cast<std::uint8_t>(std::lround(a / (kSamples * kSamples)));
    }
  }
  return rgba;
}

//
// 'append_png()' - libpng's writer: add bytes to the file in memory.
//

void
append_png(png_structp png,     // I - libpng state
           png_bytep   bytes,   // I - Bytes
           png_size_t  length)  // I - Their number
{
  auto *out = static_cast<std::vector<std::uint8_t> *>(png_get_io_ptr(png));

  out->insert(out->end(), bytes, bytes + length);
}

//
// 'flush_png()' - libpng's flush: nothing to do in memory.
//

void
flush_png(png_structp png)  // I - libpng state (unused)
{
  (void)png;
}

//
// 'write_rows()' - Write RGBA rows through libpng; false when it failed.
// libpng jumps back here on an error, so this function holds nothing that
// needs destroying.
//

bool
write_rows(png_structp         png,    // I - libpng writer, its output set
           png_infop           info,   // I - libpng header
           const std::uint8_t *rgba,   // I - Pixels, side x side
           unsigned            side)   // I - Pixels each way
{
  if (setjmp(png_jmpbuf(png)))
    return false;

  png_set_IHDR(png, info, side, side, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (unsigned y = 0; y < side; y++)
    png_write_row(png, rgba + static_cast<std::size_t>(y) * side * 4);
  png_write_end(png, info);
  return true;
}

//
// 'encode_png()' - RGBA rows as a PNG file in memory; empty when libpng
// failed.
//

std::vector<std::uint8_t>
encode_png(const std::vector<std::uint8_t> &rgba,  // I - Pixels
           unsigned                         side)  // I - Pixels each way
{
  std::vector<std::uint8_t> out;
  png_structp               png  = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop                 info = png ? png_create_info_struct(png) : nullptr;

  if (info)
  {
    png_set_write_fn(png, &out, append_png, flush_png);
    if (!write_rows(png, info, rgba.data(), side))
      out.clear();
  }
  png_destroy_write_struct(&png, info ? &info : nullptr);
  return out;
}

} // namespace

//
// 'app_icons()' - The app's icon as PNG files, small, medium and large
// (drawn once; a size libpng could not write is empty).
//

const std::array<std::vector<std::uint8_t>, 3> &
app_icons()
{
  static const std::array<std::vector<std::uint8_t>, 3> icons = [] {
    std::array<std::vector<std::uint8_t>, 3> made;
    auto                                     out = made.begin();
    for (const unsigned side : kIconSides)
      *out++ = encode_png(draw_icon(side), side);
    return made;
  }();

  return icons;
}

//
// 'set_icons()' - The app's icon as a driver's printer icons.
//

void
set_icons(pappl_pr_driver_data_t &data)  // IO - Driver data
{
  const auto &icons = app_icons();

  for (std::size_t i = 0; i < icons.size(); i++)
  {
    data.icons[i].data    = icons[i].empty() ? nullptr : icons[i].data();
    data.icons[i].datalen = icons[i].size();
  }
}

} // namespace pelna_app
