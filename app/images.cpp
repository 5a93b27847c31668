// SPDX-License-Identifier: Apache-2.0
//
// PNG and JPEG pictures: read with libpng and libjpeg into 8-bit gray (0
// black, 255 white), checked against the system's picture limits before
// anything is allocated, then placed and scaled on the label by PAPPL's
// papplJobFilterImage, as every picture is.  Every PNG colour type and bit
// depth is turned into gray: 1-, 2- and 4-bit gray stretched to 0..255,
// palettes looked up, colour weighted by luminance, 16 bits scaled to 8,
// and transparency (an alpha channel or a transparent colour) laid over
// white paper.  JPEG gray and colour become gray in libjpeg, CMYK here.  A
// picture that cannot be read, or that would be less than one dot on the
// label, ends its job with the reason.
//

#include "app.h"

#include <png.h>
#include <jpeglib.h>
#include <jerror.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <csetjmp>
#include <cstdio>
#include <cstring>

using namespace pelna;

namespace pelna_app {

namespace {

// The document type PAPPL gives the drivers' own format: picture filters
// registered to it come before PAPPL's own, and it is the one type PAPPL
// already lists as supported, so nothing new is offered to clients.
constexpr const char *kDriverFormat = "application/octet-stream";

//
// Why a reader gave up: the kind, and the reason in the caller's buffer.
//

struct Verdict
{
  PictureFault fault       = PictureFault::None;  // why it gave up
  char        *reason      = nullptr;             // O - why, in plain words
  std::size_t  reason_size = 0;                   // size of reason
};

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
// 'refuse()' - Note why the picture is refused; always false.
//

[[gnu::format(printf, 3, 4)]] bool
refuse(Verdict     &verdict,  // IO - The reader's verdict
       PictureFault fault,    // I - Why, as a kind
       const char  *format,   // I - printf format of the reason
       ...)
{
  va_list ap;

  verdict.fault = fault;
  va_start(ap, format);
  vsnprintf(verdict.reason, verdict.reason_size, format, ap);
  va_end(ap);
  return false;
}

//
// 'size_ok()' - Whether the picture's width and height are within the
// limits, before any transform or allocation.
//

bool
size_ok(Verdict             &verdict,  // IO - The reader's verdict
        std::uint32_t        width,    // I - Picture width
        std::uint32_t        height,   // I - Picture height
        const PictureLimits &limits)   // I - The system's limits
{
  if (width == 0 || height == 0 || width > static_cast<std::uint32_t>(limits.max_width) ||
      height > static_cast<std::uint32_t>(limits.max_height))
    return refuse(verdict, PictureFault::TooLarge,
                  "The picture is %" PRIu32 " x %" PRIu32 " pixels; the printer takes pictures of at most %d x %d.",
                  width, height, limits.max_width, limits.max_height);
  return true;
}

//
// 'bytes_ok()' - Whether reading the picture takes no more than the
// system's byte limit, before anything is allocated for it.
//

bool
bytes_ok(Verdict             &verdict,  // IO - The reader's verdict
         std::uint32_t        width,    // I - Picture width
         std::uint32_t        height,   // I - Picture height
         std::uint64_t        needed,   // I - Bytes the reading takes
         const PictureLimits &limits)   // I - The system's limits
{
  if (needed > limits.max_bytes || needed > SIZE_MAX)
    return refuse(verdict, PictureFault::TooLarge,
                  "The picture is %" PRIu32 " x %" PRIu32 " pixels and needs %" PRIu64
                  " KiB to read; the printer takes pictures of at most %" PRIu64 " KiB.",
                  width, height, (needed + 1023) / 1024, static_cast<std::uint64_t>(limits.max_bytes) / 1024);
  return true;
}

//
// 'square_ok()' - Whether the picture's pixels are square (equal
// resolutions across and down, or none given).
//

bool
square_ok(Verdict      &verdict,  // IO - The reader's verdict
          std::uint32_t xppi,     // I - Pixels per inch across
          std::uint32_t yppi)     // I - Pixels per inch down
{
  if (xppi != yppi)
    return refuse(verdict, PictureFault::Damaged,
                  "The picture's pixels are not square (%" PRIu32 " x %" PRIu32
                  " pixels per inch); the printer takes pictures with square pixels.",
                  xppi, yppi);
  return true;
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
// 'over_white()' - A gray value with its alpha laid over white paper.
//

inline std::uint8_t
over_white(unsigned v,  // I - Gray value
           unsigned a)  // I - Alpha, 255 opaque
{
  return static_cast<std::uint8_t>((v * a + 255u * (255u - a) + 127u) / 255u);
}

//
// 'luma()' - The gray value of an sRGB colour, weighted by luminance.
//

inline unsigned
luma(const std::uint8_t *rgb)  // I - Red, green, blue
{
  return (rgb[0] * 299u + rgb[1] * 587u + rgb[2] * 114u + 500u) / 1000u;
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

//
// 'job_refusal()' - End a picture job: the reason as the job's state
// message and in its log, and the job reason keyword PAPPL uses.
//

void
job_refusal(pappl_job_t *job,     // I - Job
            PictureFault fault,   // I - Why, as a kind
            const char  *reason)  // I - Why, in plain words
{
  papplJobSetReasons(job, fault == PictureFault::Damaged ? PAPPL_JREASON_DOCUMENT_FORMAT_ERROR
                                                         : PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                     PAPPL_JREASON_NONE);
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", reason);
  papplJobSetMessage(job, "%s", reason);
}

//
// 'placed_size_ok()' - Whether the picture keeps at least one dot across
// and down where PAPPL's placement puts it on the label: at its own
// resolution when it fits ("auto" with a resolution, or "none"), else
// scaled to fit or to fill the printable area, turned for landscape.  A
// picture that would shrink to nothing there (a thin line scaled to fit, a
// few pixels at a fine resolution) leaves that placement dividing by zero,
// which ends the whole server; it is refused instead.
//

bool
placed_size_ok(const pappl_pr_options_t &o,    // I - Print options of the job
               std::uint32_t             w,    // I - Picture width
               std::uint32_t             h,    // I - Picture height
               int                       ppi)  // I - Its resolution, 0 when not known
{
  const std::int64_t xres = o.printer_resolution[0], yres = o.printer_resolution[1];
  pappl_scaling_t    scaling = o.print_scaling;
  std::int64_t       iw = o.header.cupsWidth, ih = o.header.cupsHeight, p = ppi;

  if (scaling != PAPPL_SCALING_FILL)
  {
    iw -= (o.media.left_margin + o.media.right_margin) * xres / 2540;
    ih -= (o.media.top_margin + o.media.bottom_margin) * yres / 2540;
  }
  if (iw <= 0 || ih <= 0 || xres <= 0 || yres <= 0)
    return true;  // PAPPL refuses such media itself

  const ipp_orient_t turn   = o.orientation_requested;
  const bool         turned = turn == IPP_ORIENT_LANDSCAPE || turn == IPP_ORIENT_REVERSE_LANDSCAPE ||
                      (turn == IPP_ORIENT_NONE && w > h && o.header.cupsWidth < o.header.cupsHeight);
  const std::int64_t across = turned ? h : w, down = turned ? w : h;

  if (scaling == PAPPL_SCALING_AUTO || scaling == PAPPL_SCALING_AUTO_FIT)
  {
    const bool fits = p > 0 && across * xres / p <= iw && down * yres / p <= ih;
    const bool borderless = !o.media.left_margin && !o.media.right_margin && !o.media.top_margin &&
                            !o.media.bottom_margin;

    scaling = fits ? PAPPL_SCALING_NONE
                   : scaling == PAPPL_SCALING_AUTO && borderless ? PAPPL_SCALING_FILL : PAPPL_SCALING_FIT;
  }
  else if (scaling == PAPPL_SCALING_NONE && p <= 0)
    p = 200;  // PAPPL's resolution for a picture that names none
  if (scaling == PAPPL_SCALING_NONE)
    return across * xres / p >= 1 && down * yres / p >= 1;

  std::int64_t xsize = iw, ysize = xsize * down / across;
  if ((ysize > ih && scaling == PAPPL_SCALING_FIT) || (ysize < ih && scaling == PAPPL_SCALING_FILL))
  {
    ysize = ih;
    xsize = ysize * across / down;
  }
  return xsize >= 1 && ysize >= 1;
}

//
// 'load_picture()' - Read the job's picture file as gray within the
// system's limits; false with the job ended with the reason.
//

bool
load_picture(pappl_job_t  *job,      // I - Job
             PictureReader reader,   // I - Reader of the file's format
             GrayPicture  &picture)  // O - The picture
{
  PictureLimits   limits;
  pappl_system_t *system = papplPrinterGetSystem(papplJobGetPrinter(job));
  limits.max_bytes       = papplSystemGetMaxImageSize(system, &limits.max_width, &limits.max_height);

  const char *filename = papplJobGetFilename(job);
  std::FILE  *fp       = filename ? std::fopen(filename, "rbe") : nullptr;
  char        reason[320];

  if (!fp)
  {
    job_refusal(job, PictureFault::Damaged, "The job's picture cannot be opened.");
    return false;
  }

  const PictureFault fault = reader(fp, limits, picture, reason, sizeof(reason));
  std::fclose(fp);
  if (fault != PictureFault::None)
  {
    job_refusal(job, fault, reason);
    return false;
  }
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Picture: %" PRIu32 " x %" PRIu32 " pixels, %d pixels per inch.",
              picture.width, picture.height, picture.ppi);
  return true;
}

//
// 'print_picture()' - Read the job's picture as gray and print it through
// PAPPL's picture placement and the raster callbacks, unless it would be
// less than one dot on the label.
//

bool
print_picture(pappl_job_t    *job,        // I - Job
              pappl_device_t *device,     // I - Device
              PictureReader   reader,     // I - Reader of the file's format
              bool            smoothing)  // I - Interpolate when scaling
{
  GrayPicture picture;
  if (!load_picture(job, reader, picture))
    return false;

  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 1, false);
  if (!options)
  {
    job_refusal(job, PictureFault::NoMemory, "There is no memory to print the picture.");
    return false;
  }

  if (!placed_size_ok(*options, picture.width, picture.height, picture.ppi))
  {
    char at[48] = "", reason[320];
    if (picture.ppi > 0)
      snprintf(at, sizeof(at), " at %d pixels per inch", picture.ppi);
    snprintf(reason, sizeof(reason),
             "The picture is %" PRIu32 " x %" PRIu32 " pixels%s; placed on the label it would be less than "
             "one dot across or down.", picture.width, picture.height, at);
    papplJobDeletePrintOptions(options);
    job_refusal(job, PictureFault::TooLarge, reason);
    return false;
  }

  const bool ok = papplJobFilterImage(job, device, options, picture.pixels.get(), static_cast<int>(picture.width),
                                      static_cast<int>(picture.height), 1, picture.ppi, smoothing);
  papplJobDeletePrintOptions(options);
  return ok;
}

//
// How the app prints one picture format.
//

struct PictureFormat
{
  const char   *type;       // MIME media type of the documents
  PictureReader reader;     // reader of the format
  bool          smoothing;  // interpolate when scaling (as PAPPL's own JPEG
                            // filter does), else the nearest pixel
};

// The picture formats the app reads itself.
constexpr PictureFormat kPictureFormats[] = {
  {"image/png", read_png, false},
  {"image/jpeg", read_jpeg, true},
};

//
// 'print_picture_document()' - PAPPL's filter for picture documents.
//

bool
print_picture_document(pappl_job_t    *job,     // I - Job
                       pappl_device_t *device,  // I - Device
                       void           *data)    // I - The PictureFormat
{
  const auto *format = static_cast<const PictureFormat *>(data);

  return print_picture(job, device, format->reader, format->smoothing);
}

//
// 'refuse_raw_document()' - The drivers' print-file callback, for a job in
// the drivers' own format that no filter took: such a document is of no
// type the printer reads.
//

bool
refuse_raw_document(pappl_job_t        *job,      // I - Job
                    pappl_pr_options_t *options,  // I - Print options (unused)
                    pappl_device_t     *device)   // I - Device (unused)
{
  (void)options;
  (void)device;
  return refuse_unreadable_document(job);
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

  read.verdict.reason      = reason;
  read.verdict.reason_size = reason_size;
  read.png  = png_create_read_struct(PNG_LIBPNG_VER_STRING, &read, png_fail, png_warn);
  read.info = read.png ? png_create_info_struct(read.png) : nullptr;

  const bool ok = read.info ? decode(read, fp, limits, out)
                            : refuse(read.verdict, PictureFault::NoMemory, "There is no memory to read the picture.");

  png_destroy_read_struct(read.png ? &read.png : nullptr, read.info ? &read.info : nullptr, nullptr);
  free(read.row);
  if (!ok)
  {
    free(read.image);
    return read.verdict.fault == PictureFault::None ? PictureFault::Damaged : read.verdict.fault;
  }
  out.pixels.reset(read.image);
  return PictureFault::None;
}

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

  read.verdict.reason      = reason;
  read.verdict.reason_size = reason_size;
  read.jpeg.err            = jpeg_std_error(&read.err);
  read.err.error_exit      = jpeg_fail;
  read.err.emit_message    = jpeg_note;

  const bool ok = decode_jpeg(read, fp, limits, out);

  if (read.created)
    jpeg_destroy_decompress(&read.jpeg);
  free(read.row);
  if (!ok)
  {
    free(read.image);
    return read.verdict.fault == PictureFault::None ? PictureFault::Damaged : read.verdict.fault;
  }
  out.pixels.reset(read.image);
  return PictureFault::None;
}

//
// 'add_picture_filters()' - Let PAPPL print PNG and JPEG documents through
// the app's own readers, ahead of its own.
//

void
add_picture_filters(pappl_system_t *system)  // I - System
{
  for (const PictureFormat &format : kPictureFormats)
    papplSystemAddMIMEFilter(system, format.type, kDriverFormat, print_picture_document,
                             const_cast<PictureFormat *>(&format));  // PAPPL only hands it back
}

//
// 'set_picture_format()' - Give a driver the format that puts the app's
// picture filters first, and a print-file callback for documents in it.
//

void
set_picture_format(pappl_pr_driver_data_t &data)  // IO - Driver data
{
  data.format       = kDriverFormat;
  data.printfile_cb = refuse_raw_document;
}

} // namespace pelna_app
