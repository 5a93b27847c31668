// SPDX-License-Identifier: Apache-2.0
//
// pelna-printer-app: an IPP Printer Application for Pelna label printers on
// PAPPL.  Pixels and printer data go through the shared core; this side
// only speaks PAPPL: drivers, media, options, job order, the test page.
//

#ifndef PELNA_APP_H
#define PELNA_APP_H

#include <pappl/pappl.h>

#include "page_pipeline.h"
#include "settings.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace pelna_app {

// Program name: PAPPL names the state file, spool folder and socket after it.
constexpr const char *kAppName = "pelna-printer-app";

// Version shown by PAPPL's pages and --version: the project's one version
// number, from the build.
constexpr const char *kAppVersion = PELNA_VERSION;

//
// One printer model: what the driver tells PAPPL about it.
//

struct Model
{
  const char   *driver;       // driver name ("pelna_203")
  const char   *description;  // make and model as the PPD names it
  int           dpi;          // resolution, the same across and down
  std::uint32_t head_dots;    // dots across the print head
  const char   *roll_max;     // largest custom size, as a PWG roll_max_ name
};

// The models, in the order of the driver list.
extern const Model kModels[2];

// The model of a driver name, or null.
[[nodiscard]] const Model *find_model(const char *driver);

// The driver list handed to papplMainloop.
extern pappl_pr_driver_t kDrivers[2];

//
// What one job needs between PAPPL's raster callbacks.
//

struct JobState
{
  const Model          *model = nullptr;      // the printer's model
  pelna::JobSettings    settings;             // halftone, blackness, page mark
  pelna::MessageSink    messages;             // the core's lines, to the job log
  pelna::PagePipeline   page;                 // the page under way
  bool                  page_open = false;    // page_begin succeeded, not yet ended
  bool                  invert    = false;    // rows are turned over: 8-bit black raster
                                              // (255 black) or 1-bit white raster (1 white)
  bool                  packed    = false;    // rows are 1-bit, printed dot for dot
  std::uint32_t         width     = 0;        // dots printed per row (cut to the head)
  std::uint32_t         height    = 0;        // rows printed (fewer than the page's when
                                              // PAPPL hands over fewer)
  std::vector<std::uint8_t> row;              // one converted row, width bytes at most
  unsigned              pages_printed = 0;    // frames written to the device
};

// drivers.cpp: the driver callback of papplMainloop.
bool driver_callback(pappl_system_t *system, const char *driver_name, const char *device_uri,
                     const char *device_id, pappl_pr_driver_data_t *data, ipp_t **attrs,
                     void *cbdata);

// drivers.cpp: PAPPL filters for raster files (the test label).
void add_raster_filters(pappl_system_t *system);

//
// A picture read as 8-bit gray (images.cpp).
//

struct PictureLimits
{
  std::size_t max_bytes  = 0;  // most bytes reading a picture may take
  int         max_width  = 0;  // widest picture, in pixels
  int         max_height = 0;  // highest picture, in pixels
};

struct GrayPicture
{
  pelna::MallocPtr<std::uint8_t[]> pixels;      // width x height, row after row, 0 black
  std::uint32_t                    width  = 0;  // pixels across
  std::uint32_t                    height = 0;  // rows
  int                              ppi    = 0;  // pixels per inch, 0 when not known
};

// Why a picture was not read.
enum class PictureFault
{
  None,      // read
  TooLarge,  // over the limits
  NoMemory,  // an allocation failed
  Damaged,   // not of its format, cut short, corrupt, of colours of no
             // known kind, or of pixels that are not square
};

// A reader of one picture format: None, or the fault with its reason.
using PictureReader = PictureFault (*)(std::FILE *fp, const PictureLimits &limits, GrayPicture &out,
                                       char *reason, std::size_t reason_size);

// images.cpp: read a PNG file as gray over white paper, within the limits;
// None, or the fault with its reason.
[[nodiscard]] PictureFault read_png(std::FILE *fp, const PictureLimits &limits, GrayPicture &out,
                                    char *reason, std::size_t reason_size);

// images.cpp: read a JPEG file (gray, colour or CMYK) as gray, within the
// limits; None, or the fault with its reason.
[[nodiscard]] PictureFault read_jpeg(std::FILE *fp, const PictureLimits &limits, GrayPicture &out,
                                     char *reason, std::size_t reason_size);

// images.cpp: PAPPL filters for pictures (PNG, JPEG), ahead of PAPPL's own.
void add_picture_filters(pappl_system_t *system);

// pdf_job.cpp: the PAPPL filter for PDF documents.
void add_pdf_filter(pappl_system_t *system);

// images.cpp: the driver format that puts the picture filters first, and
// its print-file callback.
void set_picture_format(pappl_pr_driver_data_t &data);

// workarounds/raster_page_headers.cpp: the raster page header this thread read last, or null.
[[nodiscard]] const cups_page_header2_t *last_page_header();

// drivers.cpp: a state message for a job PAPPL aborted without one.
void explain_aborted_job(pappl_job_t *job);

// media.cpp: media sizes, the loaded roll and media tracking of a model.
void set_media(const Model &model, pappl_pr_driver_data_t &data);

// media.cpp: the page mark a media-tracking value asks for.
[[nodiscard]] pelna::PageMark page_mark_for(pappl_media_tracking_t tracking);

// options.cpp: darkness, halftone and the vendor attribute of the default
// halftone method.
void set_options(pappl_pr_driver_data_t &data, ipp_t *attrs);

// options.cpp: the blackness number of a darkness 0..100.
[[nodiscard]] int blackness_for_darkness(int darkness);

// options.cpp: the job's settings from its print options.
[[nodiscard]] pelna::JobSettings job_settings(const pappl_pr_options_t &options);

// job_order.cpp: keep submission order on every printer of the system.
void start_job_order(pappl_system_t *system);

// job_order.cpp: whether a job has its place in line (may start).
[[nodiscard]] bool job_placed(pappl_printer_t *printer, int job_id);

// workarounds/job_start_gate.cpp: whether PAPPL's job threads are started one per printer
// at a time (PAPPL's job function was found).
[[nodiscard]] bool job_thread_gate_ready();

// workarounds/job_start_gate.cpp: forget a printer that is being deleted.
void forget_printer_threads(pappl_printer_t *printer);

// testpage.cpp: write the built-in test label for the printer; the file
// name, or null.
const char *test_page(pappl_printer_t *printer, char *buffer, std::size_t bufsize);

// system.cpp: end a job whose document is of no type the printer reads;
// always false.
bool refuse_unreadable_document(pappl_job_t *job);

// system.cpp: the system callback of papplMainloop.
pappl_system_t *system_callback(int num_options, cups_option_t *options, void *data);

// Footer of PAPPL's web pages (PAPPL 1.3 needs one on every page).
constexpr const char *kFooterHtml =
    "pelna-printer-app " PELNA_VERSION " &middot; Pelna label printers";

} // namespace pelna_app

#endif // PELNA_APP_H
