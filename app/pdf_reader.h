// SPDX-License-Identifier: Apache-2.0
//
// PDF documents for pelna-printer-app: opened and checked against the
// limits, each page placed on the label (placement.h) and rendered as 8-bit
// gray label rows (0 black), in this process (pdf_reader.cpp) or in a child
// process held to a memory allowance and a time limit (pdf_worker.cpp).
// Nothing here knows PAPPL, so that the tests and the fuzz target use it as
// it is.
//

#ifndef PELNA_PDF_READER_H
#define PELNA_PDF_READER_H

#include "placement.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

namespace pelna_app {

// Most pages one PDF job may have: more labels than any roll holds.
constexpr unsigned kPdfMaxPages = 5000;

// Shortest and longest side a page may have, in points: 200 inches is the
// largest page PDF itself allows.
constexpr double kPdfMinSide = 1.0;
constexpr double kPdfMaxSide = 14400.0;

// Longest one page may take to render, in seconds.
constexpr unsigned kPdfPageSeconds = 60;

// Memory the reader takes besides the rendered page: its own tables, fonts
// and caches.
constexpr std::size_t kPdfReaderBytes = std::size_t{48} << 20;

//
// What a PDF job is held to.
//

struct PdfLimits
{
  unsigned    max_pages    = kPdfMaxPages;     // pages a document may have
  double      max_side     = kPdfMaxSide;      // longest page side, in points
  std::size_t max_bytes    = 0;                // memory rendering may take (the system's
                                               // picture limit)
  int         max_width    = 0;                // widest rendered page, in dots
  int         max_height   = 0;                // highest rendered page, in dots
  unsigned    page_seconds = kPdfPageSeconds;  // longest one page may take to render
};

// Why a document or a page was not printed.
enum class PdfFault
{
  None,       // read and rendered
  Damaged,    // not a PDF, cut short, corrupt, or the reader stopped on it
  Encrypted,  // needs a password to be opened
  TooLarge,   // over a limit (pages, page size, memory, less than a dot)
  NoMemory,   // rendering ran out of its memory allowance
  TooSlow,    // a page took longer than the time limit
  Canceled,   // the job was canceled
};

// A reason in plain words, for the job's state message and log.
struct PdfReason
{
  char text[320] = "";  // the reason
};

// An open PDF document (poppler's, kept out of this header).
struct PdfDocumentData;
struct PdfDocumentDelete
{
  void operator()(PdfDocumentData *doc) const;  // close it
};
using PdfDocument = std::unique_ptr<PdfDocumentData, PdfDocumentDelete>;

// pdf_reader.cpp: open a PDF file and check it against the limits (readable,
// not locked by a password, within the page count).
[[nodiscard]] PdfFault pdf_open(const char *path, const PdfLimits &limits, PdfDocument &doc,
                                PdfReason &reason);

// pdf_reader.cpp: the same for a PDF in memory (the fuzz target); the bytes
// must outlive the document.
[[nodiscard]] PdfFault pdf_open_memory(std::span<const std::uint8_t> bytes, const PdfLimits &limits,
                                       PdfDocument &doc, PdfReason &reason);

// pdf_reader.cpp: the number of pages of an open document.
[[nodiscard]] unsigned pdf_pages(const PdfDocument &doc);

// pdf_reader.cpp: render page number (from 1) on the label and hand every
// label row to the sink, top first; checks the page's size and the memory
// its rendering takes against the limits first.
[[nodiscard]] PdfFault pdf_render_page(const PdfDocument &doc, unsigned number, const LabelArea &label,
                                       const PdfLimits &limits, const LabelRowSink &sink, PdfReason &reason);

// pdf_reader.cpp: the reader's messages (damaged objects it skipped) go to
// this function from now on, or nowhere when it is null.
void pdf_set_message_sink(void (*sink)(const char *message, void *data), void *data);

//
// A PDF job rendered by a child process (pdf_worker.cpp), a fresh process
// of the program named in the plan: the child opens the file, renders the
// pages asked for and sends their rows; its memory is held to the limits'
// allowance and each page to the time limit, so that a file built to
// exhaust the reader ends its job, never the server.
//

struct PdfJobPlan
{
  const char *program = nullptr;  // program that runs pdf_worker_main when its first
                                  // argument is kPdfWorkerArg ("/proc/self/exe")
  const char *path  = nullptr;    // the PDF file
  PdfLimits   limits;             // what the job is held to
  LabelArea   label;              // where pages go
  unsigned    first = 1;          // first page asked for (from 1)
  unsigned    last  = 0xffffffffu;  // last page asked for
};

// What the parent of a worker learns as it goes.
struct PdfWorker
{
  pid_t    pid       = -1;  // the child, until reaped
  int      fd        = -1;  // its messages and rows
  int      err_fd    = -1;  // its standard error (a memory file)
  unsigned pages     = 0;   // pages in the document
  unsigned first     = 0;   // first page it renders
  unsigned last      = 0;   // last page it renders
  unsigned page      = 0;   // page now under way
  std::uint32_t width = 0;  // label row width, in dots
  unsigned seconds   = 0;   // time limit of a page
  std::size_t allowance = 0;  // its memory allowance, in bytes
  long     peak_kb   = 0;   // its peak resident memory once reaped, in KiB
};

// Whether to give up waiting (the job was canceled).
using PdfCancelCheck = std::function<bool()>;

// Something the worker's reader said, for the job log.
using PdfNoteSink = std::function<void(const char *message)>;

// The first argument that makes a program the child of a PDF job.
constexpr const char *kPdfWorkerArg = "--pelna-pdf-worker";

// pdf_worker.cpp: the child's main program: read the job from the
// arguments, render it to the pipe on descriptor 3; never returns when the
// arguments are sound (2 when they are not).
int pdf_worker_main(int argc, char *argv[]);

// pdf_worker.cpp: start the child and read what it found in the document:
// None with worker.first .. worker.last the pages it renders, or the fault.
[[nodiscard]] PdfFault pdf_worker_start(PdfWorker &worker, const PdfJobPlan &plan, const PdfNoteSink &notes,
                                        const PdfCancelCheck &canceled, PdfReason &reason);

// pdf_worker.cpp: receive the next page's rows, each handed to the sink.
[[nodiscard]] PdfFault pdf_worker_page(PdfWorker &worker, const LabelRowSink &sink, const PdfNoteSink &notes,
                                       const PdfCancelCheck &canceled, PdfReason &reason);

// pdf_worker.cpp: end the child (killed when still running) and close
// everything.
void pdf_worker_stop(PdfWorker &worker);

} // namespace pelna_app

#endif // PELNA_PDF_READER_H
