// SPDX-License-Identifier: Apache-2.0
//
// Named constants of the printer's data format, the page limits the filter
// accepts and the fixed paths it uses.
//
// This header has no dependencies, so that independent readers of the
// printer data (the inspection tool, the tests) can share the numbers
// without sharing any encoding code.
//

#ifndef PELNA_FORMAT_H
#define PELNA_FORMAT_H

#include <cstddef>
#include <climits>
#include <cstdint>

namespace pelna {

//
// Command stream.
//
// Every command starts with a 16-bit command code, high byte first, and a
// 16-bit parameter length, low byte first.
//

constexpr std::uint16_t kCmdRasterRow   = 0x1F10; // one packed row as parameters
constexpr std::uint16_t kCmdPageSetting = 0x1F19; // sub-command byte, then parameters

constexpr std::size_t kCmdHeaderSize    = 4;      // command code + length field
constexpr std::size_t kSubCmdHeaderSize = 5;      // command code + length + sub-command

constexpr std::uint8_t kSubCmdPageWidth = 7;      // parameter: width, 16 bits LE
constexpr std::uint8_t kSubCmdPageMark  = 8;      // parameter: page mark, 1 byte

constexpr std::size_t kPageWidthCmdSize = 7;      // 1F 19 03 00 07 wl wh
constexpr std::size_t kPageMarkCmdSize  = 6;      // 1F 19 02 00 08 mm

constexpr std::uint8_t kTrailer[2] = {0x1D, 0x98};  // end of page, no length
constexpr std::size_t kTrailerSize = sizeof(kTrailer);

// Bytes of a page's stream that do not depend on its rows: the page-width
// command, the page-mark command and the trailer.
constexpr std::size_t kStreamFixedSize =
    kPageWidthCmdSize + kPageMarkCmdSize + kTrailerSize;

// Page mark values carried by the page-mark sub-command.
constexpr std::uint8_t kPageMarkNone  = 0;        // continuous media
constexpr std::uint8_t kPageMarkLabel = 1;        // labels with gaps
constexpr std::uint8_t kPageMarkBlack = 2;        // black-mark media

//
// Page frame: a gzip-like member around the raw deflate of the stream.
//

constexpr std::uint8_t kFrameId1     = 0x1F;      // identification 1
constexpr std::uint8_t kFrameId2     = 0x8B;      // identification 2
constexpr std::uint8_t kFrameMethod  = 0x08;      // deflate
constexpr std::uint8_t kFrameFlags   = 0x00;      // no optional fields
constexpr std::uint8_t kFrameXFlags  = 0x00;      // extra flags
constexpr std::uint8_t kFrameOS      = 0xFF;      // operating system: unknown

constexpr std::size_t kFrameLengthOffset = 4;     // 32-bit LE frame length
constexpr std::size_t kFrameCrcStart     = 8;     // frame CRC covers from here
constexpr std::size_t kFrameHeaderSize   = 10;    // body starts here
constexpr std::size_t kCrcSize           = 4;     // one CRC-32, LE
constexpr std::size_t kFrameTrailerSize  = 2 * kCrcSize;  // stream CRC + frame CRC
constexpr std::size_t kFrameOverhead = kFrameHeaderSize + kFrameTrailerSize;

constexpr int kDeflateLevel    = 6;               // the filter's compression level
constexpr int kMinDeflateLevel = 1;               // levels a frame may be made at:
constexpr int kMaxDeflateLevel = 12;              // the compressor's own range

//
// Pages the filter accepts.
//

constexpr std::uint32_t kMaxPageWidth  = 0xFFFF;          // the format's 16 bits
constexpr std::uint64_t kMaxPagePixels = 0x7FFFFFFFULL;   // width x height < 2^31
constexpr std::uint64_t kMaxFrameSize  = 0xFFFFFFFFULL;   // 32-bit length fields
constexpr std::uint32_t kGrayBitsPerPixel = 8;            // one byte per pixel

//
// Halftoning: the "BlacknessAdjustH" choice "h<n>" gives the blackness
// number n.  The "BW" threshold climbs 40 per step up to n = 5 and 10 per
// step after it; diffusion maps the page through a gamma curve of exponent
// n / 5.
//

constexpr int kBlacknessLimit        = INT32_MAX / 40;  // largest |n| taken
constexpr int kThresholdPerStep      = 10;    // threshold = 10 x n
constexpr int kSteepThresholdPerStep = 40;    // fixed threshold below the knee
constexpr int kBlacknessKnee         = 5;     // first n on the gentle slope
constexpr int kThresholdOffset       = 150;   // fixed threshold = 10 x n + 150
constexpr double kGammaDivisor       = 50.0;  // exponent = threshold / 50

// last_threshold before the first build; no blackness number gives it.
constexpr int kGammaUnbuilt = INT32_MIN;

// The blackness number the printer's PPD files mark by default ("h4").
constexpr int kDefaultBlackness = 4;

//
// Gray values.
//

constexpr std::uint8_t kGrayBlack = 0;
constexpr std::uint8_t kGrayWhite = 255;

//
// Fixed paths.
//

// The filter's; inline, so that units which do not use them hold no copy.
inline constexpr char kLogPath[]     = "/tmp/pelna_printer_logs.txt";
inline constexpr char kProgramName[] = "rastertopelna";

} // namespace pelna

#endif // PELNA_FORMAT_H
