// SPDX-License-Identifier: Apache-2.0
//
// pelna-inspect: an independent reader of the printer data that the filter
// writes.  This header declares the decoder, which does no I/O: it takes a
// byte span and returns plain records (pages, faults), so that the tool, its
// tests and fuzz targets can all call it.
//
// The decoder shares the format's numbers (pelna_format.h) with the filter
// but none of its encoding code; it inflates with zlib, a different
// implementation from the filter's compressor, so that it can catch the
// filter's mistakes.
//

#ifndef PELNA_INSPECT_DECODER_H
#define PELNA_INSPECT_DECODER_H

#include "pelna_format.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace inspect {

//
// 'le32()' - Read a 32-bit value stored low byte first.
//

[[nodiscard]] inline std::uint32_t
le32(const std::uint8_t *p)  // I - First byte
{
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

//
// Limits of the decoder.  Hostile data must never make it allocate without
// bound or run without end.
//

// Default cap on the bytes one frame body may inflate to.  A stream is held
// in memory whole, so this bounds the memory one page can take.
constexpr std::uint64_t kDefaultMaxStream = 256ULL << 20;

// Default cap on the page frames of one input.
constexpr std::uint64_t kDefaultMaxPages = 100000;

// Faults kept per page; further ones are only counted.
constexpr std::size_t kMaxFaultsPerPage = 64;

//
// Faults.  Each one has a short name (for JSON and scripts) and a one-line
// description; see fault_name() and fault_text().
//

enum class FaultKind
{
  NoFrames,           // the input is empty
  TooManyPages,       // more frames than the page cap allows
  FrameTruncated,     // the input ends inside a frame header
  FrameId,            // identification bytes are not 1F 8B
  FrameMethod,        // compression method is not deflate
  FrameFlags,         // flags byte is not 0
  FrameXFlags,        // extra-flags byte is not 0
  FrameOS,            // operating-system byte is not FF
  FrameLength,        // length field below the frame overhead or above the cap
  FramePastEnd,       // length field points past the end of the input
  FrameCrc,           // frame CRC does not match offsets 8 .. 13+N
  BodyCorrupt,        // the body is not valid raw deflate data
  BodyIncomplete,     // the body ends before the final deflate block does
  BodyTrailing,       // bytes left in the body after the deflate stream
  BodyTooLarge,       // the body inflates to more than the cap
  StreamCrc,          // stream CRC does not match the inflated stream
  WidthNotFirst,      // the stream does not start with the page-width command
  WidthZero,          // the page width is 0
  CommandLength,      // a page-setting command with a wrong length field
  RowLength,          // a raster-row length field differs from the row bytes
  RowPadding,         // bits beyond the page width are set in a row
  PageMarkValue,      // a page mark other than 0, 1 or 2
  CommandOrder,       // a command out of its place
  UnknownCommand,     // a command code the printer does not know
  UnknownSubCommand,  // a page-setting sub-command the printer does not know
  CommandTruncated,   // a command runs past the end of the stream
  PageMarkMissing,    // no page-mark command before the trailer
  TrailerMissing,     // the stream ends without the end-of-page trailer
  TrailingData        // bytes after the end-of-page trailer
};

struct Fault
{
  FaultKind     kind;
  std::size_t   page;        // page number from 1; 0 for the whole input
  bool          in_stream;   // offset counts in the page's inflated stream
  std::uint64_t offset;      // byte offset in the input (or in the stream)
  std::string   expected;    // what the format calls for
  std::string   found;       // what the data holds
};

//
// Commands, as listed by --commands.  Runs of identical raster rows are
// folded into one record.
//

enum class CommandKind
{
  PageWidth,    // page-setting, sub-command 7
  RasterRow,    // raster-row command (one or more identical rows)
  PageMark,     // page-setting, sub-command 8
  PageSetting,  // page-setting with an unknown sub-command
  Trailer,      // end of page
  Unknown       // unknown command code; parsing stopped there
};

struct Command
{
  CommandKind   kind;
  std::uint64_t offset;      // stream offset of the (first) command
  std::uint16_t code;        // command code
  std::uint32_t length;      // value of the length field (0 for the trailer)
  std::uint8_t  subcmd;      // sub-command of a page-setting command
  std::uint32_t value;       // width or page mark
  std::uint64_t first_row;   // raster rows: number of the first row, from 0
  std::uint64_t row_count;   // raster rows: identical rows folded here
};

//
// One page frame and what its command stream tells the printer.
//

struct Page
{
  std::size_t   number       = 0;      // page number, from 1
  std::uint64_t frame_offset = 0;      // input offset of the frame
  std::uint64_t frame_bytes  = 0;      // frame length (or bytes present)
  std::uint64_t stream_bytes = 0;      // inflated stream length
  bool          inflated     = false;  // the body inflated completely
  bool          has_width    = false;  // a usable page width (1..65535)
  std::uint16_t width        = 0;      // page width in dots
  std::uint32_t row_bytes    = 0;      // packed row bytes of that width
  std::uint64_t rows         = 0;      // raster-row commands
  int           page_mark    = -1;     // page mark value, -1 when missing
  std::uint64_t black_dots   = 0;      // set dots within the width
  bool          sound        = false;  // no fault on this page
  std::vector<Fault>   faults;         // at most kMaxFaultsPerPage
  std::uint64_t        faults_dropped = 0;
  std::vector<Command> commands;       // when Options::keep_commands
  std::vector<std::uint8_t> dots;      // packed rows, when Options::keep_dots
  std::string          picture;        // file name of its picture, if written
};

struct Options
{
  std::uint64_t max_stream    = kDefaultMaxStream;
  std::uint64_t max_pages     = kDefaultMaxPages;
  bool          keep_dots     = false;  // keep the packed rows of each page
  bool          keep_commands = false;  // keep the command list of each page
};

struct Result
{
  std::vector<Page>  pages;
  std::vector<Fault> faults;        // faults of the whole input
  std::uint64_t      input_bytes = 0;
  bool               sound = false; // at least one frame, every one sound
};

//
// Status of inflating one frame body.
//

enum class InflateStatus
{
  Complete,    // one complete stream, every body byte used
  Trailing,    // complete stream, bytes left over
  Incomplete,  // the body ended before the final block did
  Corrupt,     // invalid deflate data
  TooLarge,    // the output would pass the cap
  NoMemory     // zlib could not be set up
};

// Decoder (frame_check.cpp, body_inflate.cpp, command_parse.cpp).
[[nodiscard]] Result inspect_bytes(std::span<const std::uint8_t> data,
                                   const Options &options);
[[nodiscard]] std::uint64_t check_frame(std::span<const std::uint8_t> data,
                                        std::uint64_t inputOffset,
                                        const Options &options, Page &page,
                                        bool &stop);
[[nodiscard]] std::uint64_t frame_length_limit(std::uint64_t maxStream);
[[nodiscard]] InflateStatus inflate_body(std::span<const std::uint8_t> body,
                                         std::uint64_t maxStream,
                                         std::vector<std::uint8_t> &stream,
                                         std::uint64_t &consumed);
[[nodiscard]] std::uint32_t crc32_of(std::span<const std::uint8_t> data);
void parse_stream(std::span<const std::uint8_t> stream, const Options &options,
                  Page &page);
void add_fault(Page &page, FaultKind kind, bool inStream, std::uint64_t offset,
               std::string expected, std::string found);
void finish_result(Result &result);

// Names and descriptions (fault_names.cpp).
[[nodiscard]] const char *fault_name(FaultKind kind);
[[nodiscard]] const char *fault_text(FaultKind kind);
[[nodiscard]] const char *page_mark_name(int value);
[[nodiscard]] std::string hex_bytes(std::span<const std::uint8_t> bytes);
[[nodiscard]] std::string hex32(std::uint32_t value);

} // namespace inspect

#endif // PELNA_INSPECT_DECODER_H
