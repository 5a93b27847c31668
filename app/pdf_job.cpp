// SPDX-License-Identifier: Apache-2.0
//
// PDF documents printed by the app itself: PAPPL's filter from
// application/pdf to the drivers' format.  The job's label (its size at
// the printer's resolution, from the job's print options), print-scaling,
// orientation-requested and page-ranges go to a child process that renders
// each page asked for (pdf_worker.cpp); every page becomes one label, its
// 8-bit gray rows handed to the driver's raster callbacks, which halftone
// them in the core as they do every page.  A PDF that cannot be printed
// ends its job with the reason, as the job's state message and in its log.
//

#include "app.h"
#include "pdf_reader.h"

namespace pelna_app {

namespace {

// The document type of PDF files.
constexpr const char *kPdfFormat = "application/pdf";

// The running program, which renders PDF jobs when started with
// kPdfWorkerArg (main.cpp).
constexpr const char *kSelf = "/proc/self/exe";

// The drivers' own format (set_picture_format): a filter to it comes before
// PAPPL's own, and makes PAPPL list the source type as supported.
constexpr const char *kDriversFormat = "application/octet-stream";

//
// 'pdf_refusal()' - End a PDF job: the reason as the job's state message
// and in its log, and the job reason keyword that goes with it.
//

void
pdf_refusal(pappl_job_t *job,     // I - Job
            PdfFault     fault,   // I - Why, as a kind
            const char  *reason)  // I - Why, in plain words
{
  const pappl_jreason_t keyword = fault == PdfFault::Damaged     ? PAPPL_JREASON_DOCUMENT_FORMAT_ERROR
                                  : fault == PdfFault::Encrypted ? PAPPL_JREASON_DOCUMENT_PASSWORD_ERROR
                                  : fault == PdfFault::Canceled  ? PAPPL_JREASON_NONE
                                                                 : PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR;

  if (keyword != PAPPL_JREASON_NONE)
    papplJobSetReasons(job, keyword, PAPPL_JREASON_NONE);
  papplLogJob(job, fault == PdfFault::Canceled ? PAPPL_LOGLEVEL_INFO : PAPPL_LOGLEVEL_ERROR, "%s", reason);
  papplJobSetMessage(job, "%s", reason);
}

//
// 'print_pages()' - Print the pages the worker renders, each one label
// through the driver's raster callbacks; false with the job's reason set
// when a page could not be printed.
//

bool
print_pages(pappl_job_t                  *job,       // I - Job
            pappl_pr_options_t           *options,   // I - Print options
            pappl_device_t               *device,    // I - Device
            const pappl_pr_driver_data_t &driver,    // I - The driver's callbacks
            PdfWorker                    &worker,    // IO - The child rendering pages
            const PdfNoteSink            &notes,     // I - Where the reader's notes go
            const PdfCancelCheck         &canceled)  // I - Whether the job was canceled
{
  for (unsigned page = worker.first; page <= worker.last; page++)
  {
    PdfReason reason;

    if (canceled())
      return false;
    if (!(driver.rstartpage_cb)(job, options, device, page))
      return false;  // the driver gave the reason

    const LabelRowSink rows = [&](std::uint32_t y, std::span<const std::uint8_t> row) {
      return (driver.rwriteline_cb)(job, options, device, y, row.data());
    };
    const PdfFault fault = pdf_worker_page(worker, rows, notes, canceled, reason);

    if (fault != PdfFault::None)
    {
      pdf_refusal(job, fault, reason.text);
      return false;
    }
    if (!(driver.rendpage_cb)(job, options, device, page))
      return false;
  }
  return true;
}

//
// 'print_pdf()' - PAPPL's filter for PDF documents.
//

bool
print_pdf(pappl_job_t    *job,     // I - Job
          pappl_device_t *device,  // I - Device
          void           *data)    // I - Callback data (unused)
{
  (void)data;

  pappl_printer_t       *printer = papplJobGetPrinter(job);
  pappl_pr_driver_data_t driver;
  PdfJobPlan             plan;
  PdfWorker              worker;
  PdfReason              reason;

  papplPrinterGetDriverData(printer, &driver);
  plan.program          = kSelf;
  plan.path             = papplJobGetFilename(job);
  plan.limits.max_bytes = papplSystemGetMaxImageSize(papplPrinterGetSystem(printer), &plan.limits.max_width,
                                                     &plan.limits.max_height);

  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, false);
  if (!options)
  {
    pdf_refusal(job, PdfFault::NoMemory, "There is no memory to print the PDF.");
    return false;
  }
  plan.label = job_label(job, *options);
  plan.first = options->first_page;
  plan.last  = options->last_page;

  const PdfNoteSink notes = [job](const char *note) {
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "PDF: %s", note);
  };
  const PdfCancelCheck canceled = [job]() { return papplJobIsCanceled(job); };
  const PdfFault       fault    = pdf_worker_start(worker, plan, notes, canceled, reason);
  bool                 ok       = fault == PdfFault::None;

  if (!ok)
    pdf_refusal(job, fault, reason.text);
  else
  {
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "PDF: %u page(s), printing pages %u to %u on a %u x %u dot label.",
                worker.pages, worker.first, worker.last, plan.label.width, plan.label.height);
    papplJobSetImpressions(job, static_cast<int>(worker.last - worker.first + 1));
    ok = (driver.rstartjob_cb)(job, options, device);
    if (ok)
    {
      ok = print_pages(job, options, device, driver, worker, notes, canceled);
      (driver.rendjob_cb)(job, options, device);
    }
  }
  pdf_worker_stop(worker);
  if (worker.peak_kb > 0)
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "PDF: the reader's peak memory was %ld KiB.", worker.peak_kb);
  papplJobDeletePrintOptions(options);
  return ok;
}

} // namespace

//
// 'add_pdf_filter()' - Let PAPPL print PDF documents through the app's
// reader; PAPPL then lists application/pdf as supported, with page-ranges.
//

void
add_pdf_filter(pappl_system_t *system)  // I - System
{
  papplSystemAddMIMEFilter(system, kPdfFormat, kDriversFormat, print_pdf, nullptr);
}

} // namespace pelna_app
