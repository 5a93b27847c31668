// SPDX-License-Identifier: Apache-2.0
//
// app-proof-pages: the documents of the Printer Application's proof tests.
//
//   app-proof-pages gray OUT WIDTH HEIGHT DPI VALUE
//       One PWG raster page of 8-bit sGray, every pixel VALUE (0 black).
//   app-proof-pages deep OUT WIDTH HEIGHT DPI
//       One PWG raster page of 16 bits per pixel.
//   app-proof-pages png OUT WIDTH HEIGHT [BITS]
//       A white gray PNG of that size, 8 bits per pixel or BITS (1 keeps
//       huge sizes quick to write).
//   app-proof-pages dots OUT WIDTH HEIGHT DPI SEED
//       One PWG raster page of 1-bit black, dots of a fixed pseudo-random
//       pattern from SEED (its frame hardly compresses).
//   app-proof-pages noise OUT BYTES SEED
//       Bytes of a fixed pseudo-random sequence.
//   app-proof-pages mark OUT
//       A 6 x 4 in landscape PDF page, a black inch square in its top-left
//       corner.
//
// Damaged streams (cut short, impossible header values) are made from
// these by the test scripts, which cut and patch the files.
//

#include "gray_page_header.h"
#include "test_support.h"

#include <cups/raster.h>
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

//
// 'write_raster()' - Write one PWG page of a header, every byte VALUE.
//

bool
write_raster(const char          *out,     // I - File
             cups_page_header2_t &header,  // I - Page header
             unsigned char        value)   // I - Byte of every row
{
  const int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0)
    return false;

  cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  bool           ok     = raster && cupsRasterWriteHeader2(raster, &header);
  std::vector<unsigned char> row(header.cupsBytesPerLine, value);

  for (unsigned y = 0; ok && y < header.cupsHeight; y++)
    ok = cupsRasterWritePixels(raster, row.data(), header.cupsBytesPerLine) == header.cupsBytesPerLine;
  cupsRasterClose(raster);
  return close(fd) == 0 && ok;
}

//
// 'next_noise()' - The next value of a fixed sequence (xorshift).
//

std::uint64_t
next_noise(std::uint64_t &x)  // IO - State
{
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

//
// 'write_dots()' - Write one 1-bit PWG page of pseudo-random dots.
//

bool
write_dots(const char          *out,     // I - File
           cups_page_header2_t &header,  // I - Page header, 1-bit
           unsigned long        seed)    // I - Seed of the pattern
{
  const int      fd     = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::uint64_t  x      = seed | 1;
  if (fd < 0)
    return false;

  cups_raster_t *raster = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  bool           ok     = raster && cupsRasterWriteHeader2(raster, &header);
  std::vector<unsigned char> row(header.cupsBytesPerLine);

  for (unsigned y = 0; ok && y < header.cupsHeight; y++)
  {
    for (unsigned char &byte : row)
      byte = static_cast<unsigned char>(next_noise(x));
    ok = cupsRasterWritePixels(raster, row.data(), header.cupsBytesPerLine) == header.cupsBytesPerLine;
  }
  cupsRasterClose(raster);
  return close(fd) == 0 && ok;
}

//
// 'write_png()' - A white gray PNG of any size, 1 or 8 bits per pixel.
//

bool
write_png(const char *out, unsigned width, unsigned height, int bits)  // I - File, size, depth
{
  FILE *fp = fopen(out, "wb");
  if (!fp)
    return false;

  png_structp png  = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop   info = png ? png_create_info_struct(png) : nullptr;
  std::vector<png_byte> row(bits == 1 ? (width + 7) / 8 : width, 0xFF);

  if (!info || setjmp(png_jmpbuf(png)))
  {
    png_destroy_write_struct(&png, &info);
    fclose(fp);
    return false;
  }
  png_init_io(png, fp);
  png_set_compression_level(png, 1);
  png_set_IHDR(png, info, width, height, bits == 1 ? 1 : 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (unsigned y = 0; y < height; y++)
    png_write_row(png, row.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return fclose(fp) == 0;
}

//
// 'write_noise()' - BYTES bytes of a fixed sequence (xorshift from SEED).
//

bool
write_noise(const char *out, unsigned long bytes, unsigned long seed)  // I - File, count, seed
{
  FILE         *fp = fopen(out, "wb");
  std::uint64_t x  = seed | 1;

  if (!fp)
    return false;
  for (unsigned long i = 0; i < bytes; i++)
    fputc(static_cast<int>(next_noise(x) & 0xFF), fp);
  return fclose(fp) == 0;
}

//
// 'write_mark()' - A 6 x 4 in landscape PDF, a black inch square in its
// top-left corner.
//

bool
write_mark(const char *out)  // I - File
{
  const std::string pdf = pelna_test::pdf_file({{432, 288, pelna_test::pdf_box(0, 216, 72, 72)}});
  FILE             *fp  = fopen(out, "wb");

  if (!fp)
    return false;
  const bool written = fwrite(pdf.data(), 1, pdf.size(), fp) == pdf.size();
  return fclose(fp) == 0 && written;
}

} // namespace

//
// 'main()' - Write one document.
//

int
main(int  argc,    // I - Number of arguments
     char *argv[])  // I - Arguments
{
  const std::string kind = argc > 2 ? argv[1] : "";
  bool              ok   = false;

  if (kind == "gray" && argc == 7)
  {
    cups_page_header2_t header = gray_page_header(std::stoul(argv[3]), std::stoul(argv[4]), std::stoul(argv[5]));
    header.cupsColorSpace = CUPS_CSPACE_SW;
    ok = write_raster(argv[2], header, static_cast<unsigned char>(std::stoul(argv[6])));
  }
  else if (kind == "deep" && argc == 6)
  {
    cups_page_header2_t header = gray_page_header(std::stoul(argv[3]), std::stoul(argv[4]), std::stoul(argv[5]));
    header.cupsColorSpace   = CUPS_CSPACE_SW;
    header.cupsBitsPerColor = header.cupsBitsPerPixel = 16;
    header.cupsBytesPerLine = 2 * header.cupsWidth;
    ok = write_raster(argv[2], header, 0x80);
  }
  else if (kind == "dots" && argc == 7)
  {
    cups_page_header2_t header = gray_page_header(std::stoul(argv[3]), std::stoul(argv[4]), std::stoul(argv[5]));
    header.cupsColorSpace   = CUPS_CSPACE_K;
    header.cupsBitsPerColor = header.cupsBitsPerPixel = 1;
    header.cupsBytesPerLine = (header.cupsWidth + 7) / 8;
    ok = write_dots(argv[2], header, std::stoul(argv[6]));
  }
  else if (kind == "png" && (argc == 5 || argc == 6))
    ok = write_png(argv[2], std::stoul(argv[3]), std::stoul(argv[4]), argc == 6 ? std::stoi(argv[5]) : 8);
  else if (kind == "noise" && argc == 5)
    ok = write_noise(argv[2], std::stoul(argv[3]), std::stoul(argv[4]));
  else if (kind == "mark" && argc == 3)
    ok = write_mark(argv[2]);
  else
  {
    fputs("usage: app-proof-pages gray|deep|dots|png|noise|mark OUT ...\n", stderr);
    return 2;
  }
  if (!ok)
    fprintf(stderr, "app-proof-pages: cannot write %s\n", argv[2]);
  return ok ? 0 : 1;
}
