// SPDX-License-Identifier: Apache-2.0
//
// Fuzz target: arbitrary bytes as a raster job through the Printer
// Application's own driver callbacks and the core, without a network.
//
// A PAPPL system that never runs holds one paused printer of the 203 dpi
// model (so PAPPL itself never starts a job) whose device is an in-memory
// scheme, and one job (a raster file, as the app's own raster-file filter
// prints).  Each input is read as a PWG/CUPS raster stream and handed to
// the driver as PAPPL and that filter hand pages over: per page, print
// options carrying the page's header, rstartpage, rwriteline for every row
// that arrives, rendpage (also after a cut page, which it must refuse);
// rstartjob first and rendjob last.  Then:
//
//   - the device holds exactly one frame per page the driver accepted and
//     ended, nothing else: no byte for a refused or cut page;
//   - every frame is sound to pelna-inspect's decoder and is as wide as the
//     page (cut to the print head) and as long;
//   - rendjob leaves no job data behind;
//   - the printer's last label is the job's last page: as wide and as long,
//     its picture a PNG file of those dots scaled down by the smallest
//     whole factor that fits its longer side in 800 pixels;
//   - the app's own PWG raster reader (the one its raster filter uses)
//     hands over the same headers and rows as libcups's on every page
//     header PWG raster defines, for as long as both read; a header it
//     does not define (libcups reads more of them) the app's reader
//     refuses with a reason that names the page, and reads no further.
//
// Any breach aborts, which the fuzzer reports as a crash.
//

#include "app.h"
#include "pwg_reader.h"

#include "decoder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// At most this many pages of an input are fed (enough to cross pages).
constexpr int kMaxPages = 4;

// Longest row the harness reads: PAPPL would allocate a row of any length
// the header names; the driver never reads past the print head.
constexpr unsigned kMaxBytesPerLine = 1U << 20;

// Bytes the in-memory device received for the current input.
std::vector<std::uint8_t> g_device;

//
// 'fail()' - Report a broken property and abort.
//

[[noreturn]] void
fail(const char *what,  // I - The property
     int         page)  // I - Page number, or 0
{
  fprintf(stderr, "app_driver_fuzz: %s (page %d)\n", what, page);
  abort();
}

//
// The in-memory device scheme "fuzzmem": writes append to g_device.
//

bool
mem_open(pappl_device_t *, const char *, const char *)  // I - Device, URI, name (unused)
{
  return true;
}

void
mem_close(pappl_device_t *)  // I - Device (unused)
{
}

ssize_t
mem_read(pappl_device_t *, void *, size_t)  // I - Device, buffer, size (unused)
{
  return -1;
}

ssize_t
mem_write(pappl_device_t *, const void *buffer, size_t bytes)  // I - Device (unused), bytes
{
  const auto *p = static_cast<const std::uint8_t *>(buffer);
  g_device.insert(g_device.end(), p, p + bytes);
  return static_cast<ssize_t>(bytes);
}

pappl_preason_t
mem_status(pappl_device_t *)  // I - Device (unused)
{
  return PAPPL_PREASON_NONE;
}

//
// What stays for the whole run: the system, printer, job and callbacks.
//

struct Harness
{
  pappl_system_t        *system  = nullptr;  // never runs
  pappl_printer_t       *printer = nullptr;  // paused, 203 dpi model
  pappl_job_t           *job     = nullptr;  // the job every input prints as
  pappl_pr_driver_data_t data{};             // the driver's callbacks
  unsigned               head    = 0;        // dots across the print head
};

//
// 'make_harness()' - Create the system, printer and job once.
//

Harness
make_harness()
{
  Harness h;
  char    spool[] = "/tmp/app-driver-fuzz.XXXXXX";

  if (!mkdtemp(spool))
    fail("no spool folder", 0);
  h.system = papplSystemCreate(PAPPL_SOPTIONS_NONE, "app-driver-fuzz", 0, nullptr, spool, "/dev/null",
                               PAPPL_LOGLEVEL_FATAL, nullptr, false);
  if (!h.system)
    fail("no PAPPL system", 0);
  papplSystemSetPrinterDrivers(h.system, static_cast<int>(std::size(pelna_app::kDrivers)),
                               pelna_app::kDrivers, nullptr, nullptr, pelna_app::driver_callback, nullptr);
  papplDeviceAddScheme("fuzzmem", PAPPL_DEVTYPE_CUSTOM_LOCAL, nullptr, mem_open, mem_close, mem_read,
                       mem_write, mem_status, nullptr);
  h.printer = papplPrinterCreate(h.system, 0, "fuzz", "pelna_203", pelna_app::kDrivers[0].device_id,
                                 "fuzzmem:///");
  if (!h.printer)
    fail("no printer", 0);
  papplPrinterPause(h.printer);
  papplPrinterGetDriverData(h.printer, &h.data);
  pelna_app::open_last_label(h.printer);  // as the server's printer creation callback does
  h.head = pelna_app::find_model("pelna_203")->head_dots;

  // The job's document: any file; only its format matters to the driver.
  char  file[] = "/tmp/app-driver-fuzz-job.XXXXXX";
  const int fd = mkstemp(file);
  if (fd < 0)
    fail("no job file", 0);
  close(fd);
  h.job = papplJobCreateWithFile(h.printer, "fuzz", "image/pwg-raster", "fuzz", 0, nullptr, file);
  if (!h.job)
    fail("no job", 0);
  return h;
}

//
// A raster stream in memory, for cupsRasterOpenIO.
//

struct Cursor
{
  std::span<const std::uint8_t> bytes;  // the input
  std::size_t                   at = 0; // next byte
};

ssize_t
read_bytes(void          *ctx,     // IO - Cursor
           unsigned char *buffer,  // O  - Bytes read
           size_t         bytes)   // I  - Bytes wanted
{
  auto             *c = static_cast<Cursor *>(ctx);
  const std::size_t n = std::min(bytes, c->bytes.size() - c->at);

  memcpy(buffer, c->bytes.data() + c->at, n);
  c->at += n;
  return static_cast<ssize_t>(n);
}

//
// What the device should hold: one frame per page, its width and rows.
//

struct Expected
{
  int      page;    // page number
  unsigned width;   // dots across
  unsigned rows;    // rows
};

//
// 'feed_page()' - One page through the callbacks as PAPPL hands it over;
// false when the job stops (refused page, cut stream).
//

bool
feed_page(Harness                   &h,         // I  - Harness
          cups_raster_t             *ras,       // I  - The stream, after the page header
          const cups_page_header2_t &client,    // I  - The page's own header
          pappl_device_t            *device,    // I  - Device
          int                        page,      // I  - Page number
          std::vector<Expected>     &expected)  // IO - Pages printed
{
  if (client.cupsBytesPerLine > kMaxBytesPerLine)
    return false;

  // Fresh options for every page, with the page's own header.
  std::unique_ptr<pappl_pr_options_t, void (*)(pappl_pr_options_t *)> own(
      papplJobCreatePrintOptions(h.job, 0, false), papplJobDeletePrintOptions);
  pappl_pr_options_t *options = own.get();
  if (!options)
    fail("no print options", page);
  options->header = client;

  std::vector<unsigned char> line(std::max(client.cupsBytesPerLine, options->header.cupsBytesPerLine) + 1);
  if (!h.data.rstartpage_cb(h.job, options, device, static_cast<unsigned>(page)))
    return false;

  bool whole = true;
  for (unsigned y = 0; y < client.cupsHeight && whole; y++)
  {
    whole = client.cupsBytesPerLine != 0 &&
            cupsRasterReadPixels(ras, line.data(), client.cupsBytesPerLine) == client.cupsBytesPerLine &&
            h.data.rwriteline_cb(h.job, options, device, y, line.data());
  }
  const bool ended = h.data.rendpage_cb(h.job, options, device, static_cast<unsigned>(page));
  if (ended && !whole)
    fail("a page whose rows did not all arrive was ended as printed", page);
  if (ended)
    expected.push_back({page, std::min(options->header.cupsWidth, h.head), options->header.cupsHeight});
  return ended;
}

//
// 'check_device()' - The device holds exactly the expected frames, sound.
//

void
check_device(const std::vector<Expected> &expected)  // I - Pages printed
{
  if (expected.empty())
  {
    if (!g_device.empty())
      fail("bytes reached the device for a job without a printed page", 0);
    return;
  }

  const inspect::Result decoded = inspect::inspect_bytes(g_device, inspect::Options{});

  if (decoded.pages.size() != expected.size() || !decoded.faults.empty())
    fail("the device does not hold one frame per printed page", 0);
  for (std::size_t i = 0; i < expected.size(); i++)
  {
    const inspect::Page &p = decoded.pages[i];
    if (!p.sound)
      fail("a frame is not sound", expected[i].page);
    if (!p.has_width || p.width != expected[i].width || p.rows != expected[i].rows)
      fail("a frame's width or rows differ from its page", expected[i].page);
  }
}

//
// 'check_last_label()' - After a job that printed pages, the printer's last
// label is its last page, in a PNG picture of the size the scale gives.
//

void
check_last_label(const Harness &h, const std::vector<Expected> &expected)  // I - Harness, pages printed
{
  constexpr unsigned kSide = 800;  // longest side of a picture
  const auto         label = pelna_app::last_label(h.printer);

  if (expected.empty())
    return;
  if (!label || label->png.size() < 24 || memcmp(label->png.data(), "\x89PNG\r\n\x1a\n", 8) != 0)
    fail("the job's last label has no picture", expected.back().page);
  const unsigned scale = (std::max(expected.back().width, expected.back().rows) + kSide - 1) / kSide;
  const auto     be32  = [&](std::size_t at) {
    return std::uint32_t{label->png[at]} << 24 | std::uint32_t{label->png[at + 1]} << 16 |
           std::uint32_t{label->png[at + 2]} << 8 | label->png[at + 3];
  };
  if (label->page != static_cast<unsigned>(expected.back().page) || label->width != expected.back().width ||
      label->height != expected.back().rows || label->scale != scale ||
      be32(16) != (label->width + scale - 1) / scale || be32(20) != (label->height + scale - 1) / scale)
    fail("the last label is not the job's last page at its scale", expected.back().page);
}

//
// 'check_refusal()' - The app's PWG reader refused page N with a reason
// that names it, and stays refused.
//

void
check_refusal(pelna_app::PwgReader &reader,  // IO - Reader, refused
              int                   page)    // I  - The page it refused
{
  char lead[64];
  snprintf(lead, sizeof(lead), "Page %d cannot be printed: ", page);

  const std::size_t n = strlen(lead);
  if (reader.damaged || strncmp(reader.reason, lead, n) != 0 || strlen(reader.reason) <= n)
    fail("the app's PWG reader refused a page header without a reason naming the page", page);

  cups_page_header2_t header;
  if (pelna_app::pwg_next_page(reader, header))
    fail("the app's PWG reader read on after refusing a page header", page);
}

//
// 'compare_readers()' - The app's PWG reader and libcups's read the same
// headers and rows from an input, as far as both read, on page headers
// PWG raster defines; on any other the app's reader refuses.
//

void
compare_readers(std::span<const std::uint8_t> bytes)  // I - Input
{
  const int fd = memfd_create("pwg", 0);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    fail("no memory file", 0);

  pelna_app::PwgReader reader;
  Cursor               cursor{bytes};
  cups_raster_t       *ras = nullptr;
  if (pelna_app::pwg_open(reader, fd))
    ras = cupsRasterOpenIO(read_bytes, &cursor, CUPS_RASTER_READ);

  cups_page_header2_t        ours, theirs;
  std::vector<unsigned char> a, b;
  unsigned                   rows = 0;  // rows compared, bounded for time
  for (int page = 1; ras && page <= kMaxPages; page++)
  {
    if (!pelna_app::pwg_next_page(reader, ours))
    {
      if (reader.refused)
        check_refusal(reader, page);
      break;
    }
    if (!cupsRasterReadHeader2(ras, &theirs))
      break;
    if (memcmp(&ours, &theirs, sizeof(ours)))
      fail("the app's PWG reader read another page header than libcups", page);
    a.resize(ours.cupsBytesPerLine);
    b.resize(ours.cupsBytesPerLine);
    for (unsigned y = 0; y < ours.cupsHeight && rows < 20000; y++, rows++)
    {
      const bool got = pelna_app::pwg_read_row(reader, a);
      if (cupsRasterReadPixels(ras, b.data(), ours.cupsBytesPerLine) != ours.cupsBytesPerLine)
        break;
      if (!got || a != b)
        fail("the app's PWG reader read another row than libcups", page);
    }
  }
  if (ras)
    cupsRasterClose(ras);
  close(fd);
}

} // namespace

//
// 'LLVMFuzzerTestOneInput()' - Print one input as a raster job and check
// what reached the device.
//

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data,  // I - Input bytes
                       std::size_t         size)  // I - Input length
{
  static Harness h = make_harness();
  Cursor         cursor{std::span(data, size)};
  std::vector<Expected> expected;

  compare_readers(std::span(data, size));
  g_device.clear();
  pappl_device_t     *device  = papplDeviceOpen("fuzzmem:///", "fuzz", nullptr, nullptr);
  pappl_pr_options_t *options = papplJobCreatePrintOptions(h.job, 0, false);
  if (!device || !options)
    fail("no device or print options", 0);

  if (h.data.rstartjob_cb(h.job, options, device))
  {
    cups_raster_t      *ras = cupsRasterOpenIO(read_bytes, &cursor, CUPS_RASTER_READ);
    cups_page_header2_t client;

    for (int page = 1; ras && page <= kMaxPages && cupsRasterReadHeader2(ras, &client); page++)
    {
      if (!feed_page(h, ras, client, device, page, expected))
        break;
    }
    cupsRasterClose(ras);
    h.data.rendjob_cb(h.job, options, device);
    if (papplJobGetData(h.job))
      fail("rendjob left job data behind", 0);
  }
  papplJobDeletePrintOptions(options);
  papplDeviceClose(device);
  check_device(expected);
  check_last_label(h, expected);
  return 0;
}
