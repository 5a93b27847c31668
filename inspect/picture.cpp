// SPDX-License-Identifier: Apache-2.0
//
// Pictures of a page at the printer's own dots: one pixel per dot, black
// where the printer prints.  PNG files are 1-bit gray through libpng; PBM
// files are netpbm's raw P4 format, whose rows are packed exactly like the
// printer's rows (most significant bit leftmost, 1 = black).
//

#include "tool_io.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <memory>

namespace inspect {

namespace {

struct FileClose
{
  void operator()(FILE *fp) const { fclose(fp); }
};

using File = std::unique_ptr<FILE, FileClose>;

//
// 'png_failed()' - libpng error callback: keep the message, jump back.
//

void
png_failed(png_structp png,      // I - libpng state
           png_const_charp text) // I - Error message
{
  char *error = static_cast<char *>(png_get_error_ptr(png));

  snprintf(error, 256, "libpng: %s", text);
  png_longjmp(png, 1);
}

//
// 'png_warned()' - libpng warning callback: warnings are not reported.
//

void
png_warned(png_structp     png,   // I - libpng state (unused)
           png_const_charp text)  // I - Warning (unused)
{
  (void)png;
  (void)text;
}

//
// 'png_rows()' - Write the rows of a page with libpng.  Returns false with
//                the message in error.  Only plain data lives in this
//                function, since libpng leaves it by longjmp on errors.
//

bool
png_rows(FILE       *fp,      // I - Open output file
         const Page &page,    // I - Page with its dots
         char       *error)   // O - Message, 256 bytes
{
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, error, png_failed,
                                            png_warned);
  png_infop   info = png ? png_create_info_struct(png) : nullptr;

  if (!png || !info)
  {
    png_destroy_write_struct(&png, nullptr);
    snprintf(error, 256, "libpng: out of memory");
    return false;
  }

  if (setjmp(png_jmpbuf(png)))
  {
    png_destroy_write_struct(&png, &info);
    return false;
  }

  // Pages can be millions of rows long; the default limit is a million.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_init_io(png, fp);
  png_set_IHDR(png, info, page.width, static_cast<png_uint_32>(page.rows), 1,
               PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  // In 1-bit gray 0 is black; the printer's set bit is a black dot.
  png_set_invert_mono(png);

  for (std::uint64_t y = 0; y < page.rows; y ++)
    png_write_row(png, page.dots.data() + y * page.row_bytes);

  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);

  return true;
}

//
// 'pbm_rows()' - Write the rows of a page as raw PBM.
//

bool
pbm_rows(FILE       *fp,      // I - Open output file
         const Page &page)    // I - Page with its dots
{
  if (fprintf(fp, "P4\n%u %llu\n", static_cast<unsigned>(page.width),
              static_cast<unsigned long long>(page.rows)) < 0)
    return false;

  return fwrite(page.dots.data(), 1, page.dots.size(), fp) == page.dots.size();
}

} // namespace

//
// 'page_has_picture()' - Whether a page has dots to draw: a usable width, at
//                        least one row and its rows kept.
//

bool
page_has_picture(const Page &page)  // I - Page
{
  return page.has_width && page.rows > 0 && page.rows <= PNG_UINT_31_MAX &&
         page.dots.size() == page.rows * page.row_bytes;
}

//
// 'picture_name()' - File name of a page's picture, e.g. "page-0001.png".
//

std::string
picture_name(std::size_t   number,  // I - Page number
             PictureFormat format)  // I - File format
{
  char name[64];

  snprintf(name, sizeof(name), "page-%04zu.%s", number,
           format == PictureFormat::Png ? "png" : "pbm");
  return name;
}

//
// 'write_picture()' - Write a page's picture to a file.
//
// Returns false with a message in error when the page has nothing to draw or
// the file cannot be written.
//

bool
write_picture(const std::string &path,    // I - File to write
              const Page        &page,    // I - Page with its dots
              PictureFormat      format,  // I - File format
              std::string       &error)   // O - Message on failure
{
  char message[256] = "";

  if (!page_has_picture(page))
  {
    error = "page " + std::to_string(page.number) + " has no dots to draw";
    return false;
  }

  File fp(fopen(path.c_str(), "wb"));

  if (!fp)
  {
    error = path + ": " + strerror(errno);
    return false;
  }

  const bool written = format == PictureFormat::Png ? png_rows(fp.get(), page, message)
                                                    : pbm_rows(fp.get(), page);

  if (!written || fflush(fp.get()) || ferror(fp.get()))
  {
    error = path + ": " + (message[0] ? message : "write failed");
    return false;
  }

  return true;
}

} // namespace inspect
