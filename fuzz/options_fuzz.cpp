// SPDX-License-Identifier: Apache-2.0
//
// Fuzz target: the option readers and the halftoning they drive.
//
// An input is a choice byte, a page size, a "BlacknessAdjustH" keyword
// (up to its NUL or 40 bytes) and gray pixels.  The keyword is put into the
// PPD as the marked choice and the page is halftoned through
// image_Thresholding, as the filter does it.  Checked:
//
//   - blackness_number() reads what sscanf's "h%lld" reads, held within
//     +/-kBlacknessLimit; fixed_threshold() follows its two slopes without
//     overflow;
//   - "BW": each dot is black exactly when its gray value is below the
//     fixed threshold;
//   - otherwise: the gamma table is the one built for the keyword's
//     threshold (never a stale one), the identity for h5 and pure white for
//     h0 and below, and the dots are those of a plain Floyd-Steinberg pass
//     over the mapped page written out here, pixel by pixel;
//   - bits beyond the width are always 0.
//

#include "pelna.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace pelna;

namespace {

constexpr std::size_t kHeaderBytes = 3;   // choice byte, width, height
constexpr unsigned    kMaxWidth    = 64;  // page sizes the target builds
constexpr unsigned    kMaxHeight   = 16;

//
// 'fail()' - Report a broken property and abort.
//

[[noreturn]] void
fail(const char *what, const char *keyword)  // I - Property, keyword
{
  fprintf(stderr, "options_fuzz: %s (keyword \"%s\")\n", what, keyword);
  abort();
}

//
// 'scanned_blackness()' - The blackness number as sscanf reads it, held
// within the limit; 0 when the keyword does not scan.
//

long long
scanned_blackness(const char *keyword)  // I - Choice keyword
{
  long long number = 0;

  if (sscanf(keyword, "h%lld", &number) != 1)
    return 0;

  return std::clamp<long long>(number, -kBlacknessLimit, kBlacknessLimit);
}

//
// 'plain_diffusion()' - Floyd-Steinberg over the mapped page, pixel by pixel
// in raster order, into black flags.
//

std::vector<bool>
plain_diffusion(const std::vector<BYTE> &gray,    // I - Page, width x height
                const BYTE              *table,   // I - Gamma table
                int                      width,   // I - Pixels per row
                int                      height)  // I - Rows
{
  std::vector<long long> plane(gray.size());
  std::vector<bool>      black(gray.size());

  for (std::size_t i = 0; i < gray.size(); i ++)
    plane[i] = table[gray[i]];

  for (int y = 0; y < height; y ++)
    for (int x = 0; x < width; x ++)
    {
      const long long value = plane[y * width + x];
      const long long error = value - (value < 128 ? 0 : 255);

      black[y * width + x] = value < 128;
      if (x + 1 < width)
        plane[y * width + x + 1] += error * 7 / 16;
      if (y + 1 < height)
      {
        if (x > 0)
          plane[(y + 1) * width + x - 1] += error * 3 / 16;
        plane[(y + 1) * width + x] += error * 5 / 16;
        if (x + 1 < width)
          plane[(y + 1) * width + x + 1] += error * 1 / 16;
      }
    }

  return black;
}

//
// 'open_fuzz_ppd()' - The test PPD with "h5" marked for BlacknessAdjustH;
// that choice's keyword is then overwritten by each input.
//

ppd_file_t *
open_fuzz_ppd(ppd_choice_t **blackness)  // O - The marked blackness choice
{
  const std::string path = std::string(PELNA_TEST_DATA) + "/pelna-test.ppd";
  ppd_file_t       *ppd  = ppdOpenFile(path.c_str());

  if (!ppd)
    return nullptr;

  ppdMarkDefaults(ppd);
  ppdMarkOption(ppd, "BlacknessAdjustH", "h5");
  *blackness = ppdFindMarkedChoice(ppd, "BlacknessAdjustH");

  return *blackness ? ppd : nullptr;
}

} // namespace

//
// 'LLVMFuzzerTestOneInput()' - Read one keyword, halftone one page.
//

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data,  // I - Input bytes
                       std::size_t         size)  // I - Input length
{
  static ppd_choice_t *blackness = nullptr;
  static ppd_file_t   *ppd       = open_fuzz_ppd(&blackness);

  if (!ppd)
    fail("the test PPD cannot be opened", "");
  if (size < kHeaderBytes)
    return 0;

  const bool     threshold = data[0] & 1;
  const unsigned width     = data[1] % kMaxWidth + 1;
  const unsigned height    = data[2] % kMaxHeight + 1;

  // The keyword: up to the first NUL, at most what a PPD choice holds.
  std::size_t at  = kHeaderBytes;
  std::size_t end = at;
  while (end < size && data[end] && end - at < sizeof(blackness->choice) - 1)
    end ++;

  char keyword[sizeof(blackness->choice)] = {};
  memcpy(keyword, data + at, end - at);
  at = std::min(size, end + 1);

  // The page: the remaining bytes, repeated; pure white without any.
  std::vector<BYTE> gray(static_cast<std::size_t>(width) * height, kGrayWhite);
  if (at < size)
    for (std::size_t i = 0; i < gray.size(); i ++)
      gray[i] = data[at + i % (size - at)];

  // What the option reader gives.
  const int       number = blackness_number(keyword);
  const long long fixed  = number < kBlacknessKnee ? 40LL * number : 10LL * number + 150;

  if (number != scanned_blackness(keyword))
    fail("blackness_number differs from the scanned number", keyword);
  if (fixed_threshold(number) != fixed)
    fail("fixed_threshold leaves its slopes", keyword);

  // The page through the filter's halftoning, with the keyword marked.
  memcpy(blackness->choice, keyword, sizeof(keyword));
  ppdMarkOption(ppd, "Halftone", threshold ? "BW" : "Dither");

  cups_page_header2_t header = {};
  header.cupsWidth        = width;
  header.cupsHeight       = height;
  header.cupsBytesPerLine = width;
  header.cupsBitsPerPixel = 8;

  PBYTE page = static_cast<PBYTE>(malloc(gray.size()));
  if (!page)
    return 0;
  memcpy(page, gray.data(), gray.size());

  if (!image_Thresholding(ppd, &header, &page))
  {
    free(page);
    fail("image_Thresholding failed on a small page", keyword);
  }

  // The table the diffusion used, against a fresh build for this keyword.
  std::vector<bool> black(gray.size());
  if (threshold)
  {
    for (std::size_t i = 0; i < gray.size(); i ++)
      black[i] = gray[i] < fixed;
  }
  else
  {
    BYTE used[256];
    memcpy(used, g_image_GammaLUT, sizeof(used));
    image_BuildTable(10.0 * number / 50.0);
    if (memcmp(used, g_image_GammaLUT, sizeof(used)))
      fail("the gamma table was not built for this keyword", keyword);

    for (int i = 0; i < 256; i ++)
    {
      if (number == kBlacknessKnee && used[i] != i)
        fail("h5 does not give the identity table", keyword);
      if (number <= 0 && used[i] != kGrayWhite)
        fail("a blackness of 0 or less does not give pure white", keyword);
      if (i > 0 && used[i] < used[i - 1])
        fail("the gamma table falls", keyword);
    }
    black = plain_diffusion(gray, used, static_cast<int>(width), static_cast<int>(height));
  }

  // Compare the packed rows bit by bit, padding included.
  const unsigned rowBytes = (width + 7) / 8;
  for (unsigned y = 0; y < height; y ++)
    for (unsigned x = 0; x < rowBytes * 8; x ++)
    {
      const bool set    = (page[y * rowBytes + x / 8] >> (7 - x % 8)) & 1;
      const bool wanted = x < width && black[y * width + x];

      if (set != wanted)
      {
        free(page);
        fail(x < width ? "a dot differs from the expected one" : "a padding bit is set", keyword);
      }
    }

  free(page);
  return 0;
}
