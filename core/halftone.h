// SPDX-License-Identifier: Apache-2.0
//
// The halftoner: 8-bit gray rows in, packed 1-bit rows out, one row at a
// time.  One context serves one page; it holds its own gamma table, so any
// number of pages (of any number of printers) can be halftoned at once.
//
// A gray row is width bytes, 0 black and 255 white.  A packed row is
// ceil(width / 8) bytes, the leftmost pixel in the top bit, a set bit a
// black dot, bits beyond the width 0.
//

#ifndef PELNA_CORE_HALFTONE_H
#define PELNA_CORE_HALFTONE_H

#include "messages.h"
#include "settings.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

namespace pelna {

struct FreeDeleter
{
  void operator()(void *p) const { free(p); }
};

template <class T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;  // malloc'ed, freed with free

using GammaTable = std::array<std::uint8_t, 256>;  // gray value before
                                                   // diffusion, by input value

//
// Gray values as the quiet stretches of a page see them (Diffusion): a value
// whose gamma entry passes no share on stays as it is and disturbs nothing
// where no share reaches it.  Such values are white or black, as their flag
// in the packed row; any other is noisy.
//

constexpr std::uint8_t kQuietWhite = 0;
constexpr std::uint8_t kQuietBlack = 1;
constexpr std::uint8_t kNoisy      = 2;

//
// The pending shares for the next row are kept plus kShareBias, which
// keeps every one of them above 0 (Diffusion); kShareBias means no share.
//

constexpr std::uint16_t kShareBias = 128;

//
// The diffusion reads gamma entries scaled by the size of its table
// entries: where the entry of a gray value starts, in bytes (Diffusion).
//

constexpr int kGammaScale = 8;

//
// Two packed rows handed back together; empty spans when refused.
//

struct RowPair
{
  std::span<const std::uint8_t> upper;  // the first row of the two
  std::span<const std::uint8_t> lower;  // the row after it
};

//
// One page's halftoning.
//

struct Halftoner
{
  Halftone      method    = Halftone::Diffusion;  // how rows become dots
  std::uint32_t width     = 0;                    // pixels per row
  std::uint32_t height    = 0;                    // rows of the page
  std::uint32_t row_bytes = 0;                    // bytes of a packed row
  std::uint32_t rows_done = 0;                    // rows halftoned so far
  int           threshold = 0;                    // fixed threshold (Threshold)
  GammaTable    gamma     = {};                   // table (Diffusion)
  std::array<std::uint16_t, 256> gamma_offsets = {};  // its entries times
                                                  // kGammaScale (Diffusion)
  std::array<std::uint8_t, 256> kind = {};        // per gray value: kQuietWhite,
                                                  // kQuietBlack or kNoisy
                                                  // (Diffusion)
  MallocPtr<std::uint16_t[]> pending;             // shares for the next row
                                                  // plus kShareBias: slot
                                                  // x + 1 for pixel x, slot 0
                                                  // takes the share left of
                                                  // pixel 0 (Diffusion)
  MallocPtr<std::uint16_t[]> spare;               // the shares from above of
                                                  // a row's right half, kept
                                                  // while the halves are
                                                  // diffused side by side
                                                  // (Diffusion)
  MallocPtr<std::uint8_t[]> flags;                // two rows of black flags,
                                                  // one per pixel, each
                                                  // padded with 0 to 8 x
                                                  // row_bytes (Diffusion)
  MallocPtr<std::uint8_t[]> packed;               // the two rows handed back,
                                                  // row_bytes each
                                                  // (Threshold, Diffusion)
  MallocPtr<std::uint8_t[]> as_is;                // the first height x row_bytes
                                                  // bytes of the page (AsIs)
  std::size_t   as_is_size  = 0;                  // bytes as_is holds in all
  std::size_t   as_is_used  = 0;                  // bytes filled so far
};

// The gamma table for a blackness number: exponent number / 5, entries
// held within 0..255.
[[nodiscard]] GammaTable gamma_table(int blackness);

// Fill a gamma table for an exponent: x = (i + 0.5) / 256 raised to it,
// times 256, minus 0.5, truncated; values above 255 (negative exponents)
// are held at 255, NaN and values below 0 give 0.
void fill_gamma_table(double exponent, GammaTable &table);

// Start a page width pixels wide (1 or more) and height rows with the
// settings.  Logs the threshold path's DEBUG line.  False when memory runs
// out (ht then holds nothing).
[[nodiscard]] bool halftone_begin(Halftoner &ht, std::uint32_t width, std::uint32_t height,
                                  const JobSettings &settings, const MessageSink &messages);

// Start a page on the threshold path: a pixel is black when its value is
// less than threshold (signed, strict).  Logs nothing.  False when memory
// runs out.
[[nodiscard]] bool halftone_begin_threshold(Halftoner &ht, std::uint32_t width,
                                            std::uint32_t height, int threshold);

// Start a page on the diffusion path with a gamma table.  Logs nothing.
// False when memory runs out.
[[nodiscard]] bool halftone_begin_diffusion(Halftoner &ht, std::uint32_t width,
                                            std::uint32_t height, const GammaTable &gamma);

// Halftone the next gray row (width bytes); the packed row is valid until
// the next call.  AsIs hands back the next row_bytes bytes of the page.
// Empty once the page has all its rows, and for a row shorter than width.
[[nodiscard]] std::span<const std::uint8_t> halftone_row(Halftoner &ht,
                                                         std::span<const std::uint8_t> gray);

// Halftone the next two gray rows (width bytes each) together: the same
// rows as two halftone_row calls, and on the diffusion path about twice as
// fast.  Both packed rows are valid until the next call.  Empty when the
// page has fewer than two rows left, and for a row shorter than width.
[[nodiscard]] RowPair halftone_row_pair(Halftoner &ht, std::span<const std::uint8_t> gray0,
                                        std::span<const std::uint8_t> gray1);

// Diffuse one gray row (width bytes) into the first row of ht.flags,
// carrying the shares for the next row in ht.pending (error_diffusion.cpp).
void diffuse_row(Halftoner &ht, const std::uint8_t *gray);

// Diffuse two consecutive gray rows (width bytes each) into the two rows of
// ht.flags, the same as two diffuse_row calls (error_diffusion.cpp).
void diffuse_row_pair(Halftoner &ht, const std::uint8_t *gray0, const std::uint8_t *gray1);

// The kQuietWhite/kQuietBlack/kNoisy kind of every gray value under a
// gamma table (error_diffusion.cpp).
[[nodiscard]] std::array<std::uint8_t, 256> quiet_kinds(const GammaTable &gamma);

// Release what the page held.
void halftone_end(Halftoner &ht);

// Bytes of one packed row of a page width pixels wide (1 or more).
[[nodiscard]] constexpr std::size_t
packed_row_bytes(std::uint32_t width)
{
  return (static_cast<std::size_t>(width) - 1) / 8 + 1;
}

} // namespace pelna

#endif // PELNA_CORE_HALFTONE_H
