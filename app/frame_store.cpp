// SPDX-License-Identifier: Apache-2.0
//
// The printer data of one job, held until the device has taken all of it:
// the first frames in memory, the rest in an unlinked temporary file, so
// that a long job takes a bounded amount of memory and can be sent again
// whole when a connection is lost.
//

#include "app.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace pelna_app {

namespace {

// Printer data held in memory before the rest goes to a temporary file.
constexpr std::size_t kMemoryBytes = 8U << 20;

// Largest piece handed over at once when the data is read back.
constexpr std::size_t kChunkBytes = 64U << 10;

//
// 'open_spill()' - An unlinked temporary file for the data beyond memory;
// -1 with errno set when none can be made.
//

int
open_spill()
{
  std::string templ = std::string(papplGetTempDir()) + "/pelna-frames-XXXXXX";
  const int   fd    = mkostemp(templ.data(), O_CLOEXEC);

  if (fd >= 0)
    unlink(templ.c_str());
  return fd;
}

//
// 'write_all()' - Write every byte at the end of a file; false with errno
// set when it fails.
//

bool
write_all(int                           fd,     // I - File
          std::span<const std::uint8_t> bytes)  // I - What to write
{
  while (!bytes.empty())
  {
    const ssize_t n = write(fd, bytes.data(), bytes.size());

    if (n <= 0)
    {
      if (n < 0 && errno == EINTR)
        continue;
      if (n == 0)
        errno = ENOSPC;
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

} // namespace

//
// 'frames_append()' - Add one frame; false with errno set when there is no
// room for it (memory or disk).
//

bool
frames_append(FrameStore                   &store,  // IO - The job's data
              std::span<const std::uint8_t> frame)  // I - One page frame
{
  if (store.file < 0 && store.memory.size() + frame.size() <= kMemoryBytes)
  {
    try
    {
      store.memory.insert(store.memory.end(), frame.begin(), frame.end());
      return true;
    }
    catch (const std::bad_alloc &)
    {
      errno = ENOMEM;
      return false;
    }
  }
  if (store.file < 0 && (store.file = open_spill()) < 0)
    return false;
  if (!write_all(store.file, frame))
    return false;
  store.file_bytes += frame.size();
  return true;
}

//
// 'frames_size()' - Bytes of printer data held.
//

std::uint64_t
frames_size(const FrameStore &store)  // I - The job's data
{
  return store.memory.size() + store.file_bytes;
}

//
// 'frames_at()' - The held data from an offset on, a piece at a time: a view
// of up to kChunkBytes bytes (in memory, or read into buffer); empty at the
// end or when the file cannot be read (errno set).
//

std::span<const std::uint8_t>
frames_at(const FrameStore          &store,   // I - The job's data
          std::uint64_t              offset,  // I - Offset from the start
          std::vector<std::uint8_t> &buffer)  // IO - Room for a piece of the file
{
  errno = 0;
  if (offset < store.memory.size())
  {
    const std::size_t n = std::min<std::size_t>(kChunkBytes, store.memory.size() - offset);
    return {store.memory.data() + offset, n};
  }

  const std::uint64_t at = offset - store.memory.size();
  if (store.file < 0 || at >= store.file_bytes)
    return {};

  buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kChunkBytes, store.file_bytes - at)));
  const ssize_t n = pread(store.file, buffer.data(), buffer.size(), static_cast<off_t>(at));
  if (n <= 0)
  {
    if (n == 0)
      errno = EIO;
    return {};
  }
  return {buffer.data(), static_cast<std::size_t>(n)};
}

//
// 'frames_clear()' - Drop the held data.
//

void
frames_clear(FrameStore &store)  // IO - The job's data
{
  store.memory.clear();
  store.memory.shrink_to_fit();
  if (store.file >= 0)
    close(store.file);
  store.file       = -1;
  store.file_bytes = 0;
}

} // namespace pelna_app
