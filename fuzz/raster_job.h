// SPDX-License-Identifier: Apache-2.0
//
// A raster job converted in memory by the filter's own job loop: the same
// raster input callback, page source, checks and conversion, with the page
// frames collected instead of written.
// The fuzz target of the whole path and the tests that cut a job at every
// byte offset both run jobs through it.
//

#ifndef PELNA_RASTER_JOB_H
#define PELNA_RASTER_JOB_H

#include "pelna.h"

#include <cstdint>
#include <span>
#include <vector>

namespace pelna_fuzz {

//
// The job's choices, as a test or the first bytes of a fuzz input pick them.
//

enum class Halftoning
{
  Threshold,  // "Halftone" "BW"
  Diffusion,  // "Halftone" "Dither"
  None        // a PPD without the halftoning options: the page goes as is
};

struct JobChoices
{
  Halftoning halftoning   = Halftoning::Threshold;
  int        blackness    = 4;       // index into blackness_keywords()
  int        page_mark    = 0;       // 0 label, 1 black mark, 2 none, 3 default
  bool       print_debug  = false;   // "PrintDebug" "ON" (diagnostic path)
  std::size_t read_chunk  = 0;       // most bytes one read hands over; 0: all
};

// Bytes at the start of a fuzz input that pick the choices.
constexpr std::size_t kChoiceBytes = 2;

// The "BlacknessAdjustH" keywords of the test PPD, and their number.
[[nodiscard]] std::span<const char *const> blackness_keywords();

// Choices read from the first kChoiceBytes bytes (fewer bytes: defaults).
[[nodiscard]] JobChoices choices_from_bytes(std::span<const std::uint8_t> bytes);

// Open the PPD for the choices and mark them; NULL when the PPD cannot be
// read.  The PPDs come from the test data folder and are kept open for the
// life of the process.
[[nodiscard]] ppd_file_t *marked_ppd(const JobChoices &choices);

//
// What became of one job.
//

struct JobFrame
{
  int                       page;    // page number, from 1
  std::uint32_t             width;   // cupsWidth of the page
  std::uint32_t             height;  // cupsHeight of the page
  std::vector<std::uint8_t> bytes;   // the page frame
};

struct JobResult
{
  int                   pages_started  = 0;      // Page at the end
  std::vector<JobFrame> frames;                  // written, in order
  std::vector<int>      refused;                 // pages refused ("ERROR")
  int                   lost_page      = 0;      // stream ended inside it
  int                   damaged_after  = -1;     // header unreadable after it
  bool                  not_raster     = false;  // no raster stream at all
  int                   status         = 1;      // the filter's exit status
};

// Convert the raster stream with the marked PPD.  Pages of more than
// maxPixels pixels are refused, so that a fuzz input cannot make the
// harness allocate gigabytes.
[[nodiscard]] JobResult convert_job(std::span<const std::uint8_t> stream, ppd_file_t *ppd,
                                    std::size_t readChunk, std::uint64_t maxPixels);

} // namespace pelna_fuzz

#endif // PELNA_RASTER_JOB_H
