// SPDX-License-Identifier: Apache-2.0
//
// Filter driver: the log stream and the core's messages in it, the raster
// input, the job's settings from its PPD choices, the page hooks, the
// whole-page conversion and the output of page frames.  The job loop is the
// core's; main (job_loop.cpp) hands it the raster stream through
// raster_source.cpp.
//

#include "pelna.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

using namespace pelna;

//
// Process-wide state.
//

PBYTE                 Buffer   = nullptr;  // page buffer of the current page
int                   Page     = 0;        // pages started in this job
volatile sig_atomic_t Canceled = 0;        // set to 1 by SIGTERM
FILE                 *logs     = nullptr;  // log stream, or NULL

namespace {

// Size of the chunks in which the pixels of a refused page are skipped.
constexpr unsigned kSkipChunk = 64 * 1024;

// Longest row of a refused page that is read past: a page within the
// printer's width at the deepest pixels libcups reads (240 bits).  libcups
// expands every row of a compressed page in full, so a page announcing far
// longer rows could make a few input bytes fill gigabytes.
constexpr std::uint64_t kMaxSkippedRow = std::uint64_t{kMaxPageWidth} * 30;

//
// 'field_value()' - The number stored in an enumerated page header field.
//
// The raster stream can hold any 32-bit value there, and loading one that
// names no enumerator as the enumeration type is undefined in C++, so the
// bytes are read as an unsigned number instead.
//

template <class Enum>
unsigned
field_value(const Enum &field)  // I - Header field
{
  static_assert(sizeof(Enum) == sizeof(unsigned));

  unsigned value;  // The field's bytes as a number

  memcpy(&value, &field, sizeof(value));
  return value;
}

} // namespace

//
// 'open_log_file()' - Open the log file for one job, unbuffered.
//
// The path lies in a world-writable directory, so a symbolic link there is
// never followed and only a regular file with a single link that belongs to
// the filter's own user is used (created or truncated).  Returns NULL when
// that is not possible; the filter then runs without a log.
//

FILE *
open_log_file(const char *path)  // I - Log file path
{
  int         fd;                // Log file descriptor
  struct stat info;              // What the descriptor refers to

  // O_NONBLOCK keeps a FIFO planted at the path from blocking the open.
  fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0)
    return nullptr;

  if (fstat(fd, &info) || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
      info.st_uid != geteuid() || ftruncate(fd, 0) ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK))
  {
    close(fd);
    return nullptr;
  }

  FILE *fp = fdopen(fd, "w");
  if (!fp)
  {
    close(fd);
    return nullptr;
  }

  setvbuf(fp, nullptr, _IONBF, 0);
  return fp;
}

//
// 'read_raster_input()' - Read callback of the raster stream.
//
// Remembers whether the end of the input was reached, so that the job loop
// can tell the clean end of a job from a damaged page header.  Interrupted
// reads (SIGTERM is installed without SA_RESTART) are retried.
//

ssize_t
read_raster_input(void          *ctx,     // I - RasterInput
                  unsigned char *buffer,  // O - Where the bytes go
                  size_t         length)  // I - Bytes wanted
{
  RasterInput *input = static_cast<RasterInput *>(ctx);
  ssize_t      count;                     // Bytes read

  do
    count = read(input->fd, buffer, length);
  while (count < 0 && errno == EINTR);

  if (count == 0)
  {
    input->at_end      = true;
    input->end_request = length;
  }
  else if (count < 0)
    input->failed = true;
  else
    input->consumed += count;

  return count;
}

//
// 'CancelJob()' - Note that SIGTERM arrived; the job loop stops between pages.
//

void
CancelJob(int sig)  // I - Signal number (unused)
{
  (void)sig;

  Canceled = 1;
}

//
// 'Setup()' - Prepare the job: cancel handler, counters, SIGPIPE.
//

void
Setup(ppd_file_t *ppd)  // I - Job's PPD (unused)
{
  struct sigaction action;  // Signal action

  (void)ppd;

  memset(&action, 0, sizeof(action));
  sigemptyset(&action.sa_mask);
  action.sa_handler = CancelJob;
  sigaction(SIGTERM, &action, nullptr);

  // A backend that goes away must show up as a failed write, not kill us.
  signal(SIGPIPE, SIG_IGN);

  Canceled = 0;
  Page     = 0;
}

//
// 'page_header_numbers()' - The numbers of a page header the core checks.
//

pelna::PageHeader
page_header_numbers(const cups_page_header2_t *header)  // I - Page header
{
  return {header->cupsWidth, header->cupsHeight, header->cupsBitsPerPixel,
          header->cupsBytesPerLine};
}

//
// 'check_page_header()' - See whether the filter can convert a page.
//
// Returns 1 for a page of 8-bit gray pixels, one byte each, 1 to 65535 dots
// wide, at least one row, fewer than 2^31 pixels, whose printer data fits the
// format's 32-bit lengths.  Otherwise returns 0 with the reason in plain
// words in reason.
//

BOOL
check_page_header(const cups_page_header2_t *header,      // I - Page header
                  char                      *reason,      // O - Why it is refused
                  size_t                     reasonSize)  // I - Size of reason
{
  return check_page(page_header_numbers(header), reason, reasonSize) ? 1 : 0;
}

//
// 'log_page_header()' - Log the fields of a page header, one DEBUG line each.
//

void
log_page_header(const cups_page_header2_t *header)  // I - Page header
{
  pelna_log("DEBUG", "StartPage...");
  pelna_log("DEBUG", "Duplex = %d", field_value(header->Duplex));
  pelna_log("DEBUG", "HWResolution = [ %d %d ]", header->HWResolution[0],
            header->HWResolution[1]);
  pelna_log("DEBUG", "ImagingBoundingBox = [ %d %d %d %d ]",
            header->ImagingBoundingBox[0], header->ImagingBoundingBox[1],
            header->ImagingBoundingBox[2], header->ImagingBoundingBox[3]);
  pelna_log("DEBUG", "Margins = [ %d %d ]", header->Margins[0], header->Margins[1]);
  pelna_log("DEBUG", "ManualFeed = %d", field_value(header->ManualFeed));
  pelna_log("DEBUG", "MediaPosition = %d", header->MediaPosition);
  pelna_log("DEBUG", "NumCopies = %d", header->NumCopies);
  pelna_log("DEBUG", "Orientation = %d", field_value(header->Orientation));
  pelna_log("DEBUG", "PageSize = [ %d %d ]", header->PageSize[0], header->PageSize[1]);
  pelna_log("DEBUG", "cupsWidth = %d", header->cupsWidth);
  pelna_log("DEBUG", "cupsHeight = %d", header->cupsHeight);
  pelna_log("DEBUG", "cupsMediaType = %d", header->cupsMediaType);
  pelna_log("DEBUG", "cupsBitsPerColor = %d", header->cupsBitsPerColor);
  pelna_log("DEBUG", "cupsBitsPerPixel = %d", header->cupsBitsPerPixel);
  pelna_log("DEBUG", "cupsBytesPerLine = %d", header->cupsBytesPerLine);
  pelna_log("DEBUG", "cupsColorOrder = %d", field_value(header->cupsColorOrder));
  pelna_log("DEBUG", "cupsColorSpace = %d", field_value(header->cupsColorSpace));
  pelna_log("DEBUG", "cupsCompression = %d", header->cupsCompression);
}

//
// 'StartPage()' - Report the page header and allocate the page buffer.
//
// Returns 0, with an "ERROR" line naming the page, when the page cannot be
// converted or its buffer cannot be allocated; the page is then refused.
// (The job loop reports and checks a page itself and then only needs the
// buffer: allocate_page_buffer.)
//

BOOL
StartPage(ppd_file_t          *ppd,     // I - Job's PPD (unused)
          cups_page_header2_t *header)  // I - Page header
{
  char reason[256];  // Why the page is refused

  (void)ppd;

  log_page_header(header);

  if (!check_page_header(header, reason, sizeof(reason)))
  {
    pelna_log("ERROR", "Page %d cannot be printed: %s.", Page, reason);
    return 0;
  }

  if (!allocate_page_buffer(header))
  {
    pelna_log("ERROR", "Page %d cannot be printed: %zu bytes of memory are not available.",
              Page, static_cast<size_t>(header->cupsBytesPerLine) * header->cupsHeight);
    return 0;
  }

  return 1;
}

//
// 'allocate_page_buffer()' - Allocate the page buffer of an accepted page.
//

BOOL
allocate_page_buffer(const cups_page_header2_t *header)  // I - Page header
{
  const size_t size = static_cast<size_t>(header->cupsBytesPerLine) * header->cupsHeight;

  Buffer = static_cast<PBYTE>(malloc(size));
  return Buffer ? 1 : 0;
}

//
// 'EndPage()' - Free whatever the page buffer holds at the end of a page.
//

void
EndPage(ppd_file_t          *ppd,     // I - Job's PPD (unused)
        cups_page_header2_t *header)  // I - Page header (unused)
{
  (void)ppd;
  (void)header;

  free(Buffer);
  Buffer = nullptr;
}

//
// 'skip_page_pixels()' - Read past the unread pixels of a page.
//
// The pixels are read in bounded chunks, so that a page of any announced size
// can be passed over and the next page read.  Says why when it cannot: the
// stream ends first, or the page's rows are too long to read past.
//

pelna::PageSkip
skip_page_pixels(cups_raster_t             *ras,        // I - Raster stream
                 const cups_page_header2_t *header,     // I - Page header
                 std::uint64_t              remaining)  // I - Bytes not read yet
{
  if (remaining == 0)
    return pelna::PageSkip::Done;
  if (header->cupsBytesPerLine > kMaxSkippedRow)
    return pelna::PageSkip::RowsTooLong;

  std::unique_ptr<BYTE[]> chunk(new (std::nothrow) BYTE[kSkipChunk]);

  if (!chunk)
    return pelna::PageSkip::NoMemory;

  while (remaining > 0)
  {
    const unsigned want = static_cast<unsigned>(std::min<std::uint64_t>(remaining, kSkipChunk));

    if (cupsRasterReadPixels(ras, chunk.get(), want) != want)
      return pelna::PageSkip::StreamEnded;

    remaining -= want;
  }

  return pelna::PageSkip::Done;
}

//
// 'build_print_data()' - Convert the 8-bit page into the page frame.
//
// Returns the frame's length with the frame in *pdata, or 0 when a stage
// could not run (no memory); *pdata then still holds a buffer that the
// caller frees.
//

DWORD
build_print_data(ppd_file_t          *ppd,     // I  - Job's PPD
                 cups_page_header2_t *header,  // I  - Page header
                 PBYTE               *pdata)   // IO - 8-bit page in, frame out
{
  DWORD dataSize = 0;  // Length of the data in *pdata

  if (print_debug(ppd))
    return build_print_data_diagnostic(ppd, header, pdata);

  if (!image_Thresholding(ppd, header, pdata))
    return 0;

  dataSize = image_buildPrintData(ppd, header, pdata);
  if (!dataSize || !gzip_frame(pdata, &dataSize))
    return 0;

  return dataSize;
}

//
// 'OutputPrintData()' - Write one page frame to standard output.
//
// The frame goes out whole, straight to the descriptor so nothing is left in
// a buffer; writes cut short by a signal are resumed.  Returns 0 when the
// frame could not be written whole.
//

BOOL
OutputPrintData(cups_page_header2_t *header,    // I - Page header (unused)
                PBYTE                data,      // I - Page frame
                DWORD                dataSize)  // I - Frame length
{
  size_t written = 0;  // Bytes written so far

  (void)header;

  while (written < dataSize)
  {
    const ssize_t count = write(STDOUT_FILENO, data + written, dataSize - written);

    if (count < 0 && errno == EINTR)
      continue;
    if (count <= 0)
      return 0;

    written += static_cast<size_t>(count);
  }

  return 1;
}

//
// 'log_message()' - File one of the core's messages in the log.
//

void
log_message(void        *ctx,    // I - Unused
            pelna::Level level,  // I - Message level
            const char  *text)   // I - The message
{
  (void)ctx;

  pelna_log(pelna::level_word(level), "%s", text);
}

//
// 'log_sink()' - The core's messages go to the filter's log.
//

pelna::MessageSink
log_sink()
{
  return {log_message, nullptr};
}

//
// 'job_settings()' - The job's settings from its marked PPD choices.
//
// Without a marked choice for both "Halftone" and "BlacknessAdjustH" the
// page is not halftoned at all.  Without a marked "PageMark" the media is
// continuous and the page mark is not logged.
//

pelna::JobSettings
job_settings(ppd_file_t *ppd)  // I - Job's PPD with its choices marked
{
  pelna::JobSettings settings;
  ppd_choice_t      *halftone  = ppdFindMarkedChoice(ppd, "Halftone");
  ppd_choice_t      *blackness = halftone ? ppdFindMarkedChoice(ppd, "BlacknessAdjustH") : nullptr;
  ppd_choice_t      *pageMark  = ppdFindMarkedChoice(ppd, "PageMark");

  if (halftone && blackness)
  {
    settings.halftone          = pelna::halftone_from_keyword(halftone->choice);
    settings.blackness         = blackness_number(blackness->choice);
    settings.blackness_keyword = blackness->choice;
  }
  else
    settings.halftone = pelna::Halftone::AsIs;

  settings.page_mark = pelna::page_mark_from_keyword(pageMark ? pageMark->choice : nullptr);
  if (pageMark)
    settings.page_mark_keyword = pageMark->choice;

  return settings;
}

//
// 'print_debug()' - Whether the job's "PrintDebug" choice is "ON".
//

bool
print_debug(ppd_file_t *ppd)  // I - Job's PPD with its choices marked
{
  ppd_choice_t *debug = ppdFindMarkedChoice(ppd, "PrintDebug");

  return debug && !strcmp(debug->choice, "ON");
}
