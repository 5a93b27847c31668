// SPDX-License-Identifier: Apache-2.0
//
// Halftoning: the fixed-threshold and error-diffusion packers, the gamma
// table, the blackness number and the choice between the two paths.
//

#include "pelna.h"
#include "page_pipeline.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace pelna_test;

// Huge pages must fail their allocation quietly, not abort the test.
extern "C" const char *
__asan_default_options()
{
  return "allocator_may_return_null=1";
}

namespace {

using Plane = std::vector<std::int32_t>;

size_t
row_bytes(int width)
{
  return static_cast<size_t>(width + 7) / 8;
}

// A malloc'ed copy of a page, as the job loop hands it over.
PBYTE
page_buffer(const Bytes &page)
{
  PBYTE buffer = static_cast<PBYTE>(malloc(page.empty() ? 1 : page.size()));

  memcpy(buffer, page.data(), page.size());
  return buffer;
}

// Runs a packer on a copy of the page and returns the packed rows.
template <class Packer>
Bytes
pack_with(int width, int height, const Bytes &page, Packer packer)
{
  PBYTE       data   = page_buffer(page);
  const PBYTE before = data;

  EXPECT_EQ(packer(&data), 1);
  EXPECT_NE(data, before) << "the page must be replaced by the packed rows";
  Bytes packed(data, data + row_bytes(width) * height);
  free(data);
  return packed;
}

Bytes
pack_bw(int width, int height, const Bytes &page, int threshold)
{
  return pack_with(width, height, page, [&](PBYTE *data) {
    return image_ThresholdingBW(width, height, data, threshold);
  });
}

Bytes
pack_dither(int width, int height, const Bytes &page, const BYTE *gamma = nullptr)
{
  return pack_with(width, height, page, [&](PBYTE *data) {
    return image_ThresholdingDITHER(width, height, data, gamma);
  });
}

// Packs a plane: a value of 127 or less is a black dot.
Bytes
pack_plane(int width, int height, const Plane &plane)
{
  Bytes packed(row_bytes(width) * height, 0);

  for (int y = 0; y < height; y ++)
    for (int x = 0; x < width; x ++)
      if (plane[static_cast<size_t>(y) * width + x] <= 127)
        packed[y * row_bytes(width) + x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
  return packed;
}

// Error diffusion pixel by pixel in raster order, written straight from the
// rule: threshold at 128, shares (error x weight) / 16 truncated, shares off
// the page dropped.
void
diffuse_one_by_one(Plane &p, int width, int height)
{
  for (int y = 0; y < height; y ++)
    for (int x = 0; x < width; x ++)
    {
      std::int32_t &v     = p[static_cast<size_t>(y) * width + x];
      const int     fresh = v < 128 ? 0 : 255;
      const int     error = v - fresh;

      v = fresh;
      if (x + 1 < width)
        p[static_cast<size_t>(y) * width + x + 1] += error * 7 / 16;
      if (y + 1 < height)
      {
        if (x > 0)
          p[static_cast<size_t>(y + 1) * width + x - 1] += error * 3 / 16;
        p[static_cast<size_t>(y + 1) * width + x] += error * 5 / 16;
        if (x + 1 < width)
          p[static_cast<size_t>(y + 1) * width + x + 1] += error * 1 / 16;
      }
    }
}

// Pages of many kinds: noise, flat gray, gradients, extremes, and white
// paper with dark marks (whose quiet white stretches are packed without
// visiting each pixel), extremes with small shares in between, a label
// of bars with gray edges beside a photo, and rows cut in two at a place
// that moves from row to row.
Bytes
test_page(int kind, int width, int height, std::mt19937 &random)
{
  Bytes page(static_cast<size_t>(width) * height);
  std::uniform_int_distribution<int> byte(0, 255);
  const int flat = byte(random);

  for (int y = 0; y < height; y ++)
    for (int x = 0; x < width; x ++)
    {
      BYTE &p = page[static_cast<size_t>(y) * width + x];

      switch (kind)
      {
        case 0: p = static_cast<BYTE>(byte(random)); break;
        case 1: p = static_cast<BYTE>(flat); break;
        case 2: p = static_cast<BYTE>(255 * x / std::max(1, width - 1)); break;
        case 3: p = static_cast<BYTE>((x * 7 + y * 13) % 256); break;
        case 4: p = byte(random) < 128 ? 0 : 255; break;
        case 5: p = byte(random) < 8 ? static_cast<BYTE>(byte(random) / 2) : 255; break;
        case 6:  // white paper with one dark bar
          p = (x > width / 3 && x < width / 2 && y % 5 < 3) ? 40 : 255;
          break;
        case 8:  // black and white with a few light and dark grays, whose
                 // small shares die out within a pixel or two
          p = byte(random) < 224 ? (byte(random) < 128 ? 0 : 255)
                                 : std::array<BYTE, 4>{5, 9, 246, 250}[byte(random) % 4];
          break;
        case 9:  // a label: black bars with gray edges on white paper,
                 // beside a photo of smooth shading and grain
          p = x >= width / 2 ? static_cast<BYTE>(std::clamp(128 + (x * 3 + y * 5) % 97 - 48 + byte(random) % 25 - 12, 0, 255))
              : x % 11 < 4 ? (x % 11 == 0 || x % 11 == 3 ? static_cast<BYTE>(64 + byte(random) % 128) : 0)
                           : 255;
          break;
        case 10:  // left of the cut flat gray, whose shares never die out;
                  // right of it stretches of white paper, the gray, black
                  // and noise
          p = x < (y * 389) % width ? static_cast<BYTE>(flat)
              : std::array<BYTE, 4>{255, static_cast<BYTE>(flat), 0,
                                    static_cast<BYTE>(byte(random))}[(x / 37 + y) % 4];
          break;
        default:  // white paper with a few specks
          p = random() % 512 == 0 ? static_cast<BYTE>(byte(random) / 2) : 255;
          break;
      }
    }
  return page;
}

} // namespace

TEST(HalftoneThreshold, PackedRowLayoutAndStrictSignedTest)
{
  // Pixels 0 and 2 are below 128; 128 itself stays white.
  EXPECT_EQ(pack_bw(4, 1, {127, 128, 0, 255}, 128), Bytes({0xA0}));

  // Width 10: pixels 8 and 9 are the top bits of byte 2; the rest stay 0.
  EXPECT_EQ(pack_bw(10, 2, Bytes(20, 0), 300), Bytes({0xFF, 0xC0, 0xFF, 0xC0}));
  EXPECT_EQ(pack_bw(8, 1, Bytes(8, 0), 1), Bytes({0xFF}));
  EXPECT_EQ(pack_bw(9, 1, Bytes(9, 0), 1), Bytes({0xFF, 0x80}));

  // 0 or below: never black, even on pure black; 256 or above: all black.
  EXPECT_EQ(pack_bw(10, 1, Bytes(10, 0), 0), Bytes(2, 0));
  EXPECT_EQ(pack_bw(10, 1, Bytes(10, 0), -40), Bytes(2, 0));
  EXPECT_EQ(pack_bw(10, 1, Bytes(10, 255), 256), Bytes({0xFF, 0xC0}));
  EXPECT_EQ(pack_bw(3, 1, {255, 255, 255}, 255), Bytes({0x00}));
}

TEST(HalftoneThreshold, EveryBitIsThePixelAgainstTheThreshold)
{
  std::mt19937 random(7);

  for (int width = 1; width <= 40; width ++)
    for (int threshold : {-1, 0, 1, 77, 128, 200, 255, 256, 1000})
    {
      const int   height = 3;
      const Bytes page   = test_page(0, width, height, random);
      Plane       expected(page.size());

      for (size_t i = 0; i < page.size(); i ++)
        expected[i] = page[i] < threshold ? 0 : 255;
      ASSERT_EQ(pack_bw(width, height, page, threshold), pack_plane(width, height, expected))
          << "width " << width << " threshold " << threshold;
    }
}

TEST(HalftoneDiffusion, WorkedExamples)
{
  EXPECT_EQ(pack_dither(10, 2, Bytes(20, 255)), Bytes(4, 0x00));
  EXPECT_EQ(pack_dither(10, 2, Bytes(20, 0)), Bytes({0xFF, 0xC0, 0xFF, 0xC0}));

  // -89 passes -38, then -127 passes -55 (truncated, not -56): 0x20.
  EXPECT_EQ(pack_dither(3, 1, {166, 166, 166}), Bytes({0x20}));
  EXPECT_EQ(pack_dither(2, 2, Bytes(4, 100)), Bytes({0x80, 0xC0}));
  EXPECT_EQ(pack_dither(4, 2, Bytes(8, 128)), Bytes({0x50, 0xA0}));

  // One column passes only the 5/16 share down: 90 + 31 stays black, where
  // 7/16 would have made it white.
  Plane column = {100, 90};
  image_FloydSteinberg(column.data(), 1, 2);
  EXPECT_EQ(column, Plane({0, 0}));

}

TEST(HalftoneDiffusion, RowWisePackerEqualsThePlane)
{
  std::mt19937 random(2024);
  std::vector<std::vector<BYTE>> tables;

  tables.push_back({});  // identity
  for (int number : {0, 1, 3, 7, 10, -1})
  {
    image_BuildTable(number / 5.0);
    tables.emplace_back(g_image_GammaLUT, g_image_GammaLUT + 256);
  }

  std::vector<std::pair<int, int>> sizes = {{1, 1}, {1, 37}, {37, 1}, {2, 2}, {3, 5},
                                            {300, 7}, {333, 9}, {257, 4}, {700, 12}};
  for (int width = 7; width <= 17; width ++)
    sizes.push_back({width, 1 + width % 6});
  for (int i = 0; i < 30; i ++)
    sizes.push_back({100 + static_cast<int>(random() % 400), 2 + static_cast<int>(random() % 9)});

  for (const auto &[width, height] : sizes)
    for (int kind = 0; kind < 8; kind ++)
      for (const std::vector<BYTE> &table : tables)
      {
        const Bytes page = test_page(kind, width, height, random);
        Plane       plane(page.size());
        Plane       textbook(page.size());

        for (size_t i = 0; i < page.size(); i ++)
          plane[i] = textbook[i] = table.empty() ? page[i] : table[page[i]];

        image_FloydSteinberg(plane.data(), width, height);
        diffuse_one_by_one(textbook, width, height);
        ASSERT_EQ(plane, textbook) << width << " x " << height << " kind " << kind;

        for (std::int32_t v : plane)
          ASSERT_TRUE(v == 0 || v == 255);

        ASSERT_EQ(pack_dither(width, height, page, table.empty() ? nullptr : table.data()),
                  pack_plane(width, height, plane))
            << width << " x " << height << " kind " << kind;
      }
}

TEST(HalftonePackers, EmptyPagesAndFailedAllocationsLeaveTheBuffer)
{
  BYTE  page[4] = {1, 2, 3, 4};
  PBYTE data    = page;

  // Nothing to pack: the buffer stays as it is, with the caller.
  for (auto [w, h] : {std::pair{0, 5}, {5, 0}, {-3, 2}, {2, -3}})
  {
    EXPECT_EQ(image_ThresholdingBW(w, h, &data, 128), 1);
    EXPECT_EQ(image_ThresholdingDITHER(w, h, &data), 1);
    image_FloydSteinberg(reinterpret_cast<std::int32_t *>(page), w, h);
    EXPECT_EQ(data, page);
    EXPECT_EQ(page[0] + page[1] + page[2] + page[3], 10);
  }

  // Packed rows that cannot be allocated: 0, and the page is still the caller's.
  EXPECT_EQ(image_ThresholdingBW(INT32_MAX, INT32_MAX, &data, 128), 0);
  EXPECT_EQ(image_ThresholdingDITHER(INT32_MAX, INT32_MAX, &data), 0);
  EXPECT_EQ(data, page);
}

TEST(HalftoneGamma, TableEntriesByBlacknessNumber)
{
  const int entries[] = {0, 1, 16, 64, 128, 192, 254, 255};
  const struct
  {
    int  number;
    BYTE values[8];
  } rows[] = {
      {0, {255, 255, 255, 255, 255, 255, 255, 255}},
      {1, {73, 91, 147, 193, 222, 241, 255, 255}},
      {3, {5, 11, 48, 111, 168, 215, 254, 255}},
      {5, {0, 1, 16, 64, 128, 192, 254, 255}},
      {7, {0, 0, 5, 36, 97, 171, 253, 254}},
      {10, {0, 0, 0, 15, 64, 144, 252, 254}},
  };

  for (const auto &row : rows)
  {
    image_BuildTable(row.number / 5.0);
    for (int i = 0; i < 8; i ++)
      EXPECT_EQ(g_image_GammaLUT[entries[i]], row.values[i])
          << "number " << row.number << " entry " << entries[i];
  }

  image_BuildTable(4 / 5.0);
  EXPECT_EQ(g_image_GammaLUT[0], 1);
  for (int number = 6; number <= 15; number ++)
  {
    image_BuildTable(number / 5.0);
    EXPECT_EQ(g_image_GammaLUT[255], 254) << number;
  }

  // Negative exponents would go above 255 (number -1 gives about 890 for
  // entry 0): every entry is held at 255.  Extreme exponents stay defined.
  for (double exponent : {-0.2, -4.0, -1e9})
  {
    image_BuildTable(exponent);
    for (int i = 0; i < 256; i ++)
      ASSERT_EQ(g_image_GammaLUT[i], 255) << exponent << " entry " << i;
  }
  image_BuildTable(1e9);
  EXPECT_EQ(g_image_GammaLUT[255], 0);
  image_BuildTable(NAN);
}

TEST(HalftoneBlackness, KeywordForms)
{
  EXPECT_EQ(blackness_number("h5"), 5);
  EXPECT_EQ(blackness_number("h-1"), -1);
  EXPECT_EQ(blackness_number("h+7"), 7);
  EXPECT_EQ(blackness_number("h \t\n12mm"), 12);
  EXPECT_EQ(blackness_number("h007"), 7);
  EXPECT_EQ(blackness_number(("h" + std::string(300, '0') + "9").c_str()), 9);
  for (const char *bad : {"", "h", "h-", "h+-3", "H5", " h5", "x5", "5", "hx5"})
    EXPECT_EQ(blackness_number(bad), 0) << bad;
  EXPECT_EQ(blackness_number(nullptr), 0);

  // Numbers too large for 32-bit thresholds are held at the limit.
  EXPECT_EQ(blackness_number("h99999999999"), pelna::kBlacknessLimit);
  EXPECT_EQ(blackness_number(("h-" + std::string(300, '9')).c_str()), -pelna::kBlacknessLimit);
  EXPECT_EQ(fixed_threshold(pelna::kBlacknessLimit), 10 * pelna::kBlacknessLimit + 150);
  EXPECT_EQ(fixed_threshold(-pelna::kBlacknessLimit), -40 * pelna::kBlacknessLimit);

  // Within range the reading is that of sscanf's "h%d".
  std::mt19937 random(5);
  const char   alphabet[] = "hhhH +-0123456789x\t";
  for (int i = 0; i < 20000; i ++)
  {
    std::string keyword;
    int         digits = 0;
    for (int n = random() % 8; n > 0; n --)
    {
      const char c = alphabet[random() % (sizeof(alphabet) - 1)];
      digits += (c >= '0' && c <= '9');
      keyword += c;
    }
    if (digits > 7)
      continue;
    int expected = 0;
    sscanf(keyword.c_str(), "h%d", &expected);
    ASSERT_EQ(blackness_number(keyword.c_str()), expected) << '"' << keyword << '"';
  }

  const int thresholds[] = {0, 40, 80, 120, 160, 200, 210, 220, 230, 240, 250};
  for (int number = 0; number <= 10; number ++)
    EXPECT_EQ(fixed_threshold(number), thresholds[number]);
  EXPECT_EQ(fixed_threshold(-1), -40);
}

namespace {

const char *const kHalftonePpd = R"PPD(*PPD-Adobe: "4.3"
*FormatVersion: "4.3"
*FileVersion: "1.0"
*LanguageVersion: English
*LanguageEncoding: ISOLatin1
*PCFileName: "HALFTONE.PPD"
*Manufacturer: "Pelna"
*Product: "(Halftone Test)"
*ModelName: "Halftone Test"
*ShortNickName: "Halftone Test"
*NickName: "Halftone Test"
*OpenUI *Halftone/Halftone: PickOne
*Halftone BW/Threshold: ""
*Halftone bw/Lower case: ""
*Halftone Dither/Error diffusion: ""
*CloseUI: *Halftone
*OpenUI *BlacknessAdjustH/Blackness: PickOne
*BlacknessAdjustH h0/0: ""
*BlacknessAdjustH h3/3: ""
*BlacknessAdjustH h4/4: ""
*BlacknessAdjustH h5/5: ""
*BlacknessAdjustH h6/6: ""
*BlacknessAdjustH h7/7: ""
*BlacknessAdjustH h10/10: ""
*BlacknessAdjustH x5/Not a number: ""
*BlacknessAdjustH h99999999999/Huge: ""
*CloseUI: *BlacknessAdjustH
)PPD";

// The PPD above (which has no defaults) with the given choices marked;
// NULL leaves an option without a marked choice.  libcups marks choices
// regardless of case, so "bw" is marked in a PPD without "BW".
ppd_file_t *
halftone_ppd(const char *halftone, const char *blackness)
{
  std::string text = kHalftonePpd;

  if (halftone && !strcmp(halftone, "bw"))
    text.erase(text.find("*Halftone BW/"), strlen("*Halftone BW/Threshold: \"\"\n"));

  const std::string path = temp_file(text);
  ppd_file_t       *ppd  = ppdOpenFile(path.c_str());

  remove_file(path);
  EXPECT_NE(ppd, nullptr);
  if (halftone)
    ppdMarkOption(ppd, "Halftone", halftone);
  if (blackness)
    ppdMarkOption(ppd, "BlacknessAdjustH", blackness);
  return ppd;
}

struct Halftoned
{
  BOOL        ok;       // result of image_Thresholding
  bool        replaced; // the page buffer was replaced
  Bytes       data;     // what the buffer holds afterwards (packed size)
  std::string log;      // what was logged
};

// Runs image_Thresholding on a copy of the page, with a temporary log.
Halftoned
halftone(const char *halftoneChoice, const char *blackness, int width, int height,
         const Bytes &page)
{
  ppd_file_t         *ppd = halftone_ppd(halftoneChoice, blackness);
  cups_page_header2_t header;
  PBYTE               data   = page_buffer(page);
  const PBYTE         before = data;
  Halftoned           result;

  memset(&header, 0, sizeof(header));
  header.cupsWidth  = width;
  header.cupsHeight = height;

  start_log_capture();
  result.ok       = image_Thresholding(ppd, &header, &data);
  result.replaced = data != before;
  result.data.assign(data, data + (result.replaced ? row_bytes(width) * height : page.size()));
  free(data);

  result.log = end_log_capture();
  ppdClose(ppd);
  return result;
}

Bytes
ramp()
{
  Bytes page(256);

  for (int i = 0; i < 256; i ++)
    page[i] = static_cast<BYTE>(i);
  return page;
}

// Packed row of 256 pixels whose first n are black.
Bytes
first_black(int n)
{
  Bytes packed(32, 0);

  for (int x = 0; x < n && x < 256; x ++)
    packed[x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
  return packed;
}

} // namespace

TEST(HalftoneSelection, FixedThresholdByBlacknessNumber)
{
  const struct
  {
    const char *keyword;
    int         threshold;
  } cases[] = {{"h3", 120}, {"h4", 160}, {"h5", 200}, {"h6", 210}, {"h0", 0},
               {"x5", 0}, {"h99999999999", 10 * pelna::kBlacknessLimit + 150}};

  // The fixed-threshold path leaves the gamma table alone.
  last_threshold      = 1234;
  g_image_GammaLUT[9] = 99;

  for (const auto &c : cases)
  {
    const Halftoned r = halftone("BW", c.keyword, 256, 1, ramp());

    EXPECT_EQ(r.ok, 1);
    EXPECT_TRUE(r.replaced);
    EXPECT_EQ(r.data, first_black(c.threshold)) << c.keyword;
    EXPECT_EQ(r.log, "DEBUG: BlacknessAdjustH->choice=" + std::string(c.keyword) +
                         ",threshold=" + std::to_string(c.threshold) + "\n");
  }

  EXPECT_EQ(last_threshold, 1234);
  EXPECT_EQ(g_image_GammaLUT[9], 99);
}

TEST(HalftoneSelection, WithoutBothChoicesThePageStays)
{
  const Bytes page = ramp();

  for (auto [h, b] : {std::pair<const char *, const char *>{"BW", nullptr},
                      {"Dither", nullptr}, {nullptr, "h5"}, {nullptr, nullptr}})
  {
    const Halftoned r = halftone(h, b, 256, 1, page);

    EXPECT_EQ(r.ok, 1);
    EXPECT_FALSE(r.replaced);
    EXPECT_EQ(r.data, page);
    EXPECT_EQ(r.log, "");
  }
}

TEST(HalftoneSelection, ErrorDiffusionThroughTheGammaTable)
{
  std::mt19937 random(11);
  const Bytes  photo = test_page(0, 40, 6, random);

  // Any keyword but "BW" diffuses; number 5 is the identity table.
  for (const char *choice : {"Dither", "bw"})
  {
    const Halftoned r = halftone(choice, "h5", 40, 6, photo);

    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.data, pack_dither(40, 6, photo));
    EXPECT_EQ(r.log, "");
  }

  // Number 0 on the first page of a job (table still all 0): all white.
  last_threshold = pelna::kGammaUnbuilt;
  memset(g_image_GammaLUT, 0, sizeof(g_image_GammaLUT));
  EXPECT_EQ(halftone("Dither", "h0", 40, 6, Bytes(240, 0)).data, Bytes(30, 0));

  // A keyword that does not read as a number is number 0 on this path too.
  EXPECT_EQ(halftone("Dither", "x5", 40, 6, Bytes(240, 0)).data, Bytes(30, 0));

  // Number 10 turns white into 254, whose error of -1 passes nothing.
  EXPECT_EQ(halftone("Dither", "h10", 40, 6, Bytes(240, 255)).data, Bytes(30, 0));
}

TEST(HalftoneSelection, GammaTableBuiltOnlyWhenTheNumberChanges)
{
  const Bytes page(64, 128);

  last_threshold = pelna::kGammaUnbuilt;
  EXPECT_EQ(halftone("Dither", "h7", 8, 8, page).ok, 1);
  EXPECT_EQ(last_threshold, 70);
  EXPECT_EQ(g_image_GammaLUT[16], 5);

  // A mark in the table survives pages that need no rebuild.
  g_image_GammaLUT[16] = 99;
  (void)halftone("Dither", "h7", 8, 8, page);
  (void)halftone("BW", "h3", 8, 8, page);
  (void)halftone("Dither", "h7", 8, 8, page);
  EXPECT_EQ(g_image_GammaLUT[16], 99);

  // A new number rebuilds, and so does the return to the earlier one.
  (void)halftone("Dither", "h10", 8, 8, page);
  EXPECT_EQ(last_threshold, 100);
  EXPECT_EQ(g_image_GammaLUT[16], 0);
  g_image_GammaLUT[16] = 99;
  (void)halftone("Dither", "h7", 8, 8, page);
  EXPECT_EQ(last_threshold, 70);
  EXPECT_EQ(g_image_GammaLUT[16], 5);
}

TEST(HalftoneSelection, DriverHalftonesBeforeTheCommandStream)
{
  ppd_file_t         *ppd = halftone_ppd("BW", "h5");
  cups_page_header2_t header;
  const Bytes         page = ramp();

  memset(&header, 0, sizeof(header));
  header.cupsWidth = header.cupsBytesPerLine = 256;
  header.cupsHeight = 1;
  header.cupsBitsPerPixel = 8;

  PBYTE       data   = page_buffer(page);
  const DWORD length = build_print_data(ppd, &header, &data);

  ASSERT_GT(length, 0u);
  const Bytes stream = frame_stream(Bytes(data, data + length));
  free(data);

  // Page-width command (7 bytes), then the one raster row: 1F 10 20 00 ...
  ASSERT_GE(stream.size(), 7u + 4 + 32);
  EXPECT_EQ(Bytes(stream.begin() + 7, stream.begin() + 11), Bytes({0x1F, 0x10, 0x20, 0x00}));
  EXPECT_EQ(Bytes(stream.begin() + 11, stream.begin() + 43), first_black(200));

  // A page whose packed rows cannot be allocated: 0, and the page stays.
  header.cupsWidth = header.cupsBytesPerLine = 65535;
  header.cupsHeight = INT32_MAX;
  data = page_buffer(page);
  const PBYTE before = data;
  EXPECT_EQ(build_print_data(ppd, &header, &data), 0u);
  EXPECT_EQ(data, before);
  EXPECT_EQ(Bytes(data, data + 256), page);
  free(data);
  ppdClose(ppd);
}

namespace {

// How a page's rows are fed to a halftoner.
enum class Feed
{
  Single,  // one row at a time
  Pairs,   // two rows at a time, an odd last row alone
  Offset   // one row, then two at a time, an odd last row alone
};

// Feeds a page to a halftoner as feed says and returns the rows it hands
// back.
Bytes
rows_of(pelna::Halftoner &ht, int width, int height, const Bytes &page, Feed feed = Feed::Single)
{
  Bytes        out;
  const size_t w = static_cast<size_t>(width);

  for (int y = 0; y < height;)
  {
    const BYTE *gray = page.data() + static_cast<size_t>(y) * w;

    if (feed == Feed::Single || y + 1 == height || (feed == Feed::Offset && y == 0))
    {
      const auto row = pelna::halftone_row(ht, {gray, w});

      EXPECT_EQ(row.size(), row_bytes(width)) << "row " << y;
      out.insert(out.end(), row.begin(), row.end());
      y ++;
      continue;
    }

    const pelna::RowPair pair = pelna::halftone_row_pair(ht, {gray, w}, {gray + w, w});

    EXPECT_EQ(pair.upper.size(), row_bytes(width)) << "rows " << y;
    EXPECT_EQ(pair.lower.size(), row_bytes(width)) << "rows " << y;
    out.insert(out.end(), pair.upper.begin(), pair.upper.end());
    out.insert(out.end(), pair.lower.begin(), pair.lower.end());
    y += 2;
  }

  // The page has all its rows: nothing more comes out.
  EXPECT_TRUE(pelna::halftone_row(ht, {page.data(), w}).empty());
  EXPECT_TRUE(pelna::halftone_row_pair(ht, {page.data(), w}, {page.data(), w}).upper.empty());
  pelna::halftone_end(ht);
  return out;
}

// Runs a page through halftone_begin with the settings; the log lines go
// to *log.
Bytes
halftone_rows(pelna::Halftone method, int blackness, int width, int height,
              const Bytes &page, std::string *log, Feed feed = Feed::Single)
{
  pelna::JobSettings settings;
  pelna::Halftoner   ht;

  settings.halftone          = method;
  settings.blackness         = blackness;
  settings.blackness_keyword = "h" + std::to_string(blackness);

  const pelna::MessageSink sink = {[](void *ctx, pelna::Level level, const char *text) {
    *static_cast<std::string *>(ctx) += std::string(pelna::level_word(level)) + ": " + text + "\n";
  }, log};

  EXPECT_TRUE(pelna::halftone_begin(ht, width, height, settings, sink));
  return rows_of(ht, width, height, page, feed);
}

} // namespace

TEST(HalftoneRows, RowByRowEqualsTheWholePage)
{
  std::mt19937 random(31);

  // Rows one at a time, two at a time (an odd last row alone) and two at a
  // time after a single first row all give the whole page's bits: the
  // shares left pending after a pair are those of two single rows.
  for (int width : {1, 2, 7, 8, 9, 63, 64, 65, 66, 129, 200, 255, 256, 257, 1001})
    for (int kind : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10})
    {
      const int   height = 1 + static_cast<int>(random() % 8);
      const Bytes page   = test_page(kind, width, height, random);

      for (Feed feed : {Feed::Single, Feed::Pairs, Feed::Offset})
      {
        for (int number : {-3, 0, 1, 4, 5, 7, 10, 11, 40})
        {
          const std::string where = std::to_string(width) + " x " + std::to_string(height) +
                                    " kind " + std::to_string(kind) + " number " +
                                    std::to_string(number) + " feed " +
                                    std::to_string(static_cast<int>(feed));

          // Threshold: the fixed threshold of the number, and its DEBUG line.
          std::string log;
          ASSERT_EQ(halftone_rows(pelna::Halftone::Threshold, number, width, height, page, &log, feed),
                    pack_bw(width, height, page, fixed_threshold(number)))
              << where;
          ASSERT_EQ(log, "DEBUG: BlacknessAdjustH->choice=h" + std::to_string(number) +
                             ",threshold=" + std::to_string(fixed_threshold(number)) + "\n");

          // Diffusion: the plane diffused pixel by pixel through the number's
          // table, and the filter's packer with that table; nothing logged.
          image_BuildTable(10 * number / 50.0);
          Plane plane(page.size());
          for (size_t i = 0; i < page.size(); i ++)
            plane[i] = g_image_GammaLUT[page[i]];
          diffuse_one_by_one(plane, width, height);

          log.clear();
          const Bytes rows =
              halftone_rows(pelna::Halftone::Diffusion, number, width, height, page, &log, feed);
          ASSERT_EQ(rows, pack_plane(width, height, plane)) << where;
          ASSERT_EQ(rows, pack_dither(width, height, page, g_image_GammaLUT)) << where;
          ASSERT_EQ(log, "");
        }

        // As is: row y is bytes y x row bytes onward of the page.
        std::string log;
        ASSERT_EQ(halftone_rows(pelna::Halftone::AsIs, 5, width, height, page, &log, feed),
                  Bytes(page.begin(), page.begin() + row_bytes(width) * height))
            << width << " x " << height;
        ASSERT_EQ(log, "");
      }
    }

  // A row shorter than the width is refused, and so is every row after
  // the end of the page; a pair needs two rows left.
  pelna::Halftoner ht;
  const Bytes      page(30, 0);
  ASSERT_TRUE(pelna::halftone_begin_threshold(ht, 10, 3, 128));
  EXPECT_TRUE(pelna::halftone_row(ht, {page.data(), 9}).empty());
  EXPECT_TRUE(pelna::halftone_row_pair(ht, {page.data(), 10}, {page.data(), 9}).lower.empty());
  const pelna::RowPair top = pelna::halftone_row_pair(ht, {page.data(), 10}, {page.data(), 10});
  EXPECT_EQ(Bytes(top.lower.begin(), top.lower.end()), Bytes({0xFF, 0xC0}));
  EXPECT_TRUE(pelna::halftone_row_pair(ht, {page.data(), 10}, {page.data(), 10}).upper.empty());
  EXPECT_EQ(rows_of(ht, 10, 1, page), Bytes({0xFF, 0xC0}));  // the last row, then the end

  // The pipeline takes two gray rows at once as it takes one: both land in
  // the stream, and the frame is that of one row at a time.
  pelna::JobSettings settings;
  settings.halftone  = pelna::Halftone::Diffusion;
  settings.blackness = 7;
  image_BuildTable(7 / 5.0);
  const Bytes gray = test_page(0, 30, 3, random);

  pelna::PagePipeline one, two;
  ASSERT_TRUE(pelna::page_begin(one, 30, 3, settings, {}));
  ASSERT_TRUE(pelna::page_begin(two, 30, 3, settings, {}));
  Bytes singles, pairs;
  for (size_t y = 0; y < 3; y ++)
  {
    const auto row = pelna::page_gray_row(one, {gray.data() + 30 * y, 30});
    singles.insert(singles.end(), row.begin(), row.end());
  }
  EXPECT_TRUE(pelna::page_gray_rows(two, {gray.data(), 30}, {gray.data() + 30, 29}).upper.empty());
  const pelna::RowPair pair = pelna::page_gray_rows(two, {gray.data(), 30}, {gray.data() + 30, 30});
  pairs.insert(pairs.end(), pair.upper.begin(), pair.upper.end());
  pairs.insert(pairs.end(), pair.lower.begin(), pair.lower.end());
  EXPECT_TRUE(pelna::page_gray_rows(two, {gray.data() + 60, 30}, {gray.data() + 60, 30}).upper.empty());
  const auto last = pelna::page_gray_row(two, {gray.data() + 60, 30});
  pairs.insert(pairs.end(), last.begin(), last.end());
  EXPECT_EQ(pairs, singles);
  EXPECT_EQ(pairs, pack_dither(30, 3, gray, g_image_GammaLUT));

  const pelna::PageFrame frameOne = pelna::page_end(one, {});
  const pelna::PageFrame frameTwo = pelna::page_end(two, {});
  ASSERT_TRUE(frameOne.bytes && frameTwo.bytes);
  EXPECT_EQ(Bytes(frameTwo.bytes.get(), frameTwo.bytes.get() + frameTwo.size),
            Bytes(frameOne.bytes.get(), frameOne.bytes.get() + frameOne.size));
}

TEST(HalftoneRows, WideRowsInHalvesAreOneChain)
{
  // A row of 256 pixels or more is diffused as two halves side by side,
  // the right half guessing that no share reaches it from the left, put
  // right afterwards: every row, taken alone or after rows taken in pairs,
  // has the bits of one chain from the left edge to the right, whatever
  // meets at the middle (shares that die out at once or never, quiet
  // paper on either side) and however far the guess stays wrong.
  std::mt19937     random(812);
  std::vector<int> widths = {255, 256, 257, 258, 812, 813};

  for (int i = 0; i < 12; i ++)
    widths.push_back(256 + static_cast<int>(random() % 1800));

  for (int width : widths)
    for (int kind : {0, 1, 3, 5, 6, 8, 9, 10})
      for (int number : {1, 4, 7})
      {
        constexpr int height = 24;
        const Bytes   page   = test_page(kind, width, height, random);

        image_BuildTable(10 * number / 50.0);
        Plane plane(page.size());
        for (size_t i = 0; i < page.size(); i ++)
          plane[i] = g_image_GammaLUT[page[i]];
        diffuse_one_by_one(plane, width, height);

        const Bytes expected = pack_plane(width, height, plane);

        for (Feed feed : {Feed::Single, Feed::Offset})
        {
          std::string log;

          ASSERT_EQ(halftone_rows(pelna::Halftone::Diffusion, number, width, height, page, &log, feed),
                    expected)
              << width << " x " << height << " kind " << kind << " number " << number << " feed "
              << static_cast<int>(feed);
        }
      }
}
