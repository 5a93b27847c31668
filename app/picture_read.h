// SPDX-License-Identifier: Apache-2.0
//
// What the picture readers (png_reader.cpp, jpeg_reader.cpp) share: the
// verdict of a reader, the checks against the system's limits made before
// anything is allocated, gray from colour, and the one way a reader ends.
//

#ifndef PELNA_APP_PICTURE_READ_H
#define PELNA_APP_PICTURE_READ_H

#include "app.h"

#include <cstdint>
#include <cstdio>

namespace pelna_app {

//
// Why a reader gave up: the kind, and the reason in the caller's buffer.
//

struct Verdict
{
  PictureFault fault       = PictureFault::None;  // why it gave up
  char        *reason      = nullptr;             // O - why, in plain words
  std::size_t  reason_size = 0;                   // size of reason
};

//
// 'refuse()' - Note why the picture is refused; always false.  (A template
// rather than a variadic function: clang's analyzer takes the va_list of
// such a function for uninitialized when it analyzes several files in one
// run.)
//

template <typename... Args>
bool
refuse(Verdict     &verdict,  // IO - The reader's verdict
       PictureFault fault,    // I - Why, as a kind
       const char  *format,   // I - printf format of the reason
       Args... args)          // I - Its values
{
  verdict.fault = fault;
  if constexpr (sizeof...(args) == 0)
    snprintf(verdict.reason, verdict.reason_size, "%s", format);
  else
    snprintf(verdict.reason, verdict.reason_size, format, args...);
  return false;
}

// Whether the picture's width and height are within the limits.
[[nodiscard]] bool size_ok(Verdict &verdict, std::uint32_t width, std::uint32_t height,
                           const PictureLimits &limits);

// Whether reading the picture takes no more than the byte limit.
[[nodiscard]] bool bytes_ok(Verdict &verdict, std::uint32_t width, std::uint32_t height, std::uint64_t needed,
                            const PictureLimits &limits);

// Whether the picture's pixels are square.
[[nodiscard]] bool square_ok(Verdict &verdict, std::uint32_t xppi, std::uint32_t yppi);

// The end of every reader: the row buffer freed; the picture handed over
// when read, else freed; the fault (None when read).
[[nodiscard]] PictureFault finish_read(bool ok, const Verdict &verdict, std::uint8_t *row, std::uint8_t *image,
                                       GrayPicture &out);

//
// 'over_white()' - A gray value with its alpha laid over white paper.
//

inline std::uint8_t
over_white(unsigned v,  // I - Gray value
           unsigned a)  // I - Alpha, 255 opaque
{
  return static_cast<std::uint8_t>((v * a + 255u * (255u - a) + 127u) / 255u);
}

//
// 'luma()' - The gray value of an sRGB colour, weighted by luminance.
//

inline unsigned
luma(const std::uint8_t *rgb)  // I - Red, green, blue
{
  return (rgb[0] * 299u + rgb[1] * 587u + rgb[2] * 114u + 500u) / 1000u;
}

} // namespace pelna_app

#endif // PELNA_APP_PICTURE_READ_H
