// SPDX-License-Identifier: Apache-2.0
//
// PWG raster, read page by page and row by row (see pwg_reader.h).
//
// A row is a line-repeat byte (the row is used that many times more), then
// runs until the row is full: a byte N below 128 is one pixel used N + 1
// times, a byte N above 128 is 257 - N pixels as they are, and 128 fills
// the rest of the row with white.  A pixel is a byte for 1 to 8 bits per
// pixel, else bits per pixel / 8 bytes.  Runs that overrun the row are cut
// to it, as libcups cuts them.
//
// The page headers PWG raster defines are kPwgSpaces below; a header
// outside them is refused with the reason before any row is read.
//

#include "pwg_reader.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace pelna_app {

namespace {

// Bytes read from the file at a time.
constexpr std::size_t kReadBytes = 64U << 10;

// The sync word of a PWG raster stream, and the MediaClass of its headers.
constexpr char kSync[]       = {'R', 'a', 'S', '2'};
constexpr char kMediaClass[] = "PwgRaster";

// The size of a page header on the wire, and where its numbers lie (the
// rest is text).
constexpr std::size_t kHeaderBytes  = sizeof(cups_page_header2_t);
constexpr std::size_t kNumbersStart = offsetof(cups_page_header2_t, AdvanceDistance);
constexpr std::size_t kNumbersEnd   = offsetof(cups_page_header2_t, cupsString);
static_assert(kHeaderBytes == 1796, "the PWG page header is 1796 bytes");

// Bits per colour as a set: bit N set for N bits.
constexpr std::uint32_t kBits1to16 = (1U << 1) | (1U << 8) | (1U << 16);  // 1, 8 or 16
constexpr std::uint32_t kBits8to16 = (1U << 8) | (1U << 16);              // 8 or 16

//
// A colour space of PWG raster (PWG 5102.4, the ColorSpace values of the
// page header and its pwg-raster-document-type keywords): its number, its
// colours, the bits per colour it takes.  Every pixel holds its colours
// together (chunky), so bits per pixel are colours x bits per colour.
//
// One more is CUPS's: DeviceGray (0), which CUPS's own PWG raster writers
// (Ghostscript's cups device, rastertopwg) pass on from a PPD's gray, as
// the app's sample label comes out of cupsfilter; it is read as sGray is.
//

struct PwgSpace
{
  unsigned      space;   // cupsColorSpace
  unsigned      colors;  // cupsNumColors
  std::uint32_t bits;    // bits per colour it takes, as a set
  const char   *name;    // its name (PWG 5102.4's; CUPS's for DeviceGray)
};

constexpr PwgSpace kPwgSpaces[] = {
  {CUPS_CSPACE_W, 1, kBits1to16, "DeviceGray"},  // CUPS's, see above
  {CUPS_CSPACE_RGB, 3, kBits8to16, "RGB"},
  {CUPS_CSPACE_K, 1, kBits1to16, "Black"},
  {CUPS_CSPACE_CMYK, 4, kBits8to16, "CMYK"},
  {CUPS_CSPACE_SW, 1, kBits1to16, "sGray"},
  {CUPS_CSPACE_SRGB, 3, kBits8to16, "sRGB"},
  {CUPS_CSPACE_ADOBERGB, 3, kBits8to16, "AdobeRGB"},
  {CUPS_CSPACE_DEVICE1, 1, kBits8to16, "Device1"},
  {CUPS_CSPACE_DEVICE2, 2, kBits8to16, "Device2"},
  {CUPS_CSPACE_DEVICE3, 3, kBits8to16, "Device3"},
  {CUPS_CSPACE_DEVICE4, 4, kBits8to16, "Device4"},
  {CUPS_CSPACE_DEVICE5, 5, kBits8to16, "Device5"},
  {CUPS_CSPACE_DEVICE6, 6, kBits8to16, "Device6"},
  {CUPS_CSPACE_DEVICE7, 7, kBits8to16, "Device7"},
  {CUPS_CSPACE_DEVICE8, 8, kBits8to16, "Device8"},
  {CUPS_CSPACE_DEVICE9, 9, kBits8to16, "Device9"},
  {CUPS_CSPACE_DEVICEA, 10, kBits8to16, "Device10"},
  {CUPS_CSPACE_DEVICEB, 11, kBits8to16, "Device11"},
  {CUPS_CSPACE_DEVICEC, 12, kBits8to16, "Device12"},
  {CUPS_CSPACE_DEVICED, 13, kBits8to16, "Device13"},
  {CUPS_CSPACE_DEVICEE, 14, kBits8to16, "Device14"},
  {CUPS_CSPACE_DEVICEF, 15, kBits8to16, "Device15"},
};

//
// 'find_space()' - PWG raster's colour space of a number, or nullptr.
//

constexpr const PwgSpace *
find_space(unsigned space)  // I - cupsColorSpace as a number
{
  for (const PwgSpace &s : kPwgSpaces)
  {
    if (s.space == space)
      return &s;
  }
  return nullptr;
}

static_assert(find_space(CUPS_CSPACE_DEVICEF)->colors == 15 && !find_space(CUPS_CSPACE_RGBA) &&
                  !find_space(CUPS_CSPACE_KCMY) && !find_space(CUPS_CSPACE_CIELab),
              "Device15 has 15 colours; RGBA, KCMY and CIE Lab are CUPS raster's, not PWG raster's");

//
// 'bits_words()' - A set of bits per colour in words: "1, 8 or 16".
//

const char *
bits_words(std::uint32_t bits)  // I - Bits per colour, as a set
{
  return bits == kBits1to16 ? "1, 8 or 16" : "8 or 16";
}

//
// 'fill()' - Read more of the file into the buffer; false at its end or on
// an error.
//

bool
fill(PwgReader &reader)  // IO - Reader
{
  if (reader.pos < reader.end)
    return true;
  if (reader.buffer.size() != kReadBytes)
    reader.buffer.resize(kReadBytes);

  ssize_t n;
  while ((n = read(reader.fd, reader.buffer.data(), reader.buffer.size())) < 0 && errno == EINTR)
    ;
  reader.pos = 0;
  reader.end = n > 0 ? static_cast<std::size_t>(n) : 0;
  return n > 0;
}

//
// 'take()' - The next byte of the stream; false at its end.
//

inline bool
take(PwgReader    &reader,  // IO - Reader
     std::uint8_t &byte)    // O - The byte
{
  if (reader.pos >= reader.end && !fill(reader))
    return false;
  byte = reader.buffer[reader.pos++];
  return true;
}

//
// 'take_bytes()' - The next count bytes of the stream into out; false when
// the stream ends first.
//

bool
take_bytes(PwgReader    &reader,  // IO - Reader
           std::uint8_t *out,     // O - Where they go
           std::size_t   count)   // I - How many
{
  while (count > 0)
  {
    if (reader.pos >= reader.end && !fill(reader))
      return false;

    const std::size_t n = std::min(count, reader.end - reader.pos);
    memcpy(out, reader.buffer.data() + reader.pos, n);
    reader.pos += n;
    out += n;
    count -= n;
  }
  return true;
}

//
// 'white_of()' - The byte a row's end is filled with in a colour space:
// 255 in the white-based gray and RGB spaces, else 0 (as libcups fills
// them: with an alpha or white channel too, RGB fills with 0).
//

std::uint8_t
white_of(unsigned space)  // I - cupsColorSpace as a number
{
  switch (space)
  {
    case CUPS_CSPACE_W :
    case CUPS_CSPACE_RGB :
    case CUPS_CSPACE_SW :
    case CUPS_CSPACE_SRGB :
    case CUPS_CSPACE_ADOBERGB :
        return 0xFF;
    default :
        return 0x00;
  }
}

//
// 'refuse()' - Refuse the page being read, for a reason; always false.  (A
// template rather than a variadic function, as pdf_reader.cpp's: clang's
// analyzer takes the va_list of such a function for uninitialized.)
//

template <typename... Args>
bool
refuse(PwgReader  &reader,  // IO - Reader
       const char *format,  // I  - Why, printf style, after "Page N cannot be printed: "
       Args... args)        // I  - Its values
{
  const int lead = snprintf(reader.reason, sizeof(reader.reason), "Page %u cannot be printed: ", reader.page);

  snprintf(reader.reason + lead, sizeof(reader.reason) - static_cast<std::size_t>(lead), format, args...);
  reader.refused = true;
  return false;
}

//
// 'check_defined()' - Whether a page header is one PWG raster defines (see
// kPwgSpaces); the page refused with the reason when not.  A colour count
// of 0 is the colour space's, as libcups reads it (its writer, Ghostscript
// and rastertopwg leave it so when their caller does): the header gets it.
//

bool
check_defined(PwgReader &reader)  // IO - Reader, its header read
{
  const cups_page_header2_t &h     = reader.header;
  unsigned                   space = 0;
  unsigned                   order = 0;
  memcpy(&space, &h.cupsColorSpace, sizeof(space));  // any number a client sends, not only the enumeration's
  memcpy(&order, &h.cupsColorOrder, sizeof(order));

  const PwgSpace *pwg = find_space(space);
  if (!pwg)
    return refuse(reader, "its colour space is %u, which PWG raster does not have; it has RGB (1), Black (3), "
                  "CMYK (6), sGray (18), sRGB (19), AdobeRGB (20) and Device1 to Device15 (48 to 62), and CUPS "
                  "writes DeviceGray (0).", space);
  if (h.cupsBitsPerColor >= 32 || !(pwg->bits >> h.cupsBitsPerColor & 1))
    return refuse(reader, "it has %u bit%s per colour; in PWG raster, %s (colour space %u) has %s.",
                  h.cupsBitsPerColor, h.cupsBitsPerColor == 1 ? "" : "s", pwg->name, space, bits_words(pwg->bits));
  if (h.cupsNumColors != pwg->colors && h.cupsNumColors != 0)  // 0: the space's, as libcups reads it
    return refuse(reader, "it has %u colour%s; in PWG raster, %s (colour space %u) has %u.", h.cupsNumColors,
                  h.cupsNumColors == 1 ? "" : "s", pwg->name, space, pwg->colors);
  if (h.cupsBitsPerPixel != pwg->colors * h.cupsBitsPerColor)
    return refuse(reader, "it has %u bit%s per pixel; in PWG raster, %s (colour space %u) of %u bit%s per "
                  "colour has %u.", h.cupsBitsPerPixel, h.cupsBitsPerPixel == 1 ? "" : "s", pwg->name, space,
                  h.cupsBitsPerColor, h.cupsBitsPerColor == 1 ? "" : "s", pwg->colors * h.cupsBitsPerColor);
  if (order != CUPS_ORDER_CHUNKED)
    return refuse(reader, "its colours are in order %u; PWG raster has only chunky order (0), each pixel's "
                  "colours together.", order);

  const std::uint64_t bytes = (std::uint64_t{h.cupsWidth} * h.cupsBitsPerPixel + 7) / 8;
  if (h.cupsBytesPerLine != bytes)
    return refuse(reader, "its rows are %u bytes long for %u pixels of %u bit%s; in PWG raster they are %llu.",
                  h.cupsBytesPerLine, h.cupsWidth, h.cupsBitsPerPixel, h.cupsBitsPerPixel == 1 ? "" : "s",
                  static_cast<unsigned long long>(bytes));
  reader.header.cupsNumColors = pwg->colors;
  return true;
}

//
// 'read_header()' - Read and check one page header; false when it is cut
// or its layout is impossible (reader.damaged set when damaged) or it is
// not one PWG raster defines (reader.refused).
//

bool
read_header(PwgReader &reader)  // IO - Reader
{
  std::uint8_t raw[kHeaderBytes];

  if (reader.pos >= reader.end && !fill(reader))
    return false;  // the end of the stream, after a whole page
  if (!take_bytes(reader, raw, sizeof(raw)))
  {
    reader.damaged = true;
    return false;
  }
  for (std::size_t i = kNumbersStart; i + 4 <= kNumbersEnd; i += 4)
    std::swap(raw[i], raw[i + 3]), std::swap(raw[i + 1], raw[i + 2]);  // network to host order
  memcpy(&reader.header, raw, sizeof(raw));
  reader.page++;
  if (!check_defined(reader))
    return false;

  const cups_page_header2_t &h     = reader.header;
  unsigned                   space = 0;
  memcpy(&space, &h.cupsColorSpace, sizeof(space));

  // A defined header's pixel is 1 bit or whole bytes, and its rows hold
  // whole pixels; a page without width, or of rows longer than the reader
  // takes, is left as damaged.
  reader.unit  = h.cupsBitsPerPixel <= 8 ? 1 : h.cupsBitsPerPixel / 8;
  reader.white = white_of(space);
  if (h.cupsBytesPerLine == 0 || h.cupsBytesPerLine > kPwgMaxRowBytes)
  {
    reader.damaged = true;
    return false;
  }
  reader.rows_left = h.cupsHeight;
  reader.repeats   = 0;
  return true;
}

//
// 'decode_row()' - Decode the next row into reader.line; false when the
// stream is cut there.
//

bool
decode_row(PwgReader &reader)  // IO - Reader
{
  const std::size_t bytes = reader.header.cupsBytesPerLine;
  const std::size_t unit  = reader.unit;
  std::uint8_t      repeat, code;
  std::uint8_t     *row = reader.line.data();

  if (!take(reader, repeat))
    return false;
  for (std::size_t at = 0; at < bytes;)
  {
    if (!take(reader, code))
      return false;
    if (code == 128)
    {
      memset(row + at, reader.white, bytes - at);
      break;
    }

    const std::size_t count = code < 128 ? code + 1u : 257u - code;
    const std::size_t run   = std::min(count * unit, bytes - at);
    if (code > 128)
    {
      if (!take_bytes(reader, row + at, run))
        return false;
    }
    else
    {
      if (!take_bytes(reader, row + at, unit))
        return false;
      if (unit == 1)
        memset(row + at + 1, row[at], run - 1);
      else
        for (std::size_t i = unit; i < run; i += unit)
          memcpy(row + at + i, row + at, std::min(unit, run - i));
    }
    at += run;
  }
  // Byte pairs in host order, as libcups hands them over: it swaps them
  // for 16 bits per colour, and also for 16 bits per pixel, so the two
  // colours of a Device2 pixel of 8 bits each trade places (libcups's
  // writer swaps them as well, so a page it wrote reads back as written).
  const cups_page_header2_t &h = reader.header;
  if ((h.cupsBitsPerColor == 16 || h.cupsBitsPerPixel == 16) && std::endian::native == std::endian::little)
    for (std::size_t i = 0; i + 1 < bytes; i += 2)
      std::swap(row[i], row[i + 1]);
  reader.repeats = repeat;
  return true;
}

//
// 'next_row()' - The next row of the page in reader.line; false when the
// stream is cut there.
//

bool
next_row(PwgReader &reader)  // IO - Reader
{
  if (reader.rows_left == 0)
    return false;
  if (reader.line.size() != reader.header.cupsBytesPerLine)
    reader.line.assign(reader.header.cupsBytesPerLine, 0);
  if (reader.repeats > 0)
  {
    reader.repeats--;
    reader.rows_left--;
    return true;
  }
  if (!decode_row(reader))
  {
    reader.damaged = true;
    return false;
  }
  reader.rows_left--;
  return true;
}

} // namespace

//
// 'pwg_open()' - Start reading a file when it is PWG raster.
//

bool
pwg_open(PwgReader &reader,  // O - Reader
         int        fd)      // I - File, at its start
{
  char start[sizeof(kSync) + sizeof(kMediaClass)] = {};

  reader     = PwgReader{};
  reader.fd  = fd;
  const bool pwg = pread(fd, start, sizeof(start), 0) == static_cast<ssize_t>(sizeof(start)) &&
                   !memcmp(start, kSync, sizeof(kSync)) && !memcmp(start + sizeof(kSync), kMediaClass, sizeof(kMediaClass));

  return pwg && lseek(fd, sizeof(kSync), SEEK_SET) == static_cast<off_t>(sizeof(kSync));
}

//
// 'pwg_next_page()' - The next page's header.
//

bool
pwg_next_page(PwgReader           &reader,  // IO - Reader
              cups_page_header2_t &header)  // O - The page's header
{
  if (reader.damaged || reader.refused)
    return false;
  while (reader.rows_left > 0)
  {
    if (!next_row(reader))
      return false;
  }
  if (!read_header(reader))
    return false;
  header = reader.header;
  return true;
}

//
// 'pwg_read_row()' - The next row of the page.
//

bool
pwg_read_row(PwgReader              &reader,  // IO - Reader
             std::span<std::uint8_t> row)     // O - The row
{
  if (row.size() < reader.header.cupsBytesPerLine || !next_row(reader))
    return false;
  memcpy(row.data(), reader.line.data(), reader.header.cupsBytesPerLine);
  return true;
}

} // namespace pelna_app
