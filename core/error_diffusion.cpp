//
// Error diffusion, one row at a time.
//
// Pixels are visited row by row, every row left to right.  A pixel whose
// value (its gamma entry plus the shares already handed to it) is below 128
// becomes black (0), any other white (255).  Its error, value minus new
// value, goes to the unvisited neighbours as (error x weight) / 16,
// truncated toward zero: 7 to the right, 3 below-left, 5 below, 1
// below-right.  Shares that would leave the page are dropped and nothing is
// ever clamped.
//
// The context keeps one row of pending shares for the row below; the shares
// within a row ride in locals.  Labels are mostly blank paper and solid
// black, which pass no share on: where no share is pending, such stretches
// are flagged in blocks without visiting each pixel.
//

#include "halftone.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace pelna {

namespace {

constexpr int kFirstWhite = 128;  // lowest value that becomes white

//
// Shares of one pixel's error.
//

struct Shares
{
  std::int16_t right;       // to (x + 1, y)
  std::int16_t belowLeft;   // to (x - 1, y + 1)
  std::int16_t below;       // to (x, y + 1)
  std::int16_t belowRight;  // to (x + 1, y + 1)
};

// Gamma entries are 0..255; the right-hand share is at most 55 in
// magnitude and the shares from above at most 69, so every value met lies
// within -124..379.  The shares of that range are a table.
constexpr int kLowest  = -128;  // value of the table's first entry
constexpr int kEntries = 512;   // values kLowest .. kLowest + 511

//
// 'shares_of()' - Quantise one value and split its error.
//

constexpr Shares
shares_of(int value)  // I - Pixel value before quantising
{
  const int error = value - (value < kFirstWhite ? kGrayBlack : kGrayWhite);

  return {static_cast<std::int16_t>(error * 7 / 16), static_cast<std::int16_t>(error * 3 / 16),
          static_cast<std::int16_t>(error * 5 / 16), static_cast<std::int16_t>(error * 1 / 16)};
}

//
// 'share_table()' - Shares of every value from kLowest up.
//

constexpr std::array<Shares, kEntries>
share_table()
{
  std::array<Shares, kEntries> table{};

  for (int i = 0; i < kEntries; i ++)
    table[i] = shares_of(kLowest + i);
  return table;
}

constexpr std::array<Shares, kEntries> kShareTable = share_table();

constexpr int kBlock = 64;  // pixels checked at once for a quiet block

//
// 'quiet_block()' - Whether kBlock pixels are all 0 or 255 with no share
//                   pending.
//

[[gnu::always_inline]] inline bool
quiet_block(const std::uint8_t *gray,   // I - Gray values
            const std::int16_t *above)  // I - Shares from above
{
  std::uint8_t most = 0;  // Largest of value + 1, wrapping: 0 and 255 give 1 and 0
  std::int16_t any  = 0;  // Any pending share

  for (int i = 0; i < kBlock; i ++)  // no branch, so it vectorises
  {
    most = std::max(most, static_cast<std::uint8_t>(gray[i] + 1));
    any  = static_cast<std::int16_t>(any | above[i]);
  }
  return most <= 1 && !any;
}

//
// 'pass_quiet()' - Flag the quiet pixels from x on, where no share is
//                  pending; returns the first pixel that is not quiet.
//
// Blocks of pure black and white go by at once when both are quiet; other
// pixels are looked at one by one.
//

int
pass_quiet(const Halftoner    &ht,     // I - Page context
           const std::uint8_t *gray,   // I - Gray row
           const std::int16_t *above,  // I - Shares from above, by pixel
           std::uint8_t       *flags,  // O - Black flags
           int                 x)      // I - First pixel
{
  const int          width = static_cast<int>(ht.width);
  const std::uint8_t black = ht.kind[kGrayBlack];  // Flags of 0 and 255
  const std::uint8_t white = ht.kind[kGrayWhite];

  if (black != kNoisy && white != kNoisy)
  {
    for (; x + kBlock <= width && quiet_block(gray + x, above + x); x += kBlock)
      for (int i = x; i < x + kBlock; i ++)
        flags[i] = gray[i] == kGrayBlack ? black : white;
  }

  for (; x < width && !above[x] && ht.kind[gray[x]] != kNoisy; x ++)
    flags[x] = ht.kind[gray[x]];
  return x;
}

//
// One row as the diffusion walks it.
//

struct Row
{
  const std::uint8_t *gamma;    // gamma table
  const std::uint8_t *gray;     // gray values
  std::int16_t       *pending;  // shares between this row and the next
  std::uint8_t       *flags;    // black flags
};

//
// Shares within a row, waiting for the pixels after the current one.
//

struct Carry
{
  std::ptrdiff_t right     = 0;  // for (x + 1, y)
  int            belowPrev = 0;  // so far for (x - 1, y + 1)
  int            belowCur  = 0;  // so far for (x, y + 1)
};

constexpr int kHalf = 32;  // pixels of each of the two runs of a span

//
// 'visit()' - Diffuse pixel x; returns its value before quantising.
//
// Only the right-hand share waits for the pixel before: it indexes the
// table row of this pixel's start directly, so the chain from pixel to
// pixel is one load.
//

[[gnu::always_inline]] inline int
visit(const Row    &row,       // I  - Row
      int           x,         // I  - Pixel
      Carry        &carry,     // IO - Shares within the row
      std::int16_t &finished)  // O  - Shares for (x - 1, y + 1)
{
  const int     start = row.gamma[row.gray[x]] + row.pending[x + 1];
  const Shares *entry = kShareTable.data() + (start - kLowest);

  asm("" : "+r"(entry));  // keeps the compiler from adding right in first
  const Shares &s     = entry[carry.right];
  const int     value = start + static_cast<int>(carry.right);

  row.flags[x]    = value < kFirstWhite;
  finished        = static_cast<std::int16_t>(carry.belowPrev + s.belowLeft);
  carry.belowPrev = carry.belowCur + s.below;
  carry.belowCur  = s.belowRight;
  carry.right     = s.right;
  return value;
}

//
// 'split_span()' - Diffuse the 2 x kHalf pixels from a as two runs side by
//                  side.
//
// The second run starts as if no share came from the first; afterwards its
// pixels are corrected from the first's true right-hand share on until the
// true and the assumed shares agree, which after a few pixels they do: from
// there on everything is the same.  The bits are those of one run.
//

void
split_span(const Row &row,    // I  - Row
           int        a,      // I  - First pixel
           Carry     &carry)  // IO - Shares within the row
{
  const int    m = a + kHalf, e = m + kHalf;  // Second run, end of the span
  Carry        second;                        // Second run's shares
  std::int16_t spare;                         // its first share for (m - 1, y + 1)
  int          assumed[kHalf];                // its values as first found

  for (int i = 0; i < kHalf; i ++)
  {
    (void)visit(row, a + i, carry, row.pending[a + i]);
    // Slot m is read by the first run's last pixel, so it is written last.
    assumed[i] = visit(row, m + i, second, i ? row.pending[m + i] : spare);
  }

  row.pending[m]     = static_cast<std::int16_t>(carry.belowPrev + spare);
  row.pending[m + 1] = static_cast<std::int16_t>(row.pending[m + 1] + carry.belowCur);

  auto add_below = [&](int slot, int delta) {  // correct the shares below
    if (slot < e)
      row.pending[slot] = static_cast<std::int16_t>(row.pending[slot] + delta);
    else if (slot == e)
      second.belowPrev += delta;
    else
      second.belowCur += delta;
  };

  std::ptrdiff_t wrong = 0, right = carry.right;  // Assumed and true shares from the left

  for (int i = 0; i < kHalf && wrong != right; i ++)
  {
    const int     x   = m + i;
    const Shares &was = kShareTable[assumed[i] - kLowest];
    const Shares &is  = kShareTable[assumed[i] - wrong + right - kLowest];

    row.flags[x] = assumed[i] - wrong + right < kFirstWhite;
    add_below(x, is.belowLeft - was.belowLeft);
    add_below(x + 1, is.below - was.below);
    add_below(x + 2, is.belowRight - was.belowRight);
    wrong = was.right;
    right = is.right;
  }

  carry       = second;
  carry.right += right - wrong;
}

} // namespace

//
// 'quiet_kinds()' - Kind of every gray value under a gamma table.
//

std::array<std::uint8_t, 256>
quiet_kinds(const GammaTable &gamma)  // I - Gamma table
{
  std::array<std::uint8_t, 256> kind{};

  for (int v = 0; v < 256; v ++)
  {
    const Shares s = shares_of(gamma[v]);

    kind[v] = (s.right || s.belowLeft || s.below || s.belowRight) ? kNoisy
              : gamma[v] < kFirstWhite                            ? kQuietBlack
                                                                  : kQuietWhite;
  }
  return kind;
}

//
// 'diffuse_row()' - Diffuse one gray row into the black flags.
//
// pending slot x + 1 holds the shares from above for pixel x; each is read
// before the slot receives the shares for the row below (slot x for pixel
// x - 1 once pixel x is done; slot 0 takes the share left of the page).
//

void
diffuse_row(Halftoner          &ht,    // IO - Page context
            const std::uint8_t *gray)  // I  - Gray row, width bytes
{
  const int width = static_cast<int>(ht.width);
  const Row row   = {ht.gamma.data(), gray, ht.pending.get(), ht.flags.get()};
  Carry     carry;  // Shares within the row

  for (int x = 0; x < width;)
  {
    if (!(carry.right | carry.belowPrev | carry.belowCur))
    {
      const int end = pass_quiet(ht, gray, row.pending + 1, row.flags, x);

      if (end > x)
      {
        row.pending[x] = 0;  // the pixel before the stretch ends with nothing below
        x = end;
        continue;
      }
    }

    if (x + 2 * kHalf <= width)
    {
      split_span(row, x, carry);
      x += 2 * kHalf;
    }
    else
      for (const int end = std::min(width, x + kHalf); x < end; x ++)
        (void)visit(row, x, carry, row.pending[x]);
  }

  row.pending[width] = static_cast<std::int16_t>(carry.belowPrev);  // below-right of the
                                                                  // last pixel drops
}

} // namespace pelna
