// SPDX-License-Identifier: Apache-2.0
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
// 'run_pages()' - Mark the job's options and run the core's job loop over
// the raster stream.  Returns the exit status.
//

static int
run_pages(ppd_file_t    *ppd,          // I - The printer's PPD
          cups_raster_t *ras,          // I - Raster stream, or NULL
          RasterInput   *input,        // I - Its reading state
          int            num_options,  // I - Number of job options
          cups_option_t *options)      // I - Job options
{
  RasterSource source = {};  // The raster stream as the loop's page source
  DumpState    dumps  = {};  // The PrintDebug files of the current page
  JobLoop      loop;         // What the loop works with

  ppdMarkDefaults(ppd);
  cupsMarkOptions(ppd, num_options, options);

  Setup(ppd);

  source.ras   = ras;
  source.input = input;
  source.ppd   = ppd;

  loop.source   = raster_page_source(&source);
  loop.sink     = {write_frame, nullptr};
  loop.settings = job_settings(ppd);
  loop.messages = log_sink();
  loop.cancel   = &Canceled;
  if (print_debug(ppd))
    loop.observer = diagnostic_observer(&dumps);

  return job_status(run_job(loop));
}

//
// 'main()' - Run one job.
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
  int            fd = 0;             // Raster file descriptor, 0 = stdin
  RasterInput    input = {};         // Reading state of the raster input
  cups_raster_t *ras = nullptr;      // Raster stream
  ppd_file_t    *ppd = nullptr;      // The printer's PPD
  int            num_options = 0;    // Number of job options
  cups_option_t *options = nullptr;  // Job options
  int            status = 1;         // Exit status

  logs = open_log_file(kLogPath);

  if (argc != 6 && argc != 7)
    pelna_log("ERROR", "%s job-id user title copies options [file]", kProgramName);
  else if (argc == 7 && (fd = open(argv[6], O_RDONLY | O_CLOEXEC)) == -1)
  {
    fd = 0;
    _cupsLangPrintError("ERROR", "Unable to open raster file");
    sleep(1);
  }
  else
  {
    input.fd    = fd;
    ras         = cupsRasterOpenIO(read_raster_input, &input, CUPS_RASTER_READ);
    num_options = cupsParseOptions(argv[5], 0, &options);

    if ((ppd = ppdOpenFile(getenv("PPD"))) == nullptr)
    {
      ppd_status_t ppdStatus;  // Why the PPD could not be read
      int          linenum;    // Line of the PPD file

      pelna_log("ERROR", "The PPD file could not be opened.");
      ppdStatus = ppdLastError(&linenum);
      pelna_log("DEBUG", "%s on line %d.", ppdErrorString(ppdStatus), linenum);
    }
    else
      status = run_pages(ppd, ras, &input, num_options, options);
  }

  if (ras)
    cupsRasterClose(ras);
  if (fd != 0)
    close(fd);
  if (ppd)
    ppdClose(ppd);
  cupsFreeOptions(num_options, options);
  if (logs)
    fclose(logs);

  return status;
}
