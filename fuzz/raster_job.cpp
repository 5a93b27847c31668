// SPDX-License-Identifier: Apache-2.0
//
// A raster job converted in memory by the job loop the filter runs.
//
// The filter's own page source, settings, messages and observer go into the
// core's loop; only the frame sink differs: where the filter writes a frame
// to standard output, this one keeps a copy.  The raster bytes sit in a
// memory file and are read through the filter's own input callback, so the
// end-of-stream bookkeeping is the filter's too.  Reads can be cut into
// small pieces, the way a pipe hands data over as it arrives.
//

#include "raster_job.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace pelna_fuzz {

namespace {

// The "BlacknessAdjustH" choices of tests/data/pelna-test.ppd.
constexpr std::array<const char *, 12> kBlackness = {
    "h0", "h1", "h3", "h4", "h5", "h6", "h7", "h10", "h11", "h-1", "h99999999999", "x5"};

constexpr const char *kPageMarks[] = {"PageMarkLabel", "PageMarkBlack", "PageMarkNone"};

// Largest piece a chunked read hands over, from the choice byte.
constexpr std::size_t kChunkChoices = 8;
constexpr std::size_t kChunkSizes[kChunkChoices] = {0, 0, 0, 0, 1, 7, 100, 1800};

//
// Reading state of the in-memory input: the filter's own state first, so
// that its callback can be handed the same context.
//

struct MemoryInput
{
  RasterInput input;  // the filter's reading state, fd = the memory file
  std::size_t size;   // bytes in the memory file
  std::size_t chunk;  // most bytes one read hands over; 0: no limit
};

//
// 'read_memory()' - Raster read callback over the memory file.
//
// While data remains, a read hands over at most chunk bytes; at the end
// the whole request meets the end, as on a pipe whose writer has closed.
//

ssize_t
read_memory(void          *ctx,     // I - MemoryInput
            unsigned char *buffer,  // O - Where the bytes go
            size_t         length)  // I - Bytes wanted
{
  MemoryInput *memory = static_cast<MemoryInput *>(ctx);

  if (memory->chunk && static_cast<std::size_t>(memory->input.consumed) < memory->size)
    length = std::min(length, memory->chunk);

  return read_raster_input(&memory->input, buffer, length);
}

//
// 'memory_file()' - The memory file holding the stream, filled anew.
//
// Returns -1 when it cannot be made or filled.
//

int
memory_file(std::span<const std::uint8_t> stream)  // I - Raster bytes
{
  static int fd = memfd_create("raster", MFD_CLOEXEC);  // reused by every job

  if (fd < 0 || ftruncate(fd, 0))
    return -1;

  std::size_t done = 0;  // Bytes stored so far
  while (done < stream.size())
  {
    const ssize_t count = pwrite(fd, stream.data() + done, stream.size() - done,
                                 static_cast<off_t>(done));
    if (count <= 0)
      return -1;
    done += static_cast<std::size_t>(count);
  }

  return lseek(fd, 0, SEEK_SET) == 0 ? fd : -1;
}

//
// 'quiet_log()' - A log stream that goes nowhere but formats every message.
//

FILE *
quiet_log()
{
  static FILE *fp = [] {
    FILE *f = fopen("/dev/null", "w");
    if (f)
      setvbuf(f, nullptr, _IOFBF, 1 << 16);
    return f;
  }();

  return fp;
}

//
// 'open_ppd()' - Open a PPD of the test data folder once.
//

ppd_file_t *
open_ppd(const char *name)  // I - File name in the test data folder
{
  const std::string path = std::string(PELNA_TEST_DATA) + "/" + name;

  return ppdOpenFile(path.c_str());
}

//
// Where the frames of a job are kept.
//

struct Collected
{
  JobResult    *result;  // the job's frames go here
  RasterSource *source;  // the current page's header
};

//
// 'keep_frame()' - Frame sink: keep a copy of the frame.
//

int
keep_frame(void                         *ctx,    // I - Collected
           int                           page,   // I - Page number
           std::span<const std::uint8_t> frame)  // I - Page frame
{
  const Collected *kept = static_cast<Collected *>(ctx);

  kept->result->frames.push_back({page, kept->source->header.cupsWidth,
                                  kept->source->header.cupsHeight,
                                  std::vector<std::uint8_t>(frame.begin(), frame.end())});
  return 0;
}

} // namespace

//
// 'blackness_keywords()' - The "BlacknessAdjustH" keywords of the test PPD.
//

std::span<const char *const>
blackness_keywords()
{
  return kBlackness;
}

//
// 'choices_from_bytes()' - Read the job's choices from two bytes.
//
// Byte 0: bits 0-1 halftoning (BW, Dither, none, Dither), bit 2 PrintDebug,
// bits 3-4 page mark, bits 5-7 read chunk.  Byte 1: blackness keyword.
//

JobChoices
choices_from_bytes(std::span<const std::uint8_t> bytes)  // I - Choice bytes
{
  JobChoices choices;

  if (bytes.size() < kChoiceBytes)
    return choices;

  const std::uint8_t mode = bytes[0];

  choices.halftoning  = (mode & 3) == 0 ? Halftoning::Threshold
                      : (mode & 3) == 2 ? Halftoning::None
                                        : Halftoning::Diffusion;
  choices.print_debug = (mode & 4) != 0;
  choices.page_mark   = (mode >> 3) & 3;
  choices.read_chunk  = kChunkSizes[(mode >> 5) % kChunkChoices];
  choices.blackness   = bytes[1] % static_cast<int>(kBlackness.size());

  return choices;
}

//
// 'marked_ppd()' - The PPD for the choices, with the choices marked.
//
// The options are marked as the filter marks a job's: the PPD's defaults,
// then the option string on top of them.
//

ppd_file_t *
marked_ppd(const JobChoices &choices)  // I - The job's choices
{
  static ppd_file_t *full  = open_ppd("pelna-test.ppd");   // every option
  static ppd_file_t *bare  = open_ppd("pelna-bare.ppd");   // none
  static ppd_file_t *debug = open_ppd("pelna-debug.ppd");  // PrintDebug only

  ppd_file_t *ppd = choices.halftoning == Halftoning::None
                        ? (choices.print_debug ? debug : bare)
                        : full;
  if (!ppd)
    return nullptr;

  std::string text;  // The job's option string

  if (choices.halftoning != Halftoning::None)
  {
    text += choices.halftoning == Halftoning::Threshold ? "Halftone=BW" : "Halftone=Dither";
    text += std::string(" BlacknessAdjustH=") +
            kBlackness[static_cast<std::size_t>(choices.blackness) % kBlackness.size()];
    text += choices.print_debug ? " PrintDebug=ON" : " PrintDebug=OFF";
  }
  if (choices.page_mark >= 0 && choices.page_mark < 3)
    text += std::string(" PageMark=") + kPageMarks[choices.page_mark];

  cups_option_t *options     = nullptr;
  const int      num_options = cupsParseOptions(text.c_str(), 0, &options);

  ppdMarkDefaults(ppd);
  cupsMarkOptions(ppd, num_options, options);
  cupsFreeOptions(num_options, options);

  return ppd;
}

//
// 'convert_job()' - Convert a raster stream with the filter's job loop.
//

JobResult
convert_job(std::span<const std::uint8_t> stream,     // I - Raster bytes
            ppd_file_t                   *ppd,        // I - Marked PPD
            std::size_t                   readChunk,  // I - Most bytes per read
            std::uint64_t                 maxPixels)  // I - Largest page converted
{
  JobResult    result;
  MemoryInput  memory = {};  // Reading state
  RasterSource source = {};  // The stream as the loop's page source
  DumpState    dumps  = {};  // PrintDebug files of the current page
  Collected    kept   = {&result, &source};
  pelna::JobLoop loop;

  memory.input.fd = memory_file(stream);
  memory.size     = stream.size();
  memory.chunk    = readChunk;
  if (memory.input.fd < 0)
    abort();  // the harness itself cannot run

  logs     = quiet_log();
  Page     = 0;
  Canceled = 0;
  Buffer   = nullptr;

  source.ras   = cupsRasterOpenIO(read_memory, &memory, CUPS_RASTER_READ);
  source.input = &memory.input;
  source.ppd   = ppd;

  loop.source     = raster_page_source(&source);
  loop.sink       = {keep_frame, &kept};
  loop.settings   = job_settings(ppd);
  loop.messages   = log_sink();
  loop.cancel     = &Canceled;
  loop.max_pixels = maxPixels;
  if (print_debug(ppd))
    loop.observer = diagnostic_observer(&dumps);

  const pelna::JobOutcome outcome = pelna::run_job(loop);

  if (source.ras)
    cupsRasterClose(source.ras);

  result.pages_started = outcome.pages_started;
  result.refused       = outcome.refused;
  result.lost_page     = outcome.lost_page;
  result.damaged_after = outcome.damaged_after;
  result.not_raster    = outcome.not_pages;
  result.status        = pelna::job_status(outcome);

  return result;
}

} // namespace pelna_fuzz
