// SPDX-License-Identifier: Apache-2.0
//
// The two drivers and the raster callbacks: PAPPL hands over the rows of
// each page, the core halftones 8-bit gray rows one by one and takes 1-bit
// rows dot for dot, and every page's frame goes to the device when the page
// ends.  Rows wider than the print head are cut to it; no page is scaled.
//

#include "app.h"

#include "page_check.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <new>
#include <unistd.h>

using namespace pelna;

namespace pelna_app {

const Model kModels[2] = {
  {"pelna_203", "Pelna 4-inch Label 203 dpi", 203, 832, "roll_max_104x1000mm"},
  {"pelna_300", "Pelna 4-inch Label 300 dpi", 300, 1248, "roll_max_105.6x1000mm"},
};

pappl_pr_driver_t kDrivers[2] = {
  {"pelna_203", "Pelna 4-inch Label 203 dpi", "MFG:Pelna;MDL:4-inch Label 203 dpi;CMD:PELNA;", nullptr},
  {"pelna_300", "Pelna 4-inch Label 300 dpi", "MFG:Pelna;MDL:4-inch Label 300 dpi;CMD:PELNA;", nullptr},
};

namespace {

// Raster colour spaces of gray pages (CUPS numbering).
constexpr unsigned kSpaceW  = 0;   // luminance: 0 black, 255 or 1 white
constexpr unsigned kSpaceK  = 3;   // black: 255 or 1 black
constexpr unsigned kSpaceSW = 18;  // sRGB luminance: 0 black

// The longest label a page may make, in millimetres: the largest custom
// size (roll_max_...x1000mm).  A longer page is refused, not fed for metres.
constexpr double kMaxLabelMm = 1000.0;

//
// 'log_core()' - File one of the core's messages in the job's log.
//

void
log_core(void       *ctx,    // I - The job
         Level       level,  // I - Level of the message
         const char *text)   // I - Message
{
  const pappl_loglevel_t pl = level == Level::Error  ? PAPPL_LOGLEVEL_ERROR
                              : level == Level::Info ? PAPPL_LOGLEVEL_INFO
                                                     : PAPPL_LOGLEVEL_DEBUG;

  papplLogJob(static_cast<pappl_job_t *>(ctx), pl, "%s", text);
}

//
// 'job_error()' - Log an error and make it the job's state message.
//

void
job_error(pappl_job_t *job,     // I - Job
          const char  *message)  // I - What went wrong
{
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
  papplJobSetMessage(job, "%s", message);
}

//
// 'add_halftone_default()' - Give the job the printer's default halftone
// method when it names none: PAPPL 1.3 passes a vendor option to the
// driver only when the job itself carries it.
//

void
add_halftone_default(pappl_job_t        *job,      // I - Job
                     pappl_pr_options_t &options)  // IO - Print options
{
  constexpr const char *kName = "pelna-halftone";

  if (cupsGetOption(kName, options.num_vendor, options.vendor))
    return;

  ipp_t           *attrs = papplPrinterGetDriverAttributes(papplJobGetPrinter(job));
  ipp_attribute_t *value = ippFindAttribute(attrs, "pelna-halftone-default", IPP_TAG_KEYWORD);

  if (value)
    options.num_vendor = cupsAddOption(kName, ippGetString(value, 0, nullptr), options.num_vendor, &options.vendor);
  ippDelete(attrs);
}

//
// 'rstartjob()' - Start a job: its settings from the print options.
//

bool
rstartjob(pappl_job_t        *job,      // I - Job
          pappl_pr_options_t *options,  // I - Print options
          pappl_device_t     *device)   // I - Device (unused)
{
  (void)device;

  const Model *model = find_model(papplPrinterGetDriverName(papplJobGetPrinter(job)));
  auto        *state = new (std::nothrow) JobState;

  if (!model || !state)
  {
    delete state;
    job_error(job, "The job cannot start: no memory or an unknown printer model.");
    return false;
  }
  state->model    = model;
  add_halftone_default(job, *options);
  state->settings = job_settings(*options);
  state->messages = MessageSink{log_core, job};
  papplJobSetData(job, state);
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Halftone %s, blackness %d, page mark %d.",
              state->settings.halftone == Halftone::Threshold ? "threshold" : "error diffusion",
              state->settings.blackness, static_cast<int>(state->settings.page_mark));
  return true;
}

//
// 'refuse_page()' - Log why a page cannot be printed; always false.
//

bool
refuse_page(pappl_job_t *job,     // I - Job
            unsigned     page,    // I - Page number (from 1)
            const char  *reason)  // I - Why, in plain words
{
  char message[320];  // The whole message

  snprintf(message, sizeof(message), "Page %u cannot be printed: %s.", page, reason);
  job_error(job, message);
  return false;
}

//
// 'page_layout()' - Read the page header's pixel layout into the job state;
// the reason why not in reason.
//

bool
page_layout(const cups_page_header2_t &h,          // I - The page's own header
            unsigned                   rows_given,  // I - Rows PAPPL hands over at most
            JobState                  &state,       // IO - Job state
            char                      *reason,      // O - Why not
            std::size_t                size)        // I - Size of reason
{
  // A client may send any number as the colour space, not only the
  // enumeration's values: read it as the number it is.
  unsigned space;
  static_assert(sizeof(space) == sizeof(h.cupsColorSpace));
  memcpy(&space, &h.cupsColorSpace, sizeof(space));

  const bool gray    = space == kSpaceW || space == kSpaceK || space == kSpaceSW;
  const bool one_bit = h.cupsBitsPerPixel == 1 && h.cupsBitsPerColor == 1;

  if (!gray || (!one_bit && (h.cupsBitsPerPixel != 8 || h.cupsBitsPerColor != 8)))
  {
    snprintf(reason, size, "it is not 1-bit or 8-bit gray raster (%u bits per pixel, colour space %u)",
             h.cupsBitsPerPixel, space);
    return false;
  }
  if (h.cupsWidth == 0 || h.cupsHeight == 0)
  {
    snprintf(reason, size, "it has %s", h.cupsWidth == 0 ? "no width" : "no rows");
    return false;
  }
  if (h.cupsBytesPerLine != (one_bit ? packed_row_bytes(h.cupsWidth) : h.cupsWidth))
  {
    snprintf(reason, size, "its rows are %u bytes for %u pixels", h.cupsBytesPerLine, h.cupsWidth);
    return false;
  }
  const auto most_rows = static_cast<unsigned>(kMaxLabelMm * state.model->dpi / 25.4);
  if (h.cupsHeight > most_rows)
  {
    snprintf(reason, size, "it is %u rows long; the longest label is 1 m, %u rows", h.cupsHeight, most_rows);
    return false;
  }
  state.width  = std::min(h.cupsWidth, state.model->head_dots);
  state.height = std::min(h.cupsHeight, rows_given);
  state.packed = one_bit;
  state.invert = one_bit ? space != kSpaceK : space == kSpaceK;
  return true;
}

//
// 'page_header()' - The page's own header, or null when it was not seen.
//
// PAPPL renders pictures into the header it made for the job.  Raster pages
// are the client's: PAPPL passes their header on only when the page is
// 8-bit, so it is taken from what this thread read last (see
// workarounds/raster_page_headers.cpp), which is this page's header both for a client's stream
// and for a raster file.
//

const cups_page_header2_t *
page_header(pappl_job_t              *job,      // I - Job
            const pappl_pr_options_t &options)  // I - Options of the page
{
  const char *format = papplJobGetFormat(job);

  if (!format || (strcmp(format, "image/pwg-raster") != 0 && strcmp(format, "image/urf") != 0))
    return &options.header;
  return last_page_header();
}

//
// 'note_cuts()' - Tell the job log what part of the page is not printed.
//

void
note_cuts(pappl_job_t               *job,    // I - Job
          const cups_page_header2_t &h,      // I - The page's own header
          const JobState            &state,  // I - Job state, the page laid out
          unsigned                   page)   // I - Page number (from 1)
{
  if (h.cupsWidth > state.width)
    papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                "Page %u is %u dots wide; the print head has %u, the rest of each row is cut off.",
                page, h.cupsWidth, state.width);
  if (h.cupsHeight > state.height)
    papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                "Page %u is %u rows long; the job's media has %u, the rest is cut off.",
                page, h.cupsHeight, state.height);
}

//
// 'rstartpage()' - Check a page and start it in the core.
//

bool
rstartpage(pappl_job_t        *job,      // I - Job
           pappl_pr_options_t *options,  // I - Print options, header of this page
           pappl_device_t     *device,   // I - Device (unused)
           unsigned            page)     // I - Page number (from 1)
{
  (void)device;

  auto                      *state = static_cast<JobState *>(papplJobGetData(job));
  const cups_page_header2_t *h     = page_header(job, *options);
  char                       reason[256];

  if (!state)
    return refuse_page(job, page, "the job was not started");
  if (!h)
    return refuse_page(job, page, "its raster page header was not seen");
  if (!page_layout(*h, options->header.cupsHeight, *state, reason, sizeof(reason)))
    return refuse_page(job, page, reason);

  // The core checks the page by the printer data it makes, the same for a
  // 1-bit page as for a gray page of its size.
  const PageHeader gray{state->width, state->height, kGrayBitsPerPixel, state->width};
  if (!check_page(gray, reason, sizeof(reason)))
    return refuse_page(job, page, reason);
  note_cuts(job, *h, *state, page);

  state->row.clear();
  if (state->invert)
  {
    try
    {
      state->row.resize(state->packed ? packed_row_bytes(state->width) : state->width);
    }
    catch (const std::bad_alloc &)
    {
      return refuse_page(job, page, "no memory for a row");
    }
  }
  if (!page_begin(state->page, state->width, state->height, state->settings, state->messages))
    return refuse_page(job, page, "no memory for the page");
  state->page_open = true;
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Page %u: %u x %u dots%s.", page, state->width, state->height,
              state->packed ? ", 1-bit, dot for dot" : "");
  return true;
}

//
// 'rwriteline()' - Hand one row of the page to the core.
//

bool
rwriteline(pappl_job_t         *job,      // I - Job
           pappl_pr_options_t  *options,  // I - Print options (unused)
           pappl_device_t      *device,   // I - Device (unused)
           unsigned             y,        // I - Row number
           const unsigned char *line)     // I - The row as the client sent it
{
  (void)options;
  (void)device;

  auto *state = static_cast<JobState *>(papplJobGetData(job));

  if (!state || !state->page_open)
    return false;
  if (y >= state->height)
    return true;  // white rows PAPPL adds below a page shorter than the media

  if (state->packed)
  {
    // The row's first bytes are the page's dots; the core clears the bits
    // beyond the width.
    const std::span<const std::uint8_t> dots(line, packed_row_bytes(state->width));
    if (!state->invert)
      return page_packed_row(state->page, dots);
    std::transform(dots.begin(), dots.end(), state->row.begin(),
                   [](std::uint8_t b) { return static_cast<std::uint8_t>(~b); });
    return page_packed_row(state->page, state->row);
  }

  const std::uint8_t *row = line;

  if (state->invert)
  {
    for (std::size_t i = 0; i < state->width; i++)
      state->row[i] = static_cast<std::uint8_t>(255 - line[i]);
    row = state->row.data();
  }
  return !page_gray_row(state->page, std::span(row, state->width)).empty();
}

//
// 'device_lock()' - The lock of a printer's device output.
//
// PAPPL 1.3 can have two jobs of one printer under way at once (a client's
// raster stream starting just as a queued job does); each frame goes to the
// device whole, never interleaved with another job's.
//

std::mutex &
device_lock(pappl_printer_t *printer)  // I - Printer
{
  static std::mutex                                   guard;  // guards locks
  static std::map<pappl_printer_t *, std::mutex>      locks;  // one per printer
  const std::lock_guard<std::mutex>                   hold(guard);

  return locks[printer];
}

//
// 'rendpage()' - Finish the page and send its frame to the device.
//

bool
rendpage(pappl_job_t        *job,      // I - Job
         pappl_pr_options_t *options,  // I - Print options (unused)
         pappl_device_t     *device,   // I - Device
         unsigned            page)     // I - Page number (from 1)
{
  (void)options;

  auto *state = static_cast<JobState *>(papplJobGetData(job));

  if (!state || !state->page_open)
    return false;
  state->page_open = false;

  const PageFrame frame = page_end(state->page, state->messages);
  if (frame.size == 0)
    return refuse_page(job, page, "its rows did not all arrive");

  const std::lock_guard<std::mutex> hold(device_lock(papplJobGetPrinter(job)));
  if (papplDeviceWrite(device, frame.bytes.get(), frame.size) < 0)
    return refuse_page(job, page, "the printer did not take the data");
  papplDeviceFlush(device);
  state->pages_printed++;
  return true;
}

//
// 'rendjob()' - End the job: flush the device, release the job state.
//

bool
rendjob(pappl_job_t        *job,      // I - Job
        pappl_pr_options_t *options,  // I - Print options (unused)
        pappl_device_t     *device)   // I - Device
{
  (void)options;

  auto *state = static_cast<JobState *>(papplJobGetData(job));

  {
    const std::lock_guard<std::mutex> hold(device_lock(papplJobGetPrinter(job)));
    papplDeviceFlush(device);
  }
  if (state)
  {
    if (state->page_open)
      page_abandon(state->page);
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "%u page(s) sent to the printer.", state->pages_printed);
    papplJobSetData(job, nullptr);
    delete state;
  }
  return true;
}

//
// 'add_printer_facts()' - Printer attributes PAPPL does not set itself: the
// label roll as the one supply (its level is not known), and the back side
// of a one-sided printer's raster pages (never printed, so as sent).
//

void
add_printer_facts(ipp_t *attrs)  // IO - Extra printer attributes
{
  static const char kRoll[] =
      "index=1;class=supplyThatIsConsumed;type=other;unit=percent;maxcapacity=100;level=-2;colorantname=unknown;";

  ippAddOctetString(attrs, IPP_TAG_PRINTER, "printer-supply", kRoll, sizeof(kRoll) - 1);
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-supply-description", nullptr, "Label roll");
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-sheet-back", nullptr, "normal");
}

//
// 'print_pages()' - Print every page of an open raster stream through the
// raster callbacks; false when a page could not be printed.
//

bool
print_pages(pappl_job_t        *job,      // I - Job
            pappl_pr_options_t *options,  // I - Print options
            pappl_device_t     *device,   // I - Device
            cups_raster_t      *ras)      // I - Raster stream
{
  cups_page_header2_t        header;
  std::vector<unsigned char> line;
  unsigned                   page = 0;

  while (cupsRasterReadHeader2(ras, &header))
  {
    options->header = header;
    if (!rstartpage(job, options, device, ++page))
      return false;
    try
    {
      line.resize(header.cupsBytesPerLine);
    }
    catch (const std::bad_alloc &)
    {
      return refuse_page(job, page, "no memory for a row");
    }
    for (unsigned y = 0; y < header.cupsHeight; y++)
    {
      if (cupsRasterReadPixels(ras, line.data(), header.cupsBytesPerLine) != header.cupsBytesPerLine ||
          !rwriteline(job, options, device, y, line.data()))
        return refuse_page(job, page, "its rows did not all arrive");
    }
    if (!rendpage(job, options, device, page))
      return false;
    papplJobSetImpressionsCompleted(job, 1);
  }
  if (page == 0)
  {
    job_error(job, "The raster document has no page that can be read.");
    return false;
  }
  return true;
}

//
// 'print_raster_file()' - PAPPL's filter for PWG and Apple raster files
// (the test label, which PAPPL prints from a file): read the pages with
// libcups's raster reader and print them through the raster callbacks.
// PAPPL 1.3 reads raster from clients itself, but has no path for a raster
// file and crashes on one.
//

bool
print_raster_file(pappl_job_t    *job,     // I - Job
                  pappl_device_t *device,  // I - Device
                  void           *data)    // I - Callback data (unused)
{
  (void)data;

  const char *filename = papplJobGetFilename(job);
  const int   fd       = filename ? open(filename, O_RDONLY | O_CLOEXEC) : -1;

  if (fd < 0)
  {
    job_error(job, "The job's document cannot be opened.");
    return false;
  }

  cups_raster_t      *ras     = cupsRasterOpen(fd, CUPS_RASTER_READ);
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, false);
  bool                ok      = ras && options && rstartjob(job, options, device);

  if (ok)
  {
    ok = print_pages(job, options, device, ras);
    rendjob(job, options, device);
  }
  if (options)
    papplJobDeletePrintOptions(options);
  if (ras)
    cupsRasterClose(ras);
  close(fd);
  return ok;
}

} // namespace

//
// 'add_raster_filters()' - Let PAPPL print raster files through
// print_raster_file.
//

void
add_raster_filters(pappl_system_t *system)  // I - System
{
  papplSystemAddMIMEFilter(system, "image/pwg-raster", "image/pwg-raster", print_raster_file, nullptr);
  papplSystemAddMIMEFilter(system, "image/urf", "image/pwg-raster", print_raster_file, nullptr);
}

//
// 'explain_aborted_job()' - Give a job that PAPPL aborted without saying
// why (a raster stream it could not read, before any page reached the
// driver) a state message that does.
//

void
explain_aborted_job(pappl_job_t *job)  // I - Job that ended
{
  if (papplJobGetState(job) != IPP_JSTATE_ABORTED)
    return;

  const char *message = papplJobGetMessage(job);
  if (message && *message && strcmp(message, "Job aborted.") != 0)
    return;  // it has a reason already

  const pappl_jreason_t reasons = papplJobGetReasons(job);
  const char           *why;

  if (reasons & PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR)
    why = "The document cannot be printed: an image too large to read, or raster in colour or "
          "with more than 8 bits per pixel (the printer prints 1-bit and 8-bit gray).";
  else if (reasons & PAPPL_JREASON_DOCUMENT_FORMAT_ERROR)
    why = "The document's raster page header is damaged or not 1-bit or 8-bit gray (bits per "
          "pixel, size and bytes per line must agree).";
  else
    why = "The document could not be read: its raster stream is damaged or cut short, or has a "
          "page without rows.";
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why);
  papplJobSetMessage(job, "%s", why);
}

//
// 'find_model()' - The model of a driver name, or null.
//

const Model *
find_model(const char *driver)  // I - Driver name
{
  for (const Model &model : kModels)
  {
    if (driver && !strcmp(driver, model.driver))
      return &model;
  }
  return nullptr;
}

//
// 'driver_callback()' - Describe a model to PAPPL: resolution, raster
// types, media, options and the raster callbacks.
//

bool
driver_callback(pappl_system_t         *system,       // I - System
                const char             *driver_name,  // I - Driver name
                const char             *device_uri,   // I - Device URI (unused)
                const char             *device_id,    // I - IEEE-1284 device ID (unused)
                pappl_pr_driver_data_t *data,         // O - Driver data
                ipp_t                 **attrs,        // O - Extra printer attributes
                void                   *cbdata)       // I - Callback data (unused)
{
  (void)device_uri;
  (void)device_id;
  (void)cbdata;

  const Model *model = find_model(driver_name);

  if (!model)
  {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "No driver named \"%s\".", driver_name ? driver_name : "");
    return false;
  }

  data->rstartjob_cb  = rstartjob;
  data->rstartpage_cb = rstartpage;
  data->rwriteline_cb = rwriteline;
  data->rendpage_cb   = rendpage;
  data->rendjob_cb    = rendjob;
  data->testpage_cb   = test_page;
  set_picture_format(*data);  // PNG pictures through the app's reader
  snprintf(data->make_and_model, sizeof(data->make_and_model), "%s", model->description);
  data->ppm  = 10;
  data->kind = static_cast<pappl_kind_t>(PAPPL_KIND_LABEL | PAPPL_KIND_ROLL);

  // 8-bit gray raster, halftoned by the core, and 1-bit raster, printed dot
  // for dot.  Nothing is forced, so PAPPL renders pictures as 8-bit gray.
  data->color_supported   = static_cast<pappl_color_mode_t>(PAPPL_COLOR_MODE_BI_LEVEL | PAPPL_COLOR_MODE_MONOCHROME);
  data->color_default     = PAPPL_COLOR_MODE_MONOCHROME;
  data->raster_types      = static_cast<pappl_raster_type_t>(PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_SGRAY_8);
  data->force_raster_type = PAPPL_PWG_RASTER_TYPE_NONE;
  data->content_default   = PAPPL_CONTENT_AUTO;
  data->quality_default   = IPP_QUALITY_NORMAL;
  data->scaling_default   = PAPPL_SCALING_AUTO;
  data->orient_default    = IPP_ORIENT_PORTRAIT;  // pictures are placed as drawn, not turned to fit
  data->duplex            = PAPPL_DUPLEX_NONE;
  data->sides_supported   = PAPPL_SIDES_ONE_SIDED;
  data->sides_default     = PAPPL_SIDES_ONE_SIDED;

  data->num_resolution  = 1;
  data->x_resolution[0] = data->y_resolution[0] = model->dpi;
  data->x_default = data->y_default = model->dpi;

  *attrs = ippNew();
  set_media(*model, *data);
  set_options(*data, *attrs);
  set_icons(*data);
  add_printer_facts(*attrs);
  return true;
}

} // namespace pelna_app
