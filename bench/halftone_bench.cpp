// SPDX-License-Identifier: Apache-2.0
//
// Speed and memory of the halftoning packers on typical pages (made in
// bench_pages.h):
//
//   A4 at 300 dpi (2480 x 3508), photo-like: smooth shading, edges, noise;
//   a 4 x 6 inch label at 203 dpi (812 x 1218), mostly white with text-like
//   bars and a bar code;
//   the ShippingLabel: that label with a gray logo and a photo band over
//   its lower quarter, at blackness 4, as the Printer Application dithers
//   it (the Rows figure is the app's way: one row at a time).
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
// The whole-page packers image_ThresholdingBW() and
// image_ThresholdingDITHER() run the page's rows through the core's
// halftoner two rows at a time and copy each packed row out; the Rows
// figures time the core's row functions alone, as a front end that is
// handed rows drives them (halftone_begin, halftone_row for every row,
// halftone_end), and the RowPairs figures the same with halftone_row_pair
// for every two rows, as the job loop drives them; on a page that needs no
// fresh copy.
//
// The BenchLabel figures time the row functions on the first page of the
// 8-bit gray raster stream named by PELNA_BENCH_LABEL (bash
// bench/label_cost.sh -w FILE writes the label of that bench: text, a
// barcode and a photo band) at blackness 4, as the Printer Application
// dithers it; skipped without it.
//

#include "bench_pages.h"
#include "pelna.h"
#include "halftone.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int kA4Width  = 2480;
constexpr int kA4Height = 3508;

constexpr int kBlackness    = 7;  // a typical darker-than-neutral setting
constexpr int kAppBlackness = 4;  // the Printer Application's default

using bench::Page;

const Page &
a4_page()
{
  static const Page page = bench::photo_page(kA4Width, kA4Height);
  return page;
}

const Page &
label()
{
  static const Page page = bench::label_page(bench::kLabelWidth, bench::kLabelHeight);
  return page;
}

const Page &
shipping_label()
{
  static const Page page = bench::shipping_label();
  return page;
}

//
// 'bench_label()' - The first page of the raster stream in PELNA_BENCH_LABEL;
//                   an empty page when there is none.
//

const Page &
bench_label()
{
  static const Page page = [] {
    Page        read{0, 0, {}};
    const char *path = getenv("PELNA_BENCH_LABEL");
    const int   fd   = path ? open(path, O_RDONLY) : -1;

    if (fd < 0)
      return read;

    cups_raster_t      *ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t header;

    if (ras && cupsRasterReadHeader2(ras, &header) && header.cupsBitsPerPixel == 8 &&
        header.cupsBytesPerLine == header.cupsWidth)
    {
      read.pixels.resize(static_cast<size_t>(header.cupsWidth) * header.cupsHeight);
      if (cupsRasterReadPixels(ras, read.pixels.data(), static_cast<unsigned>(read.pixels.size())) ==
          read.pixels.size())
      {
        read.width  = static_cast<int>(header.cupsWidth);
        read.height = static_cast<int>(header.cupsHeight);
      }
      else
        read.pixels.clear();
    }
    cupsRasterClose(ras);
    close(fd);
    return read;
  }();
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

enum class Packer
{
  Threshold,  // image_ThresholdingBW
  Diffusion   // image_ThresholdingDITHER
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
      // One row of 16-bit pending shares, one kept aside while a row is
      // diffused in halves, and two rows of 0/1 flags, padded to whole
      // bytes.
      work = 2 * (page.width + 1) * sizeof(std::int16_t) + 2 * 8 * rowBytes;
      break;
  }
  work += 2 * rowBytes;  // the halftoner's two packed rows

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

//
// 'run_rows()' - Time the core's row functions on one page.
//

void
run_rows(benchmark::State &state, const Page &page, pelna::Halftone method, bool pairs,
         int blackness = kBlackness)
{
  pelna::JobSettings settings;

  if (page.pixels.empty())
  {
    state.SkipWithError("PELNA_BENCH_LABEL names no 8-bit gray raster stream");
    return;
  }
  settings.halftone  = method;
  settings.blackness = blackness;

  const size_t width = static_cast<size_t>(page.width);

  for (auto _ : state)
  {
    pelna::Halftoner ht;

    if (!pelna::halftone_begin(ht, page.width, page.height, settings, {}))
    {
      state.SkipWithError("out of memory");
      break;
    }
    size_t y = 0;

    for (; pairs && y + 1 < static_cast<size_t>(page.height); y += 2)
      benchmark::DoNotOptimize(pelna::halftone_row_pair(ht, {page.pixels.data() + y * width, width},
                                                        {page.pixels.data() + (y + 1) * width, width})
                                   .lower.data());
    for (; y < static_cast<size_t>(page.height); y ++)
      benchmark::DoNotOptimize(pelna::halftone_row(ht, {page.pixels.data() + y * width, width}).data());
    pelna::halftone_end(ht);
  }

  state.counters["ns_per_pixel"] =
      benchmark::Counter(static_cast<double>(page.pixels.size()) * 1e-9,
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kInvert);
}

void BM_ThresholdA4(benchmark::State &s)        { run_packer(s, a4_page(), Packer::Threshold); }
void BM_DiffusionA4(benchmark::State &s)        { run_packer(s, a4_page(), Packer::Diffusion); }
void BM_ThresholdLabel(benchmark::State &s)     { run_packer(s, label(), Packer::Threshold); }
void BM_DiffusionLabel(benchmark::State &s)     { run_packer(s, label(), Packer::Diffusion); }
void BM_ThresholdRowsA4(benchmark::State &s)    { run_rows(s, a4_page(), pelna::Halftone::Threshold, false); }
void BM_DiffusionRowsA4(benchmark::State &s)    { run_rows(s, a4_page(), pelna::Halftone::Diffusion, false); }
void BM_ThresholdRowsLabel(benchmark::State &s) { run_rows(s, label(), pelna::Halftone::Threshold, false); }
void BM_DiffusionRowsLabel(benchmark::State &s) { run_rows(s, label(), pelna::Halftone::Diffusion, false); }
void BM_DiffusionRowPairsA4(benchmark::State &s)    { run_rows(s, a4_page(), pelna::Halftone::Diffusion, true); }
void BM_DiffusionRowPairsLabel(benchmark::State &s) { run_rows(s, label(), pelna::Halftone::Diffusion, true); }
void BM_DiffusionRowsShippingLabel(benchmark::State &s)     { run_rows(s, shipping_label(), pelna::Halftone::Diffusion, false, kAppBlackness); }
void BM_DiffusionRowPairsShippingLabel(benchmark::State &s) { run_rows(s, shipping_label(), pelna::Halftone::Diffusion, true, kAppBlackness); }
void BM_DiffusionRowsBenchLabel(benchmark::State &s)     { run_rows(s, bench_label(), pelna::Halftone::Diffusion, false, kAppBlackness); }
void BM_DiffusionRowPairsBenchLabel(benchmark::State &s) { run_rows(s, bench_label(), pelna::Halftone::Diffusion, true, kAppBlackness); }

BENCHMARK(BM_ThresholdA4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffusionA4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThresholdLabel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffusionLabel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThresholdRowsA4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffusionRowsA4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThresholdRowsLabel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffusionRowsLabel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffusionRowPairsA4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffusionRowPairsLabel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffusionRowsShippingLabel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffusionRowPairsShippingLabel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffusionRowsBenchLabel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiffusionRowPairsBenchLabel)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
