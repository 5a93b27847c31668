// SPDX-License-Identifier: Apache-2.0
//
// make-sample-raster: write 8-bit gray PGM images as the pages of a CUPS
// raster stream, the way the printing system hands pages to the filter.
//
//   make-sample-raster OUTPUT.ras RESOLUTION IMAGE.pgm [IMAGE.pgm ...]
//

#include <cups/raster.h>
#include "gray_page_header.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct FileClose
{
  void operator()(FILE *fp) const { fclose(fp); }
};

//
// 'read_pgm()' - Read a binary 8-bit PGM image; false on any other file.
//

bool
read_pgm(const char                *path,    // I - PGM file
         unsigned                  &width,   // O - Pixels per row
         unsigned                  &height,  // O - Rows
         std::vector<unsigned char> &pixels) // O - width x height gray bytes
{
  std::unique_ptr<FILE, FileClose> fp(fopen(path, "rb"));
  unsigned                         maxval = 0;

  if (!fp || fscanf(fp.get(), "P5 %u %u %u", &width, &height, &maxval) != 3 ||
      maxval != 255 || width == 0 || height == 0 || width > 65535 || height > 65535 ||
      fgetc(fp.get()) == EOF)
    return false;

  pixels.resize(static_cast<size_t>(width) * height);
  return fread(pixels.data(), 1, pixels.size(), fp.get()) == pixels.size();
}

} // namespace

int
main(int argc, char *argv[])
{
  if (argc < 4)
  {
    fputs("Usage: make-sample-raster OUTPUT.ras RESOLUTION IMAGE.pgm [IMAGE.pgm ...]\n", stderr);
    return 2;
  }

  const unsigned dpi = static_cast<unsigned>(atoi(argv[2]));
  const int      fd  = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);

  if (fd < 0 || dpi == 0)
  {
    perror(argv[1]);
    return 1;
  }

  cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_COMPRESSED);

  for (int i = 3; i < argc; i ++)
  {
    unsigned                   width, height;
    std::vector<unsigned char> pixels;
    cups_page_header2_t        header;

    if (!read_pgm(argv[i], width, height, pixels))
    {
      fprintf(stderr, "make-sample-raster: %s is not an 8-bit binary PGM image\n", argv[i]);
      return 1;
    }

    header = gray_page_header(width, height, dpi);

    if (!cupsRasterWriteHeader2(ras, &header) ||
        cupsRasterWritePixels(ras, pixels.data(), static_cast<unsigned>(pixels.size())) !=
            pixels.size())
    {
      fprintf(stderr, "make-sample-raster: cannot write %s\n", argv[1]);
      return 1;
    }
  }

  cupsRasterClose(ras);
  return close(fd) ? 1 : 0;
}
