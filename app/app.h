// SPDX-License-Identifier: Apache-2.0
//
// pelna-printer-app: an IPP Printer Application for Pelna label printers on
// PAPPL.  Pixels and printer data go through the shared core; this side
// speaks PAPPL: drivers, documents, devices, the job flow and its state,
// media, options and the test page.  Each section below names its file.
//

#ifndef PELNA_APP_H
#define PELNA_APP_H

#include <pappl/pappl.h>

#include "page_pipeline.h"
#include "placement.h"
#include "settings.h"
#include "state_file.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace pelna_app {

// Program name: PAPPL names the state file, spool folder and socket after it.
constexpr const char *kAppName = "pelna-printer-app";

// Version shown by PAPPL's pages and --version: the project's one version
// number, from the build.
constexpr const char *kAppVersion = PELNA_VERSION;

// The drivers' own document format: the document filters lead to it.  PAPPL
// already lists it as supported, so nothing new is offered to clients.
constexpr const char *kDriverFormat = "application/octet-stream";

// Footer of PAPPL's web pages (PAPPL 1.3 needs one on every page).
constexpr const char *kFooterHtml =
    "pelna-printer-app " PELNA_VERSION " &middot; Pelna label printers";

//
// drivers.cpp: the printer models and the driver callback.
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

// The driver list handed to PAPPL.
extern pappl_pr_driver_t kDrivers[2];

// The model of a driver name, or null.
[[nodiscard]] const Model *find_model(const char *driver);

// Rows of the longest label a model prints (1 m); a longer page is refused.
[[nodiscard]] std::uint32_t longest_label_rows(const Model &model);

// Describe a model to PAPPL: resolution, raster types, media, options and
// callbacks.
bool driver_callback(pappl_system_t *system, const char *driver_name, const char *device_uri,
                     const char *device_id, pappl_pr_driver_data_t *data, ipp_t **attrs, void *cbdata);

//
// frame_store.cpp: a job's printer data, held until the device takes it.
//

struct FrameStore
{
  std::vector<std::uint8_t> memory;          // the first frames, back to back
  int                       file       = -1; // the rest, in an unlinked temporary file
  std::uint64_t             file_bytes = 0;  // bytes in the file
};

// Add one frame; false with errno set when there is no room for it.
[[nodiscard]] bool frames_append(FrameStore &store, std::span<const std::uint8_t> frame);

// Bytes of printer data held.
[[nodiscard]] std::uint64_t frames_size(const FrameStore &store);

// The data from an offset on, a piece at a time (a view into memory or into
// buffer); empty at the end or when it cannot be read (errno set).
[[nodiscard]] std::span<const std::uint8_t> frames_at(const FrameStore &store, std::uint64_t offset,
                                                      std::vector<std::uint8_t> &buffer);

// Drop the held data.
void frames_clear(FrameStore &store);

//
// printing.cpp: the raster callbacks, over the core.
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
  std::uint32_t         height    = 0;        // rows printed
  std::vector<std::uint8_t> row;              // one converted row, width bytes at most
  FrameStore            frames;               // the job's printer data so far
  unsigned              pages_held = 0;       // frames in it
  int                   copies     = 1;       // copies of the whole document
  std::uint64_t         last_frame_at   = 0;  // where the last frame held starts in frames
  std::size_t           last_frame_size = 0;  // its bytes (0: none held)
  unsigned              last_page       = 0;  // its page number
};

// Give a driver the raster callbacks.
void set_raster_callbacks(pappl_pr_driver_data_t &data);

// Log an error and make it the job's state message.
void job_error(pappl_job_t *job, const char *message);

//
// documents.cpp: documents from the spool file, by type.
//

// PAPPL filters for raster files and pictures.
void add_document_filters(pappl_system_t *system);

// Give a driver its own format and the print-file callback for it.
void set_document_format(pappl_pr_driver_data_t &data);

//
// delivery.cpp and socket_device.cpp: the job's data to the device.
//

// Send a job's printer data to its device, every copy whole; false when
// the device did not take it all.
[[nodiscard]] bool deliver_job(pappl_job_t *job, pappl_device_t *device, const FrameStore &frames, int copies);

// Use the app's socket device for socket:// URIs (before any device is used).
void add_socket_scheme();

// Whether a device is one of the app's socket devices.
[[nodiscard]] bool is_socket_device(pappl_device_t *device);

// Send to one of the app's socket devices until the printer has taken it.
[[nodiscard]] bool deliver_to_socket(pappl_job_t *job, pappl_device_t *device, const FrameStore &frames,
                                     int copies);

// A printer is being deleted: wait until its job thread stops touching it.
void stop_deliveries(pappl_printer_t *printer);

//
// last_label.cpp: a picture of the last label each printer took, for its
// web page, held in memory only.
//

struct LastLabel
{
  std::vector<std::uint8_t> png;            // the picture, a 1-bit PNG file; empty when none was made
  std::string               why;            // why there is no picture
  int                       job_id = 0;     // the job
  std::string               job_name;       // its name
  unsigned                  page   = 0;     // the label's page number in the job
  std::time_t               taken  = 0;     // when the printer had taken the job
  std::uint32_t             width  = 0;     // the label's dots across
  std::uint32_t             height = 0;     // its rows
  unsigned                  scale  = 1;     // dots per picture pixel, each way
  std::uint32_t             picture_width  = 0;  // the picture's pixels across
  std::uint32_t             picture_height = 0;  // its rows
  std::vector<std::uint8_t> frame;          // the label's frame, until its picture is drawn
                                            // (the first time it is asked for)
  std::uint64_t             max_stream = 0; // the longest command stream its printer takes
};

// A new printer: it has printed no label yet.
void open_last_label(pappl_printer_t *printer);

// A printer is being deleted: drop its picture.
void forget_last_label(pappl_printer_t *printer);

// The printer has taken a job: keep its last page's frame, from which its
// picture is drawn when first asked for, in place of the printer's last
// label.
void keep_last_label(pappl_job_t *job, const JobState &state);

// A printer's last label, its picture drawn, or null when it has printed
// none.
[[nodiscard]] std::shared_ptr<const LastLabel> last_label(pappl_printer_t *printer);

//
// server_lock.cpp: one server per state file.
//

// Hold the state's lock for the life of the process; false, with the
// reason, when another server holds it.
[[nodiscard]] bool lock_state(const std::string &state, std::string &why);

//
// state.cpp: the state file.
//

// Where the state file is.
[[nodiscard]] std::string state_path();

// Load the state file (or its last good copy) before the system runs, and
// have PAPPL save through the app.
void load_state(pappl_system_t *system, const std::string &spool);

// Save the state now; false when it failed.
bool save_state(pappl_system_t *system);

// Save a change before its reply goes out.
void save_before_reply(pappl_client_t *client, void *data);

// Note what became of a job on its way to the printer, at once.
void note_job(pappl_job_t *job, JobEvent event);

//
// Pictures read as 8-bit gray (picture_read.cpp, png_reader.cpp,
// jpeg_reader.cpp) and printed (picture_job.cpp).
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

// Read a PNG file as gray over white paper, within the limits.
[[nodiscard]] PictureFault read_png(std::FILE *fp, const PictureLimits &limits, GrayPicture &out,
                                    char *reason, std::size_t reason_size);

// Read a JPEG file (gray, colour or CMYK) as gray, within the limits.
[[nodiscard]] PictureFault read_jpeg(std::FILE *fp, const PictureLimits &limits, GrayPicture &out,
                                     char *reason, std::size_t reason_size);

// PAPPL filters for pictures (PNG, JPEG) to the drivers' format.
void add_picture_filters(pappl_system_t *system);

// pdf_job.cpp: the PAPPL filter for PDF documents.
void add_pdf_filter(pappl_system_t *system);

//
// media.cpp: media sizes, the loaded roll and media tracking.
//

void set_media(const Model &model, pappl_pr_driver_data_t &data);

// The page mark a media-tracking value asks for.
[[nodiscard]] pelna::PageMark page_mark_for(pappl_media_tracking_t tracking);

//
// options.cpp: darkness, halftone and the vendor attribute of the default
// halftone method; the job's label.
//

void set_options(pappl_pr_driver_data_t &data, ipp_t *attrs);

// The blackness number of a darkness 0..100.
[[nodiscard]] int blackness_for_darkness(int darkness);

// The job's settings from its print options.
[[nodiscard]] pelna::JobSettings job_settings(const pappl_pr_options_t &options);

// The core's settings for one page: the job's, with the job's page
// overrides (the "overrides" attribute) that name the page.
[[nodiscard]] pelna::JobSettings page_settings(const pelna::JobSettings &job, const pappl_pr_options_t &options,
                                               ipp_attribute_t *overrides, unsigned page);

// The job's label in dots and how the job asks things to be placed on it.
[[nodiscard]] LabelArea job_label(pappl_job_t *job, const pappl_pr_options_t &options);

//
// testpage.cpp: the built-in test label for the printer; the file name,
// or null.
//

const char *test_page(pappl_printer_t *printer, char *buffer, std::size_t bufsize);

//
// autoadd.cpp: USB printers matched to their driver.
//

// The driver of a printer's IEEE 1284 device ID, or null when it is no
// printer of these drivers.
[[nodiscard]] const char *driver_for_device_id(const char *device_id);

// papplMainloop's auto-add callback (the driver of a device ID).
const char *autoadd_callback(const char *device_info, const char *device_uri, const char *device_id, void *data);

//
// icons.cpp and web_pages.cpp: the app's icon and its own web pages.
//

// The app's icon as PNG files, 48, 128 and 512 pixels square (empty when
// one could not be made).
[[nodiscard]] const std::array<std::vector<std::uint8_t>, 3> &app_icons();

// The app's icon as a driver's printer icons.
void set_icons(pappl_pr_driver_data_t &data);

// The texts of the vendor settings and the app's icon for the pages; from
// the system callback.
void add_web_pages(pappl_system_t *system);

// A printer's Supplies and Last Label pages, the picture, and their links.
void add_printer_pages(pappl_printer_t *printer, void *data);

//
// network.cpp: listeners, admin group and TLS credentials from the server's
// options; false, with the reason on stderr, when the server cannot start.
//

[[nodiscard]] bool setup_network(pappl_system_t *system, int num_options, cups_option_t *options,
                                 bool is_private);

//
// system.cpp: the system callback of papplMainloop.
//

// What papplMainloop creates a system for (its callbacks' data): only the
// server sub-command runs one; the drivers sub-command only lists its
// drivers.
enum class SystemRole
{
  Server,      // a server: locks the state, listens, loads the state
  DriverList,  // the drivers sub-command: the drivers, nothing else
};

// Create the system from the options, for a role (data: a SystemRole).
pappl_system_t *system_callback(int num_options, cups_option_t *options, void *data);

} // namespace pelna_app

#endif // PELNA_APP_H
