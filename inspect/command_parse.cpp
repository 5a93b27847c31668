// SPDX-License-Identifier: Apache-2.0
//
// Parsing the command stream of one page, as the printer reads it:
//
//   1F 19 03 00 07 Wl Wh          page-width sub-command, first
//   1F 10 Rl Rh <R bytes>         raster rows, R = row bytes of the width
//   1F 19 02 00 08 M              page-mark sub-command
//   1D 98                         end of page, last
//
// Every departure is a fault with its stream offset.  Faults that can repeat
// on every row (a wrong row length, set padding bits) are reported once per
// page with the number of rows that have them.
//

#include "decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

using namespace pelna;

namespace inspect {

namespace {

constexpr std::size_t kNoFault = static_cast<std::size_t>(-1);

// Command codes as they appear on the wire, high byte first.
constexpr std::uint16_t kTrailerCode = static_cast<std::uint16_t>(kTrailer[0] << 8 | kTrailer[1]);

// Where the parser stands in one stream.
struct ParseState
{
  std::span<const std::uint8_t> stream;      // whole stream
  const Options                *options;
  Page                         *page;
  bool                          first = true;      // next command is the first
  bool                          mark_seen = false; // a page-mark command came
  bool                          order_noted = false; // a row after the mark noted
  std::span<const std::uint8_t> last_row;    // parameters of the previous row
  std::size_t                   length_fault = kNoFault;   // first row-length fault
  std::uint64_t                 length_rows = 0;           // rows with a wrong length
  std::size_t                   padding_fault = kNoFault;  // first row-padding fault
  std::uint64_t                 padding_rows = 0;          // rows with padding bits set
};

//
// 'le16()' - Read a 16-bit value stored low byte first.
//

std::uint16_t
le16(const std::uint8_t *p)  // I - First byte
{
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

//
// 'add_command()' - Keep a command for the listing when asked to.
//

void
add_command(ParseState    &ps,      // IO - Parser
            CommandKind    kind,    // I  - Kind of command
            std::uint64_t  offset,  // I  - Stream offset
            std::uint16_t  code,    // I  - Command code
            std::uint32_t  length,  // I  - Length field
            std::uint8_t   subcmd,  // I  - Sub-command or 0
            std::uint32_t  value)   // I  - Width or page mark, or 0
{
  if (ps.options->keep_commands)
    ps.page->commands.push_back(Command{kind, offset, code, length, subcmd, value, 0, 0});
}

//
// 'note_first()' - Check that the first command is the page-width command.
//

void
note_first(ParseState &ps,       // IO - Parser
           bool        isWidth)  // I  - The command at offset 0 sets the width
{
  if (!ps.first)
    return;

  ps.first = false;
  if (!isWidth)
    add_fault(*ps.page, FaultKind::WidthNotFirst, true, 0,
              "1F 19 03 00 07 and the width",
              ps.stream.empty() ? std::string("end of stream")
                                : hex_bytes(ps.stream.first(std::min<std::size_t>(ps.stream.size(),
                                                                                  kPageWidthCmdSize))));
}

//
// 'check_setting()' - Check a page-setting command's place and length field.
//

void
check_setting(ParseState                   &ps,        // IO - Parser
              std::uint64_t                 at,        // I  - Stream offset
              std::span<const std::uint8_t> params,    // I  - Sub-command and parameters
              bool                          isWidth,   // I  - The page-width command
              std::size_t                   expected)  // I  - Length field it must carry
{
  note_first(ps, isWidth);

  if (params.size() != expected)
    add_fault(*ps.page, FaultKind::CommandLength, true, at + 2, std::to_string(expected),
              std::to_string(params.size()));
}

//
// 'set_width()' - Handle a page-width sub-command.
//

void
set_width(ParseState                    &ps,      // IO - Parser
          std::uint64_t                  at,      // I  - Stream offset
          std::span<const std::uint8_t>  params)  // I  - Sub-command and parameters
{
  Page             &page = *ps.page;
  const std::size_t widthCmdLength = kPageWidthCmdSize - kCmdHeaderSize;
  const bool        wasFirst = ps.first;

  check_setting(ps, at, params, true, widthCmdLength);
  if (!wasFirst)
    add_fault(page, FaultKind::CommandOrder, true, at, "the page-width command at offset 0 only",
              "a page-width command at offset " + std::to_string(at));

  if (params.size() < widthCmdLength)
  {
    add_command(ps, CommandKind::PageWidth, at, kCmdPageSetting,
                static_cast<std::uint32_t>(params.size()), kSubCmdPageWidth, 0);
    return;
  }

  const std::uint16_t width = le16(params.data() + 1);

  add_command(ps, CommandKind::PageWidth, at, kCmdPageSetting,
              static_cast<std::uint32_t>(params.size()), kSubCmdPageWidth, width);

  if (width == 0)
    add_fault(page, FaultKind::WidthZero, true, at + kSubCmdHeaderSize,
              "1 to " + std::to_string(kMaxPageWidth), "0");
  else if (!page.has_width && page.rows == 0)
  {
    // Rows are checked against the first usable width, given before them.
    page.has_width = true;
    page.width     = width;
    page.row_bytes = (static_cast<std::uint32_t>(width) + 7) / 8;
  }
}

//
// 'set_page_mark()' - Handle a page-mark sub-command.
//

void
set_page_mark(ParseState                    &ps,      // IO - Parser
              std::uint64_t                  at,      // I  - Stream offset
              std::span<const std::uint8_t>  params)  // I  - Sub-command and parameters
{
  constexpr std::size_t markCmdLength = kPageMarkCmdSize - kCmdHeaderSize;

  check_setting(ps, at, params, false, markCmdLength);

  Page &page = *ps.page;

  if (ps.mark_seen)
    add_fault(page, FaultKind::CommandOrder, true, at, "one page-mark command",
              "another one at offset " + std::to_string(at));

  const std::uint32_t value = params.size() >= markCmdLength ? params[1] : 0;

  add_command(ps, CommandKind::PageMark, at, kCmdPageSetting,
              static_cast<std::uint32_t>(params.size()), kSubCmdPageMark, value);

  if (params.size() < markCmdLength)
    return;

  if (value != kPageMarkNone && value != kPageMarkLabel && value != kPageMarkBlack)
    add_fault(page, FaultKind::PageMarkValue, true, at + kSubCmdHeaderSize,
              "0 (continuous), 1 (label) or 2 (black)", std::to_string(value));
  if (!ps.mark_seen)
    page.page_mark = static_cast<int>(value);

  ps.mark_seen = true;
}

//
// 'page_setting()' - Handle a page-setting command (code 1F 19).
//

void
page_setting(ParseState                    &ps,      // IO - Parser
             std::uint64_t                  at,      // I  - Stream offset
             std::span<const std::uint8_t>  params)  // I  - Sub-command and parameters
{
  if (params.empty())
  {
    note_first(ps, false);
    add_fault(*ps.page, FaultKind::CommandLength, true, at + 2,
              "at least 1 (the sub-command byte)", "0");
    add_command(ps, CommandKind::PageSetting, at, kCmdPageSetting, 0, 0, 0);
  }
  else if (params[0] == kSubCmdPageWidth)
    set_width(ps, at, params);
  else if (params[0] == kSubCmdPageMark)
    set_page_mark(ps, at, params);
  else
  {
    note_first(ps, false);
    add_fault(*ps.page, FaultKind::UnknownSubCommand, true, at + kCmdHeaderSize,
              std::to_string(kSubCmdPageWidth) + " (page width) or " +
              std::to_string(kSubCmdPageMark) + " (page mark)",
              std::to_string(params[0]));
    add_command(ps, CommandKind::PageSetting, at, kCmdPageSetting,
                static_cast<std::uint32_t>(params.size()), params[0], 0);
  }
}

//
// 'keep_row()' - Count the black dots of a row, check its padding bits and
//                keep it when asked to.  The row is cut or filled with
//                white to the row bytes of the width.
//

void
keep_row(ParseState                    &ps,    // IO - Parser
         std::uint64_t                  at,    // I  - Stream offset of the command
         std::span<const std::uint8_t>  row)   // I  - Row bytes as sent
{
  Page               &page  = *ps.page;
  const std::size_t   R     = page.row_bytes;
  const std::size_t   n     = std::min(row.size(), R);
  const unsigned      tail  = page.width % 8;            // dots in the last byte, 0 = 8
  const std::uint8_t  mask  = tail ? static_cast<std::uint8_t>(0xFF00 >> tail) : 0xFF;

  for (std::size_t i = 0; i < n; i ++)
    page.black_dots += std::popcount(static_cast<std::uint8_t>(i + 1 == R ? row[i] & mask : row[i]));

  if (n == R && (row[R - 1] & ~mask & 0xFF))
  {
    if (ps.padding_rows ++ == 0)
    {
      ps.padding_fault = page.faults.size() < kMaxFaultsPerPage ? page.faults.size() : kNoFault;
      add_fault(page, FaultKind::RowPadding, true, at + kCmdHeaderSize + R - 1,
                "last byte masked by " + hex_bytes(std::span(&mask, 1)),
                hex_bytes(row.subspan(R - 1, 1)) + " in row " + std::to_string(page.rows));
    }
  }

  if (ps.options->keep_dots)
  {
    const std::size_t start = page.dots.size();

    page.dots.resize(start + R, 0);
    std::memcpy(page.dots.data() + start, row.data(), n);
  }
}

//
// 'raster_row()' - Handle a raster-row command (code 1F 10).
//

void
raster_row(ParseState                    &ps,    // IO - Parser
           std::uint64_t                  at,    // I  - Stream offset
           std::span<const std::uint8_t>  row)   // I  - Parameters: the row bytes
{
  Page &page = *ps.page;

  note_first(ps, false);

  if (ps.mark_seen && !ps.order_noted)
  {
    ps.order_noted = true;
    add_fault(page, FaultKind::CommandOrder, true, at, "raster rows before the page-mark command",
              "a raster row at offset " + std::to_string(at));
  }

  if (page.has_width)
  {
    if (row.size() != page.row_bytes && ps.length_rows ++ == 0)
    {
      ps.length_fault = page.faults.size() < kMaxFaultsPerPage ? page.faults.size() : kNoFault;
      add_fault(page, FaultKind::RowLength, true, at + 2,
                std::to_string(page.row_bytes) + " for " + std::to_string(page.width) + " dots",
                std::to_string(row.size()) + " in row " + std::to_string(page.rows));
    }
    keep_row(ps, at, row);
  }

  if (ps.options->keep_commands)
  {
    std::vector<Command> &list = page.commands;

    if (!list.empty() && list.back().kind == CommandKind::RasterRow &&
        list.back().first_row + list.back().row_count == page.rows &&
        std::equal(row.begin(), row.end(), ps.last_row.begin(), ps.last_row.end()))
      list.back().row_count ++;
    else
      list.push_back(Command{CommandKind::RasterRow, at, kCmdRasterRow,
                             static_cast<std::uint32_t>(row.size()), 0, 0, page.rows, 1});
  }

  ps.last_row = row;
  page.rows ++;
}

//
// 'count_repeats()' - Add to the first fault of a repeating kind how many
//                     rows have it.
//

void
count_repeats(Page          &page,    // IO - Page record
              std::size_t    index,   // I  - Index of the fault, or kNoFault
              std::uint64_t  count)   // I  - Rows with the fault
{
  if (index != kNoFault && count > 1)
    page.faults[index].found += "; " + std::to_string(count) + " rows in all";
}

} // namespace

//
// 'parse_stream()' - Read a page's command stream and note what it says.
//
// Fills in the width, rows, page mark and black dots of page (and its dots
// and command list when the options ask for them) and adds every fault.
//

void
parse_stream(std::span<const std::uint8_t>  stream,   // I  - Inflated command stream
             const Options                 &options,  // I  - Decoder options
             Page                          &page)     // IO - Page record
{
  ParseState    ps;
  std::size_t   at = 0;          // stream offset of the next command
  bool          ended = false;   // the trailer or an unreadable command came

  ps.stream  = stream;
  ps.options = &options;
  ps.page    = &page;

  while (at < stream.size() && !ended)
  {
    const std::size_t left = stream.size() - at;

    if (left < kTrailerSize)
    {
      note_first(ps, false);
      add_fault(page, FaultKind::CommandTruncated, true, at, "a 2-byte command code",
                hex_bytes(stream.subspan(at)) + " and the end of the stream");
      ended = true;
      break;
    }

    const std::uint16_t code = static_cast<std::uint16_t>(stream[at] << 8 | stream[at + 1]);

    if (code == kTrailerCode)
    {
      note_first(ps, false);
      if (!ps.mark_seen)
        add_fault(page, FaultKind::PageMarkMissing, true, at, "1F 19 02 00 08 and the mark",
                  "the end-of-page trailer");
      add_command(ps, CommandKind::Trailer, at, code, 0, 0, 0);
      at += kTrailerSize;
      if (at < stream.size())
        add_fault(page, FaultKind::TrailingData, true, at, "the end of the stream",
                  std::to_string(stream.size() - at) + " more bytes");
      ended = true;
      break;
    }

    if (code != kCmdRasterRow && code != kCmdPageSetting)
    {
      note_first(ps, false);
      add_fault(page, FaultKind::UnknownCommand, true, at, "1F 10, 1F 19 or 1D 98",
                hex_bytes(stream.subspan(at, kTrailerSize)));
      add_command(ps, CommandKind::Unknown, at, code, 0, 0, 0);
      ended = true;
      break;
    }

    if (left < kCmdHeaderSize ||
        left - kCmdHeaderSize < le16(stream.data() + at + 2))
    {
      const std::size_t need = left < kCmdHeaderSize ? kCmdHeaderSize
                             : kCmdHeaderSize + le16(stream.data() + at + 2);

      note_first(ps, code == kCmdPageSetting && left > kCmdHeaderSize &&
                     stream[at + kCmdHeaderSize] == kSubCmdPageWidth);
      add_fault(page, FaultKind::CommandTruncated, true, at,
                std::to_string(need) + " command bytes",
                std::to_string(left) + " before the end of the stream");
      ended = true;
      break;
    }

    const std::uint16_t           length = le16(stream.data() + at + 2);
    std::span<const std::uint8_t> params = stream.subspan(at + kCmdHeaderSize, length);

    if (code == kCmdRasterRow)
      raster_row(ps, at, params);
    else
      page_setting(ps, at, params);

    at += kCmdHeaderSize + length;
  }

  note_first(ps, false);
  if (!ended)
    add_fault(page, FaultKind::TrailerMissing, true, stream.size(), hex_bytes(kTrailer),
              "the end of the stream");

  count_repeats(page, ps.length_fault, ps.length_rows);
  count_repeats(page, ps.padding_fault, ps.padding_rows);
}

} // namespace inspect
