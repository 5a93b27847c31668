// SPDX-License-Identifier: Apache-2.0
//
// photo-band: lay a band of a photograph over the lower part of a label, for
// the benchmarks.  Reads the first page of an 8-bit gray PWG raster stream
// (the bundled label as CUPS renders it), replaces the rows from 71 % to
// 97 % of its height, inside a margin of 4 % of its width, with the photo
// (an 8-bit binary PGM) scaled to the band's width and repeated down it,
// and writes the page as a PWG raster stream with the same header.
//
//   photo-band LABEL.pwg PHOTO.pgm OUTPUT.pwg
//

#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr unsigned kBandTop    = 71;  // band rows, per cent of the height
constexpr unsigned kBandBottom = 97;
constexpr unsigned kMargin     = 4;   // left and right margin, per cent of the width
constexpr unsigned kMaxSide    = 20000;  // pixels a side of either image may have

struct FileClose
{
  void operator()(FILE *fp) const { fclose(fp); }
};

struct Gray
{
  unsigned                   width  = 0;  // pixels per row
  unsigned                   height = 0;  // rows
  std::vector<unsigned char> pixels;      // width x height, row 0 first
};

//
// 'read_pgm()' - Read an 8-bit binary PGM image; false on any other file.
//

bool
read_pgm(const char *path,   // I - PGM file
         Gray       &image)  // O - Image
{
  std::unique_ptr<FILE, FileClose> fp(fopen(path, "rb"));
  unsigned                         maxval = 0;

  if (!fp || fscanf(fp.get(), "P5 %u %u %u", &image.width, &image.height, &maxval) != 3 ||
      maxval != 255 || !image.width || !image.height || image.width > kMaxSide ||
      image.height > kMaxSide || fgetc(fp.get()) == EOF)
    return false;

  image.pixels.resize(static_cast<size_t>(image.width) * image.height);
  return fread(image.pixels.data(), 1, image.pixels.size(), fp.get()) == image.pixels.size();
}

//
// 'read_page()' - Read the first page of an 8-bit gray raster stream.
//

bool
read_page(const char          *path,    // I - Raster stream
          cups_page_header2_t &header,  // O - Its first page's header
          Gray                &page)    // O - Its pixels
{
  const int fd = open(path, O_RDONLY);

  if (fd < 0)
    return false;

  cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
  bool           ok  = ras && cupsRasterReadHeader2(ras, &header) &&
               header.cupsBitsPerPixel == 8 && header.cupsWidth &&
               header.cupsWidth <= kMaxSide && header.cupsHeight <= kMaxSide &&
               header.cupsBytesPerLine == header.cupsWidth;

  if (ok)
  {
    page.width  = header.cupsWidth;
    page.height = header.cupsHeight;
    page.pixels.resize(static_cast<size_t>(page.width) * page.height);
    for (unsigned y = 0; ok && y < page.height; y ++)
      ok = cupsRasterReadPixels(ras, page.pixels.data() + static_cast<size_t>(y) * page.width,
                                page.width) == page.width;
  }
  cupsRasterClose(ras);
  close(fd);
  return ok;
}

//
// 'lay_band()' - Lay the photo over the band of the page.
//

void
lay_band(const Gray &photo,  // I  - Photograph
         Gray       &page)   // IO - Label
{
  const unsigned x0 = page.width * kMargin / 100;
  const unsigned x1 = page.width - x0;
  const unsigned y0 = page.height * kBandTop / 100;
  const unsigned y1 = page.height * kBandBottom / 100;

  for (unsigned y = y0; y < y1; y ++)
  {
    // Scaled to the band's width, nearest pixel; repeated down the band.
    const unsigned py = ((y - y0) * photo.width / (x1 - x0)) % photo.height;

    for (unsigned x = x0; x < x1; x ++)
      page.pixels[static_cast<size_t>(y) * page.width + x] =
          photo.pixels[static_cast<size_t>(py) * photo.width + (x - x0) * photo.width / (x1 - x0)];
  }
}

} // namespace

//
// 'main()' - Label and photo in, label with a photo band out.
//

int
main(int  argc,    // I - Number of arguments
     char *argv[]) // I - LABEL.pwg PHOTO.pgm OUTPUT.pwg
{
  if (argc != 4)
  {
    fputs("Usage: photo-band LABEL.pwg PHOTO.pgm OUTPUT.pwg\n", stderr);
    return 2;
  }

  cups_page_header2_t header;
  Gray                page, photo;

  if (!read_page(argv[1], header, page))
  {
    fprintf(stderr, "photo-band: %s: no 8-bit gray page\n", argv[1]);
    return 1;
  }
  if (!read_pgm(argv[2], photo))
  {
    fprintf(stderr, "photo-band: %s: not an 8-bit binary PGM image\n", argv[2]);
    return 1;
  }
  lay_band(photo, page);

  const int      fd  = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  cups_raster_t *ras = fd < 0 ? nullptr : cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  bool           ok  = ras && cupsRasterWriteHeader2(ras, &header) &&
               cupsRasterWritePixels(ras, page.pixels.data(),
                                     static_cast<unsigned>(page.pixels.size())) == page.pixels.size();

  cupsRasterClose(ras);
  if ((fd >= 0 && close(fd)) || !ok)
  {
    fprintf(stderr, "photo-band: cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
