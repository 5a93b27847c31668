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

} // namespace

BENCHMARK(BM_FrameTextA4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FramePhotoA4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameLabel)->DenseRange(pelna::kMinDeflateLevel, pelna::kMaxDeflateLevel)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
