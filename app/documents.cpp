// SPDX-License-Identifier: Apache-2.0
//
// Documents as the job thread meets them, every one from its spool file:
//
//   - PWG and Apple raster (also CUPS raster): pages read, each under its
//     own page header, through the drivers' raster callbacks; PWG raster by
//     the app's own reader (pwg_reader.cpp), which ends the job at a page
//     header PWG raster does not define, naming the page, and the others
//     by libcups's;
//   - PNG and JPEG pictures: picture_job.cpp;
//   - PDF: pdf_job.cpp;
//   - a document in the drivers' own format (the type of a document sent
//     without one that PAPPL could not tell either): read as raster when it
//     is raster, otherwise ended with the reason.
//

#include "app.h"
#include "pwg_reader.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace pelna_app {

namespace {

// The first bytes of a raster stream: CUPS raster 1, 2 and 3 and PWG
// raster in either byte order, and Apple raster.
constexpr const char *kRasterSyncs[] = {"RaSt", "tSaR", "RaS2", "2SaR", "RaS3", "3SaR"};
constexpr char        kAppleSync[]   = "UNIRAST";  // with its NUL, 8 bytes

//
// 'is_raster()' - Whether a file starts as a raster stream.
//

bool
is_raster(const char *filename)  // I - File
{
  char      start[8] = {};
  const int fd       = open(filename, O_RDONLY | O_CLOEXEC);

  if (fd < 0)
    return false;

  const ssize_t n = read(fd, start, sizeof(start));
  close(fd);
  if (n == static_cast<ssize_t>(sizeof(start)) && !memcmp(start, kAppleSync, sizeof(kAppleSync)))
    return true;
  for (const char *sync : kRasterSyncs)
  {
    if (n >= 4 && !memcmp(start, sync, 4))
      return true;
  }
  return false;
}

//
// A raster stream as print_pages reads it: PWG raster by the app's own
// reader, anything else (Apple raster, CUPS raster) by libcups's.
//

struct RasterStream
{
  PwgReader      pwg;              // the app's reader
  bool           is_pwg = false;   // the stream is PWG raster, read by pwg
  cups_raster_t *cups   = nullptr; // libcups's reader, for any other
};

//
// 'next_header()' - The next page's header; false at the end or when the
// stream is damaged.
//

bool
next_header(RasterStream        &stream,  // IO - Stream
            cups_page_header2_t &header)  // O - Page header
{
  return stream.is_pwg ? pwg_next_page(stream.pwg, header) : cupsRasterReadHeader2(stream.cups, &header) != 0;
}

//
// 'next_row()' - The next row of the page; false when it did not arrive.
//

bool
next_row(RasterStream              &stream,  // IO - Stream
         std::vector<unsigned char> &line,   // O - The row
         unsigned                    bytes)  // I - Its bytes
{
  return stream.is_pwg ? pwg_read_row(stream.pwg, line) : cupsRasterReadPixels(stream.cups, line.data(), bytes) == bytes;
}

//
// 'print_pages()' - Print every page of an open raster stream through the
// raster callbacks; false when a page could not be printed.
//

bool
print_pages(pappl_job_t                  *job,      // I - Job
            pappl_pr_options_t           *options,  // I - Print options
            pappl_device_t               *device,   // I - Device
            const pappl_pr_driver_data_t &driver,   // I - The driver's callbacks
            RasterStream                 &stream)   // IO - Raster stream
{
  cups_page_header2_t        header;
  std::vector<unsigned char> line;
  unsigned                   page = 0;
  char                       message[160];

  while (!papplJobIsCanceled(job) && next_header(stream, header))
  {
    options->header = header;
    if (!driver.rstartpage_cb(job, options, device, ++page))
      return false;
    try
    {
      line.resize(header.cupsBytesPerLine);
    }
    catch (const std::bad_alloc &)
    {
      job_error(job, "The page cannot be printed: there is no memory for a row.");
      return false;
    }
    for (unsigned y = 0; y < header.cupsHeight; y++)
    {
      if (!next_row(stream, line, header.cupsBytesPerLine) || !driver.rwriteline_cb(job, options, device, y, line.data()))
      {
        snprintf(message, sizeof(message), "Page %u cannot be printed: its rows did not all arrive.", page);
        job_error(job, message);
        return false;
      }
    }
    if (!driver.rendpage_cb(job, options, device, page))
      return false;
  }
  if (papplJobIsCanceled(job))
    return true;
  if (stream.is_pwg && stream.pwg.refused)
  {
    job_error(job, stream.pwg.reason);  // a header PWG raster does not define, the page named
    return false;
  }
  if (page == 0)
  {
    job_error(job, "The raster document has no page that can be read: its stream is cut short, or its first "
                   "page header is damaged (a page without rows, say).");
    return false;
  }
  if (stream.is_pwg && stream.pwg.damaged)
  {
    snprintf(message, sizeof(message), "The raster document is damaged after page %u: the pages after it are "
             "not printed.", page);
    job_error(job, message);
    return false;
  }
  return true;
}

//
// 'print_raster()' - Print the job's raster file through the raster
// callbacks.
//

bool
print_raster(pappl_job_t    *job,     // I - Job
             pappl_device_t *device)  // I - Device
{
  const char *filename = papplJobGetFilename(job);
  const int   fd       = filename ? open(filename, O_RDONLY | O_CLOEXEC) : -1;

  if (fd < 0)
  {
    job_error(job, "The job's document cannot be opened.");
    return false;
  }

  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);

  RasterStream stream;
  stream.is_pwg = pwg_open(stream.pwg, fd);
  if (!stream.is_pwg)
    stream.cups = cupsRasterOpen(fd, CUPS_RASTER_READ);

  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, false);
  bool                ok      = (stream.is_pwg || stream.cups) && options && driver.rstartjob_cb(job, options, device);

  if (ok)
  {
    ok = print_pages(job, options, device, driver, stream);
    ok = driver.rendjob_cb(job, options, device) && ok;
  }
  else if ((!stream.is_pwg && !stream.cups) || !options)
    job_error(job, "The raster document cannot be read: no memory.");
  if (options)
    papplJobDeletePrintOptions(options);
  if (stream.cups)
    cupsRasterClose(stream.cups);
  close(fd);
  return ok;
}

//
// 'print_raster_file()' - PAPPL's filter for PWG and Apple raster files.
//

bool
print_raster_file(pappl_job_t    *job,     // I - Job
                  pappl_device_t *device,  // I - Device
                  void           *data)    // I - Callback data (unused)
{
  (void)data;
  return print_raster(job, device);
}

//
// 'print_document()' - The drivers' print-file callback, for documents in
// their own format: raster, or refused.
//

bool
print_document(pappl_job_t        *job,      // I - Job
               pappl_pr_options_t *options,  // I - Print options (unused)
               pappl_device_t     *device)   // I - Device
{
  (void)options;

  const char      *filename = papplJobGetFilename(job);
  ipp_attribute_t *supplied = papplJobGetAttribute(job, "document-format-supplied");
  const char      *format   = supplied ? ippGetString(supplied, 0, nullptr) : nullptr;

  if (filename && is_raster(filename))
    return print_raster(job, device);
  if (format && (!strcmp(format, "image/pwg-raster") || !strcmp(format, "image/urf")))
    job_error(job, "The raster document cannot be read: it does not start as a PWG, Apple or CUPS raster stream.");
  else
    job_error(job, "The document is of no type the printer reads (PWG raster, Apple raster, PNG, JPEG or PDF).");
  return false;
}

} // namespace

//
// 'add_document_filters()' - Let PAPPL print raster files, pictures and PDF
// through the app.
//

void
add_document_filters(pappl_system_t *system)  // I - System
{
  // To the drivers' format: PAPPL looks for those filters before its own
  // (raster to raster).
  papplSystemAddMIMEFilter(system, "image/pwg-raster", kDriverFormat, print_raster_file, nullptr);
  papplSystemAddMIMEFilter(system, "image/urf", kDriverFormat, print_raster_file, nullptr);
  add_picture_filters(system);
  add_pdf_filter(system);
}

//
// 'set_document_format()' - Give a driver its own format, which raster from
// clients is spooled as and the picture filters lead to, and the print-file
// callback for it.
//

void
set_document_format(pappl_pr_driver_data_t &data)  // IO - Driver data
{
  data.format       = kDriverFormat;
  data.printfile_cb = print_document;
}

} // namespace pelna_app
