// SPDX-License-Identifier: Apache-2.0
//
// The built-in test label ("Print Test Page"): an 8-bit gray PWG raster
// page of the loaded label size at the printer's resolution, drawn row by
// row: a border, what the label is as text in the app's own font (printer,
// model, resolution, label, darkness, halftone, version and date), then
// bars from 1 to 8 dots wide, a ten-step gray scale (shows the halftone
// method and darkness) and a checkerboard of single dots.
//

#include "app.h"
#include "font.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
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
// What the test label shows.
//

struct Label
{
  unsigned  width  = 0;  // dots across
  unsigned  height = 0;  // rows
  TextBlock text;        // the lines at the top
  unsigned  bands  = 0;  // first row of the bars, gray scale and dots
};

//
// 'pixel()' - Gray value of the test label at x, y.
//

std::uint8_t
pixel(const Label &label,  // I - The label
      unsigned     x,      // I - Column
      unsigned     y)      // I - Row
{
  const unsigned width = label.width, height = label.height;

  if (x < kBorder || y < kBorder || x >= width - kBorder || y >= height - kBorder)
    return pelna::kGrayBlack;
  if (y < label.bands)
    return label.text.ink(x, y) ? pelna::kGrayBlack : pelna::kGrayWhite;

  const unsigned band = (y - label.bands) * 3 / (height - kBorder - label.bands);  // thirds, top to bottom
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
  return (x + y) % 2 ? pelna::kGrayBlack : pelna::kGrayWhite;
}

//
// 'size_text()' - A label size in words: inches when both sides are whole
// or simple fractions of an inch, millimetres otherwise.
//

std::string
size_text(const pappl_media_col_t &media)  // I - The loaded label
{
  char text[96];

  if (media.size_width % 635 == 0 && media.size_length % 635 == 0)  // quarters of an inch
    snprintf(text, sizeof(text), "%g x %g in", media.size_width / 2540.0, media.size_length / 2540.0);
  else
    snprintf(text, sizeof(text), "%g x %g mm", media.size_width / 100.0, media.size_length / 100.0);
  return text;
}

//
// 'media_kind()' - The media a page mark is for, in words.
//

const char *
media_kind(pelna::PageMark mark)  // I - Page mark
{
  switch (mark)
  {
    case pelna::PageMark::Label :
        return "labels with gaps";
    case pelna::PageMark::BlackMark :
        return "black-mark media";
    default :
        return "continuous media";
  }
}

//
// 'label_lines()' - What the test label says: the printer, its model and
// resolution, the label, and the darkness and halftone a job printed now
// with the printer's defaults gets.
//

std::vector<std::string>
label_lines(pappl_printer_t              *printer,  // I - Printer
            const Model                  &model,    // I - Its model
            const pappl_pr_driver_data_t &data)     // I - Its driver data
{
  // The settings a job with the printer's defaults gets.
  pappl_pr_options_t options{};
  ipp_t             *attrs  = papplPrinterGetDriverAttributes(printer);
  const char        *method = ippGetString(ippFindAttribute(attrs, "pelna-halftone-default", IPP_TAG_KEYWORD), 0, nullptr);
  cups_option_t      vendor{const_cast<char *>("pelna-halftone"), const_cast<char *>(method ? method : "")};

  options.print_color_mode    = data.color_default;
  options.darkness_configured = data.darkness_configured;
  options.print_darkness      = data.darkness_default;
  options.media               = data.media_ready[0];
  options.num_vendor          = method ? 1 : 0;
  options.vendor              = &vendor;

  const pelna::JobSettings settings = job_settings(options);
  const int                darkness = std::clamp(data.darkness_configured + data.darkness_default, 0, 100);
  ippDelete(attrs);

  char        when[64] = "";
  const time_t now     = time(nullptr);
  struct tm    local;
  if (localtime_r(&now, &local))
    strftime(when, sizeof(when), "%Y-%m-%d %H:%M", &local);

  return {
    "Pelna test label",
    std::string("Printer: ") + papplPrinterGetName(printer),
    std::string("Model: ") + model.description,
    "Resolution: " + std::to_string(model.dpi) + " dpi",
    "Label: " + size_text(data.media_ready[0]) + ", " + media_kind(settings.page_mark),
    "Darkness: " + std::to_string(darkness) + " (blackness " + std::to_string(settings.blackness) + ")",
    std::string("Halftone: ") + (settings.halftone == pelna::Halftone::Threshold ? "black and white (threshold)"
                                                                                 : "dithered (error diffusion)"),
    std::string(kAppName) + " " + kAppVersion + ", " + when,
  };
}

//
// 'layout()' - Place the text on a label of the given size: a font pixel
// is a square of about a hundredth of an inch, or one dot when the text
// would take more than half the label; lines that do not fit are left out.
//

Label
layout(unsigned                 width,   // I - Dots across
       unsigned                 height,  // I - Rows
       int                      dpi,     // I - Resolution
       std::vector<std::string> lines)   // I - The text
{
  Label          label;
  const unsigned room = (height - 4 * kBorder) / 2;  // rows the text may take

  label.width      = width;
  label.height     = height;
  label.text.left  = label.text.top = 2 * kBorder;
  label.text.right = width - 2 * kBorder;
  label.text.scale = std::max(1, dpi / 100);
  if (lines.size() * kCellHeight * label.text.scale > room)
    label.text.scale = 1;
  lines.resize(std::min<std::size_t>(lines.size(), room / (kCellHeight * label.text.scale)));
  label.text.lines = std::move(lines);
  label.bands      = label.text.top + label.text.height();
  return label;
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
write_label(int                              fd,       // I - File
            const Model                     &model,    // I - Printer model
            const pappl_media_col_t         &media,    // I - Loaded label
            const std::vector<std::string>  &lines)    // I - The text
{
  cups_page_header2_t header;
  pwg_media_t        *pwg = pwgMediaForPWG(media.size_name);

  if (!pwg || !cupsRasterInitPWGHeader(&header, pwg, "sgray_8", model.dpi, model.dpi, "one-sided", nullptr))
    return false;
  header.cupsWidth        = std::min<unsigned>(header.cupsWidth, model.head_dots);
  header.cupsBytesPerLine = header.cupsWidth;
  if (header.cupsWidth < 4 * kBorder + 8 || header.cupsHeight < 4 * kBorder + 3)
    return false;

  const Label    label = layout(header.cupsWidth, header.cupsHeight, model.dpi, lines);
  cups_raster_t *ras   = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  bool           ok    = ras && cupsRasterWriteHeader2(ras, &header);
  std::vector<unsigned char> row(header.cupsWidth);

  for (unsigned y = 0; ok && y < header.cupsHeight; y++)
  {
    for (unsigned x = 0; x < header.cupsWidth; x++)
      row[x] = pixel(label, x, y);
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

  const bool ok = write_label(fd, *model, data.media_ready[0], label_lines(printer, *model, data));
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
