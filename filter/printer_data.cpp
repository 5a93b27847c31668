// SPDX-License-Identifier: Apache-2.0
//
// The filter's printer data functions, over the core's encoder
// (core/printer_data.cpp holds the byte map of the command stream and the
// page frame): the command writers, the whole-page command stream and the
// page frame, with the page buffer convention.
//

#include "pelna.h"

#include <climits>
#include <cstdlib>

using namespace pelna;

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
  return static_cast<int>(put_command(data, cmd, param, len));
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
  return static_cast<int>(put_subcommand(data, cmd, subcmd, param, len));
}

//
// 'image_buildPrintData()' - Turn the packed page into the command stream.
//
// The page mark comes from the job's "PageMark" choice (logged when marked;
// none or an unknown keyword gives continuous media).  On success the packed
// page is freed, *pdata holds the stream and its length is returned.  A
// page outside the format (width 0 or above 65535, a stream that does not
// fit 32 bits) or a failed allocation returns 0 and leaves *pdata untouched.
//

DWORD
image_buildPrintData(ppd_file_t          *ppd,     // I  - Job's PPD
                     cups_page_header2_t *header,  // I  - Page header
                     PBYTE               *pdata)   // IO - Packed page in, stream out
{
  const JobSettings settings = job_settings(ppd);
  PageEncoder       encoder;
  std::size_t       length = 0;  // Stream length

  if (header->cupsHeight > static_cast<unsigned>(INT32_MAX) ||
      !encode_begin(encoder, header->cupsWidth, header->cupsHeight, settings.page_mark))
    return 0;

  for (std::uint32_t y = 0; y < header->cupsHeight; y ++)
    (void)encode_row(encoder, {*pdata + y * encoder.row_bytes, encoder.row_bytes});

  MallocPtr<std::uint8_t[]> stream = encode_end(encoder, &length, settings, log_sink());

  free(*pdata);
  *pdata = stream.release();

  return static_cast<DWORD>(length);
}

//
// 'gzip_frame()' - Compress the command stream into the page frame.
//
// On success the stream is freed, *data holds the frame and *size its
// length.  On failure (no memory, a frame that would not fit 32 bits) 0 is
// returned and both are left untouched.
//

BOOL
gzip_frame(PBYTE *data,  // IO - Command stream in, page frame out
           DWORD *size)  // IO - Stream length in, frame length out
{
  PageFrame frame = build_frame({*data, *size});

  if (!frame.bytes)
    return 0;

  free(*data);
  *data = frame.bytes.release();
  *size = static_cast<DWORD>(frame.size);

  return 1;
}
