// SPDX-License-Identifier: Apache-2.0
//
// Inflating a frame body and the CRC-32, both through zlib.
//
// The body must be one complete raw deflate stream (no zlib header, no
// Adler-32) that uses every body byte.  The output is capped so that a small
// hostile body cannot make the decoder allocate gigabytes.
//

#include "decoder.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <memory>

namespace inspect {

namespace {

// First size of the output buffer, and the most handed to zlib in one go
// (its counters are 32-bit).
constexpr std::size_t   kFirstOutput = std::size_t{64} * 1024;
constexpr std::uint64_t kMaxChunk    = 1ULL << 30;

// Window bits for a raw deflate stream with a 32 KB window.
constexpr int kRawDeflateWindow = -15;

struct InflateEnd
{
  void operator()(z_stream *z) const { inflateEnd(z); }
};

using Inflater = std::unique_ptr<z_stream, InflateEnd>;

//
// 'feed_input()' - Hand zlib the next chunk of the body.
//

void
feed_input(z_stream                      &z,         // IO - zlib state
           std::span<const std::uint8_t>  body,      // I  - Whole body
           std::uint64_t                 &given)     // IO - Body bytes handed over
{
  if (z.avail_in > 0 || given >= body.size())
    return;

  const std::uint64_t chunk = std::min<std::uint64_t>(body.size() - given, kMaxChunk);

  z.next_in  = const_cast<Bytef *>(body.data() + given);
  z.avail_in = static_cast<uInt>(chunk);
  given     += chunk;
}

} // namespace

//
// 'inflate_body()' - Inflate a raw deflate body, at most maxStream bytes.
//
// On return stream holds what was inflated and consumed the body bytes that
// zlib used (for Trailing: where the leftover bytes start; for Corrupt:
// about where the bad data is).
//

InflateStatus
inflate_body(std::span<const std::uint8_t>  body,       // I - Frame body
             std::uint64_t                  maxStream,  // I - Cap on the output
             std::vector<std::uint8_t>     &stream,     // O - Inflated stream
             std::uint64_t                 &consumed)   // O - Body bytes used
{
  z_stream      state{};
  std::uint64_t given    = 0;  // body bytes handed to zlib
  std::uint64_t produced = 0;  // stream bytes written
  InflateStatus status;

  stream.clear();
  consumed = 0;

  if (inflateInit2(&state, kRawDeflateWindow) != Z_OK)
    return InflateStatus::NoMemory;

  Inflater z(&state);
  // One byte beyond the cap tells "exactly the cap" from "more".
  const std::uint64_t limit = maxStream + 1;

  for (;;)
  {
    feed_input(state, body, given);

    if (state.avail_out == 0)
    {
      if (produced >= limit)
      {
        status = InflateStatus::TooLarge;
        break;
      }

      const std::uint64_t want = std::min<std::uint64_t>(
          limit, std::max<std::uint64_t>(2 * produced, kFirstOutput));

      stream.resize(static_cast<std::size_t>(want));
      state.next_out  = stream.data() + produced;
      state.avail_out = static_cast<uInt>(std::min<std::uint64_t>(want - produced, kMaxChunk));
    }

    const uInt before = state.avail_out;
    const int  ret    = inflate(&state, Z_NO_FLUSH);

    produced += before - state.avail_out;

    if (ret == Z_STREAM_END)
    {
      status = (state.avail_in > 0 || given < body.size()) ? InflateStatus::Trailing
                                                            : InflateStatus::Complete;
      break;
    }
    if (ret == Z_DATA_ERROR || ret == Z_NEED_DICT || ret == Z_STREAM_ERROR)
    {
      status = InflateStatus::Corrupt;
      break;
    }
    if (ret == Z_MEM_ERROR)
    {
      status = InflateStatus::NoMemory;
      break;
    }
    if (state.avail_in == 0 && given >= body.size() && state.avail_out > 0)
    {
      // zlib has used every body byte and still has room: the stream needs
      // more input than the body holds.
      status = InflateStatus::Incomplete;
      break;
    }
  }

  if (produced > maxStream)
    status = InflateStatus::TooLarge;

  consumed = given - state.avail_in;
  stream.resize(static_cast<std::size_t>(std::min(produced, maxStream)));

  return status;
}

//
// 'crc32_of()' - CRC-32 of gzip and zlib over some bytes.
//

std::uint32_t
crc32_of(std::span<const std::uint8_t> data)  // I - Bytes
{
  uLong         crc = crc32(0L, Z_NULL, 0);
  std::uint64_t at  = 0;

  while (at < data.size())
  {
    const std::uint64_t chunk = std::min<std::uint64_t>(data.size() - at, kMaxChunk);

    crc = crc32(crc, data.data() + at, static_cast<uInt>(chunk));
    at += chunk;
  }

  return static_cast<std::uint32_t>(crc);
}

} // namespace inspect
