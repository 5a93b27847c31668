//
// Printer data encoding: the command stream of one page and the compressed
// page frame around it.
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

#include "pelna.h"

#include <libdeflate.h>

#include <cstdlib>
#include <cstring>
#include <memory>

using namespace pelna;

namespace {

//
// 'row_bytes()' - Bytes of one packed row of a page 1 to 65535 dots wide.
//

WORD
row_bytes(WORD width)         // I - Page width in dots, 1 or more
{
  return static_cast<WORD>(((width - 1) >> 3) + 1);
}

struct CompressorFree
{
  void operator()(libdeflate_compressor *c) const { libdeflate_free_compressor(c); }
};

using Compressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;

} // namespace

//
// 'build_cmd()' - Write a command without sub-command.
//
// The caller sizes the buffer: len + 4 bytes are written.  Returns the number
// of bytes written.
//

int
build_cmd(PBYTE       data,   // O - Where the command goes
          WORD        cmd,    // I - Command code, written high byte first
          const BYTE *param,  // I - Parameter bytes
          WORD        len)    // I - Number of parameter bytes
{
  data[0] = static_cast<BYTE>(cmd >> 8);
  data[1] = static_cast<BYTE>(cmd & 0xFF);
  put_le16(data + 2, len);
  if (len > 0)
    memcpy(data + kCmdHeaderSize, param, len);

  return static_cast<int>(len + kCmdHeaderSize);
}

//
// 'build_cmd_subcmd()' - Write a command with a sub-command byte.
//
// The length field counts the sub-command byte and the parameters.  The
// caller sizes the buffer: len + 5 bytes are written.  Returns the number of
// bytes written.
//

int
build_cmd_subcmd(PBYTE       data,    // O - Where the command goes
                 WORD        cmd,     // I - Command code, high byte first
                 BYTE        subcmd,  // I - Sub-command
                 const BYTE *param,   // I - Parameter bytes
                 WORD        len)     // I - Number of parameter bytes
{
  data[0] = static_cast<BYTE>(cmd >> 8);
  data[1] = static_cast<BYTE>(cmd & 0xFF);
  put_le16(data + 2, static_cast<WORD>(len + 1));
  data[4] = subcmd;
  if (len > 0)
    memcpy(data + kSubCmdHeaderSize, param, len);

  return static_cast<int>(len + kSubCmdHeaderSize);
}

//
// 'page_mark_value()' - Page mark value of the job's "PageMark" choice.
//
// Every marked choice is logged before it is compared; an unknown keyword or
// no marked choice gives continuous media (0).
//

BYTE
page_mark_value(ppd_file_t *ppd)  // I - Job's PPD with its choices marked
{
  ppd_choice_t *choice = ppdFindMarkedChoice(ppd, "PageMark");

  if (!choice)
    return kPageMarkNone;

  pelna_log("INFO", "PageMark=%s", choice->choice);

  if (!strcmp(choice->choice, "PageMarkLabel"))
    return kPageMarkLabel;
  if (!strcmp(choice->choice, "PageMarkBlack"))
    return kPageMarkBlack;

  return kPageMarkNone;
}

//
// 'command_stream_length()' - Length of the command stream of a page.
//
// Computed in 64 bits so that a caller can refuse a page whose stream does
// not fit the format's 32-bit lengths before allocating anything.  The width
// must be 1 to 65535.
//

std::uint64_t
command_stream_length(DWORD width,   // I - Page width in dots
                      DWORD height)  // I - Rows
{
  const std::uint64_t rowCommand = row_bytes(static_cast<WORD>(width)) + kCmdHeaderSize;

  return static_cast<std::uint64_t>(height) * rowCommand + kStreamFixedSize;
}

//
// 'page_frame_bound()' - Largest page frame a stream of this length can give.
//
// Returns 0 when the compressor cannot be set up.
//

std::uint64_t
page_frame_bound(std::uint64_t streamLength)  // I - Command stream bytes
{
  Compressor compressor(libdeflate_alloc_compressor(kDeflateLevel));

  if (!compressor || streamLength > SIZE_MAX)
    return 0;

  return kFrameOverhead +
         libdeflate_deflate_compress_bound(compressor.get(),
                                           static_cast<size_t>(streamLength));
}

//
// 'image_buildPrintData()' - Turn the packed page into the command stream.
//
// On success the packed page is freed, *pdata holds the stream and its
// length is returned.  A page outside the format (width 0 or above 65535, a
// stream that does not fit 32 bits) or a failed allocation returns 0 and
// leaves *pdata untouched.
//

DWORD
image_buildPrintData(ppd_file_t          *ppd,     // I  - Job's PPD
                     cups_page_header2_t *header,  // I  - Page header
                     PBYTE               *pdata)   // IO - Packed page in, stream out
{
  if (header->cupsWidth < 1 || header->cupsWidth > kMaxPageWidth ||
      header->cupsHeight > static_cast<unsigned>(INT32_MAX))
    return 0;

  const WORD          width  = static_cast<WORD>(header->cupsWidth);
  const WORD          w      = row_bytes(width);
  const int           h      = static_cast<int>(header->cupsHeight);
  const std::uint64_t length = command_stream_length(width, header->cupsHeight);

  if (length > kMaxFrameSize)
    return 0;

  PBYTE stream = static_cast<PBYTE>(malloc(static_cast<size_t>(length)));
  if (!stream)
    return 0;

  const BYTE pageMark = page_mark_value(ppd);
  const BYTE widthParam[2] = {static_cast<BYTE>(width & 0xFF),
                              static_cast<BYTE>(width >> 8)};
  const BYTE *packed = *pdata;
  PBYTE       p      = stream;

  p += build_cmd_subcmd(p, kCmdPageSetting, kSubCmdPageWidth, widthParam, 2);

  for (int y = 0; y < h; y ++)
    p += build_cmd(p, kCmdRasterRow, packed + static_cast<size_t>(y) * w, w);

  p += build_cmd_subcmd(p, kCmdPageSetting, kSubCmdPageMark, &pageMark, 1);
  memcpy(p, kTrailer, kTrailerSize);

  free(*pdata);
  *pdata = stream;

  return static_cast<DWORD>(length);
}

//
// 'gzip_frame()' - Compress the command stream into the page frame.
//
// The frame buffer is sized from the compressor's bound, so the body is
// always one complete raw deflate stream that inflates to exactly the
// command stream.  On success the stream is freed, *data holds the frame
// and *size its length.  On failure (no memory, a frame that would not fit
// 32 bits) 0 is returned and both are left untouched.
//

BOOL
gzip_frame(PBYTE *data,  // IO - Command stream in, page frame out
           DWORD *size)  // IO - Stream length in, frame length out
{
  const DWORD L = *size;
  Compressor  compressor(libdeflate_alloc_compressor(kDeflateLevel));

  if (!compressor)
    return 0;

  const size_t        bodyCapacity  = libdeflate_deflate_compress_bound(compressor.get(), L);
  const std::uint64_t frameCapacity = kFrameOverhead + static_cast<std::uint64_t>(bodyCapacity);

  if (frameCapacity > kMaxFrameSize)
    return 0;

  PBYTE frame = static_cast<PBYTE>(malloc(static_cast<size_t>(frameCapacity)));
  if (!frame)
    return 0;

  frame[0] = kFrameId1;
  frame[1] = kFrameId2;
  frame[2] = kFrameMethod;
  frame[3] = kFrameFlags;
  put_le32(frame + kFrameLengthOffset, 0);
  frame[8] = kFrameXFlags;
  frame[9] = kFrameOS;

  const size_t N = libdeflate_deflate_compress(compressor.get(), *data, L,
                                               frame + kFrameHeaderSize,
                                               bodyCapacity);
  if (N == 0)
  {
    // Cannot happen within the bound; never frame an unfinished body.
    free(frame);
    return 0;
  }

  PBYTE trailer = frame + kFrameHeaderSize + N;

  put_le32(trailer, static_cast<DWORD>(libdeflate_crc32(0, *data, L)));
  const size_t crcRange = kFrameHeaderSize - kFrameCrcStart + N + kCrcSize;

  put_le32(trailer + kCrcSize,
           static_cast<DWORD>(libdeflate_crc32(0, frame + kFrameCrcStart, crcRange)));

  const DWORD frameLength = static_cast<DWORD>(N + kFrameOverhead);

  put_le32(frame + kFrameLengthOffset, frameLength);

  free(*data);
  *data = frame;
  *size = frameLength;

  return 1;
}
