// SPDX-License-Identifier: Apache-2.0
//
// PWG raster read from a file, page by page and row by row (pwg_reader.cpp).
// libcups's reader hands repeated pixels over one at a time, which costs a
// label of mostly white rows more than the rest of its printing; this one
// fills runs at once.  It reads what PWG raster is: the "RaS2" sync word,
// then per page a header of 1796 bytes in network byte order and rows
// compressed a line and a run at a time.  Any other raster stream is left
// to libcups.
//
// A page header must be one PWG raster defines (PWG 5102.4): one of its
// colour spaces (or CUPS's DeviceGray, which CUPS's own writers put in PWG
// raster) with that space's count of colours, 1, 8 or 16 bits per colour
// as the space takes them, bits per pixel the bits of all its colours,
// colours chunky (each pixel's together) and rows as long as the width
// makes them.  libcups reads more (other bits per colour, CUPS raster's
// other colour spaces); the reader refuses such a page with the reason,
// naming it.
//

#ifndef PELNA_APP_PWG_READER_H
#define PELNA_APP_PWG_READER_H

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pelna_app {

// Longest row the reader takes, in bytes (a page wider is refused as damaged).
constexpr std::uint32_t kPwgMaxRowBytes = 1U << 20;

//
// A PWG raster stream being read.
//

struct PwgReader
{
  int                       fd = -1;          // the file
  std::vector<std::uint8_t> buffer;           // bytes read ahead
  std::size_t               pos = 0;          // next unread byte in buffer
  std::size_t               end = 0;          // bytes in buffer
  cups_page_header2_t       header{};         // the page being read
  std::uint32_t             unit = 1;         // bytes of a pixel in a run
  std::uint8_t              white = 0xFF;     // the byte that fills a row's end
  std::vector<std::uint8_t> line;             // the last row decoded
  std::uint32_t             repeats = 0;      // times line is yet to be repeated
  std::uint32_t             rows_left = 0;    // rows of the page yet to be read
  unsigned                  page = 0;         // page headers read, from 1
  bool                      damaged = false;  // the stream was found damaged
  bool                      refused = false;  // a page header PWG raster does not define
  char                      reason[256] = {}; // why refused: "Page N cannot be printed: ..."
};

// Whether a file starts as PWG raster; when it does, the reader is set at
// its first page.  Otherwise the file is left at its start.
[[nodiscard]] bool pwg_open(PwgReader &reader, int fd);

// The next page's header; false at the end of the stream, when it is cut
// or damaged (reader.damaged), or when the header is not one PWG raster
// defines (reader.refused, with reader.reason naming the page).  After
// either, every later call is false too.  The header is as sent, but for
// a cupsNumColors of 0, which is filled from the colour space as libcups
// fills it.  Rows of the page before not read are skipped.
[[nodiscard]] bool pwg_next_page(PwgReader &reader, cups_page_header2_t &header);

// The next row of the page, header.cupsBytesPerLine bytes; false when the
// stream is cut or damaged there.
[[nodiscard]] bool pwg_read_row(PwgReader &reader, std::span<std::uint8_t> row);

} // namespace pelna_app

#endif // PELNA_APP_PWG_READER_H
