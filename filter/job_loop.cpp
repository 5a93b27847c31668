//
// rastertopelna: CUPS filter from 8-bit gray raster pages to the printer's
// compressed page frames.
//
//   rastertopelna job-id user title copies options [file]
//
// Reads the raster stream from the named file or standard input, the PPD
// from the PPD environment variable, and writes one page frame per page to
// standard output.  Messages go to the filter's own log file.
//

#include "pelna.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace pelna;

//
// 'main()' - Walk the pages of one job.
//
// Exit status 0 when at least one page was started and every page was
// printed; 1 when no page was found, a page was refused or lost, a frame
// could not be written, the raster stream was damaged, or on a start-up
// failure.
//

int
main(int  argc,    // I - Number of command-line arguments
     char *argv[]) // I - Command-line arguments
{
  int                 fd = 0;           // Raster file descriptor, 0 = stdin
  RasterInput         input = {};       // Reading state of the raster input
  cups_raster_t      *ras;              // Raster stream
  cups_page_header2_t header;           // Page header, reused for each page
  ppd_file_t         *ppd;              // The printer's PPD
  int                 num_options;      // Number of job options
  cups_option_t      *options = nullptr;  // Job options
  bool                failed = false;   // A page was not printed
  int                 status;           // Exit status

  logs = open_log_file(kLogPath);

  if (argc != 6 && argc != 7)
  {
    pelna_log("ERROR", "%s job-id user title copies options [file]", kProgramName);
    if (logs)
      fclose(logs);
    return 1;
  }

  if (argc == 7)
  {
    if ((fd = open(argv[6], O_RDONLY | O_CLOEXEC)) == -1)
    {
      _cupsLangPrintError("ERROR", "Unable to open raster file");
      sleep(1);
      if (logs)
        fclose(logs);
      return 1;
    }
  }

  input.fd = fd;
  ras      = cupsRasterOpenIO(read_raster_input, &input, CUPS_RASTER_READ);

  num_options = cupsParseOptions(argv[5], 0, &options);

  ppd = ppdOpenFile(getenv("PPD"));
  if (!ppd)
  {
    ppd_status_t ppdStatus;  // Why the PPD could not be read
    int          linenum;    // Line of the PPD file

    pelna_log("ERROR", "The PPD file could not be opened.");
    ppdStatus = ppdLastError(&linenum);
    pelna_log("DEBUG", "%s on line %d.", ppdErrorString(ppdStatus), linenum);

    if (ras)
      cupsRasterClose(ras);
    if (fd != 0)
      close(fd);
    cupsFreeOptions(num_options, options);
    if (logs)
      fclose(logs);
    return 1;
  }

  ppdMarkDefaults(ppd);
  cupsMarkOptions(ppd, num_options, options);

  Setup(ppd);

  // An input that is not empty but does not start like a raster stream.
  if (!ras && (input.consumed > 0 || input.failed))
  {
    pelna_log("ERROR", "The input is not a CUPS raster stream.");
    failed = true;
  }

  while (ras && !Canceled)
  {
    const off_t consumedBefore = input.consumed;

    if (!cupsRasterReadHeader2(ras, &header))
    {
      // No header: the clean end of the job, or a damaged page header.
      if (!raster_ended_cleanly(input, consumedBefore))
      {
        pelna_log("ERROR", "The raster stream is damaged after page %d: "
                           "the next page header could not be read.", Page);
        failed = true;
      }
      break;
    }

    Page ++;
    pelna_log("INFO", "Starting page %d.", Page);

    if (!StartPage(ppd, &header))
    {
      failed = true;
      if (skip_page_pixels(ras, &header))
        continue;

      break;  // skip_page_pixels() said why
    }

    const unsigned size = header.cupsBytesPerLine * header.cupsHeight;

    if (cupsRasterReadPixels(ras, Buffer, size) != size)
    {
      pelna_log("ERROR", "Page %d is lost: the raster stream ends inside it.", Page);
      failed = true;
      EndPage(ppd, &header);
      break;
    }

    const DWORD dataSize = build_print_data(ppd, &header, &Buffer);

    if (!dataSize)
    {
      pelna_log("ERROR", "Page %d cannot be printed: the memory to convert it is not available.",
                Page);
      failed = true;
      EndPage(ppd, &header);
      continue;
    }

    if (!OutputPrintData(&header, Buffer, dataSize))
    {
      pelna_log("ERROR", "Page %d could not be sent to the printer: %s.", Page,
                strerror(errno));
      failed = true;
      EndPage(ppd, &header);
      break;
    }

    pelna_log("INFO", "Finished page %d.", Page);

    EndPage(ppd, &header);

    if (Canceled)
      break;
  }

  if (ras)
    cupsRasterClose(ras);
  if (fd != 0)
    close(fd);
  ppdClose(ppd);
  cupsFreeOptions(num_options, options);

  if (Page == 0)
  {
    pelna_log("ERROR", "No pages were found.");
    status = 1;
  }
  else
    status = failed ? 1 : 0;

  if (logs)
    fclose(logs);

  return status;
}
