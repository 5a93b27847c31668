//
// Speed and memory of the halftoning packers on two typical pages:
//
//   A4 at 300 dpi (2480 x 3508), photo-like: smooth shading, edges, noise;
//   a 4 x 6 inch label at 203 dpi (812 x 1218), mostly white with text-like
//   bars and a bar code.
//
// Every packer frees the page it is given, so each iteration packs a fresh
// copy; the copy is made with the clock stopped.  Times are the process's
// CPU time (page faults included), which other work on a shared machine
// disturbs less than wall time.  Counters:
//
//   ns_per_pixel  CPU time per page pixel in nanoseconds (the console
//                 shows it with an "s", as it does every inverted rate);
//   alloc_bytes   everything the packer allocates for one page (its output
//                 included), from the known allocation sizes;
//   work_bytes    the part of it that is freed again before returning.
//
// The plane-based reference maps the page through the gamma table in place,
// widens it into a plane of 32-bit values, diffuses the plane with
// image_FloydSteinberg() and packs it: the straightforward way, kept here as
// the yardstick for image_ThresholdingDITHER().  Both run the same
// diffusion code; the row-wise packer saves the plane, its copy and its
// packing pass, and passes over quiet stretches of black and white.
//

#include "pelna.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int kA4Width     = 2480;
constexpr int kA4Height    = 3508;
constexpr int kLabelWidth  = 812;
constexpr int kLabelHeight = 1218;

constexpr int kBlackness = 7;  // a typical darker-than-neutral setting

// Rows that image_ThresholdingDITHER() diffuses side by side; it keeps one
// row of 0/1 flags for each, padded to whole bytes.
constexpr size_t kDiffusionRows = 2;

struct Page
{
  int               width;
  int               height;
  std::vector<BYTE> pixels;
};

//
// 'photo_page()' - Smooth shading with edges and grain, like a photograph.
//

Page
photo_page(int width,   // I - Pixels per row
           int height)  // I - Rows
{
  Page                               page{width, height, {}};
  std::mt19937                       random(1234);
  std::uniform_int_distribution<int> grain(-12, 12);

  page.pixels.resize(static_cast<size_t>(width) * height);

  for (int y = 0; y < height; y ++)
    for (int x = 0; x < width; x ++)
    {
      double v = 128.0 + 90.0 * sin(x / 211.0) * cos(y / 157.0) +
                 30.0 * sin((x + y) / 37.0);

      if ((x / 300 + y / 400) % 3 == 0)  // patches with hard edges
        v = 255.0 - v * 0.6;

      const int value = static_cast<int>(v) + grain(random);

      page.pixels[static_cast<size_t>(y) * width + x] =
          static_cast<BYTE>(value < 0 ? 0 : value > 255 ? 255 : value);
    }

  return page;
}

//
// 'label_page()' - White page with lines of text-like bars and a bar code.
//

Page
label_page(int width,   // I - Pixels per row
           int height)  // I - Rows
{
  Page                               page{width, height, {}};
  std::mt19937                       random(42);
  std::uniform_int_distribution<int> coin(0, 99);

  page.pixels.assign(static_cast<size_t>(width) * height, 255);

  auto fill = [&](int x0, int y0, int w, int h, BYTE value) {
    for (int y = y0; y < y0 + h && y < height; y ++)
      for (int x = x0; x < x0 + w && x < width; x ++)
        page.pixels[static_cast<size_t>(y) * width + x] = value;
  };

  // Lines of "characters": short bars of random width with gaps.
  for (int line = 40; line < height / 2; line += 60)
    for (int x = 40; x < width - 60;)
    {
      const int w = 8 + coin(random) % 20;

      if (coin(random) < 80)
        fill(x, line, w, 30, static_cast<BYTE>(coin(random) < 90 ? 0 : 90));
      x += w + 6;
    }

  // A bar code across the lower half.
  for (int x = 60; x < width - 60;)
  {
    const int w = 2 + coin(random) % 8;

    fill(x, height / 2 + 100, w, 400, 0);
    x += w + 2 + coin(random) % 8;
  }

  return page;
}

const Page &
a4_page()
{
  static const Page page = photo_page(kA4Width, kA4Height);
  return page;
}

const Page &
label()
{
  static const Page page = label_page(kLabelWidth, kLabelHeight);
  return page;
}

size_t
row_bytes(int width)
{
  return static_cast<size_t>(width - 1) / 8 + 1;
}

//
// 'fresh_copy()' - Copy of a page in a new malloc'ed buffer.
//

PBYTE
fresh_copy(const Page &page)
{
  PBYTE buffer = static_cast<PBYTE>(malloc(page.pixels.size()));

  if (!buffer)
    abort();
  memcpy(buffer, page.pixels.data(), page.pixels.size());
  return buffer;
}

//
// 'reference_dither()' - Plane-based packer: map, widen, diffuse, pack.
//

BOOL
reference_dither(int width, int height, PBYTE *data, const BYTE *gamma)
{
  const size_t pixels   = static_cast<size_t>(width) * height;
  const size_t rowBytes = row_bytes(width);
  PBYTE        page     = *data;

  for (size_t i = 0; i < pixels; i ++)
    page[i] = gamma[page[i]];

  auto *plane = static_cast<std::int32_t *>(malloc(pixels * sizeof(std::int32_t)));
  if (!plane)
    return 0;

  PBYTE packed = static_cast<PBYTE>(malloc(rowBytes * height));
  if (!packed)
  {
    free(plane);
    return 0;
  }

  for (size_t i = 0; i < pixels; i ++)
    plane[i] = page[i];

  image_FloydSteinberg(plane, width, height);

  memset(packed, 0, rowBytes * height);
  for (int y = 0; y < height; y ++)
    for (int x = 0; x < width; x ++)
      if (plane[static_cast<size_t>(y) * width + x] <= 127)
        packed[y * rowBytes + x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));

  free(plane);
  free(page);
  *data = packed;
  return 1;
}

enum class Packer
{
  Threshold,  // image_ThresholdingBW
  Diffusion,  // image_ThresholdingDITHER, row by row
  Plane       // reference_dither
};

//
// 'run_packer()' - Time one packer on one page.
//

void
run_packer(benchmark::State &state, const Page &page, Packer packer)
{
  const size_t rowBytes = row_bytes(page.width);
  const size_t packed   = rowBytes * page.height;
  const size_t pixels   = page.pixels.size();
  size_t       work     = 0;

  image_BuildTable(kBlackness / 5.0);

  switch (packer)
  {
    case Packer::Threshold:
      work = 0;
      break;
    case Packer::Diffusion:
      // The flag rows and one row of 16-bit pending shares.
      work = kDiffusionRows * 8 * rowBytes + page.width * sizeof(std::int16_t);
      break;
    case Packer::Plane:
      work = pixels * sizeof(std::int32_t);  // the plane
      break;
  }

  for (auto _ : state)
  {
    state.PauseTiming();
    PBYTE buffer = fresh_copy(page);
    state.ResumeTiming();

    BOOL ok = 0;

    switch (packer)
    {
      case Packer::Threshold:
        ok = image_ThresholdingBW(page.width, page.height, &buffer,
                                  fixed_threshold(kBlackness));
        break;
      case Packer::Diffusion:
        ok = image_ThresholdingDITHER(page.width, page.height, &buffer, g_image_GammaLUT);
        break;
      case Packer::Plane:
        ok = reference_dither(page.width, page.height, &buffer, g_image_GammaLUT);
        break;
    }

    benchmark::DoNotOptimize(buffer);
    state.PauseTiming();
    if (!ok)
      state.SkipWithError("out of memory");
    free(buffer);
    state.ResumeTiming();
  }

  state.counters["ns_per_pixel"] =
      benchmark::Counter(static_cast<double>(pixels) * 1e-9,
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kInvert);
  state.counters["alloc_bytes"] = static_cast<double>(packed + work);
  state.counters["work_bytes"]  = static_cast<double>(work);
}

void BM_ThresholdA4(benchmark::State &s)    { run_packer(s, a4_page(), Packer::Threshold); }
void BM_DiffusionA4(benchmark::State &s)    { run_packer(s, a4_page(), Packer::Diffusion); }
void BM_PlaneA4(benchmark::State &s)        { run_packer(s, a4_page(), Packer::Plane); }
void BM_ThresholdLabel(benchmark::State &s) { run_packer(s, label(), Packer::Threshold); }
void BM_DiffusionLabel(benchmark::State &s) { run_packer(s, label(), Packer::Diffusion); }
void BM_PlaneLabel(benchmark::State &s)     { run_packer(s, label(), Packer::Plane); }

BENCHMARK(BM_ThresholdA4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffusionA4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlaneA4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThresholdLabel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffusionLabel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlaneLabel)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
