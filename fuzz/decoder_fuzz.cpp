// SPDX-License-Identifier: Apache-2.0
//
// Fuzz target: pelna-inspect's decoder on arbitrary bytes.
//
// The first byte picks the decoder's options (kept dots and commands, small
// caps on pages and stream size); the rest is the printer data.  Besides
// running clean under the sanitizers, the result must keep the decoder's
// promises: caps held, faults bounded, the verdict consistent with the
// pages, and a sound page re-encoded by the filter decoding to the same
// page again.
//

#include "decoder.h"
#include "pelna.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Largest packed page re-encoded: keeps one input fast.
constexpr std::size_t kMaxReencode = 1 << 22;

//
// 'fail()' - Report a broken promise and abort.
//

[[noreturn]] void
fail(const char *what)  // I - The promise
{
  fprintf(stderr, "decoder_fuzz: %s\n", what);
  abort();
}

//
// 'options_from_byte()' - Decoder options from the first input byte.
//
// Bit 0 keeps the dots, bit 1 the commands; bits 2-4 give a stream cap of
// 2^(4 + 2n) bytes (7: the default); bits 5-7 a page cap of 1 + 2n pages
// (7: the default).
//

inspect::Options
options_from_byte(std::uint8_t byte)  // I - Choice byte
{
  inspect::Options options;
  const unsigned   streamCap = (byte >> 2) & 7;
  const unsigned   pageCap   = (byte >> 5) & 7;

  options.keep_dots     = byte & 1;
  options.keep_commands = byte & 2;
  if (streamCap < 7)
    options.max_stream = 1ULL << (4 + 2 * streamCap);
  if (pageCap < 7)
    options.max_pages = 1 + 2 * pageCap;

  return options;
}

//
// 'reencode()' - The frame the filter makes for a decoded page.
//
// The kept dots become the packed page, which goes through the filter's
// command stream and frame builders with the page mark set in the stream.
// Returns an empty frame when the filter cannot build one.
//

std::vector<std::uint8_t>
reencode(const inspect::Page &page)  // I - Sound page, dots kept
{
  cups_page_header2_t header = {};
  PBYTE               data   = static_cast<PBYTE>(malloc(std::max<std::size_t>(page.dots.size(), 1)));

  if (!data)
    return {};
  if (!page.dots.empty())
    memcpy(data, page.dots.data(), page.dots.size());

  header.cupsWidth        = page.width;
  header.cupsHeight       = static_cast<unsigned>(page.rows);
  header.cupsBytesPerLine = page.width;

  // image_buildPrintData reads the page mark from the PPD; without one it
  // writes 0, so only pages with mark 0 are compared this way.
  DWORD size = image_buildPrintData(nullptr, &header, &data);
  if (!size || !gzip_frame(&data, &size))
  {
    free(data);
    return {};
  }

  std::vector<std::uint8_t> frame(data, data + size);
  free(data);
  return frame;
}

} // namespace

//
// 'LLVMFuzzerTestOneInput()' - Decode one input and check the promises.
//

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data,  // I - Input bytes
                       std::size_t         size)  // I - Input length
{
  if (size < 1)
    return 0;

  const inspect::Options              options = options_from_byte(data[0]);
  const std::span<const std::uint8_t> input(data + 1, size - 1);
  const inspect::Result               result = inspect::inspect_bytes(input, options);

  if (result.input_bytes != input.size())
    fail("input length misreported");
  if (result.pages.size() > options.max_pages)
    fail("more pages than the page cap");
  if (result.sound && (result.pages.empty() || !result.faults.empty()))
    fail("a sound verdict without pages or with faults");

  std::uint64_t covered = 0;  // Input bytes taken by the frames so far

  for (std::size_t i = 0; i < result.pages.size(); i ++)
  {
    const inspect::Page &page = result.pages[i];

    if (page.number != i + 1 || page.frame_offset != covered)
      fail("pages misnumbered or not back to back");
    covered += page.frame_bytes;
    if (covered > input.size())
      fail("a frame reaches past the input");
    if (page.faults.size() > inspect::kMaxFaultsPerPage)
      fail("more faults kept than the cap");
    if (page.sound != (page.faults.empty() && page.faults_dropped == 0))
      fail("a page's verdict disagrees with its faults");
    if (page.stream_bytes > options.max_stream)
      fail("a stream larger than the stream cap");
    if (result.sound && !page.sound)
      fail("a sound verdict over a faulty page");

    if (!page.sound)
      continue;

    if (!page.has_width || page.page_mark < 0 || page.page_mark > 2 ||
        page.black_dots > static_cast<std::uint64_t>(page.width) * page.rows)
      fail("a sound page without a sound width, page mark or dot count");
    if (options.keep_dots && page.dots.size() != page.row_bytes * page.rows)
      fail("kept dots do not fill the page");

    if (options.keep_dots && page.page_mark == 0 && page.dots.size() <= kMaxReencode)
    {
      const std::vector<std::uint8_t> again = reencode(page);
      inspect::Options                keep;
      keep.keep_dots = true;

      const inspect::Result back = inspect::inspect_bytes(again, keep);
      if (!back.sound || back.pages.size() != 1 || back.pages[0].width != page.width ||
          back.pages[0].rows != page.rows || back.pages[0].dots != page.dots)
        fail("a sound page re-encoded by the filter decodes differently");
    }
  }

  return 0;
}
