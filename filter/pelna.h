// SPDX-License-Identifier: Apache-2.0
//
// Shared declarations of the rastertopelna filter: the fixed-width types,
// the process-wide state and the procedures of every unit.  The filter is an
// adapter over the core (core/): it turns the PPD choices into the core's
// settings, reads the raster stream as the core's page source, and files the
// core's messages in its log; its named conversion functions are thin code
// over the core's row functions.
//
// The page buffer convention: the page's data lives in one malloc'ed buffer,
// the global `Buffer`.  Every conversion stage receives the address of that
// pointer.  On success a stage frees the buffer it was given and stores its
// own newly allocated output in its place, so exactly one page buffer is alive
// between stages.  On failure a stage leaves the pointer as it found it (the
// caller still owns that buffer), so the job loop can always free whatever
// the slot holds at the end of the page.
//
// The 8-bit page is cupsWidth x cupsHeight bytes, row 0 first, 0 = black and
// 255 = white.  A packed row is ceil(width / 8) bytes, most significant bit
// leftmost, a set bit a black dot, bits beyond the width 0.
//

#ifndef PELNA_H
#define PELNA_H

#include <cups/cups.h>
#include <cups/ppd.h>
#include <cups/raster.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <span>
#include <sys/types.h>

#include "job_loop.h"
#include "pelna_format.h"
#include "printer_data.h"
#include "settings.h"

//
// Fixed-width types of the filter.
//

typedef std::uint8_t  BYTE;   // unsigned 8-bit
typedef std::uint16_t WORD;   // unsigned 16-bit
typedef std::uint32_t DWORD;  // unsigned 32-bit; lengths of page data
typedef std::int32_t  LONG;   // signed 32-bit
typedef std::uint8_t  BOOL;   // 1 = success, 0 = failure
typedef BYTE         *PBYTE;  // pointer to page data
typedef char          TCHAR;  // character of a path name

//
// Filter messages.  libcups exports these but declares them only in its
// private headers.
//

extern "C" int _cupsLangPrintFilter(FILE *fp, const char *prefix,
                                    const char *message, ...)
    __attribute__((format(printf, 3, 4)));
extern "C" int _cupsLangPrintError(const char *prefix, const char *message);

//
// Process-wide state of the job (driver).
//

extern PBYTE                 Buffer;    // page buffer of the current page
extern int                   Page;      // pages started in this job
extern volatile sig_atomic_t Canceled;  // set to 1 by SIGTERM
extern FILE                 *logs;      // log stream, or NULL without a log

//
// Log one message line "LEVEL: message" on the log stream; dropped when the
// filter runs without a log.  The format goes to the printing system's
// message routine unchanged, as every message of the filter does.
//

#define pelna_log(level, ...)                                 \
  do {                                                        \
    if (logs)                                                 \
      _cupsLangPrintFilter(logs, level, __VA_ARGS__);         \
  } while (0)

//
// Reading state of the raster input, for cupsRasterOpenIO.
//

struct RasterInput
{
  int    fd;           // descriptor the raster stream is read from
  bool   at_end;       // a read reached the end of the input
  bool   failed;       // a read failed with an error other than EINTR
  off_t  consumed;     // bytes handed to libcups so far
  size_t end_request;  // bytes libcups asked for when the end was met
};

//
// 'raster_ended_cleanly()' - After a header read that gave no page, tell the
// clean end of the job from a damaged or cut page header.
//
// The end is clean when the input ended on a request for a whole page header
// and nothing was read since the previous page.  libcups keeps part of a cut
// header in its own buffer when the stream is compressed, and then asks only
// for the rest, which is how a cut inside such a header shows.
//

[[nodiscard]] inline bool
raster_ended_cleanly(const RasterInput &input,           // I - Reading state
                     off_t              consumedBefore)  // I - Bytes read before
{
  return input.at_end && !input.failed && input.consumed == consumedBefore &&
         input.end_request == sizeof(cups_page_header2_t);
}

//
// Driver: log, raster input, page hooks, conversion dispatch, output.
//

[[nodiscard]] FILE *open_log_file(const char *path);
ssize_t read_raster_input(void *ctx, unsigned char *buffer, size_t length);
[[nodiscard]] pelna::PageHeader page_header_numbers(const cups_page_header2_t *header);
[[nodiscard]] BOOL check_page_header(const cups_page_header2_t *header,
                                     char *reason, size_t reasonSize);
void log_page_header(const cups_page_header2_t *header);
[[nodiscard]] BOOL allocate_page_buffer(const cups_page_header2_t *header);
[[nodiscard]] pelna::PageSkip skip_page_pixels(cups_raster_t *ras,
                                               const cups_page_header2_t *header,
                                               std::uint64_t remaining);

void Setup(ppd_file_t *ppd);
void CancelJob(int sig);
[[nodiscard]] BOOL StartPage(ppd_file_t *ppd, cups_page_header2_t *header);
void EndPage(ppd_file_t *ppd, cups_page_header2_t *header);
[[nodiscard]] DWORD build_print_data(ppd_file_t *ppd,
                                     cups_page_header2_t *header,
                                     PBYTE *pdata);
[[nodiscard]] BOOL OutputPrintData(cups_page_header2_t *header, PBYTE data,
                                   DWORD dataSize);

//
// The filter as the core's front end: its messages, the job's settings, the
// raster stream as a page source, standard output as the frame sink.
//

void log_message(void *ctx, pelna::Level level, const char *text);
[[nodiscard]] pelna::MessageSink log_sink();
[[nodiscard]] pelna::JobSettings job_settings(ppd_file_t *ppd);
[[nodiscard]] bool print_debug(ppd_file_t *ppd);

struct RasterSource
{
  cups_raster_t      *ras;       // the raster stream, or NULL when it did not open
  RasterInput        *input;     // its reading state
  ppd_file_t         *ppd;       // the job's PPD, for the page hooks
  cups_page_header2_t header;    // the current page's header
  std::uint64_t       unread;    // bytes of the page's pixels not read yet
  bool                asked;     // a page header was asked for already
};

[[nodiscard]] pelna::PageSource raster_page_source(RasterSource *source);
int write_frame(void *ctx, int page, std::span<const std::uint8_t> frame);

using pelna::blackness_number;
using pelna::command_stream_length;
using pelna::fixed_threshold;
using pelna::page_frame_bound;
using pelna::put_le16;
using pelna::put_le32;

//
// Printer data encoding: command stream and page frame.
//

int build_cmd(PBYTE data, WORD cmd, const BYTE *param, WORD len);
int build_cmd_subcmd(PBYTE data, WORD cmd, BYTE subcmd, const BYTE *param,
                     WORD len);
[[nodiscard]] DWORD image_buildPrintData(ppd_file_t *ppd,
                                         cups_page_header2_t *header,
                                         PBYTE *pdata);
[[nodiscard]] BOOL gzip_frame(PBYTE *data, DWORD *size);

//
// Diagnostics: the PrintDebug "ON" path and its dump writers.
//

[[nodiscard]] DWORD build_print_data_diagnostic(ppd_file_t *ppd,
                                                cups_page_header2_t *header,
                                                PBYTE *pdata);

struct DumpFolder
{
  bool  keep;          // the folder may receive files
  TCHAR gray[256];     // the gray page, "page8bpp.bmp"
  TCHAR packed[256];   // the 1-bit page, "page1bpp.bmp"
  TCHAR frame[256];    // the page frame, "PageData.gz"
};

struct DumpState
{
  DumpFolder                  folder;     // the current page's folder and files
  DWORD                       width;      // pixels per row of the page
  DWORD                       height;     // rows of the page
  std::size_t                 row_bytes;  // bytes of a packed row
  pelna::MallocPtr<BYTE[]>    packed;     // the packed page, as its rows come
};

[[nodiscard]] DumpFolder prepare_dump_folder();
void finish_dump(const DumpFolder &folder, const TCHAR *path);
[[nodiscard]] pelna::PageObserver diagnostic_observer(DumpState *state);
BOOL saveBmp8BPP(const TCHAR *bmpName, const BYTE *imgBuf, DWORD width, DWORD height);
BOOL saveBmp1BPP(const TCHAR *bmpName, const BYTE *imgBuf, DWORD width, DWORD height);
BOOL savePrintData(const TCHAR *bmpName, const BYTE *imgBuf, DWORD size);

//
// Halftoning: 8-bit page to packed rows.
//
// The "BlacknessAdjustH" choice "h<n>" gives the blackness number n.  The
// "BW" path packs with a fixed threshold that climbs 40 per step up to 5 and
// 10 per step after it; the other paths map the page through a gamma curve
// of exponent n / 5 and diffuse it.  The number is held within
// +/-kBlacknessLimit, so 40 x n and 10 x n + 150 stay within 32 bits (the
// numbers are in pelna_format.h).
//
// The packers take the page buffer by address; on success they free it and
// leave the packed rows in its place, on failure (no memory) they return 0
// and leave it as it was.  A width or height of 0 or less leaves the buffer
// as it was and returns 1.
//

extern BYTE g_image_GammaLUT[256];  // gray value before diffusion, by input value
extern int  last_threshold;         // threshold the gamma table was built for,
                                    // or kGammaUnbuilt

[[nodiscard]] BOOL image_Thresholding(ppd_file_t *ppd, cups_page_header2_t *header,
                                      PBYTE *pdata);
void image_BuildTable(double fPrecompensation);
[[nodiscard]] BOOL image_ThresholdingBW(int width, int height, PBYTE *data,
                                        int threshold);
[[nodiscard]] BOOL image_ThresholdingDITHER(int width, int height, PBYTE *data,
                                            const BYTE *gamma = nullptr);
void image_FloydSteinberg(std::int32_t *data, int width, int height);

#endif // PELNA_H
