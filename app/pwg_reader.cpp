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

#include "pwg_reader.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
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
// 'read_header()' - Read and check one page header; false when it is cut
// or its layout is impossible (reader.damaged set when damaged).
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

  const cups_page_header2_t &h     = reader.header;
  const std::uint64_t        bits  = std::uint64_t{h.cupsWidth} * h.cupsBitsPerPixel;
  unsigned                   space = 0;
  memcpy(&space, &h.cupsColorSpace, sizeof(space));

  reader.unit  = h.cupsBitsPerPixel <= 8 ? 1 : h.cupsBitsPerPixel / 8;
  reader.white = white_of(space);
  if (h.cupsBitsPerPixel == 0 || (h.cupsBitsPerPixel > 8 && h.cupsBitsPerPixel % 8) ||
      h.cupsBytesPerLine != (bits + 7) / 8 || h.cupsBytesPerLine == 0 || h.cupsBytesPerLine > kPwgMaxRowBytes ||
      h.cupsBytesPerLine % reader.unit)
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
  if (reader.header.cupsBitsPerColor == 16 && std::endian::native == std::endian::little)
    for (std::size_t i = 0; i + 1 < bytes; i += 2)
      std::swap(row[i], row[i + 1]);  // samples in host order, as libcups hands them over
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
