// SPDX-License-Identifier: Apache-2.0
//
// The built-in test label ("Print Test Page"): an 8-bit gray PWG raster
// page of the loaded label size at the printer's resolution, drawn row by
// row: a border, bars from 1 to 8 dots wide, a ten-step gray scale (shows
// the halftone method and darkness) and a checkerboard of single dots.
//

#include "app.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pelna_app {

namespace {

// Border thickness in dots.
constexpr unsigned kBorder = 6;

//
// 'pixel()' - Gray value of the test label at x, y on a width x height page.
//

std::uint8_t
pixel(unsigned x,       // I - Column
      unsigned y,       // I - Row
      unsigned width,   // I - Page width
      unsigned height)  // I - Page height
{
  if (x < kBorder || y < kBorder || x >= width - kBorder || y >= height - kBorder)
    return pelna::kGrayBlack;

  const unsigned band = (y * 3) / height;   // thirds, top to bottom
  const unsigned inner = width - 4 * kBorder;
  const unsigned ix = x >= 2 * kBorder ? x - 2 * kBorder : inner;

  if (ix >= inner)
    return pelna::kGrayWhite;
  if (band == 0)
  {
    // Bars: widths 1..8 dots, each followed by a gap of the same width.
    unsigned pos = ix % 72, w = 1;
    while (pos >= 2 * w)
    {
      pos -= 2 * w;
      w++;
    }
    return pos < w ? pelna::kGrayBlack : pelna::kGrayWhite;
  }
  if (band == 1)
    return static_cast<std::uint8_t>(255 - (ix * 10 / inner) * 255 / 9);  // 10 gray steps
  return ((x / 1) + (y / 1)) % 2 ? pelna::kGrayBlack : pelna::kGrayWhite;
}

//
// 'private_dir()' - A folder only this user can use, for test pages; false
// when none can be made.
//

bool
private_dir(std::string &dir)  // O - Folder
{
  struct stat info;

  dir = std::string(papplGetTempDir()) + "/pelna-printer-app-" + std::to_string(getuid());
  if (mkdir(dir.c_str(), 0700) && errno != EEXIST)
    return false;
  return !lstat(dir.c_str(), &info) && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
         (info.st_mode & 077) == 0;
}

//
// 'write_label()' - Write the test label to an open file.
//

bool
write_label(int                fd,      // I - File
            const Model       &model,   // I - Printer model
            const pappl_media_col_t &media)  // I - Loaded label
{
  cups_page_header2_t header;
  pwg_media_t        *pwg = pwgMediaForPWG(media.size_name);

  if (!pwg || !cupsRasterInitPWGHeader(&header, pwg, "sgray_8", model.dpi, model.dpi, "one-sided", nullptr))
    return false;
  header.cupsWidth        = std::min<unsigned>(header.cupsWidth, model.head_dots);
  header.cupsBytesPerLine = header.cupsWidth;
  if (header.cupsWidth < 4 * kBorder + 8 || header.cupsHeight < 4 * kBorder + 3)
    return false;

  cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  bool           ok  = ras && cupsRasterWriteHeader2(ras, &header);
  std::vector<unsigned char> row(header.cupsWidth);

  for (unsigned y = 0; ok && y < header.cupsHeight; y++)
  {
    for (unsigned x = 0; x < header.cupsWidth; x++)
      row[x] = pixel(x, y, header.cupsWidth, header.cupsHeight);
    ok = cupsRasterWritePixels(ras, row.data(), header.cupsBytesPerLine) == header.cupsBytesPerLine;
  }
  if (ras)
    cupsRasterClose(ras);
  return ok;
}

} // namespace

//
// 'test_page()' - Write the test label for the printer's loaded label size;
// the file name (in buffer), or null.
//

const char *
test_page(pappl_printer_t *printer,  // I - Printer
          char            *buffer,   // O - File name
          std::size_t      bufsize)  // I - Size of buffer
{
  pappl_pr_driver_data_t data;
  const Model           *model = find_model(papplPrinterGetDriverName(printer));
  std::string            dir;

  if (!model || !papplPrinterGetDriverData(printer, &data) || !private_dir(dir))
    return nullptr;

  std::string temp = dir + "/testpage-XXXXXX";
  const int   fd   = mkstemp(temp.data());
  if (fd < 0)
    return nullptr;

  const bool ok = write_label(fd, *model, data.media_ready[0]);
  close(fd);

  const std::string name = dir + "/testpage-" + std::to_string(papplPrinterGetID(printer)) + ".pwg";
  if (!ok || rename(temp.c_str(), name.c_str()) || name.size() >= bufsize)
  {
    unlink(temp.c_str());
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "The test label could not be written in %s.", dir.c_str());
    return nullptr;
  }
  snprintf(buffer, bufsize, "%s", name.c_str());
  return buffer;
}

} // namespace pelna_app
