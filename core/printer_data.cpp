// SPDX-License-Identifier: Apache-2.0
//
// Printer data encoding: the command stream of one page, built row by row,
// and the compressed page frame around it.
//
// Command stream of a page W dots wide with H packed rows of R bytes and the
// page mark M:
//
//   1F 19 03 00 07 Wl Wh          page-width sub-command
//   1F 10 Rl Rh <R bytes>         one raster-row command per packed row
//   1F 19 02 00 08 M              page-mark sub-command
//   1D 98                         end of page
//
// Page frame around a stream of L bytes whose raw deflate body is N bytes:
//
//   1F 8B 08 00 <N+18, 32 LE> 00 FF <body> <crc32 of stream> <crc32 of 8..13+N>
//

#include "printer_data.h"

#include <libdeflate.h>

#include <cstring>

namespace pelna {

namespace {

struct CompressorFree
{
  void operator()(libdeflate_compressor *c) const { libdeflate_free_compressor(c); }
};

using Compressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;

} // namespace

//
// 'put_command()' - Write a command without sub-command.
//

std::size_t
put_command(std::uint8_t       *out,    // O - Where the command goes
            std::uint16_t       cmd,    // I - Command code, high byte first
            const std::uint8_t *param,  // I - Parameter bytes
            std::uint16_t       len)    // I - Number of parameter bytes
{
  out[0] = static_cast<std::uint8_t>(cmd >> 8);
  out[1] = static_cast<std::uint8_t>(cmd & 0xFF);
  put_le16(out + 2, len);
  if (len > 0)
    memcpy(out + kCmdHeaderSize, param, len);

  return len + kCmdHeaderSize;
}

//
// 'put_subcommand()' - Write a command with a sub-command byte.
//

std::size_t
put_subcommand(std::uint8_t       *out,     // O - Where the command goes
               std::uint16_t       cmd,     // I - Command code, high byte first
               std::uint8_t        subcmd,  // I - Sub-command
               const std::uint8_t *param,   // I - Parameter bytes
               std::uint16_t       len)     // I - Number of parameter bytes
{
  out[0] = static_cast<std::uint8_t>(cmd >> 8);
  out[1] = static_cast<std::uint8_t>(cmd & 0xFF);
  put_le16(out + 2, static_cast<std::uint16_t>(len + 1));
  out[4] = subcmd;
  if (len > 0)
    memcpy(out + kSubCmdHeaderSize, param, len);

  return len + kSubCmdHeaderSize;
}

//
// 'command_stream_length()' - Length of the command stream of a page.
//
// Computed in 64 bits so that a page whose stream does not fit the format's
// 32-bit lengths is refused before anything is allocated.
//

std::uint64_t
command_stream_length(std::uint32_t width,   // I - Page width in dots, 1 to 65535
                      std::uint32_t height)  // I - Rows
{
  const std::uint64_t rowCommand = packed_row_bytes(width) + kCmdHeaderSize;

  return std::uint64_t{height} * rowCommand + kStreamFixedSize;
}

//
// 'page_frame_bound()' - Largest page frame a stream of this length can give.
//

std::uint64_t
page_frame_bound(std::uint64_t streamLength)  // I - Command stream bytes
{
  Compressor compressor(libdeflate_alloc_compressor(kDeflateLevel));

  if (!compressor || streamLength > SIZE_MAX)
    return 0;

  return kFrameOverhead +
         libdeflate_deflate_compress_bound(compressor.get(), static_cast<size_t>(streamLength));
}

//
// 'encode_begin()' - Allocate the page's whole stream and write its width.
//

bool
encode_begin(PageEncoder  &enc,       // O - Encoder
             std::uint32_t width,     // I - Page width in dots
             std::uint32_t height,    // I - Rows
             PageMark      pageMark)  // I - Media kind, sent at the end
{
  enc = PageEncoder{};

  if (width < 1 || width > kMaxPageWidth)
    return false;

  const std::uint64_t length = command_stream_length(width, height);

  if (length > kMaxFrameSize)
    return false;

  enc.stream.reset(static_cast<std::uint8_t *>(malloc(static_cast<size_t>(length))));
  if (!enc.stream)
    return false;

  const std::uint8_t widthParam[2] = {static_cast<std::uint8_t>(width & 0xFF),
                                      static_cast<std::uint8_t>(width >> 8)};

  enc.width     = width;
  enc.height    = height;
  enc.row_bytes = packed_row_bytes(width);
  enc.page_mark = pageMark;
  enc.capacity  = static_cast<std::size_t>(length);
  enc.length    = put_subcommand(enc.stream.get(), kCmdPageSetting, kSubCmdPageWidth,
                                 widthParam, sizeof(widthParam));
  return true;
}

//
// 'encode_row()' - Add one packed row as a raster-row command.
//

bool
encode_row(PageEncoder                  &enc,     // IO - Encoder
           std::span<const std::uint8_t> packed)  // I  - Packed row
{
  if (!enc.stream || enc.rows >= enc.height || packed.size() < enc.row_bytes)
    return false;

  enc.length += put_command(enc.stream.get() + enc.length, kCmdRasterRow, packed.data(),
                            static_cast<std::uint16_t>(enc.row_bytes));
  enc.rows ++;
  return true;
}

//
// 'encode_end()' - Write the page mark and the trailer; hand the stream over.
//

MallocPtr<std::uint8_t[]>
encode_end(PageEncoder       &enc,       // IO - Encoder
           std::size_t       *length,    // O  - Stream length
           const JobSettings &settings,  // I  - For the page mark's log line
           const MessageSink &messages)  // I  - Where messages go
{
  *length = 0;
  if (!enc.stream || enc.rows != enc.height)
    return nullptr;

  if (!settings.page_mark_keyword.empty())
    say(messages, Level::Info, "PageMark=%s", settings.page_mark_keyword.c_str());

  const std::uint8_t mark = static_cast<std::uint8_t>(enc.page_mark);

  enc.length += put_subcommand(enc.stream.get() + enc.length, kCmdPageSetting, kSubCmdPageMark,
                               &mark, 1);
  memcpy(enc.stream.get() + enc.length, kTrailer, kTrailerSize);
  enc.length += kTrailerSize;

  *length = enc.length;
  return std::move(enc.stream);
}

//
// 'build_frame()' - Compress a command stream into a page frame.
//
// The buffer is sized from the compressor's bound, so the body is always one
// complete raw deflate stream that inflates to exactly the command stream.
//

PageFrame
build_frame(std::span<const std::uint8_t> stream,  // I - Command stream
            int                           level)   // I - Deflate level, 1 to 12
{
  PageFrame frame;

  if (level < kMinDeflateLevel || level > kMaxDeflateLevel)
    return frame;

  Compressor compressor(libdeflate_alloc_compressor(level));

  if (!compressor || stream.size() > kMaxFrameSize)
    return frame;

  const size_t        bodyCapacity  = libdeflate_deflate_compress_bound(compressor.get(),
                                                                        stream.size());
  const std::uint64_t frameCapacity = kFrameOverhead + std::uint64_t{bodyCapacity};

  if (frameCapacity > kMaxFrameSize)
    return frame;

  MallocPtr<std::uint8_t[]> bytes(static_cast<std::uint8_t *>(malloc(frameCapacity)));
  if (!bytes)
    return frame;

  std::uint8_t *out = bytes.get();
  const size_t  N   = libdeflate_deflate_compress(compressor.get(), stream.data(), stream.size(),
                                                  out + kFrameHeaderSize, bodyCapacity);
  if (N == 0)
    return frame;  // cannot happen within the bound; never frame an unfinished body

  const std::uint32_t length = static_cast<std::uint32_t>(N + kFrameOverhead);

  out[0] = kFrameId1;
  out[1] = kFrameId2;
  out[2] = kFrameMethod;
  out[3] = kFrameFlags;
  put_le32(out + kFrameLengthOffset, length);
  out[8] = kFrameXFlags;
  out[9] = kFrameOS;

  std::uint8_t *trailer  = out + kFrameHeaderSize + N;
  const size_t  crcRange = kFrameHeaderSize - kFrameCrcStart + N + kCrcSize;

  put_le32(trailer, static_cast<std::uint32_t>(libdeflate_crc32(0, stream.data(), stream.size())));
  put_le32(trailer + kCrcSize,
           static_cast<std::uint32_t>(libdeflate_crc32(0, out + kFrameCrcStart, crcRange)));

  frame.bytes = std::move(bytes);
  frame.size  = length;
  return frame;
}

} // namespace pelna
