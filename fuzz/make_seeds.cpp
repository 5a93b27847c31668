// SPDX-License-Identifier: Apache-2.0
//
// Writes the seed corpora of the fuzz targets:
//
//   make-fuzz-seeds <corpus folder>
//
// fills <corpus folder>/raster, /inspect and /options with small valid
// inputs and hostile ones.  The committed corpora were made by this
// program; inputs the fuzzers found are kept next to them under their own
// names.
//

#include "gray_page_header.h"
#include "pelna.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

//
// 'write_seed()' - Store one seed file.
//

void
write_seed(const std::filesystem::path &dir,   // I - Corpus folder
           const std::string           &name,  // I - File name
           const Bytes                 &data)  // I - Contents
{
  std::ofstream out(dir / name, std::ios::binary);

  out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

//
// 'append_bytes()' - Raster write callback: append to a byte vector.
//

ssize_t
append_bytes(void *ctx, unsigned char *buffer, size_t length)
{
  Bytes *out = static_cast<Bytes *>(ctx);

  out->insert(out->end(), buffer, buffer + length);
  return static_cast<ssize_t>(length);
}

//
// 'raster()' - A raster stream of 8-bit gray pages written by libcups, each
// filled with a diagonal pattern.
//

Bytes
raster(const std::vector<std::pair<unsigned, unsigned>> &sizes,  // I - Width, height
       cups_mode_t                                       mode)   // I - Writer mode
{
  Bytes          out;
  cups_raster_t *ras = cupsRasterOpenIO(append_bytes, &out, mode);

  for (const auto &[width, height] : sizes)
  {
    cups_page_header2_t header = gray_page_header(width, height, 203);
    Bytes               pixels(static_cast<std::size_t>(width) * height);

    for (std::size_t i = 0; i < pixels.size(); i ++)
      pixels[i] = static_cast<std::uint8_t>(i * 37 / 3);
    cupsRasterWriteHeader2(ras, &header);
    cupsRasterWritePixels(ras, pixels.data(), static_cast<unsigned>(pixels.size()));
  }
  cupsRasterClose(ras);
  return out;
}

//
// 'raw_raster()' - An uncompressed stream laid out by hand: one good page,
// then a page with the given header and pixel bytes.
//

Bytes
raw_raster(const cups_page_header2_t &hostile,  // I - Second page header
           std::size_t                pixels)   // I - Pixel bytes after it
{
  Bytes out = raster({{16, 2}}, CUPS_RASTER_WRITE);
  const auto *p = reinterpret_cast<const std::uint8_t *>(&hostile);

  out.insert(out.end(), p, p + sizeof(hostile));
  out.insert(out.end(), pixels, 0x80);
  return out;
}

//
// 'with_choices()' - Prefix a raster stream with the raster target's two
// choice bytes.
//

Bytes
with_choices(std::uint8_t mode, std::uint8_t blackness, const Bytes &stream)
{
  Bytes out = {mode, blackness};

  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

//
// 'raster_seeds()' - Seeds of the whole-path target.
//

void
raster_seeds(const std::filesystem::path &dir)  // I - Corpus folder
{
  const Bytes small   = raster({{16, 3}, {24, 2}}, CUPS_RASTER_WRITE);
  const Bytes packed  = raster({{40, 5}, {9, 1}}, CUPS_RASTER_WRITE_COMPRESSED);
  const Bytes wide    = raster({{203, 4}}, CUPS_RASTER_WRITE_COMPRESSED);

  // Choice byte: bits 0-1 halftoning, bit 2 PrintDebug, 3-4 page mark,
  // 5-7 read pieces; second byte: blackness keyword.
  const struct { const char *name; std::uint8_t mode, blackness; const Bytes &stream; } valid[] = {
    {"valid-bw-label",        0x00, 4,  small},
    {"valid-dither-black",    0x09, 2,  small},
    {"valid-none",            0x02, 0,  small},
    {"valid-debug-dither",    0x05, 6,  small},
    {"valid-compressed-bw",   0x10, 10, packed},
    {"valid-compressed-pipe", 0x81, 7,  packed},
    {"valid-bytewise-reads",  0x80, 4,  small},
    {"valid-wide-dither",     0x19, 9,  wide},
    {"valid-huge-blackness",  0x00, 10, wide},
  };
  for (const auto &seed : valid)
    write_seed(dir, seed.name, with_choices(seed.mode, seed.blackness, seed.stream));

  // Cut streams: inside the second header and inside the last pixels.
  write_seed(dir, "cut-in-header", with_choices(0, 4, Bytes(small.begin(), small.begin() + 1900)));
  write_seed(dir, "cut-in-pixels", with_choices(0xA1, 4, Bytes(small.begin(), small.end() - 5)));
  write_seed(dir, "cut-compressed", with_choices(0x61, 4, Bytes(packed.begin(), packed.end() - 3)));

  // Hostile second pages.
  struct Hostile { const char *name; cups_page_header2_t header; std::size_t pixels; };
  std::vector<Hostile> hostile;
  cups_page_header2_t  h;

  h = gray_page_header(64, 10, 203); h.cupsBitsPerColor = 1; h.cupsBitsPerPixel = 1; h.cupsBytesPerLine = 8;
  hostile.push_back({"hostile-1bit", h, 80});
  h = gray_page_header(16, 4, 203); h.cupsBitsPerColor = 16; h.cupsBitsPerPixel = 16; h.cupsBytesPerLine = 32;
  hostile.push_back({"hostile-16bit", h, 128});
  h = gray_page_header(16, 4, 203); h.cupsBitsPerColor = 8; h.cupsBitsPerPixel = 24; h.cupsBytesPerLine = 48;
  h.cupsColorSpace = CUPS_CSPACE_RGB;
  hostile.push_back({"hostile-24bit", h, 192});
  h = gray_page_header(65536, 1, 203);
  hostile.push_back({"hostile-width-65536", h, 0});
  h = gray_page_header(16, 0, 203);
  hostile.push_back({"hostile-height-0", h, 0});
  h = gray_page_header(0, 4, 203); h.cupsBytesPerLine = 0;
  hostile.push_back({"hostile-width-0", h, 0});
  h = gray_page_header(32768, 131073, 203);  // 2^32 + 32768 pixels: 32768 in 32 bits
  hostile.push_back({"hostile-overflow-32", h, 64});
  h = gray_page_header(65535, 65535, 203);
  hostile.push_back({"hostile-too-many-pixels", h, 64});
  h = gray_page_header(16, 4, 203); h.cupsBytesPerLine = 20;
  hostile.push_back({"hostile-row-length", h, 80});

  for (const Hostile &seed : hostile)
    write_seed(dir, seed.name, with_choices(0x01, 4, raw_raster(seed.header, seed.pixels)));

  write_seed(dir, "not-raster", with_choices(0, 4, Bytes{'%', '!', 'P', 'S', '\n'}));
  write_seed(dir, "empty", with_choices(0, 4, Bytes{}));
}

//
// 'frame_of()' - A page frame made by the filter from packed rows.
//

Bytes
frame_of(unsigned width, unsigned height)  // I - Page size
{
  const unsigned      rowBytes = (width + 7) / 8;
  cups_page_header2_t header   = gray_page_header(width, height, 203);
  PBYTE               data     = static_cast<PBYTE>(malloc(rowBytes * height + 1));

  for (unsigned i = 0; i < rowBytes * height; i ++)
    data[i] = static_cast<BYTE>(i * 73);
  for (unsigned y = 0; y < height && width % 8; y ++)
    data[y * rowBytes + rowBytes - 1] &= static_cast<BYTE>(0xFF00 >> (width % 8));

  DWORD size = image_buildPrintData(nullptr, &header, &data);
  if (!size || !gzip_frame(&data, &size))
    exit(1);

  Bytes frame(data, data + size);
  free(data);
  return frame;
}

//
// 'inspect_seeds()' - Seeds of the decoder target: option byte, then data.
//

void
inspect_seeds(const std::filesystem::path &dir)  // I - Corpus folder
{
  const Bytes one = frame_of(20, 3);
  Bytes       two = frame_of(8, 1);
  const Bytes big = frame_of(300, 40);

  two.insert(two.end(), one.begin(), one.end());

  auto seed = [&](const char *name, std::uint8_t options, const Bytes &data) {
    Bytes out = {options};
    out.insert(out.end(), data.begin(), data.end());
    write_seed(dir, name, out);
  };

  seed("one-frame", 0xFF, one);
  seed("two-frames-dots", 0xFD, two);
  seed("big-frame-commands", 0xFE, big);
  seed("small-stream-cap", 0xE3, big);
  seed("one-page-cap", 0x1F, two);

  Bytes bad = one;
  bad[12] ^= 0x40;  // inside the deflate body
  seed("corrupt-body", 0xFF, bad);
  bad = one;
  bad[4] = 0xFF;    // length field
  seed("bad-length", 0xFF, bad);
  seed("cut-frame", 0xFF, Bytes(one.begin(), one.end() - 6));
  seed("empty", 0xFF, Bytes{});
}

//
// 'options_seeds()' - Seeds of the option target: choice byte, width,
// height, keyword, NUL, pixels.
//

void
options_seeds(const std::filesystem::path &dir)  // I - Corpus folder
{
  const char *keywords[] = {"h0", "h1", "h4", "h5", "h6", "h10", "h11", "h-1", "h-20",
                            "h99999999999", "h-99999999999", "x5", "H5", "h 7", "h+3",
                            "h-", "h", "h5x", ""};
  int         n          = 0;

  for (const char *keyword : keywords)
  {
    for (std::uint8_t mode : {0, 1})
    {
      Bytes out = {mode, static_cast<std::uint8_t>(13 + n), static_cast<std::uint8_t>(5 + n % 4)};

      const std::string text = keyword;
      out.insert(out.end(), text.begin(), text.end());
      out.push_back(0);
      for (int i = 0; i < 37; i ++)
        out.push_back(static_cast<std::uint8_t>(i * 7 + n * 29));
      write_seed(dir, "keyword-" + std::to_string(n ++), out);
    }
  }
}

} // namespace

//
// 'main()' - Write the three corpora.
//

int
main(int  argc,    // I - Number of arguments
     char *argv[]) // I - Corpus folder
{
  if (argc != 2)
  {
    fprintf(stderr, "usage: %s corpus-folder\n", argv[0]);
    return 1;
  }

  const std::filesystem::path root = argv[1];

  for (const char *target : {"raster", "inspect", "options"})
    std::filesystem::create_directories(root / target);

  raster_seeds(root / "raster");
  inspect_seeds(root / "inspect");
  options_seeds(root / "options");
  return 0;
}
