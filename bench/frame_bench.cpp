// SPDX-License-Identifier: Apache-2.0
//
// Speed of the page frame: gzip_frame over the command stream of a 1-bit
// A4 page at 300 dpi (2480 x 3508 dots, about 1.1 MB of commands), for a
// text page and a dithered photo page.  Reports MB/s of command stream.
//
// BM_FrameLabel/LEVEL: the frame of a label at every deflate level, CPU
// time and frame bytes, for choosing a level.  The label is the first page
// of the 8-bit gray raster stream named by PELNA_BENCH_LABEL (bash
// bench/label_cost.sh -w FILE writes the label of that bench), dithered
// as the Printer Application dithers it by default (error diffusion,
// blackness 4):
//
//   PELNA_BENCH_LABEL=label.pwg build-bench/bench/frame_bench --benchmark_filter=Label
//
// The ShippingLabel figures need no file: the label of bench_pages.h (text,
// a bar code, a gray logo and a photo band), dithered as above.
// BM_FrameShippingLabel is its frame at the default level;
// BM_ShippingLabelDots is the whole label through the page pipeline as the
// Printer Application drives it (page_begin, page_gray_row for every row,
// page_end), and BM_ShippingLabelDotsPairs the same two rows at a time
// (page_gray_rows), as the filter's job loop drives it: the dots' cost per
// label, halftoning, command stream and frame together.
//

#include "bench_pages.h"
#include "pelna.h"
#include "page_pipeline.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr unsigned kA4Width  = 2480;  // dots at 300 dpi
constexpr unsigned kA4Height = 3508;

//
// 'text_page()' - Packed rows of a page of text: lines of glyphs drawn from
// a small font, as a word processor's page looks once halftoned.
//

std::vector<BYTE>
text_page()
{
  const unsigned    rowBytes = (kA4Width + 7) / 8;
  std::vector<BYTE> packed(static_cast<size_t>(rowBytes) * kA4Height, 0);
  std::mt19937      rng(42);
  BYTE              font[64][36][3];

  for (auto &glyph : font)
    for (auto &row : glyph)
      for (auto &b : row)
        b = static_cast<BYTE>(rng() & rng());

  for (unsigned line = 0; line * 54 + 200 + 36 < kA4Height - 200; line ++)
  {
    for (unsigned col = 8; col + 3 < rowBytes - 8; col += 3)
    {
      const unsigned glyph = rng() % 72;
      if (glyph >= 64)
        continue;  // a space
      for (unsigned y = 0; y < 36; y ++)
        memcpy(&packed[(line * 54 + 200 + y) * rowBytes + col], font[glyph][y], 3);
    }
  }
  return packed;
}

//
// 'photo_page()' - Packed rows of a dithered photo: close to random bits.
//

std::vector<BYTE>
photo_page()
{
  std::vector<BYTE> packed(static_cast<size_t>((kA4Width + 7) / 8) * kA4Height);
  std::mt19937      rng(7);

  for (auto &b : packed)
    b = static_cast<BYTE>(rng());
  return packed;
}

//
// 'command_stream()' - The command stream of the packed page.
//

std::vector<BYTE>
command_stream(const std::vector<BYTE> &packed)
{
  cups_page_header2_t header;
  PBYTE               data = static_cast<PBYTE>(malloc(packed.size()));

  memset(&header, 0, sizeof(header));
  header.cupsWidth  = kA4Width;
  header.cupsHeight = kA4Height;
  memcpy(data, packed.data(), packed.size());

  const DWORD       length = image_buildPrintData(nullptr, &header, &data);
  std::vector<BYTE> stream(data, data + length);

  free(data);
  return stream;
}

void
frame_page(benchmark::State &state, const std::vector<BYTE> &stream)
{
  size_t frameBytes = 0;

  for (auto _ : state)
  {
    state.PauseTiming();
    PBYTE data = static_cast<PBYTE>(malloc(stream.size()));
    memcpy(data, stream.data(), stream.size());
    DWORD size = static_cast<DWORD>(stream.size());
    state.ResumeTiming();

    if (!gzip_frame(&data, &size))
      state.SkipWithError("gzip_frame failed");
    frameBytes = size;
    benchmark::DoNotOptimize(data);

    state.PauseTiming();
    free(data);
    state.ResumeTiming();
  }

  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  state.counters["stream_bytes"] = static_cast<double>(stream.size());
  state.counters["frame_bytes"]  = static_cast<double>(frameBytes);
}

void
BM_FrameTextA4(benchmark::State &state)
{
  static const std::vector<BYTE> stream = command_stream(text_page());
  frame_page(state, stream);
}

void
BM_FramePhotoA4(benchmark::State &state)
{
  static const std::vector<BYTE> stream = command_stream(photo_page());
  frame_page(state, stream);
}

//
// 'label_stream()' - The command stream of the label in PELNA_BENCH_LABEL;
//                    empty when there is none.
//

std::vector<BYTE>
label_stream()
{
  const char *path = getenv("PELNA_BENCH_LABEL");
  const int   fd   = path ? open(path, O_RDONLY) : -1;

  if (fd < 0)
    return {};

  cups_raster_t      *ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
  cups_page_header2_t header;
  std::vector<BYTE>   stream;

  if (ras && cupsRasterReadHeader2(ras, &header) && header.cupsBitsPerPixel == 8 &&
      header.cupsBytesPerLine == header.cupsWidth)
  {
    pelna::JobSettings   settings;  // the app's defaults: diffusion, blackness 4
    pelna::PagePipeline  page;
    std::vector<BYTE>    row(header.cupsWidth);
    std::size_t          length = 0;
    bool                 ok     = pelna::page_begin(page, header.cupsWidth, header.cupsHeight,
                                                    settings, {});

    for (unsigned y = 0; ok && y < header.cupsHeight; y ++)
      ok = cupsRasterReadPixels(ras, row.data(), header.cupsWidth) == header.cupsWidth &&
           !pelna::page_gray_row(page, row).empty();

    const pelna::MallocPtr<std::uint8_t[]> data =
        ok ? pelna::page_finish_stream(page, &length, {}) : nullptr;

    if (data)
      stream.assign(data.get(), data.get() + length);
    pelna::page_abandon(page);
  }
  cupsRasterClose(ras);
  close(fd);
  return stream;
}

void
BM_FrameLabel(benchmark::State &state)
{
  static const std::vector<BYTE> stream = label_stream();
  const int                      level  = static_cast<int>(state.range(0));
  std::size_t                    frameBytes = 0;

  if (stream.empty())
  {
    state.SkipWithError("PELNA_BENCH_LABEL names no 8-bit gray raster stream");
    return;
  }

  for (auto _ : state)
  {
    const pelna::PageFrame frame = pelna::build_frame(stream, level);

    if (!frame.bytes)
    {
      state.SkipWithError("build_frame failed");
      break;
    }
    frameBytes = frame.size;
  }

  state.counters["stream_bytes"] = static_cast<double>(stream.size());
  state.counters["frame_bytes"]  = static_cast<double>(frameBytes);
}

//
// 'pipeline_frame()' - A gray page through the page pipeline with the app's
//                      default settings, one or two rows at a time; an
//                      empty frame when the pipeline refused it.
//

pelna::PageFrame
pipeline_frame(const bench::Page &page,   // I - Gray page
               bool               pairs)  // I - Two rows at a time
{
  const pelna::JobSettings settings;  // diffusion, blackness 4, the default level
  const size_t             width = static_cast<size_t>(page.width);
  pelna::PagePipeline      pipe;

  if (!pelna::page_begin(pipe, page.width, page.height, settings, {}))
    return {};

  size_t y = 0;
  bool   ok = true;

  for (; ok && pairs && y + 1 < static_cast<size_t>(page.height); y += 2)
    ok = !pelna::page_gray_rows(pipe, {page.pixels.data() + y * width, width},
                                {page.pixels.data() + (y + 1) * width, width})
              .upper.empty();
  for (; ok && y < static_cast<size_t>(page.height); y ++)
    ok = !pelna::page_gray_row(pipe, {page.pixels.data() + y * width, width}).empty();

  if (!ok)
  {
    pelna::page_abandon(pipe);
    return {};
  }
  return pelna::page_end(pipe, {});
}

//
// 'shipping_label_stream()' - The command stream of the shipping label.
//

std::vector<BYTE>
shipping_label_stream()
{
  const bench::Page   page = bench::shipping_label();
  const size_t        width = static_cast<size_t>(page.width);
  pelna::PagePipeline pipe;
  std::size_t         length = 0;
  std::vector<BYTE>   stream;

  if (pelna::page_begin(pipe, page.width, page.height, pelna::JobSettings{}, {}))
  {
    for (size_t y = 0; y < static_cast<size_t>(page.height); y ++)
      (void)pelna::page_gray_row(pipe, {page.pixels.data() + y * width, width});

    const pelna::MallocPtr<std::uint8_t[]> data = pelna::page_finish_stream(pipe, &length, {});

    if (data)
      stream.assign(data.get(), data.get() + length);
  }
  pelna::page_abandon(pipe);
  return stream;
}

void
BM_FrameShippingLabel(benchmark::State &state)
{
  static const std::vector<BYTE> stream = shipping_label_stream();
  std::size_t                    frameBytes = 0;

  for (auto _ : state)
  {
    const pelna::PageFrame frame = pelna::build_frame(stream);

    if (!frame.bytes)
    {
      state.SkipWithError("build_frame failed");
      break;
    }
    frameBytes = frame.size;
  }

  state.counters["stream_bytes"] = static_cast<double>(stream.size());
  state.counters["frame_bytes"]  = static_cast<double>(frameBytes);
}

//
// 'label_dots()' - Time the shipping label through the page pipeline.
//

void
label_dots(benchmark::State &state,  // IO - Benchmark state
           bool              pairs)  // I  - Two rows at a time
{
  static const bench::Page page = bench::shipping_label();
  std::size_t              frameBytes = 0;

  for (auto _ : state)
  {
    const pelna::PageFrame frame = pipeline_frame(page, pairs);

    if (!frame.bytes)
    {
      state.SkipWithError("the page pipeline refused the label");
      break;
    }
    frameBytes = frame.size;
  }

  state.counters["frame_bytes"] = static_cast<double>(frameBytes);
}

void BM_ShippingLabelDots(benchmark::State &s)      { label_dots(s, false); }
void BM_ShippingLabelDotsPairs(benchmark::State &s) { label_dots(s, true); }

} // namespace

BENCHMARK(BM_FrameShippingLabel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShippingLabelDots)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShippingLabelDotsPairs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FrameTextA4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FramePhotoA4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameLabel)->DenseRange(pelna::kMinDeflateLevel, pelna::kMaxDeflateLevel)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
