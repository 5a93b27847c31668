// SPDX-License-Identifier: Apache-2.0
//
// The raster callbacks of both drivers: every document type ends here,
// page by page.  The core halftones 8-bit gray rows one by one and takes
// 1-bit rows dot for dot; each page's frame is held with the job's printer
// data, and when the job ends the data goes to the device, every copy,
// whole (delivery: deliver_job).  Rows wider than the print head are cut
// to it; no page is scaled.
//

#include "app.h"

#include "page_check.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

using namespace pelna;

namespace pelna_app {

namespace {

// Raster colour spaces of gray pages (CUPS numbering).
constexpr unsigned kSpaceW  = 0;   // luminance: 0 black, 255 or 1 white
constexpr unsigned kSpaceK  = 3;   // black: 255 or 1 black
constexpr unsigned kSpaceSW = 18;  // sRGB luminance: 0 black

// Most copies of a job (as copies-supported says).
constexpr int kMaxCopies = 999;

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
// 'job_copies()' - The copies a job asks for, 1 to kMaxCopies.
//

int
job_copies(pappl_job_t *job)  // I - Job
{
  ipp_attribute_t *attr = papplJobGetAttribute(job, "copies");

  return attr ? std::clamp(ippGetInteger(attr, 0), 1, kMaxCopies) : 1;
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
page_layout(const cups_page_header2_t &h,      // I - The page's header
            JobState                  &state,  // IO - Job state
            char                      *reason, // O - Why not
            std::size_t                size)   // I - Size of reason
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
  const std::uint32_t most_rows = longest_label_rows(*state.model);
  if (h.cupsHeight > most_rows)
  {
    snprintf(reason, size, "it is %u rows long; the longest label is 1 m, %u rows", h.cupsHeight, most_rows);
    return false;
  }
  state.width  = std::min(h.cupsWidth, state.model->head_dots);
  state.height = h.cupsHeight;
  state.packed = one_bit;
  state.invert = one_bit ? space != kSpaceK : space == kSpaceK;
  return true;
}

//
// 'rstartjob()' - Start a job: its settings from the print options, its
// copies from the job.
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
  state->copies   = job_copies(job);
  papplJobSetData(job, state);
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Halftone %s, blackness %d, page mark %d, %d cop%s.",
              state->settings.halftone == Halftone::Threshold ? "threshold" : "error diffusion",
              state->settings.blackness, static_cast<int>(state->settings.page_mark), state->copies,
              state->copies == 1 ? "y" : "ies");
  return true;
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

  auto *state = static_cast<JobState *>(papplJobGetData(job));
  char  reason[256];

  if (!state)
    return refuse_page(job, page, "the job was not started");
  if (!page_layout(options->header, *state, reason, sizeof(reason)))
    return refuse_page(job, page, reason);

  // The core checks the page by the printer data it makes, the same for a
  // 1-bit page as for a gray page of its size.
  const PageHeader gray{state->width, state->height, kGrayBitsPerPixel, state->width};
  if (!check_page(gray, reason, sizeof(reason)))
    return refuse_page(job, page, reason);
  if (options->header.cupsWidth > state->width)
    papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                "Page %u is %u dots wide; the print head has %u, the rest of each row is cut off.", page,
                options->header.cupsWidth, state->width);

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
  const JobSettings settings = page_settings(state->settings, *options, papplJobGetAttribute(job, "overrides"), page);
  if (!page_begin(state->page, state->width, state->height, settings, state->messages))
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
    return true;  // rows below the page (none are expected)

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
// 'rendpage()' - Finish the page and hold its frame with the job's data.
//

bool
rendpage(pappl_job_t        *job,      // I - Job
         pappl_pr_options_t *options,  // I - Print options (unused)
         pappl_device_t     *device,   // I - Device (unused)
         unsigned            page)     // I - Page number (from 1)
{
  (void)options;
  (void)device;

  auto *state = static_cast<JobState *>(papplJobGetData(job));

  if (!state || !state->page_open)
    return false;
  state->page_open = false;

  const PageFrame     frame = page_end(state->page, state->messages);
  const std::uint64_t at    = frames_size(state->frames);
  if (frame.size == 0)
    return refuse_page(job, page, "its rows did not all arrive");
  if (!frames_append(state->frames, std::span(frame.bytes.get(), frame.size)))
  {
    char reason[160];
    snprintf(reason, sizeof(reason), "there is no room for its printer data (%s)", strerror(errno));
    return refuse_page(job, page, reason);
  }
  state->pages_held++;
  state->last_frame_at   = at;  // for the picture of the last label (keep_last_label)
  state->last_frame_size = frame.size;
  state->last_page       = page;
  return true;
}

//
// 'rendjob()' - End the job: send its printer data to the device, every
// copy, keep a picture of its last label once the printer has taken it,
// then release the job state.  False when the device did not take it (the
// job was cancelled, or the data could not be sent).
//

bool
rendjob(pappl_job_t        *job,      // I - Job
        pappl_pr_options_t *options,  // I - Print options (unused)
        pappl_device_t     *device)   // I - Device
{
  (void)options;

  std::unique_ptr<JobState> state(static_cast<JobState *>(papplJobGetData(job)));

  if (!state)
    return true;  // ended already (PAPPL ends a picture job twice when it fails)
  papplJobSetData(job, nullptr);
  if (state->page_open)
    page_abandon(state->page);
  if (state->pages_held == 0)
    return true;

  // A page counts as printed once the printer has taken it, every copy.
  const bool sent = deliver_job(job, device, state->frames, state->copies);
  if (sent)
  {
    papplJobSetImpressions(job, static_cast<int>(state->pages_held) * state->copies);
    papplJobSetImpressionsCompleted(job, static_cast<int>(state->pages_held) * state->copies);
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "%u page(s) sent to the printer, %d cop%s.", state->pages_held,
                state->copies, state->copies == 1 ? "y" : "ies");
    keep_last_label(job, *state);
  }
  frames_clear(state->frames);
  return sent;
}

} // namespace

//
// 'job_error()' - Log an error and make it the job's state message.
//

void
job_error(pappl_job_t *job,      // I - Job
          const char  *message)  // I - What went wrong
{
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
  papplJobSetMessage(job, "%s", message);
}

//
// 'set_raster_callbacks()' - Give a driver the raster callbacks.
//

void
set_raster_callbacks(pappl_pr_driver_data_t &data)  // IO - Driver data
{
  data.rstartjob_cb  = rstartjob;
  data.rstartpage_cb = rstartpage;
  data.rwriteline_cb = rwriteline;
  data.rendpage_cb   = rendpage;
  data.rendjob_cb    = rendjob;
}

} // namespace pelna_app
