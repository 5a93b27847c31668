// SPDX-License-Identifier: Apache-2.0
//
// JPEG pictures read with libjpeg into 8-bit gray (0 black, 255 white),
// checked against the system's picture limits before anything is
// allocated: gray and colour become gray in libjpeg, CMYK (Adobe's
// inverted CMYK too) here.  A file that ends before the picture does is
// refused rather than printed with its missing part gray.
//

#include "picture_read.h"

#include <jpeglib.h>
#include <jerror.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

namespace pelna_app {

namespace {

//
// Everything the JPEG reader holds while libjpeg may jump out: plain data
// only, so that a jump back to the reader's start leaves nothing to
// destroy, and the caller frees what is here.  The error manager comes
// first: libjpeg hands its callbacks a pointer to it, which is then a
// pointer to the whole reader.
//

struct JpegRead
{
  jpeg_error_mgr         err;              // libjpeg's error manager (first)
  jmp_buf                jump;             // where an error jumps to
  jpeg_decompress_struct jpeg;             // libjpeg's reader
  bool                   created = false;  // jpeg created, to be destroyed
  bool                   cut     = false;  // the data ended before the picture
  std::uint8_t          *row     = nullptr;  // one CMYK row (malloc)
  std::uint8_t          *image   = nullptr;  // the picture as gray (malloc)
  Verdict                verdict;          // why it gave up
};

//
// 'jpeg_fail()' - libjpeg's error exit: keep its message as the reason and
// jump back to the reader's start (libjpeg requires that it not return).
//

[[noreturn]] void
jpeg_fail(j_common_ptr jpeg)  // I - libjpeg's reader
{
  auto *read = reinterpret_cast<JpegRead *>(jpeg->err);

  if (read->verdict.fault == PictureFault::None)
  {
    char message[JMSG_LENGTH_MAX] = "";

    (*jpeg->err->format_message)(jpeg, message);
    refuse(read->verdict, PictureFault::Damaged, "The picture cannot be read: the JPEG data is damaged (%s).",
           message);
  }
  longjmp(read->jump, 1);
}

//
// 'jpeg_note()' - libjpeg's message callback: nothing reaches the server's
// output; data that ends before the picture does is noted, for libjpeg
// would print the rest as gray.
//

void
jpeg_note(j_common_ptr jpeg,   // I - libjpeg's reader
          int          level)  // I - -1 a warning, else trace
{
  auto *read = reinterpret_cast<JpegRead *>(jpeg->err);

  if (level < 0 && jpeg->err->msg_code == JWRN_JPEG_EOF)
    read->cut = true;
}

//
// 'cmyk_gray()' - One row of CMYK (Adobe's files store it inverted, 255
// no ink) turned into gray: the colour the inks leave on white paper,
// weighted by luminance.
//

void
cmyk_gray(const std::uint8_t *in,        // I - CMYK row
          std::uint8_t       *out,       // O - Gray row
          std::uint32_t       width,     // I - Pixels
          bool                inverted)  // I - Stored as 255 minus the ink
{
  for (std::uint32_t x = 0; x < width; x++, in += 4)
  {
    const unsigned k = inverted ? in[3] : 255u - in[3];  // light the black ink leaves
    std::uint8_t   rgb[3];

    for (int i = 0; i < 3; i++)
      rgb[i] = static_cast<std::uint8_t>(((inverted ? in[i] : 255u - in[i]) * k + 127u) / 255u);
    out[x] = static_cast<std::uint8_t>(luma(rgb));
  }
}

//
// 'jpeg_layout_ok()' - Ask libjpeg for gray (it turns gray, YCbCr and RGB
// into gray itself) or CMYK (also from YCCK, turned into gray here), and
// check the bytes the reading takes against the limit: the gray picture,
// a CMYK row, and for a file of several scans libjpeg's whole-picture
// buffer of coefficients.
//

bool
jpeg_layout_ok(JpegRead            &read,    // IO - Reader, header read
               const PictureLimits &limits)  // I - The system's limits
{
  jpeg_decompress_struct &jpeg = read.jpeg;
  const J_COLOR_SPACE     in   = jpeg.jpeg_color_space;

  if (in == JCS_CMYK || in == JCS_YCCK)
    jpeg.out_color_space = JCS_CMYK;
  else if (in == JCS_GRAYSCALE || in == JCS_YCbCr || in == JCS_RGB)
    jpeg.out_color_space = JCS_GRAYSCALE;
  else
    return refuse(read.verdict, PictureFault::Damaged,
                  "The picture cannot be printed: its %d colour channels are of no kind the printer knows "
                  "(gray, colour or CMYK).", jpeg.num_components);
  jpeg.quantize_colors = FALSE;
  jpeg_calc_output_dimensions(&jpeg);

  const std::uint32_t width  = jpeg.output_width, height = jpeg.output_height;
  std::uint64_t       needed = static_cast<std::uint64_t>(width) * height;

  if (jpeg.out_color_space == JCS_CMYK)
    needed += std::uint64_t{4} * width;
  if (jpeg_has_multiple_scans(&jpeg))
  {
    for (int c = 0; c < jpeg.num_components; c++)
      needed += std::uint64_t{jpeg.comp_info[c].width_in_blocks} * jpeg.comp_info[c].height_in_blocks *
                sizeof(JBLOCK);
  }
  // libjpeg checks its own buffers against the limit too.
  jpeg.mem->max_memory_to_use = static_cast<long>(std::min<std::uint64_t>(limits.max_bytes, LONG_MAX));
  return bytes_ok(read.verdict, width, height, needed, limits);
}

//
// 'jpeg_rows()' - Read every row into read.image as gray; a file that ends
// before the picture does is refused (libjpeg would fill it with gray).
//

bool
jpeg_rows(JpegRead    &read,  // IO - Reader, layout set
          GrayPicture &out)   // O - Size of the picture
{
  jpeg_decompress_struct &jpeg   = read.jpeg;
  const std::uint32_t     width  = jpeg.output_width, height = jpeg.output_height;
  const bool              cmyk   = jpeg.out_color_space == JCS_CMYK;

  read.image = static_cast<std::uint8_t *>(malloc(static_cast<std::size_t>(width) * height));
  read.row   = cmyk ? static_cast<std::uint8_t *>(malloc(std::size_t{4} * width)) : nullptr;
  if (!read.image || (cmyk && !read.row))
    return refuse(read.verdict, PictureFault::NoMemory,
                  "There is no memory to read the picture (%" PRIu32 " x %" PRIu32 " pixels).", width, height);

  jpeg_start_decompress(&jpeg);
  if (jpeg.output_width != width || jpeg.output_height != height || jpeg.output_components != (cmyk ? 4 : 1))
    return refuse(read.verdict, PictureFault::Damaged,
                  "The picture cannot be read: its pixels are of no known layout.");
  while (jpeg.output_scanline < height && !read.cut)
  {
    std::uint8_t *gray_row = read.image + static_cast<std::size_t>(jpeg.output_scanline) * width;
    JSAMPROW      row      = cmyk ? read.row : gray_row;

    if (jpeg_read_scanlines(&jpeg, &row, 1) != 1)
      break;
    if (cmyk)
      cmyk_gray(read.row, gray_row, width, jpeg.saw_Adobe_marker);
  }
  if (read.cut || jpeg.output_scanline < height)
    return refuse(read.verdict, PictureFault::Damaged,
                  "The picture cannot be read: the JPEG data ends before the picture does.");
  out.width  = width;
  out.height = height;
  return true;
}

//
// 'decode_jpeg()' - Read the JPEG from fp into read.image; false with
// read.verdict set.  libjpeg jumps back here on an error, so this function
// and those it calls hold nothing that needs destroying.  The resolution
// is taken as PAPPL's own reader took it: dots per inch or per centimetre,
// none when the file gives only the pixels' aspect.
//

bool
decode_jpeg(JpegRead            &read,    // IO - Reader, error manager set
            std::FILE           *fp,      // I - The JPEG file
            const PictureLimits &limits,  // I - The system's limits
            GrayPicture         &out)     // O - Size and resolution
{
  jpeg_decompress_struct &jpeg = read.jpeg;

  if (setjmp(read.jump))
    return false;

  jpeg_create_decompress(&jpeg);
  read.created = true;
  jpeg_stdio_src(&jpeg, fp);
  jpeg_read_header(&jpeg, TRUE);
  if (!size_ok(read.verdict, jpeg.image_width, jpeg.image_height, limits) || !jpeg_layout_ok(read, limits))
    return false;

  const std::uint32_t xppi = jpeg.density_unit == 1   ? jpeg.X_density
                             : jpeg.density_unit == 2 ? jpeg.X_density * 254u / 100u
                                                      : 0;
  const std::uint32_t yppi = jpeg.density_unit == 1   ? jpeg.Y_density
                             : jpeg.density_unit == 2 ? jpeg.Y_density * 254u / 100u
                                                      : 0;
  if (!square_ok(read.verdict, xppi, yppi))
    return false;
  out.ppi = static_cast<int>(xppi);
  return jpeg_rows(read, out);
}

} // namespace

//
// 'read_jpeg()' - Read a JPEG file as 8-bit gray within the limits; the
// fault (None when read) and, when not read, the reason.
//

PictureFault
read_jpeg(std::FILE           *fp,           // I - The JPEG file
          const PictureLimits &limits,       // I - The system's limits
          GrayPicture         &out,          // O - The picture
          char                *reason,       // O - Why not
          std::size_t          reason_size)  // I - Size of reason
{
  JpegRead read;

  read.verdict = Verdict{PictureFault::None, reason, reason_size};
  read.jpeg.err            = jpeg_std_error(&read.err);
  read.err.error_exit      = jpeg_fail;
  read.err.emit_message    = jpeg_note;

  const bool ok = decode_jpeg(read, fp, limits, out);

  if (read.created)
    jpeg_destroy_decompress(&read.jpeg);
  return finish_read(ok, read.verdict, read.row, read.image, out);
}

} // namespace pelna_app
