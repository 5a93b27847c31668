// SPDX-License-Identifier: Apache-2.0
//
// The app's PWG raster reader reads what libcups reads: pages of random
// runs and literals of every depth the printer meets (1, 8, 16 and 24 bits)
// written by libcups's own writer come back as libcups reads them, header
// and rows; hand-made streams with a row ended by a fill byte, runs longer
// than their row and line repeats past the page's end come back as libcups
// reads them; a stream cut anywhere, or with a header of impossible
// layout, ends the reading without a fault, and a stream that is not PWG
// raster is left to libcups.
//

#include "pwg_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using namespace pelna_app;

namespace {

using Bytes = std::vector<std::uint8_t>;

//
// 'temp_file()' - A temporary file holding bytes, opened for reading.
//

int
temp_file(const std::string &bytes)  // I - Contents
{
  char      templ[] = "/tmp/pwg-reader-test.XXXXXX";
  const int fd      = mkstemp(templ);

  unlink(templ);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  lseek(fd, 0, SEEK_SET);
  return fd;
}

//
// 'header_of()' - A PWG page header of a size and depth.
//

cups_page_header2_t
header_of(unsigned width, unsigned height, unsigned bits, cups_cspace_t space)  // I - Page
{
  cups_page_header2_t h;

  memset(&h, 0, sizeof(h));
  strcpy(h.MediaClass, "PwgRaster");
  h.HWResolution[0] = h.HWResolution[1] = 203;
  h.cupsWidth        = width;
  h.cupsHeight       = height;
  h.cupsBitsPerPixel = bits;
  h.cupsBitsPerColor = bits == 24 ? 8 : bits;
  h.cupsBytesPerLine = (width * bits + 7) / 8;
  h.cupsColorOrder   = CUPS_ORDER_CHUNKED;
  h.cupsColorSpace   = space;
  h.cupsNumColors    = bits == 24 ? 3 : 1;
  return h;
}

//
// 'random_rows()' - Rows of runs, literals and repeated rows.
//

Bytes
random_rows(const cups_page_header2_t &h, std::mt19937 &random)  // I - Page, IO - Random numbers
{
  Bytes rows(static_cast<std::size_t>(h.cupsBytesPerLine) * h.cupsHeight);

  for (unsigned y = 0; y < h.cupsHeight; y++)
  {
    std::uint8_t *row = rows.data() + static_cast<std::size_t>(y) * h.cupsBytesPerLine;
    if (y > 0 && random() % 3 == 0)
    {
      memcpy(row, row - h.cupsBytesPerLine, h.cupsBytesPerLine);
      continue;
    }
    for (unsigned x = 0; x < h.cupsBytesPerLine;)
    {
      const unsigned run = std::min<unsigned>(1 + random() % 40, h.cupsBytesPerLine - x);
      const bool     flat = random() % 2;
      const auto     value = static_cast<std::uint8_t>(random() % 4 == 0 ? 255 : random());
      for (unsigned i = 0; i < run; i++)
        row[x + i] = flat ? value : static_cast<std::uint8_t>(random());
      x += run;
    }
  }
  return rows;
}

//
// 'libcups_stream()' - Pages written by libcups's PWG writer.
//

std::string
libcups_stream(const std::vector<std::pair<cups_page_header2_t, Bytes>> &pages)  // I - Pages
{
  char      templ[] = "/tmp/pwg-reader-test.XXXXXX";
  const int fd      = mkstemp(templ);
  unlink(templ);

  cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  for (auto [h, rows] : pages)
  {
    EXPECT_TRUE(cupsRasterWriteHeader2(ras, &h));
    EXPECT_EQ(cupsRasterWritePixels(ras, rows.data(), static_cast<unsigned>(rows.size())), rows.size());
  }
  cupsRasterClose(ras);

  std::string bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  close(fd);
  return bytes;
}

//
// A page as one reader read it.
//

struct ReadPage
{
  unsigned width, height, bits, bytes_per_line, space;  // from the header
  Bytes    rows;                                        // the rows that arrived
  bool     whole;                                       // every row arrived

  bool operator==(const ReadPage &) const = default;
};

//
// 'PrintTo()' - A page in a failure message: its layout and its first
// byte that differs from a blank page, enough to find the row by.
//

void
PrintTo(const ReadPage &page, std::ostream *out)  // I - Page, IO - Message
{
  *out << page.width << "x" << page.height << " " << page.bits << "-bit space " << page.space << ", "
       << page.rows.size() << " bytes" << (page.whole ? "" : " (cut)");
}

//
// 'expect_same()' - Two readers' pages the same, or the first byte apart.
//

void
expect_same(const std::vector<ReadPage> &ours, const std::vector<ReadPage> &theirs,
            const std::string &where)  // I - Pages read, where in the test
{
  ASSERT_EQ(ours.size(), theirs.size()) << where;
  for (std::size_t p = 0; p < ours.size(); p++)
  {
    EXPECT_EQ(ours[p], theirs[p]) << where << ", page " << p + 1;
    const auto &a = ours[p].rows, &b = theirs[p].rows;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); i++)
      if (a[i] != b[i])
      {
        ADD_FAILURE() << where << ", page " << p + 1 << ": row " << i / theirs[p].bytes_per_line
                      << " byte " << i % theirs[p].bytes_per_line << " is " << int(a[i]) << ", libcups reads "
                      << int(b[i]);
        break;
      }
  }
}

//
// 'read_libcups()' - Every page libcups reads from a stream.
//

std::vector<ReadPage>
read_libcups(const std::string &bytes)  // I - Stream
{
  const int             fd  = temp_file(bytes);
  cups_raster_t        *ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
  cups_page_header2_t   h;
  std::vector<ReadPage> pages;

  while (ras && cupsRasterReadHeader2(ras, &h))
  {
    ReadPage page{h.cupsWidth, h.cupsHeight, h.cupsBitsPerPixel, h.cupsBytesPerLine,
                  static_cast<unsigned>(h.cupsColorSpace), {}, true};
    Bytes    row(h.cupsBytesPerLine);
    for (unsigned y = 0; y < h.cupsHeight && page.whole; y++)
    {
      page.whole = cupsRasterReadPixels(ras, row.data(), h.cupsBytesPerLine) == h.cupsBytesPerLine;
      if (page.whole)
        page.rows.insert(page.rows.end(), row.begin(), row.end());
    }
    pages.push_back(page);
    if (!page.whole)
      break;
  }
  cupsRasterClose(ras);
  close(fd);
  return pages;
}

//
// 'read_ours()' - Every page the app's reader reads from a stream.
//

std::vector<ReadPage>
read_ours(const std::string &bytes)  // I - Stream
{
  const int             fd = temp_file(bytes);
  PwgReader             reader;
  cups_page_header2_t   h;
  std::vector<ReadPage> pages;

  EXPECT_TRUE(pwg_open(reader, fd));
  while (pwg_next_page(reader, h))
  {
    ReadPage page{h.cupsWidth, h.cupsHeight, h.cupsBitsPerPixel, h.cupsBytesPerLine,
                  static_cast<unsigned>(h.cupsColorSpace), {}, true};
    Bytes    row(h.cupsBytesPerLine);
    for (unsigned y = 0; y < h.cupsHeight && page.whole; y++)
    {
      page.whole = pwg_read_row(reader, row);
      if (page.whole)
        page.rows.insert(page.rows.end(), row.begin(), row.end());
    }
    pages.push_back(page);
    if (!page.whole)
      break;
  }
  close(fd);
  return pages;
}

//
// 'page_bytes()' - A page's header on the wire (network order) and its
// compressed rows as given.
//

std::string
page_bytes(cups_page_header2_t h, const Bytes &compressed)  // I - Header, rows
{
  std::string out(reinterpret_cast<const char *>(&h), sizeof(h));
  for (std::size_t i = offsetof(cups_page_header2_t, AdvanceDistance);
       i + 4 <= offsetof(cups_page_header2_t, cupsString); i += 4)
  {
    std::swap(out[i], out[i + 3]);
    std::swap(out[i + 1], out[i + 2]);
  }
  return out + std::string(compressed.begin(), compressed.end());
}

} // namespace

//
// Pages libcups writes, of every depth, read back the same by both readers.
//

TEST(PwgReader, ReadsWhatLibcupsWrites)
{
  std::mt19937 random(7);
  const struct
  {
    unsigned      bits;
    cups_cspace_t space;
  } depths[] = {{1, CUPS_CSPACE_K}, {8, CUPS_CSPACE_SW}, {8, CUPS_CSPACE_K}, {16, CUPS_CSPACE_SW},
                {24, CUPS_CSPACE_SRGB}};

  for (int round = 0; round < 20; round++)
  {
    std::vector<std::pair<cups_page_header2_t, Bytes>> pages;
    for (int p = 0; p < 3; p++)
    {
      const auto &depth = depths[random() % std::size(depths)];
      const auto  h     = header_of(1 + random() % 900, 1 + random() % 60, depth.bits, depth.space);
      pages.emplace_back(h, random_rows(h, random));
    }
    const std::string bytes   = libcups_stream(pages);
    const auto        theirs  = read_libcups(bytes);
    ASSERT_EQ(theirs.size(), pages.size());
    expect_same(read_ours(bytes), theirs, "round " + std::to_string(round));
  }
}

//
// Rows libcups's writer never makes, read the same: a row ended by the
// fill byte (white for gray, zero for K and RGBA), runs longer than their
// row, and a line repeat that reaches past the page's end.
//

TEST(PwgReader, ReadsOddRowsAsLibcups)
{
  std::string stream = "RaS2";
  // Gray: a row of 2 literal pixels then the fill byte; a run of 128 pixels
  // in a row of 10; a row repeated 5 times on a page of 3 rows.
  const cups_page_header2_t gray = header_of(10, 3, 8, CUPS_CSPACE_SW);
  stream += page_bytes(gray, {0, 255, 7, 9, 128, 0, 127, 42, 4, 9, 5});
  // Black: a fill byte at the start of a row, then a run cut to its row.
  const cups_page_header2_t black = header_of(16, 2, 8, CUPS_CSPACE_K);
  stream += page_bytes(black, {0, 128, 0, 20, 1});
  // RGB with alpha: its fill byte is 0, not white.
  const cups_page_header2_t rgba = header_of(4, 1, 24, CUPS_CSPACE_RGBA);
  stream += page_bytes(rgba, {0, 0, 1, 2, 3, 128});

  const auto theirs = read_libcups(stream);
  ASSERT_EQ(theirs.size(), 3u);
  expect_same(read_ours(stream), theirs, "odd rows");
}

//
// A stream cut anywhere ends the reading without a fault, never with a
// row libcups would not read; a header of an impossible layout is refused;
// a stream that is not PWG raster is left alone.
//

TEST(PwgReader, CutAndDamagedStreamsEndTheReading)
{
  std::mt19937 random(11);
  const auto   h     = header_of(100, 20, 8, CUPS_CSPACE_SW);
  const auto   bytes = libcups_stream({{h, random_rows(h, random)}, {h, random_rows(h, random)}});

  for (std::size_t size = 0; size < bytes.size(); size += 3)
  {
    const auto ours = size >= 4 + sizeof(cups_page_header2_t) ? read_ours(bytes.substr(0, size))
                                                               : std::vector<ReadPage>{};
    const auto theirs = read_libcups(bytes.substr(0, size));
    ASSERT_LE(ours.size(), theirs.size() + 1) << "cut at " << size;
    for (std::size_t i = 0; i < ours.size(); i++)
    {
      ASSERT_LE(ours[i].rows.size(), theirs[i].rows.size()) << "cut at " << size;
      EXPECT_TRUE(std::equal(ours[i].rows.begin(), ours[i].rows.end(), theirs[i].rows.begin())) << "cut at " << size;
    }
  }

  cups_page_header2_t wrong = h;
  wrong.cupsBytesPerLine    = 1U << 30;
  const int   fd            = temp_file("RaS2" + page_bytes(wrong, {0, 128}));
  PwgReader   reader;
  cups_page_header2_t read;
  ASSERT_TRUE(pwg_open(reader, fd));
  EXPECT_FALSE(pwg_next_page(reader, read));
  EXPECT_TRUE(reader.damaged);
  close(fd);

  const int other = temp_file("UNIRAST" + std::string(40, '\0'));
  EXPECT_FALSE(pwg_open(reader, other));
  EXPECT_EQ(lseek(other, 0, SEEK_CUR), 0);
  close(other);
}
