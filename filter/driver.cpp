//
// Filter driver: the log stream, the raster input, the page hooks, the
// conversion dispatch and the output of page frames.  The job loop itself
// is in job_loop.cpp.
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

  setbuf(fp, nullptr);
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
  const std::uint64_t pixels = static_cast<std::uint64_t>(header->cupsWidth) *
                               header->cupsHeight;
  std::uint64_t       frameBound = 0;  // Largest frame the page can give

  if (header->cupsBitsPerPixel != kGrayBitsPerPixel)
    snprintf(reason, reasonSize, "it has %u bits per pixel; only 8-bit gray pages can be printed",
             header->cupsBitsPerPixel);
  else if (header->cupsBytesPerLine != header->cupsWidth)
    snprintf(reason, reasonSize, "its rows are %u bytes long for %u pixels; one byte per pixel is needed",
             header->cupsBytesPerLine, header->cupsWidth);
  else if (header->cupsWidth < 1 || header->cupsWidth > kMaxPageWidth)
    snprintf(reason, reasonSize, "it is %u pixels wide; the printer takes 1 to %u",
             header->cupsWidth, kMaxPageWidth);
  else if (header->cupsHeight < 1)
    snprintf(reason, reasonSize, "it has no rows");
  else if (pixels > kMaxPagePixels)
    snprintf(reason, reasonSize, "it has %llu pixels; at most %llu can be printed",
             static_cast<unsigned long long>(pixels),
             static_cast<unsigned long long>(kMaxPagePixels));
  else if ((frameBound = page_frame_bound(command_stream_length(header->cupsWidth,
                                                                 header->cupsHeight))) == 0)
    snprintf(reason, reasonSize, "the memory to compress it is not available");
  else if (frameBound > kMaxFrameSize)
    snprintf(reason, reasonSize, "its printer data would not fit the printer's 32-bit lengths");
  else
    return 1;

  return 0;
}

//
// 'StartPage()' - Report the page header and allocate the page buffer.
//
// Returns 0, with an "ERROR" line naming the page, when the page cannot be
// converted or its buffer cannot be allocated; the page is then refused.
//

BOOL
StartPage(ppd_file_t          *ppd,     // I - Job's PPD (unused)
          cups_page_header2_t *header)  // I - Page header
{
  char reason[256];  // Why the page is refused

  (void)ppd;

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

  if (!check_page_header(header, reason, sizeof(reason)))
  {
    pelna_log("ERROR", "Page %d cannot be printed: %s.", Page, reason);
    return 0;
  }

  const size_t size = static_cast<size_t>(header->cupsBytesPerLine) * header->cupsHeight;

  Buffer = static_cast<PBYTE>(malloc(size));
  if (!Buffer)
  {
    pelna_log("ERROR", "Page %d cannot be printed: %zu bytes of memory are not available.",
              Page, size);
    return 0;
  }

  return 1;
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
// 'skip_page_pixels()' - Read past the pixels of a refused page.
//
// The pixels are read in bounded chunks, so that a page of any announced size
// can be passed over and the next page read.  Returns 0, with an "ERROR"
// line, when the stream ends first or the page's rows are too long to read
// past; the rest of the job is then given up.
//

BOOL
skip_page_pixels(cups_raster_t             *ras,     // I - Raster stream
                 const cups_page_header2_t *header)  // I - Page header
{
  std::uint64_t remaining = static_cast<std::uint64_t>(header->cupsBytesPerLine) *
                            header->cupsHeight;

  if (header->cupsBytesPerLine > kMaxSkippedRow)
  {
    pelna_log("ERROR", "The rest of the job is given up: the rows of page %d are %u bytes "
                       "long, too long to read past.", Page, header->cupsBytesPerLine);
    return 0;
  }

  std::unique_ptr<BYTE[]> chunk(new (std::nothrow) BYTE[kSkipChunk]);

  if (!chunk)
  {
    pelna_log("ERROR", "The rest of the job is given up: no memory to read past page %d.", Page);
    return 0;
  }

  while (remaining > 0)
  {
    const unsigned want = static_cast<unsigned>(std::min<std::uint64_t>(remaining, kSkipChunk));

    if (cupsRasterReadPixels(ras, chunk.get(), want) != want)
    {
      pelna_log("ERROR", "The raster stream ends inside page %d.", Page);
      return 0;
    }

    remaining -= want;
  }

  return 1;
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
  DWORD         dataSize = 0;  // Length of the data in *pdata
  ppd_choice_t *debug    = ppdFindMarkedChoice(ppd, "PrintDebug");

  if (debug && !strcmp(debug->choice, "ON"))
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
