// SPDX-License-Identifier: Apache-2.0
//
// Checking page frames: the fixed header bytes, the length field, the frame
// CRC, the body and the stream CRC; then the command stream inside.
//
// Page frame around a stream of L bytes whose raw deflate body is N bytes:
//
//   1F 8B 08 00 <N+18, 32 LE> 00 FF <body> <crc32 of stream> <crc32 of 8..13+N>
//
// Frames follow each other with nothing in between.  A frame whose length
// cannot be trusted ends the reading: nothing after it can be located.
//

#include "decoder.h"

#include <algorithm>
#include <utility>

using namespace pelna;

namespace inspect {

namespace {

// Where a frame header byte sits and what it must hold.
struct HeaderByte
{
  std::size_t  offset;
  std::uint8_t value;
  FaultKind    fault;
};

constexpr HeaderByte kHeaderBytes[] =
{
  {2, kFrameMethod, FaultKind::FrameMethod},
  {3, kFrameFlags,  FaultKind::FrameFlags},
  {8, kFrameXFlags, FaultKind::FrameXFlags},
  {9, kFrameOS,     FaultKind::FrameOS}
};

constexpr std::uint8_t kFrameId[2] = {kFrameId1, kFrameId2};

//
// 'check_body()' - Inflate the body, check the stream CRC, parse the stream.
//

void
check_body(std::span<const std::uint8_t>  frame,        // I  - Whole frame
           std::uint64_t                  inputOffset,  // I  - Input offset of the frame
           const Options                 &options,      // I  - Decoder options
           Page                          &page)         // IO - Page record
{
  const std::size_t             N    = frame.size() - kFrameOverhead;
  std::span<const std::uint8_t> body = frame.subspan(kFrameHeaderSize, N);
  const std::uint64_t           bodyAt = inputOffset + kFrameHeaderSize;
  std::vector<std::uint8_t>     stream;
  std::uint64_t                 consumed = 0;
  const InflateStatus status = inflate_body(body, options.max_stream, stream, consumed);

  page.stream_bytes = stream.size();

  switch (status)
  {
    case InflateStatus::Complete :
        break;
    case InflateStatus::Trailing :
        add_fault(page, FaultKind::BodyTrailing, false, bodyAt + consumed,
                  "a deflate stream using all " + std::to_string(N) + " body bytes",
                  "a stream ending after " + std::to_string(consumed) + " bytes, " +
                  std::to_string(N - consumed) + " left over");
        break;
    case InflateStatus::Incomplete :
        add_fault(page, FaultKind::BodyIncomplete, false, bodyAt + N,
                  "the final deflate block within the " + std::to_string(N) + " body bytes",
                  "the end of the body after " + std::to_string(stream.size()) +
                  " stream bytes");
        return;
    case InflateStatus::Corrupt :
        add_fault(page, FaultKind::BodyCorrupt, false, bodyAt + consumed,
                  "raw deflate data",
                  "invalid data after " + std::to_string(stream.size()) + " stream bytes");
        return;
    case InflateStatus::TooLarge :
        add_fault(page, FaultKind::BodyTooLarge, false, bodyAt + consumed,
                  "at most " + std::to_string(options.max_stream) +
                  " stream bytes (the --max-stream cap)",
                  "more; inflating stopped there");
        return;
    case InflateStatus::NoMemory :
        add_fault(page, FaultKind::BodyTooLarge, false, bodyAt,
                  "memory to inflate the body", "none available");
        return;
  }

  page.inflated = true;

  const std::uint32_t stored   = le32(frame.data() + kFrameHeaderSize + N);
  const std::uint32_t computed = crc32_of(stream);

  if (stored != computed)
    add_fault(page, FaultKind::StreamCrc, false, bodyAt + N, hex32(computed), hex32(stored));

  parse_stream(stream, options, page);
}

//
// 'check_frame_at()' - Check one frame; see check_frame().
//

std::uint64_t
check_frame_at(std::span<const std::uint8_t>  data,         // I  - Input from the frame on
               std::uint64_t                  inputOffset,  // I  - Its input offset
               const Options                 &options,      // I  - Decoder options
               Page                          &page,         // IO - Page record
               bool                          &stop)         // O  - Nothing more can be read
{
  const std::size_t idPresent = std::min<std::size_t>(data.size(), sizeof(kFrameId));

  stop = true;
  page.frame_offset = inputOffset;
  page.frame_bytes  = data.size();

  if (!std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(idPresent), kFrameId))
  {
    add_fault(page, FaultKind::FrameId, false, inputOffset, hex_bytes(kFrameId),
              hex_bytes(data.first(idPresent)));
    return data.size();
  }
  if (data.size() < kFrameHeaderSize)
  {
    add_fault(page, FaultKind::FrameTruncated, false, inputOffset + data.size(),
              std::to_string(kFrameHeaderSize) + " header bytes",
              std::to_string(data.size()) + " bytes before the end of the input");
    return data.size();
  }

  for (const HeaderByte &check : kHeaderBytes)
    if (data[check.offset] != check.value)
      add_fault(page, check.fault, false, inputOffset + check.offset,
                hex_bytes(std::span(&check.value, 1)),
                hex_bytes(data.subspan(check.offset, 1)));

  const std::uint64_t length = le32(data.data() + kFrameLengthOffset);
  const std::uint64_t limit  = frame_length_limit(options.max_stream);

  if (length < kFrameOverhead)
  {
    add_fault(page, FaultKind::FrameLength, false, inputOffset + kFrameLengthOffset,
              "at least " + std::to_string(kFrameOverhead), std::to_string(length));
    return data.size();
  }
  if (length > limit)
  {
    add_fault(page, FaultKind::FrameLength, false, inputOffset + kFrameLengthOffset,
              "at most " + std::to_string(limit) + " for a stream cap of " +
              std::to_string(options.max_stream) + " bytes",
              std::to_string(length));
    return data.size();
  }
  if (length > data.size())
  {
    add_fault(page, FaultKind::FramePastEnd, false, inputOffset + kFrameLengthOffset,
              std::to_string(length) + " frame bytes",
              std::to_string(data.size()) + " bytes before the end of the input");
    return data.size();
  }

  std::span<const std::uint8_t> frame = data.first(static_cast<std::size_t>(length));
  const std::size_t             N     = frame.size() - kFrameOverhead;
  const std::size_t             crcAt = kFrameHeaderSize + N + kCrcSize;
  const std::uint32_t stored   = le32(frame.data() + crcAt);
  const std::uint32_t computed = crc32_of(frame.subspan(kFrameCrcStart, crcAt - kFrameCrcStart));

  stop = false;
  page.frame_bytes = length;

  if (stored != computed)
    add_fault(page, FaultKind::FrameCrc, false, inputOffset + crcAt, hex32(computed),
              hex32(stored));

  check_body(frame, inputOffset, options, page);

  return length;
}

} // namespace

//
// 'frame_length_limit()' - Largest frame length accepted for a stream cap.
//
// Deflate adds at most a few bytes per 64 KB block to incompressible data;
// a quarter on top leaves ample room for any sane compressor.
//

std::uint64_t
frame_length_limit(std::uint64_t maxStream)  // I - Cap on one stream
{
  const std::uint64_t limit = kFrameOverhead + maxStream + maxStream / 4 + 1024;

  return std::min<std::uint64_t>(limit, kMaxFrameSize);
}

//
// 'add_fault()' - Note a fault on a page, or count it when the page has
//                 noted too many already.
//

void
add_fault(Page          &page,      // IO - Page record
          FaultKind      kind,      // I  - What is wrong
          bool           inStream,  // I  - Offset counts in the stream
          std::uint64_t  offset,    // I  - Byte offset
          std::string    expected,  // I  - What the format calls for
          std::string    found)     // I  - What the data holds
{
  if (page.faults.size() >= kMaxFaultsPerPage)
  {
    page.faults_dropped ++;
    return;
  }

  page.faults.push_back(Fault{kind, page.number, inStream, offset, std::move(expected),
                              std::move(found)});
}

//
// 'check_frame()' - Check the page frame at the start of data.
//
// Fills in page and returns the input bytes the frame takes.  stop is set
// when the frame's extent cannot be trusted, so nothing after it can be
// located.  data may end anywhere: a truncated frame is a fault.
//

std::uint64_t
check_frame(std::span<const std::uint8_t>  data,         // I  - Input from the frame on
            std::uint64_t                  inputOffset,  // I  - Its input offset
            const Options                 &options,      // I  - Decoder options
            Page                          &page,         // IO - Page record, number set
            bool                          &stop)         // O  - Nothing more can be read
{
  const std::uint64_t used = check_frame_at(data, inputOffset, options, page, stop);

  page.sound = page.faults.empty() && page.faults_dropped == 0;

  return used;
}

//
// 'finish_result()' - Note a missing frame and settle the overall verdict.
//

void
finish_result(Result &result)  // IO - Result of one input
{
  if (result.pages.empty() && result.faults.empty())
    result.faults.push_back(Fault{FaultKind::NoFrames, 0, false, 0,
                                  "at least one page frame",
                                  std::to_string(result.input_bytes) + " bytes"});

  result.sound = result.faults.empty() &&
                 std::all_of(result.pages.begin(), result.pages.end(),
                             [](const Page &page) { return page.sound; });
}

//
// 'inspect_bytes()' - Check every page frame of an input held in memory.
//
// No I/O: the fuzz target and the tests call this directly.
//

Result
inspect_bytes(std::span<const std::uint8_t> data,     // I - Whole input
              const Options                &options)  // I - Decoder options
{
  Result        result;
  std::uint64_t at = 0;

  result.input_bytes = data.size();

  while (at < data.size())
  {
    if (result.pages.size() >= options.max_pages)
    {
      result.faults.push_back(Fault{FaultKind::TooManyPages, result.pages.size() + 1, false,
                                    at, "at most " + std::to_string(options.max_pages) +
                                    " pages (the --max-pages cap)", "more"});
      break;
    }

    Page page;
    bool stop = false;

    page.number = result.pages.size() + 1;
    at += check_frame(data.subspan(static_cast<std::size_t>(at)), at, options, page, stop);
    result.pages.push_back(std::move(page));

    if (stop)
      break;
  }

  finish_result(result);
  return result;
}

} // namespace inspect
