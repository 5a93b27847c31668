// SPDX-License-Identifier: Apache-2.0
//
// Names and one-line descriptions of the faults the decoder reports, and the
// small text helpers its messages use.
//

#include "decoder.h"

#include <cstdio>

namespace inspect {

namespace {

struct FaultInfo
{
  FaultKind   kind;
  const char *name;   // short name, for JSON and scripts
  const char *text;   // what went wrong, in plain words
};

// In the order of FaultKind, which fault_info() checks.
constexpr FaultInfo kFaults[] =
{
  {FaultKind::NoFrames,          "no-frames",          "the input holds no page frame"},
  {FaultKind::TooManyPages,      "too-many-pages",     "more page frames than the page cap allows"},
  {FaultKind::FrameTruncated,    "frame-truncated",    "the input ends inside a frame header"},
  {FaultKind::FrameId,           "frame-id",           "the identification bytes are wrong"},
  {FaultKind::FrameMethod,       "frame-method",       "the compression method is not deflate"},
  {FaultKind::FrameFlags,        "frame-flags",        "the flags byte is wrong"},
  {FaultKind::FrameXFlags,       "frame-xflags",       "the extra-flags byte is wrong"},
  {FaultKind::FrameOS,           "frame-os",           "the operating-system byte is wrong"},
  {FaultKind::FrameLength,       "frame-length",       "the frame length field is impossible"},
  {FaultKind::FramePastEnd,      "frame-past-end",     "the frame length field points past the end of the input"},
  {FaultKind::FrameCrc,          "frame-crc",          "the frame CRC does not match offsets 8 to 13+N"},
  {FaultKind::BodyCorrupt,       "body-corrupt",       "the body is not valid raw deflate data"},
  {FaultKind::BodyIncomplete,    "body-incomplete",    "the body ends before its deflate stream does"},
  {FaultKind::BodyTrailing,      "body-trailing",      "bytes are left in the body after the deflate stream"},
  {FaultKind::BodyTooLarge,      "body-too-large",     "the body inflates to more than the stream cap"},
  {FaultKind::StreamCrc,         "stream-crc",         "the stream CRC does not match the inflated stream"},
  {FaultKind::WidthNotFirst,     "width-not-first",    "the stream does not start with the page-width command"},
  {FaultKind::WidthZero,         "width-zero",         "the page width is 0 dots"},
  {FaultKind::CommandLength,     "command-length",     "a page-setting command has the wrong length field"},
  {FaultKind::RowLength,         "row-length",         "a raster-row length field differs from the row bytes of the width"},
  {FaultKind::RowPadding,        "row-padding",        "bits beyond the page width are set in a row"},
  {FaultKind::PageMarkValue,     "page-mark-value",    "the page mark value is unknown"},
  {FaultKind::CommandOrder,      "command-order",      "a command is out of its place"},
  {FaultKind::UnknownCommand,    "unknown-command",    "an unknown command code; the rest of the stream is not read"},
  {FaultKind::UnknownSubCommand, "unknown-subcommand", "an unknown page-setting sub-command"},
  {FaultKind::CommandTruncated,  "command-truncated",  "a command runs past the end of the stream"},
  {FaultKind::PageMarkMissing,   "page-mark-missing",  "no page-mark command before the end of the page"},
  {FaultKind::TrailerMissing,    "trailer-missing",    "the stream ends without the end-of-page trailer"},
  {FaultKind::TrailingData,      "trailing-data",      "bytes follow the end-of-page trailer"}
};

//
// 'fault_info()' - Table entry of a fault kind.
//

const FaultInfo &
fault_info(FaultKind kind)  // I - Fault kind
{
  static_assert(sizeof(kFaults) / sizeof(kFaults[0]) ==
                static_cast<std::size_t>(FaultKind::TrailingData) + 1);

  return kFaults[static_cast<std::size_t>(kind)];
}

} // namespace

//
// 'fault_name()' - Short name of a fault kind, e.g. "frame-crc".
//

const char *
fault_name(FaultKind kind)  // I - Fault kind
{
  return fault_info(kind).name;
}

//
// 'fault_text()' - One-line description of a fault kind.
//

const char *
fault_text(FaultKind kind)  // I - Fault kind
{
  return fault_info(kind).text;
}

//
// 'page_mark_name()' - Name of a page mark value.
//

const char *
page_mark_name(int value)  // I - Page mark value, -1 when missing
{
  switch (value)
  {
    case -1 :
        return "missing";
    case pelna::kPageMarkNone :
        return "continuous";
    case pelna::kPageMarkLabel :
        return "label";
    case pelna::kPageMarkBlack :
        return "black";
    default :
        return "unknown";
  }
}

//
// 'hex_bytes()' - Bytes as upper-case hex pairs separated by blanks.
//

std::string
hex_bytes(std::span<const std::uint8_t> bytes)  // I - Bytes to show
{
  std::string text;
  char        pair[4];

  for (std::uint8_t b : bytes)
  {
    snprintf(pair, sizeof(pair), "%02X", b);
    if (!text.empty())
      text += ' ';
    text += pair;
  }

  return text.empty() ? std::string("nothing") : text;
}

//
// 'hex32()' - A 32-bit value as 0x and eight hex digits.
//

std::string
hex32(std::uint32_t value)  // I - Value
{
  char text[16];

  snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

} // namespace inspect
