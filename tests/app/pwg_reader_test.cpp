// SPDX-License-Identifier: Apache-2.0
//
// The app's PWG raster reader reads what libcups reads on every page
// header PWG raster defines: pages of random runs and literals of every
// PWG raster type (black_1, sgray_8, srgb_8, cmyk_16, device2_8 and the
// rest) written by libcups's own writer come back as libcups reads them,
// header and rows; hand-made streams with a row ended by a fill byte, runs
// longer than their row and line repeats past the page's end come back as
// libcups reads them.  A page header PWG raster does not define (bits per
// colour, bits per pixel, colour space, colour count or colour order that
// do not agree, or rows not as long as the width makes them), which
// libcups may read all the same, is refused with a reason naming the page,
// and the reading ends there.  A stream cut anywhere, or a page without
// width, ends the reading without a fault, and a stream that is not PWG
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
// 'pwg_header()' - The page header libcups makes for a PWG raster type,
// e.g. "sgray_8", of a size.
//

cups_page_header2_t
pwg_header(const char *type, unsigned width, unsigned height)  // I - Type, page size
{
  cups_page_header2_t h;

  EXPECT_TRUE(cupsRasterInitPWGHeader(&h, pwgMediaForPWG("na_index-4x6_4x6in"), type, 203, 203, "one-sided",
                                      nullptr))
      << type;
  strcpy(h.MediaClass, "PwgRaster");  // as libcups's writer writes it
  h.cupsWidth        = width;
  h.cupsHeight       = height;
  h.cupsBytesPerLine = (width * h.cupsBitsPerPixel + 7) / 8;
  return h;
}

// PWG raster's types (PWG 5102.4), as libcups makes their headers: all of
// them, of the device colours Device1 to Device4, Device7 and Device15.
constexpr const char *kPwgTypes[] = {
    "black_1",  "black_8",   "black_16",   "sgray_1",      "sgray_8",     "sgray_16",    "srgb_8",
    "srgb_16",  "rgb_8",     "rgb_16",     "adobe-rgb_8",  "adobe-rgb_16", "cmyk_8",     "cmyk_16",
    "device1_8", "device1_16", "device2_8", "device2_16",  "device3_8",   "device4_16",  "device7_8",
    "device15_8", "device15_16"};

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
// Pages libcups writes, of every PWG raster type, read back the same by
// both readers: each type alone, then pages of random types in a stream.
//

TEST(PwgReader, ReadsWhatLibcupsWrites)
{
  std::mt19937 random(7);

  for (const char *type : kPwgTypes)
  {
    const auto        h      = pwg_header(type, 1 + random() % 300, 1 + random() % 20);
    const std::string bytes  = libcups_stream({{h, random_rows(h, random)}});
    const auto        theirs = read_libcups(bytes);
    ASSERT_EQ(theirs.size(), 1u) << type;
    expect_same(read_ours(bytes), theirs, type);
  }
  for (int round = 0; round < 20; round++)
  {
    std::vector<std::pair<cups_page_header2_t, Bytes>> pages;
    for (int p = 0; p < 3; p++)
    {
      const auto h = pwg_header(kPwgTypes[random() % std::size(kPwgTypes)], 1 + random() % 900, 1 + random() % 60);
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
// fill byte (white for gray, zero for K and CMYK), runs longer than their
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
  // CMYK: its fill byte is 0 (no ink), not white.
  const cups_page_header2_t cmyk = pwg_header("cmyk_8", 4, 1);
  stream += page_bytes(cmyk, {0, 0, 1, 2, 3, 4, 128});

  const auto theirs = read_libcups(stream);
  ASSERT_EQ(theirs.size(), 3u);
  expect_same(read_ours(stream), theirs, "odd rows");
}

//
// A stream cut anywhere ends the reading without a fault, never with a
// row libcups would not read; a page without width, or of rows longer than
// the reader takes, ends the reading as damaged; a stream that is not PWG
// raster is left alone.
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

  PwgReader           reader;
  cups_page_header2_t read;
  for (const unsigned width : {0U, kPwgMaxRowBytes + 1})
  {
    const int fd = temp_file("RaS2" + page_bytes(header_of(width, 20, 8, CUPS_CSPACE_SW), {0, 128}));
    ASSERT_TRUE(pwg_open(reader, fd));
    EXPECT_FALSE(pwg_next_page(reader, read)) << width;
    EXPECT_TRUE(reader.damaged) << width;
    EXPECT_FALSE(reader.refused) << width;
    close(fd);
  }

  const int other = temp_file("UNIRAST" + std::string(40, '\0'));
  EXPECT_FALSE(pwg_open(reader, other));
  EXPECT_EQ(lseek(other, 0, SEEK_CUR), 0);
  close(other);
}

//
// Page headers PWG raster does not define, libcups's reader reads some of
// them all the same, are refused with a reason naming the page: on page 1,
// and on page 2 after a page that reads whole.  The reading stays ended.
//

TEST(PwgReader, RefusesHeadersPwgRasterDoesNotDefine)
{
  struct Case
  {
    const char *name;
    void (*spoil)(cups_page_header2_t &);  // makes an sgray_8 page of 100 x 4 undefined
    const char *reason;                     // part of the reason
  };
  const Case cases[] = {
      // The fuzzer's input: 10 bits per colour, 16 per pixel, sGray.
      {"10 bits per colour", [](cups_page_header2_t &h) {
         h.cupsBitsPerColor = 10, h.cupsBitsPerPixel = 16, h.cupsBytesPerLine = 200;
       }, "it has 10 bits per colour; in PWG raster, sGray (colour space 18) has 1, 8 or 16."},
      {"2 bits per colour, as CUPS raster has", [](cups_page_header2_t &h) {
         h.cupsBitsPerColor = h.cupsBitsPerPixel = 2, h.cupsBytesPerLine = 25;
       }, "it has 2 bits per colour"},
      {"1-bit sRGB", [](cups_page_header2_t &h) {
         h.cupsColorSpace = CUPS_CSPACE_SRGB, h.cupsNumColors = 3, h.cupsBitsPerColor = 1;
         h.cupsBitsPerPixel = 3, h.cupsBytesPerLine = 38;
       }, "it has 1 bit per colour; in PWG raster, sRGB (colour space 19) has 8 or 16."},
      {"1-bit CMYK", [](cups_page_header2_t &h) {
         h.cupsColorSpace = CUPS_CSPACE_CMYK, h.cupsNumColors = 4, h.cupsBitsPerColor = 1;
         h.cupsBitsPerPixel = 4, h.cupsBytesPerLine = 50;
       }, "it has 1 bit per colour; in PWG raster, CMYK (colour space 6) has 8 or 16."},
      {"CUPS raster's RGBA", [](cups_page_header2_t &h) {
         h.cupsColorSpace = CUPS_CSPACE_RGBA, h.cupsNumColors = 4, h.cupsBitsPerPixel = 32, h.cupsBytesPerLine = 400;
       }, "its colour space is 2, which PWG raster does not have"},
      {"CUPS raster's DeviceCMY", [](cups_page_header2_t &h) {
         h.cupsColorSpace = CUPS_CSPACE_CMY, h.cupsNumColors = 3, h.cupsBitsPerPixel = 24, h.cupsBytesPerLine = 300;
       }, "its colour space is 4, which PWG raster does not have"},
      {"3 colours of DeviceGray", [](cups_page_header2_t &h) {
         h.cupsColorSpace = CUPS_CSPACE_W, h.cupsNumColors = 3, h.cupsBitsPerPixel = 24, h.cupsBytesPerLine = 300;
       }, "it has 3 colours; in PWG raster, DeviceGray (colour space 0) has 1."},
      {"a colour space past Device15", [](cups_page_header2_t &h) {
         h.cupsColorSpace = static_cast<cups_cspace_t>(63);
       }, "its colour space is 63"},
      {"a colour space of no name", [](cups_page_header2_t &h) {
         const unsigned space = 0xFFFFFFFF;  // past the enumeration's range: copied in, not cast
         memcpy(&h.cupsColorSpace, &space, sizeof(space));
       }, "its colour space is 4294967295"},
      {"3 colours of sGray", [](cups_page_header2_t &h) {
         h.cupsNumColors = 3, h.cupsBitsPerPixel = 24, h.cupsBytesPerLine = 300;
       }, "it has 3 colours; in PWG raster, sGray (colour space 18) has 1."},
      {"sRGB of 1 colour", [](cups_page_header2_t &h) { h.cupsColorSpace = CUPS_CSPACE_SRGB; },
       "it has 1 colour; in PWG raster, sRGB (colour space 19) has 3."},
      {"16 bits per pixel for 8-bit gray", [](cups_page_header2_t &h) {
         h.cupsBitsPerPixel = 16, h.cupsBytesPerLine = 200;
       }, "it has 16 bits per pixel; in PWG raster, sGray (colour space 18) of 8 bits per colour has 8."},
      {"24 bits per pixel for Device2", [](cups_page_header2_t &h) {
         h.cupsColorSpace = CUPS_CSPACE_DEVICE2, h.cupsNumColors = 2, h.cupsBitsPerPixel = 24;
         h.cupsBytesPerLine = 300;
       }, "it has 24 bits per pixel; in PWG raster, Device2 (colour space 49) of 8 bits per colour has 16."},
      {"banded colours", [](cups_page_header2_t &h) { h.cupsColorOrder = CUPS_ORDER_BANDED; },
       "its colours are in order 1; PWG raster has only chunky order (0)"},
      {"planar colours", [](cups_page_header2_t &h) { h.cupsColorOrder = CUPS_ORDER_PLANAR; },
       "its colours are in order 2"},
      {"rows too long for the width", [](cups_page_header2_t &h) { h.cupsBytesPerLine = 101; },
       "its rows are 101 bytes long for 100 pixels of 8 bits; in PWG raster they are 100."},
      {"rows too short for 1-bit black", [](cups_page_header2_t &h) {
         h.cupsColorSpace = CUPS_CSPACE_K, h.cupsBitsPerColor = h.cupsBitsPerPixel = 1, h.cupsBytesPerLine = 12;
       }, "its rows are 12 bytes long for 100 pixels of 1 bit; in PWG raster they are 13."},
      {"rows of 1 GiB", [](cups_page_header2_t &h) { h.cupsBytesPerLine = 1U << 30; },
       "its rows are 1073741824 bytes long for 100 pixels of 8 bits"},
  };

  std::mt19937              random(13);
  const cups_page_header2_t good  = pwg_header("sgray_8", 100, 4);
  const std::string         first = libcups_stream({{good, random_rows(good, random)}});

  for (const Case &c : cases)
  {
    cups_page_header2_t bad = good;
    c.spoil(bad);
    const std::string page = page_bytes(bad, {0, 128});

    for (const unsigned at : {1U, 2U})
    {
      SCOPED_TRACE(std::string(c.name) + ", page " + std::to_string(at));
      const int           fd = temp_file(at == 1 ? "RaS2" + page : first + page);
      PwgReader           reader;
      cups_page_header2_t h;
      Bytes               row(100);

      ASSERT_TRUE(pwg_open(reader, fd));
      if (at == 2)
      {
        ASSERT_TRUE(pwg_next_page(reader, h));
        for (unsigned y = 0; y < h.cupsHeight; y++)
          ASSERT_TRUE(pwg_read_row(reader, row));
      }
      EXPECT_FALSE(pwg_next_page(reader, h));
      EXPECT_TRUE(reader.refused);
      EXPECT_FALSE(reader.damaged);
      const std::string reason = reader.reason;
      EXPECT_EQ(reason.rfind("Page " + std::to_string(at) + " cannot be printed: ", 0), 0u) << reason;
      EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
      EXPECT_FALSE(pwg_next_page(reader, h)) << "read on after the refusal";
      close(fd);
    }
  }
}

//
// What CUPS's own writers put in PWG raster is read as libcups reads it:
// DeviceGray (colour space 0, as Ghostscript's cups device and rastertopwg
// pass it on from a PPD's gray), and a colour count of 0 (libcups's writer
// leaves it so), which both readers fill from the colour space.
//

TEST(PwgReader, ReadsWhatCupsWritesAsLibcups)
{
  std::mt19937 random(17);
  std::vector<std::pair<cups_page_header2_t, Bytes>> pages;

  for (const auto &[bits, space] : {std::pair{8U, CUPS_CSPACE_W}, std::pair{1U, CUPS_CSPACE_W},
                                    std::pair{16U, CUPS_CSPACE_W}, std::pair{8U, CUPS_CSPACE_SW},
                                    std::pair{24U, CUPS_CSPACE_SRGB}})
  {
    cups_page_header2_t h = header_of(1 + random() % 300, 1 + random() % 20, bits, space);
    h.cupsNumColors       = 0;
    pages.emplace_back(h, random_rows(h, random));
  }
  const std::string bytes  = libcups_stream(pages);
  const auto        theirs = read_libcups(bytes);
  ASSERT_EQ(theirs.size(), pages.size());
  expect_same(read_ours(bytes), theirs, "CUPS's gray, no colour count");

  // The headers too, the colour count filled.
  const int           fd = temp_file(bytes), libcups_fd = temp_file(bytes);
  cups_raster_t      *ras = cupsRasterOpen(libcups_fd, CUPS_RASTER_READ);
  PwgReader           reader;
  cups_page_header2_t ours, libcups;
  ASSERT_TRUE(pwg_open(reader, fd));
  for (std::size_t p = 0; p < pages.size(); p++)
  {
    ASSERT_TRUE(pwg_next_page(reader, ours));
    ASSERT_TRUE(cupsRasterReadHeader2(ras, &libcups));
    EXPECT_NE(ours.cupsNumColors, 0u) << "page " << p + 1;
    EXPECT_EQ(memcmp(&ours, &libcups, sizeof(ours)), 0) << "page " << p + 1;
    Bytes row(ours.cupsBytesPerLine);
    for (unsigned y = 0; y < ours.cupsHeight; y++)
    {
      ASSERT_TRUE(pwg_read_row(reader, row));
      ASSERT_EQ(cupsRasterReadPixels(ras, row.data(), ours.cupsBytesPerLine), ours.cupsBytesPerLine);
    }
  }
  cupsRasterClose(ras);
  close(libcups_fd);
  close(fd);
}
