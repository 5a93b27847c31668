// SPDX-License-Identifier: Apache-2.0
//
// Reading page frames from a descriptor one at a time and handing each to
// the decoder.  The frame header is read first; the rest of the frame only
// when its length field is within the cap, so a hostile length never makes
// us allocate or wait for gigabytes.
//

#include "tool_io.h"

#include <cerrno>
#include <iterator>
#include <poll.h>
#include <unistd.h>

using namespace pelna;

namespace inspect {

namespace {

// Size of the chunks in which unwanted input is read and thrown away.
constexpr std::size_t kDrainChunk = std::size_t{64} * 1024;

//
// 'wait_readable()' - Wait until the descriptor has data, within the idle
//                     time.  Returns false (with reader.end set) when the
//                     idle time ran out or the stop flag was set.
//

bool
wait_readable(Reader &reader)  // IO - Input
{
  if (reader.idle_ms <= 0 && !reader.wait_mask)
    return true;

  for (;;)
  {
    if (reader.stop && *reader.stop)
    {
      reader.end = InputEnd::Stopped;
      return false;
    }

    struct pollfd   pfd = {reader.fd, POLLIN, 0};
    struct timespec timeout = {reader.idle_ms / 1000, (reader.idle_ms % 1000) * 1000000L};
    const int       ready = ppoll(&pfd, 1, reader.idle_ms > 0 ? &timeout : nullptr,
                                  reader.wait_mask);

    if (ready > 0)
      return true;
    if (ready == 0)
    {
      reader.end = InputEnd::IdleTimeout;
      return false;
    }
    if (errno != EINTR)
    {
      reader.end   = InputEnd::ReadError;
      reader.error = errno;
      return false;
    }
  }
}

//
// 'read_up_to()' - Read up to count bytes; fewer only at the end of the
//                  input, an idle timeout, a stop or an error.
//

std::size_t
read_up_to(Reader       &reader,  // IO - Input
           std::uint8_t *buffer,  // O  - Where the bytes go
           std::size_t   count)   // I  - Bytes wanted
{
  std::size_t got = 0;

  while (got < count)
  {
    if (!wait_readable(reader))
      break;

    const ssize_t n = read(reader.fd, buffer + got, count - got);

    if (n == 0)
    {
      reader.end = InputEnd::EndOfInput;
      break;
    }
    if (n < 0)
    {
      if (errno == EINTR)
        continue;
      reader.end   = InputEnd::ReadError;
      reader.error = errno;
      break;
    }

    got          += static_cast<std::size_t>(n);
    reader.bytes += static_cast<std::uint64_t>(n);
  }

  return got;
}

} // namespace

//
// 'inspect_fd()' - Check every page frame that a descriptor delivers.
//
// Each page goes to sink (when given) with its dots and commands, which are
// dropped before the page is added to result.  Reading ends at the end of
// the input, at a frame that cannot be located, at the page cap, or as
// reader's idle time and stop flag say; reader.end tells which.
//

void
inspect_fd(Reader        &reader,   // IO - Input
           const Options &options,  // I  - Decoder options
           PageSink       sink,     // I  - Called for every page, or nullptr
           void          *context,  // I  - Passed to sink
           Result        &result)   // O  - Pages and faults
{
  std::vector<std::uint8_t> frame;  // the frame being read
  const std::uint64_t       limit = frame_length_limit(options.max_stream);

  result = Result();
  reader.end = InputEnd::EndOfInput;

  for (;;)
  {
    const std::uint64_t at = reader.bytes;

    frame.resize(kFrameHeaderSize);

    std::size_t got = read_up_to(reader, frame.data(), kFrameHeaderSize);

    if (got == 0)
      break;

    if (result.pages.size() >= options.max_pages)
    {
      result.faults.push_back(Fault{FaultKind::TooManyPages, result.pages.size() + 1, false,
                                    at, "at most " + std::to_string(options.max_pages) +
                                    " pages (the --max-pages cap)", "more"});
      break;
    }

    if (got == kFrameHeaderSize && frame[0] == kFrameId1 && frame[1] == kFrameId2)
    {
      const std::uint64_t length = le32(frame.data() + kFrameLengthOffset);

      if (length >= kFrameOverhead && length <= limit)
      {
        frame.resize(static_cast<std::size_t>(length));
        got += read_up_to(reader, frame.data() + got, frame.size() - got);
      }
    }

    Page page;
    bool stop = false;

    page.number = result.pages.size() + 1;
    (void)check_frame(std::span(frame.data(), got), at, options, page, stop);

    if (sink)
      sink(page, context);

    std::vector<std::uint8_t>().swap(page.dots);
    std::vector<Command>().swap(page.commands);
    result.pages.push_back(std::move(page));

    if (stop || got < frame.size())
      break;
  }

  result.input_bytes = reader.bytes;
  finish_result(result);
}

//
// 'drain_input()' - Read and throw away the rest of the input, within the
//                   reader's idle time.  Returns the bytes thrown away.
//

std::uint64_t
drain_input(Reader &reader)  // IO - Input
{
  std::vector<std::uint8_t> chunk(kDrainChunk);
  const std::uint64_t       before = reader.bytes;

  if (reader.end != InputEnd::EndOfInput)
    return 0;

  while (read_up_to(reader, chunk.data(), chunk.size()) == chunk.size())
    ;

  return reader.bytes - before;
}

//
// 'input_end_name()' - Name of the way an input ended, for the summary.
//

const char *
input_end_name(InputEnd end)  // I - How the input ended
{
  // By InputEnd, in the enumeration's order.
  constexpr const char *kNames[] = {"end-of-input", "idle-timeout", "stopped", "read-error"};
  const auto            index    = static_cast<std::size_t>(end);

  return index < std::size(kNames) ? kNames[index] : "unknown";
}

} // namespace inspect
