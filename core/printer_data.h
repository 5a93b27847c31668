// SPDX-License-Identifier: Apache-2.0
//
// Printer data encoding: the command stream of one page, built row by row,
// and the compressed page frame around it.
//

#ifndef PELNA_CORE_PRINTER_DATA_H
#define PELNA_CORE_PRINTER_DATA_H

#include "halftone.h"
#include "messages.h"
#include "settings.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace pelna {

//
// 'put_le16()' - Store 16 bits low byte first.
//

inline void
put_le16(std::uint8_t *p,      // O - Where
         std::uint16_t value)  // I - Value
{
  p[0] = static_cast<std::uint8_t>(value & 0xFF);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

//
// 'put_le32()' - Store 32 bits low byte first.
//

inline void
put_le32(std::uint8_t *p,      // O - Where
         std::uint32_t value)  // I - Value
{
  for (int i = 0; i < 4; i ++)
    p[i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF);
}

// Write a command without sub-command (len + 4 bytes); returns the bytes
// written.  The caller sizes the buffer.
std::size_t put_command(std::uint8_t *out, std::uint16_t cmd, const std::uint8_t *param,
                        std::uint16_t len);

// Write a command with a sub-command byte (len + 5 bytes); the length field
// counts the sub-command.  Returns the bytes written.
std::size_t put_subcommand(std::uint8_t *out, std::uint16_t cmd, std::uint8_t subcmd,
                           const std::uint8_t *param, std::uint16_t len);

// Length of the command stream of a page 1 to 65535 dots wide, in 64 bits.
[[nodiscard]] std::uint64_t command_stream_length(std::uint32_t width, std::uint32_t height);

// Largest page frame a stream of this length can give; 0 when the
// compressor cannot be set up.
[[nodiscard]] std::uint64_t page_frame_bound(std::uint64_t streamLength);

//
// A command stream under construction.
//

struct PageEncoder
{
  std::uint32_t             width     = 0;     // page width in dots
  std::uint32_t             height    = 0;     // rows announced at begin
  std::uint32_t             rows      = 0;     // rows added so far
  std::size_t               row_bytes = 0;     // bytes of one packed row
  PageMark                  page_mark = PageMark::Continuous;  // sent at the end
  MallocPtr<std::uint8_t[]> stream;            // the whole stream's buffer
  std::size_t               length    = 0;     // bytes written into it
  std::size_t               capacity  = 0;     // bytes it holds in all
};

// Start the stream of a page width dots wide (1 to 65535) with height rows:
// the buffer for the whole stream, then the page-width command.  False when
// the page is outside the format or memory runs out.
[[nodiscard]] bool encode_begin(PageEncoder &enc, std::uint32_t width, std::uint32_t height,
                                PageMark pageMark);

// Add one packed row (row_bytes bytes).  False once height rows were added.
[[nodiscard]] bool encode_row(PageEncoder &enc, std::span<const std::uint8_t> packed);

// Finish the stream once all height rows were added: the page-mark command
// and the trailer go last.  Logs the page mark's keyword when the settings
// carry one.  Returns the stream (ownership passes to the caller) with its
// length in *length; null when rows are missing.
[[nodiscard]] MallocPtr<std::uint8_t[]> encode_end(PageEncoder &enc, std::size_t *length,
                                                   const JobSettings &settings,
                                                   const MessageSink &messages);

//
// A page frame: bytes sent to the printer for one page.
//

struct PageFrame
{
  MallocPtr<std::uint8_t[]> bytes;   // the frame
  std::size_t               size = 0;  // its length
};

// Compress a command stream into a page frame at a deflate level (1 to
// 12): the buffer is sized from the compressor's bound first, then one
// compression call.  An empty frame (bytes null) when memory runs out, the
// level is outside 1..12 or the frame would not fit 32 bits.
[[nodiscard]] PageFrame build_frame(std::span<const std::uint8_t> stream,
                                    int level = kDeflateLevel);

} // namespace pelna

#endif // PELNA_CORE_PRINTER_DATA_H
