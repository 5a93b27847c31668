// SPDX-License-Identifier: Apache-2.0
//
// What the picture readers share: the checks against the system's limits,
// made before anything is allocated, and the one way a reader ends.
//

#include "picture_read.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace pelna_app {

//
// 'size_ok()' - Whether the picture's width and height are within the
// limits, before any transform or allocation.
//

bool
size_ok(Verdict             &verdict,  // IO - The reader's verdict
        std::uint32_t        width,    // I - Picture width
        std::uint32_t        height,   // I - Picture height
        const PictureLimits &limits)   // I - The system's limits
{
  if (width == 0 || height == 0 || width > static_cast<std::uint32_t>(limits.max_width) ||
      height > static_cast<std::uint32_t>(limits.max_height))
    return refuse(verdict, PictureFault::TooLarge,
                  "The picture is %" PRIu32 " x %" PRIu32 " pixels; the printer takes pictures of at most %d x %d.",
                  width, height, limits.max_width, limits.max_height);
  return true;
}

//
// 'bytes_ok()' - Whether reading the picture takes no more than the
// system's byte limit, before anything is allocated for it.
//

bool
bytes_ok(Verdict             &verdict,  // IO - The reader's verdict
         std::uint32_t        width,    // I - Picture width
         std::uint32_t        height,   // I - Picture height
         std::uint64_t        needed,   // I - Bytes the reading takes
         const PictureLimits &limits)   // I - The system's limits
{
  if (needed > limits.max_bytes || needed > SIZE_MAX)
    return refuse(verdict, PictureFault::TooLarge,
                  "The picture is %" PRIu32 " x %" PRIu32 " pixels and needs %" PRIu64
                  " KiB to read; the printer takes pictures of at most %" PRIu64 " KiB.",
                  width, height, (needed + 1023) / 1024, static_cast<std::uint64_t>(limits.max_bytes) / 1024);
  return true;
}

//
// 'square_ok()' - Whether the picture's pixels are square (equal
// resolutions across and down, or none given).
//

bool
square_ok(Verdict      &verdict,  // IO - The reader's verdict
          std::uint32_t xppi,     // I - Pixels per inch across
          std::uint32_t yppi)     // I - Pixels per inch down
{
  if (xppi != yppi)
    return refuse(verdict, PictureFault::Damaged,
                  "The picture's pixels are not square (%" PRIu32 " x %" PRIu32
                  " pixels per inch); the printer takes pictures with square pixels.",
                  xppi, yppi);
  return true;
}

//
// 'finish_read()' - The end of every reader: the row buffer freed, the
// picture handed over when read or freed when not; the fault.
//

PictureFault
finish_read(bool           ok,       // I - Whether the picture was read
            const Verdict &verdict,  // I - The reader's verdict
            std::uint8_t  *row,      // I - Row buffer (malloc), or null
            std::uint8_t  *image,    // I - The picture (malloc), or null
            GrayPicture   &out)      // O - The picture, when read
{
  free(row);
  if (!ok)
  {
    free(image);
    return verdict.fault == PictureFault::None ? PictureFault::Damaged : verdict.fault;
  }
  out.pixels.reset(image);
  return PictureFault::None;
}

} // namespace pelna_app
