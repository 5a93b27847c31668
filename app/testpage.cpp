// SPDX-License-Identifier: Apache-2.0
//
// The built-in test label ("Print Test Page"): a 1-bit PWG raster page of
// the loaded label size at the printer's resolution, top to bottom:
//
//   - a border, and what the label is as text in the app's own font, its
//     capitals at least 2.5 mm high;
//   - a Code 128 barcode of the printer's name (code128.cpp);
//   - a darkness ladder: for darkness levels around the printer's, a gray
//     ramp (black to white) as a job at that darkness prints it, labelled
//     with the level, the printer's own level white on black;
//   - in the room left, bars 1 to 8 dots wide and a checkerboard of single
//     dots.
//
// Darkness reaches the printer only as dots: the job's darkness gives the
// blackness number with which the core halftones gray (options.cpp,
// core/halftone.cpp), and the printer is sent no heat or darkness setting.
// So the label is sent as 1-bit dots, which every job prints dot for dot:
// its text and bars come out the same at any darkness, and each ramp is
// halftoned here by the core with that level's blackness and the printer's
// default halftone method, the very dots a gray area of a job at that level
// gets.
//

#include "app.h"
#include "code128.h"
#include "font.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace pelna_app {

namespace {

// Border thickness in dots; the content starts a border's width inside it.
constexpr unsigned kBorder = 6;
constexpr unsigned kMargin = 2 * kBorder;

// Patches of the darkness ladder, most first: an odd number, so that the
// printer's level is in the middle unless it is near 0 or 100.
constexpr unsigned kLadderCounts[] = {7, 5, 3};

// Characters of a patch's label, and font pixels from the cell's left edge
// to its ramp: one of padding left of the label (its last cell gives the
// one on its right) and one of gap.
constexpr unsigned kValueChars = 3;
constexpr unsigned kRampOffset = kValueChars * kCellWidth + 2;

// The ladder's caption, on labels that have room for every line.
const char *const kCaption[] = {
  "Darkness: how gray prints at each level",
  "(it changes dots, not the heat);",
  "white on black: the level set now",
};

//
// What the label says, before it is placed.
//

struct Content
{
  std::vector<std::string> lines;       // everything, for a label with room
  std::vector<std::string> essentials;  // printer, resolution and darkness
  std::string              name;        // the printer's name, for the barcode
  int                      darkness = 0;                           // a job's darkness now
  pelna::Halftone          halftone = pelna::Halftone::Diffusion;  // and halftone method
};

//
// One step of the darkness ladder.
//

struct Patch
{
  TextBlock                 value;            // the darkness level
  bool                      current = false;  // the printer's level: white on black
  unsigned                  left = 0, top = 0, width = 0, height = 0;  // the ramp
  std::vector<std::uint8_t> dots;             // the ramp as packed rows, a set bit black
};

//
// The test label, placed.
//

struct Label
{
  unsigned               width = 0, height = 0;  // dots across, rows
  std::vector<TextBlock> text;                   // the lines, the ladder's caption
  std::vector<bool>      bars;                   // barcode modules (empty: no barcode)
  unsigned               bars_left = 0, bars_top = 0, bars_height = 0, module = 0;
  std::vector<Patch>     ladder;                 // the darkness ladder
  unsigned               bands = 0;              // first row of the bars and dots (height: none)
};

//
// Which parts a label has room for.
//

struct Plan
{
  bool full;     // every line and the ladder's caption, not only the essentials
  bool barcode;  // the barcode (left out anyway when it is too wide)
  bool ladder;   // the darkness ladder
};

//
// Sizes on a label, in dots at its resolution.
//

struct Sizes
{
  unsigned scale;        // dots per font pixel
  unsigned min_module;   // narrowest barcode module: 0.25 mm
  unsigned max_module;   // widest: about 0.5 mm
  unsigned min_bars;     // lowest barcode: 5 mm
  unsigned want_bars;    // the barcode's height when there is room: 12.7 mm
  unsigned min_ramp;     // narrowest ramp: 5 mm
  unsigned want_ramp;    // a ramp's height when there is room: 6.35 mm
  unsigned min_bands;    // lowest bars and dots worth printing: 3 mm
};

//
// 'dots_up()' - A length in hundredths of a millimetre, in dots rounded up.
//

unsigned
dots_up(int      dpi,         // I - Resolution
        unsigned hundredths)  // I - Length
{
  return (hundredths * static_cast<unsigned>(dpi) + 2539) / 2540;
}

//
// 'sizes()' - The sizes of a resolution: the text's scale is the smallest
// whose capitals (7 font pixels) are at least 2.5 mm high.
//

Sizes
sizes(int dpi)  // I - Resolution
{
  const auto d = static_cast<unsigned>(dpi);

  return {(dots_up(dpi, 250) + 6) / 7, dots_up(dpi, 25), std::max(dots_up(dpi, 25), d / 50),
          d / 5, d / 2, d / 5, d / 4, d / 8};
}

//
// 'band_ink()' - Whether the bands at the bottom are black at x, y: bars
// 1 to 8 dots wide in the upper half, a checkerboard of single dots in the
// lower (a dot that does not print shows in either).
//

bool
band_ink(const Label &label,  // I - The label
         unsigned     x,      // I - Column
         unsigned     y)      // I - Row
{
  const unsigned bottom = label.height - kMargin;

  if (y < label.bands || y >= bottom || x < kMargin || x >= label.width - kMargin)
    return false;
  if (y >= label.bands + (bottom - label.bands) / 2)
    return (x + y) % 2;

  // Widths 1 to 8 dots, each followed by a gap of the same width.
  unsigned pos = (x - kMargin) % 72, w = 1;
  while (pos >= 2 * w)
  {
    pos -= 2 * w;
    w++;
  }
  return pos < w;
}

//
// 'ink()' - Whether the test label is black at x, y.
//

bool
ink(const Label &label,  // I - The label
    unsigned     x,      // I - Column
    unsigned     y)      // I - Row
{
  if (x < kBorder || y < kBorder || x >= label.width - kBorder || y >= label.height - kBorder)
    return true;
  for (const TextBlock &text : label.text)
  {
    if (text.ink(x, y))
      return true;
  }
  if (y >= label.bars_top && y < label.bars_top + label.bars_height && x >= label.bars_left)
  {
    const std::size_t module = (x - label.bars_left) / std::max(label.module, 1U);
    if (module < label.bars.size())
      return label.bars[module];
  }
  for (const Patch &patch : label.ladder)
  {
    const TextBlock &value = patch.value;
    const unsigned   scale = value.scale;

    if (patch.current && x + scale >= value.left && x < value.right && y + scale >= value.top &&
        y < value.top + kGlyphHeight * scale)
      return !value.ink(x, y);
    if (value.ink(x, y))
      return true;
    if (x >= patch.left && x < patch.left + patch.width && y >= patch.top && y < patch.top + patch.height)
    {
      const std::size_t bit = x - patch.left;
      return (patch.dots[(y - patch.top) * pelna::packed_row_bytes(patch.width) + bit / 8] >> (7 - bit % 8)) & 1;
    }
  }
  return band_ink(label, x, y);
}

//
// 'ladder_values()' - The darkness levels of a ladder of count patches:
// one per blackness number, count numbers in a row around the one of the
// darkness now (moved within 1 to 10 near either end), each the darkness
// now moved by whole tens into its number's range, the lightest first.
//

std::vector<int>
ladder_values(int      darkness,  // I - Darkness now, 0 to 100
              unsigned count)     // I - Patches, 10 at most
{
  const int        now   = blackness_for_darkness(darkness);
  const int        n     = static_cast<int>(count);
  const int        first = std::clamp(now - n / 2, 1, 11 - n);
  std::vector<int> values;

  for (int b = first; b < first + n; b++)
    values.push_back(b == now ? darkness : 10 * (b - 1) + darkness % 10);
  return values;
}

//
// 'render_patch()' - Halftone a patch's ramp, black at its left to white
// at its right, as a job at its darkness gets it; false without memory.
//

bool
render_patch(Patch          &patch,     // IO - Patch, placed
             int             darkness,  // I  - Its darkness
             pelna::Halftone method)    // I  - The printer's halftone method
{
  pelna::JobSettings        settings;
  pelna::Halftoner          ht;
  std::vector<std::uint8_t> ramp(patch.width);
  const std::size_t         row_bytes = pelna::packed_row_bytes(patch.width);

  settings.halftone  = method;
  settings.blackness = blackness_for_darkness(darkness);
  for (unsigned x = 0; x < patch.width; x++)
    ramp[x] = static_cast<std::uint8_t>(x * 255 / (patch.width - 1));
  if (!pelna::halftone_begin(ht, patch.width, patch.height, settings, pelna::MessageSink{}))
    return false;
  patch.dots.resize(row_bytes * patch.height);
  for (unsigned y = 0; y < patch.height; y++)
  {
    const std::span<const std::uint8_t> row = pelna::halftone_row(ht, ramp);
    std::copy(row.begin(), row.end(), patch.dots.begin() + static_cast<std::ptrdiff_t>(y * row_bytes));
  }
  pelna::halftone_end(ht);
  return true;
}

//
// 'place()' - Place what a plan asks for at a text scale, top to bottom:
// the lines, the barcode at its lowest, the ladder with the most patches
// that fit in the fewest columns, its ramps as high as a line of text;
// then the barcode, and after it the ramps, grow towards their heights and
// the bars and dots take the rest.  False when it does not fit, or without
// memory.
//

bool
place(Label                   &label,    // O - The label (width and height set)
      const Content           &content,  // I - What it says
      const std::vector<bool> &bars,     // I - Barcode modules, or empty
      const Sizes             &size,     // I - Sizes at its resolution
      const Plan              &plan)     // I - What to place
{
  const unsigned s = size.scale, pitch = kCellHeight * s, gap = 3 * s, col_gap = kCellWidth * s;
  const unsigned inner  = label.width - 2 * kMargin;
  const unsigned bottom = label.height - kMargin;
  const auto    &lines  = plan.full ? content.lines : content.essentials;
  const auto     rows   = [&](std::size_t n) { return n ? static_cast<unsigned>(n - 1) * pitch + kGlyphHeight * s : 0; };

  label.text   = {TextBlock{lines, kMargin, kMargin, label.width - kMargin, s}};
  label.module = 0;
  unsigned y   = kMargin + rows(lines.size());  // first row below what is placed so far

  if (plan.barcode && !bars.empty())
  {
    for (unsigned m = size.max_module; m >= size.min_module && !label.module; m--)
      label.module = bars.size() * m <= inner ? m : 0;
  }
  const unsigned bars_rows = label.module ? gap + size.min_bars : 0;
  if (y + bars_rows > bottom)
    return false;

  // The ladder: count patches in rows of columns cells, each a pitch high.
  unsigned       count = 0, columns = 0, rows_of_cells = 0;
  const unsigned caption = plan.full ? static_cast<unsigned>(std::size(kCaption)) * pitch : 0;
  if (plan.ladder)
  {
    const unsigned top = y + bars_rows + gap + caption;

    for (const unsigned n : kLadderCounts)
    {
      for (unsigned c = 1; c <= n && !count; c++)
      {
        if (inner < (c - 1) * col_gap + c * (kRampOffset * s + size.min_ramp))
          break;  // ramps too narrow, and narrower with more columns
        if (const unsigned r = (n + c - 1) / c; top + r * pitch - 2 * s <= bottom)
          std::tie(count, columns, rows_of_cells) = std::tuple(n, c, r);
      }
      if (count)
        break;
    }
    if (!count)
      return false;
  }
  const unsigned ladder_rows = count ? gap + caption + rows_of_cells * pitch - 2 * s : 0;

  // The room left makes the barcode higher, then the ramps, then it goes
  // to the bars and dots.
  unsigned room = bottom - (y + bars_rows + ladder_rows);
  if (label.module)
  {
    label.bars        = bars;
    label.bars_height = size.min_bars + std::min(room, size.want_bars - size.min_bars);
    label.bars_top    = y + gap;
    label.bars_left   = kMargin + (inner - static_cast<unsigned>(bars.size()) * label.module) / 2;
    room -= label.bars_height - size.min_bars;
    y     = label.bars_top + label.bars_height;
  }
  label.ladder.clear();
  if (count)
  {
    const std::vector<int> values = ladder_values(content.darkness, count);
    const unsigned         cell   = (inner - (columns - 1) * col_gap) / columns;
    const unsigned         grow   = std::min(room / rows_of_cells, size.want_ramp - std::min(size.want_ramp, kGlyphHeight * s));
    const unsigned         ramp   = kGlyphHeight * s + grow;

    room -= grow * rows_of_cells;
    if (caption)
      label.text.push_back(TextBlock{{std::begin(kCaption), std::end(kCaption)}, kMargin, y + gap, label.width - kMargin, s});
    y += gap + caption;
    for (unsigned i = 0; i < count; i++)
    {
      const unsigned left = kMargin + i % columns * (cell + col_gap);
      const unsigned top  = y + i / columns * (ramp + 2 * s);
      char           text[16];
      Patch          patch;

      snprintf(text, sizeof(text), "%3d", values[i]);
      patch.value   = TextBlock{{text}, left + s, top + grow / 2, left + s + kValueChars * kCellWidth * s, s};
      patch.current = values[i] == content.darkness;
      patch.left    = left + kRampOffset * s;
      patch.top     = top;
      patch.width   = cell - kRampOffset * s;
      patch.height  = ramp;
      if (!render_patch(patch, values[i], content.halftone))
        return false;
      label.ladder.push_back(std::move(patch));
    }
    y += rows_of_cells * (ramp + 2 * s) - 2 * s;
  }
  label.bands = room >= gap + size.min_bands ? y + gap : label.height;
  return true;
}

//
// 'layout()' - Place the label.  The text keeps its 2.5 mm scale as long
// as the essentials fit at it: every line with the caption, barcode and
// ladder when they all fit; otherwise the essentials (printer, resolution,
// darkness) with the barcode and ladder, then with the barcode alone, then
// alone; only then a smaller scale, the same way.  Lines too long for the
// label are cut at its edge.  A plan whose ramps find no memory is one
// that does not fit.
//

void
layout(Label         &label,    // O - The label
       unsigned       width,    // I - Dots across
       unsigned       height,   // I - Rows
       int            dpi,      // I - Resolution
       const Content &content)  // I - What it says
{
  static constexpr Plan kPlans[] = {{true, true, true}, {false, true, true}, {false, true, false},
                                    {false, false, false}};
  const std::vector<std::uint8_t> values = code128_values(content.name);
  const std::vector<bool>         bars   = values.empty() ? std::vector<bool>{} : code128_modules(values);
  Sizes                           size   = sizes(dpi);

  label.width  = width;
  label.height = height;
  for (; size.scale >= 1; size.scale--)
  {
    for (const Plan &plan : kPlans)
    {
      if (place(label, content, bars, size, plan))
        return;
    }
  }

  // The essentials do not fit even at a dot per font pixel: the lines that do.
  TextBlock text{content.essentials, kMargin, kMargin, width - kMargin, 1};
  text.lines.resize(std::min<std::size_t>(text.lines.size(), (height - 2 * kMargin) / kCellHeight));
  label        = Label{};
  label.width  = width;
  label.height = height;
  label.text   = {text};
  label.bands  = height;
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
// 'label_content()' - What the test label says: the printer, its model and
// resolution, the label, and the darkness and halftone a job printed now
// with the printer's defaults gets.
//

Content
label_content(pappl_printer_t              *printer,  // I - Printer
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
  Content                  content;
  content.name     = papplPrinterGetName(printer);
  content.darkness = std::clamp(data.darkness_configured + data.darkness_default, 0, 100);
  content.halftone = settings.halftone;
  ippDelete(attrs);

  char        when[64] = "";
  const time_t now     = time(nullptr);
  struct tm    local;
  if (localtime_r(&now, &local))
    strftime(when, sizeof(when), "%Y-%m-%d %H:%M", &local);

  const std::string printer_line    = "Printer: " + content.name;
  const std::string resolution_line = "Resolution: " + std::to_string(model.dpi) + " dpi";
  const std::string darkness_line   = "Darkness: " + std::to_string(content.darkness);

  content.lines = {
    "Pelna test label",
    printer_line,
    std::string("Model: ") + model.description,
    resolution_line,
    "Label: " + size_text(data.media_ready[0]) + ", " + media_kind(settings.page_mark),
    darkness_line + " (blackness " + std::to_string(settings.blackness) + ")",
    std::string("Halftone: ") + (settings.halftone == pelna::Halftone::Threshold ? "black and white (threshold)"
                                                                                 : "dithered (error diffusion)"),
    std::string(kAppName) + " " + kAppVersion,
    std::string("Printed ") + when,
  };
  content.essentials = {printer_line, resolution_line, darkness_line};
  return content;
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
// 'write_label()' - Write the test label to an open file, as 1-bit black
// raster.
//

bool
write_label(int                      fd,       // I - File
            const Model             &model,    // I - Printer model
            const pappl_media_col_t &media,    // I - Loaded label
            const Content           &content)  // I - What it says
{
  cups_page_header2_t header;
  pwg_media_t        *pwg = pwgMediaForPWG(media.size_name);
  Label               label;

  if (!pwg || !cupsRasterInitPWGHeader(&header, pwg, "black_1", model.dpi, model.dpi, "one-sided", nullptr))
    return false;
  header.cupsWidth        = std::min<unsigned>(header.cupsWidth, model.head_dots);
  header.cupsBytesPerLine = static_cast<unsigned>(pelna::packed_row_bytes(header.cupsWidth));
  if (header.cupsWidth < 4 * kBorder + 8 || header.cupsHeight < 4 * kBorder + 3)
    return false;
  layout(label, header.cupsWidth, header.cupsHeight, model.dpi, content);

  cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  bool           ok  = ras && cupsRasterWriteHeader2(ras, &header);
  std::vector<unsigned char> row(header.cupsBytesPerLine);

  for (unsigned y = 0; ok && y < header.cupsHeight; y++)
  {
    std::fill(row.begin(), row.end(), 0);
    for (unsigned x = 0; x < header.cupsWidth; x++)
      row[x / 8] = static_cast<unsigned char>(row[x / 8] | ink(label, x, y) << (7 - x % 8));
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

  const bool ok = write_label(fd, *model, data.media_ready[0], label_content(printer, *model, data));
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
