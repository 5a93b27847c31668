// SPDX-License-Identifier: Apache-2.0
//
// PNG pictures read with libpng into 8-bit gray (0 black, 255 white),
// checked against the system's picture limits before anything is
// allocated.  Every colour type and bit depth is turned into gray: 1-, 2-
// and 4-bit gray stretched to 0..255, palettes looked up, colour weighted
// by luminance, 16 bits scaled to 8, and transparency (an alpha channel or
// a transparent colour) laid over white paper.
//

#include "picture_read.h"

#include <png.h>

#include <cinttypes>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pelna_app {

namespace {

//
// Everything the PNG reader holds while libpng may jump out: plain data
// only, so that a jump back to the reader's start leaves nothing to
// destroy, and the caller frees what is here.
//

struct PngRead
{
  png_structp     png   = nullptr;  // libpng's reader
  png_infop       info  = nullptr;  // the picture's facts
  std::uint8_t   *row   = nullptr;  // one row as libpng gives it (malloc)
  std::uint8_t   *image = nullptr;  // the picture (malloc): gray, or every
                                    // channel while an interlaced one is read
  Verdict         verdict;          // why it gave up
};

//
// 'png_fail()' - libpng's error callback: keep the message as the reason
// and jump back to the reader's start (libpng requires that it not return).
//

[[noreturn]] void
png_fail(png_structp     png,      // I - libpng's reader
         png_const_charp message)  // I - libpng's message
{
  auto *read = static_cast<PngRead *>(png_get_error_ptr(png));

  if (read->verdict.fault == PictureFault::None)
  {
    read->verdict.fault = PictureFault::Damaged;
    snprintf(read->verdict.reason, read->verdict.reason_size, "The picture cannot be read: the PNG data is damaged (%s).",
             message ? message : "no detail");
  }
  png_longjmp(png, 1);
}

//
// 'png_warn()' - libpng's warning callback: warnings change nothing printed.
//

void
png_warn(png_structp     png,      // I - libpng's reader (unused)
         png_const_charp message)  // I - libpng's message (unused)
{
  (void)png;
  (void)message;
}

//
// 'set_transforms()' - Ask libpng for 8 bits per channel, low-depth gray
// stretched to 0..255, palettes and a transparent colour expanded (to RGB
// and alpha); the number of passes over the rows.
//

int
set_transforms(PngRead &read)  // IO - Reader, info read
{
  png_set_expand(read.png);
  if (png_get_bit_depth(read.png, read.info) == 16)
    png_set_scale_16(read.png);

  const int passes = png_set_interlace_handling(read.png);

  png_read_update_info(read.png, read.info);
  return passes;
}

//
// 'to_gray()' - Turn one row of 1 to 4 channels (gray, gray and alpha, RGB,
// RGBA) into gray over white paper; out may be the row itself.
//

void
to_gray(const std::uint8_t *in,        // I - Row as libpng gives it
        std::uint8_t       *out,       // O - Gray row (may be in)
        std::uint32_t       width,     // I - Pixels
        unsigned            channels)  // I - Channels per pixel
{
  switch (channels)
  {
    case 1 :
      memmove(out, in, width);
      break;
    case 2 :
      for (std::uint32_t x = 0; x < width; x++, in += 2)
        out[x] = over_white(in[0], in[1]);
      break;
    case 3 :
      for (std::uint32_t x = 0; x < width; x++, in += 3)
        out[x] = static_cast<std::uint8_t>(luma(in));
      break;
    default :
      for (std::uint32_t x = 0; x < width; x++, in += 4)
        out[x] = over_white(luma(in), in[3]);
      break;
  }
}

//
// 'read_rows()' - Read every row into read.image as gray, within the byte
// limit: row by row when the picture is not interlaced, else whole (the
// passes fill every row several times) and turned into gray in place.
//

bool
read_rows(PngRead             &read,    // IO - Reader, transforms set
          const PictureLimits &limits,  // I - The system's limits
          int                  passes,  // I - Passes over the rows
          GrayPicture         &out)     // O - Size of the picture
{
  const std::uint32_t width    = png_get_image_width(read.png, read.info);
  const std::uint32_t height   = png_get_image_height(read.png, read.info);
  const unsigned      channels = png_get_channels(read.png, read.info);
  const std::uint64_t rowbytes = png_get_rowbytes(read.png, read.info);
  const std::uint64_t gray     = static_cast<std::uint64_t>(width) * height;
  const std::uint64_t needed   = passes > 1 ? rowbytes * height : gray + rowbytes;

  if (channels < 1 || channels > 4 || rowbytes != static_cast<std::uint64_t>(width) * channels)
    return refuse(read.verdict, PictureFault::Damaged,
                  "The picture cannot be read: its pixels are of no known layout.");
  if (!bytes_ok(read.verdict, width, height, needed, limits))
    return false;

  read.image = static_cast<std::uint8_t *>(malloc(static_cast<std::size_t>(passes > 1 ? needed : gray)));
  read.row   = passes > 1 ? nullptr : static_cast<std::uint8_t *>(malloc(static_cast<std::size_t>(rowbytes)));
  if (!read.image || (passes == 1 && !read.row))
    return refuse(read.verdict, PictureFault::NoMemory,
                  "There is no memory to read the picture (%" PRIu32 " x %" PRIu32 " pixels).", width, height);

  for (std::uint32_t y = 0; y < height && passes == 1; y++)
  {
    std::uint8_t *gray_row = read.image + static_cast<std::size_t>(y) * width;

    png_read_row(read.png, channels == 1 ? gray_row : read.row, nullptr);
    if (channels > 1)
      to_gray(read.row, gray_row, width, channels);
  }
  for (int pass = 0; pass < passes && passes > 1; pass++)
  {
    for (std::uint32_t y = 0; y < height; y++)
      png_read_row(read.png, read.image + static_cast<std::size_t>(y) * rowbytes, nullptr);
  }
  for (std::uint32_t y = 0; y < height && passes > 1; y++)
    to_gray(read.image + static_cast<std::size_t>(y) * rowbytes, read.image + static_cast<std::size_t>(y) * width,
            width, channels);
  out.width  = width;
  out.height = height;
  return true;
}

//
// 'decode()' - Read the PNG from fp into read.image; false with
// read.verdict set.  libpng jumps back here on an error, so
// this function and those it calls hold nothing that needs destroying.
//

bool
decode(PngRead             &read,    // IO - Reader, created
       std::FILE           *fp,      // I - The PNG file
       const PictureLimits &limits,  // I - The system's limits
       GrayPicture         &out)     // O - Size and resolution
{
  if (setjmp(png_jmpbuf(read.png)))
    return false;

  png_init_io(read.png, fp);
  // Sizes are checked here, against the system's limits, with a clear reason.
  png_set_user_limits(read.png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
#if defined(PNG_SKIP_sRGB_CHECK_PROFILE) && defined(PNG_SET_OPTION_SUPPORTED)
  png_set_option(read.png, PNG_SKIP_sRGB_CHECK_PROFILE, PNG_OPTION_ON);
#endif
  png_read_info(read.png, read.info);
  if (!size_ok(read.verdict, png_get_image_width(read.png, read.info), png_get_image_height(read.png, read.info),
               limits))
    return false;

  const png_uint_32 xppi = png_get_x_pixels_per_inch(read.png, read.info);
  const png_uint_32 yppi = png_get_y_pixels_per_inch(read.png, read.info);
  if (!square_ok(read.verdict, xppi, yppi))
    return false;
  out.ppi = xppi > static_cast<png_uint_32>(INT_MAX) ? 0 : static_cast<int>(xppi);  // beyond int: unknown
  return read_rows(read, limits, set_transforms(read), out);
}

} // namespace

//
// 'read_png()' - Read a PNG file as 8-bit gray within the limits; the
// fault (None when read) and, when not read, the reason.
//

PictureFault
read_png(std::FILE           *fp,           // I - The PNG file
         const PictureLimits &limits,       // I - The system's limits
         GrayPicture         &out,          // O - The picture
         char                *reason,       // O - Why not
         std::size_t          reason_size)  // I - Size of reason
{
  PngRead read;

  read.verdict = Verdict{PictureFault::None, reason, reason_size};
  read.png  = png_create_read_struct(PNG_LIBPNG_VER_STRING, &read, png_fail, png_warn);
  read.info = read.png ? png_create_info_struct(read.png) : nullptr;

  const bool ok = read.info ? decode(read, fp, limits, out)
                            : refuse(read.verdict, PictureFault::NoMemory, "There is no memory to read the picture.");

  png_destroy_read_struct(read.png ? &read.png : nullptr, read.info ? &read.info : nullptr, nullptr);
  return finish_read(ok, read.verdict, read.row, read.image, out);
}

} // namespace pelna_app
