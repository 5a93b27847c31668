//
// Error diffusion: the 8-bit page, read through the gamma table, becomes
// packed rows by Floyd-Steinberg error diffusion.
//
// Error diffusion, as this filter does it: pixels are visited row by row,
// every row left to right.  A pixel whose value (its gray value plus the
// shares already handed to it) is below 128 becomes black (0), any other
// white (255).  Its error, value minus new value, goes to the unvisited
// neighbours as (error x weight) / 16, truncated toward zero: 7 to the right,
// 3 below-left, 5 below, 1 below-right.  Shares that would leave the page are
// dropped and nothing is ever clamped.
//
// The rule lives in one place, diffuse_pixel(), stepped along groups of
// rows by diffuse_rows() and diffuse_page(), which both the plane-based
// image_FloydSteinberg() and the row-wise packer image_ThresholdingDITHER()
// run.  The packer keeps only one row of pending shares instead of a plane
// of the whole page, reads each gray byte through the gamma table as it
// goes, packs each group of rows as soon as it is done, and passes over
// quiet stretches of blank paper and solid black, where nothing would be
// diffused, without visiting each pixel.
//

#include "pelna.h"
#include "packing.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

using namespace pelna;

namespace {

//
// Pixel values and weights of the diffusion.
//

constexpr std::int32_t kFirstWhite = 128;  // lowest value that becomes white

constexpr int kWeightRight      = 7;
constexpr int kWeightBelowLeft  = 3;
constexpr int kWeightBelow      = 5;
constexpr int kWeightBelowRight = 1;
constexpr int kWeightTotal      = 16;

// Starting from gray values 0 to 255 every error lies within -127..127, and
// the shares reaching one pixel add up to at most 127 in magnitude, so every
// value met lies within -127..382.  The shares of those values are kept in a
// table; any other value (only a plane handed to image_FloydSteinberg with
// values outside 0..255 can hold one) is computed on the spot.
constexpr std::int64_t kTableLow  = -128;
constexpr std::int64_t kTableHigh = 383;
constexpr std::size_t  kTableSize = kTableHigh - kTableLow + 1;

//
// Shares of one pixel's error.  Values are carried in 64 bits so that the
// sums of a plane of arbitrary values cannot overflow; within a page they
// never leave -127..382.
//

template <class T>
struct Shares
{
  T right;       // to (x + 1, y)
  T belowLeft;   // to (x - 1, y + 1)
  T below;       // to (x, y + 1)
  T belowRight;  // to (x + 1, y + 1)
};

//
// Pending shares of one row as its pixels are visited.
//

struct RowCarry
{
  std::int64_t right     = 0;  // share for the next pixel of the row
  std::int64_t belowPrev = 0;  // shares so far for (x - 1, y + 1)
  std::int64_t belowCur  = 0;  // shares so far for (x, y + 1)
};

struct FreeDeleter
{
  void operator()(void *p) const { free(p); }
};

template <class T>
using MallocPtr = std::unique_ptr<T[], FreeDeleter>;

//
// 'add_wrap()' - Add a share to a 32-bit plane value, wrapping on overflow.
//
// Values from a page never come near the limits; this only keeps a plane of
// arbitrary values from causing undefined behaviour.
//

constexpr std::int32_t
add_wrap(std::int32_t a,  // I - Plane value
         std::int64_t b)  // I - Share
{
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) +
                                   static_cast<std::uint32_t>(b));
}

//
// 'is_black()' - Whether a pixel's value makes a black dot (0) or white (255).
//

constexpr bool
is_black(std::int64_t value)  // I - Pixel value before quantising
{
  return value < kFirstWhite;
}

//
// 'diffusion_shares()' - Quantise one value and split its error.
//
// Each share is (error x weight) / 16, truncated toward zero.
//

constexpr Shares<std::int64_t>
diffusion_shares(std::int64_t value)  // I - Pixel value before quantising
{
  const std::int64_t error = value - (is_black(value) ? kGrayBlack : kGrayWhite);

  return {error * kWeightRight / kWeightTotal, error * kWeightBelowLeft / kWeightTotal,
          error * kWeightBelow / kWeightTotal, error * kWeightBelowRight / kWeightTotal};
}

//
// 'make_share_table()' - Shares of every value from kTableLow to kTableHigh.
//
// Entries are 16 bits (shares of those values are within -55..55), so the
// table is 4 KiB and each lookup a single scaled load.
//

constexpr std::array<Shares<std::int16_t>, kTableSize>
make_share_table()
{
  std::array<Shares<std::int16_t>, kTableSize> table{};

  for (std::size_t i = 0; i < kTableSize; i ++)
  {
    const Shares<std::int64_t> s = diffusion_shares(kTableLow + static_cast<std::int64_t>(i));

    table[i] = {static_cast<std::int16_t>(s.right), static_cast<std::int16_t>(s.belowLeft),
                static_cast<std::int16_t>(s.below), static_cast<std::int16_t>(s.belowRight)};
  }

  return table;
}

constexpr std::array<Shares<std::int16_t>, kTableSize> kShareTable = make_share_table();

//
// 'passes_nothing()' - Whether a value, reached by no share, passes none on.
//

constexpr bool
passes_nothing(std::int64_t value)  // I - Pixel value
{
  const Shares<std::int64_t> s = diffusion_shares(value);

  return !s.right && !s.belowLeft && !s.below && !s.belowRight;
}

//
// Gray values seen from the quiet stretches of a page: a value whose gamma
// entry passes no share on (an entry of 0 to 2 or 253 to 255) stays as it
// is and disturbs nothing when no share reaches it.  Such values are white
// (0) or black (1), as their flag in the packed row; any other is noisy.
//

constexpr BYTE kQuietWhite = 0;
constexpr BYTE kQuietBlack = 1;
constexpr BYTE kNoisy      = 2;

constexpr int kBlock = 64;  // gray values checked at once for 0 and 255 only

//
// 'all_extreme()' - Whether a block of gray values holds only 0 and 255.
//

[[gnu::always_inline]] inline bool
all_extreme(const BYTE *p)  // I - kBlock gray values
{
  BYTE most = 0;  // Largest of value + 1, wrapping: 0 and 255 give 1 and 0

  for (int i = 0; i < kBlock; i ++)  // no branch, so it vectorises
    most = std::max(most, static_cast<BYTE>(p[i] + 1));
  return most <= 1;
}

//
// 'quiet_run()' - Count the quiet gray values at the start of p.
//
// Blocks of pure black and white, the bulk of a label, go by at once when
// both are quiet; anything else is looked at value by value.
//

int
quiet_run(const BYTE *p,      // I - Gray values
          int         limit,  // I - Most to count
          const BYTE *kind)   // I - kQuietWhite/kQuietBlack/kNoisy by value
{
  const bool extremesQuiet = kind[kGrayBlack] != kNoisy && kind[kGrayWhite] != kNoisy;
  int        n             = 0;

  while (n < limit)
  {
    if (extremesQuiet && n + kBlock <= limit && all_extreme(p + n))
    {
      n += kBlock;
      continue;
    }

    const int end = std::min(limit, n + kBlock);

    while (n < end && kind[p[n]] != kNoisy)
      n ++;
    if (n < end)
      break;
  }

  return n;
}

//
// 'quiet_flags()' - Flags of a stretch of quiet gray values.
//

void
quiet_flags(const BYTE *p,      // I - Quiet gray values
            int         count,  // I - How many
            const BYTE *kind,   // I - kQuietWhite/kQuietBlack by value
            BYTE       *flags)  // O - 1 = black
{
  const BYTE black = kind[kGrayBlack];  // Flags of 0 and 255 when quiet
  const BYTE white = kind[kGrayWhite];

  for (int i = 0; i < count;)
  {
    if (i + kBlock <= count && all_extreme(p + i))
    {
      for (int j = 0; j < kBlock; j ++)
        flags[i + j] = p[i + j] == kGrayBlack ? black : white;
      i += kBlock;
      continue;
    }

    for (const int end = std::min(count, i + kBlock); i < end; i ++)
      flags[i] = kind[p[i]];
  }
}

//
// 'zero_run()' - Count the pending shares of 0 at the start of p.
//

int
zero_run(const std::int16_t *p,      // I - Shares
         int                 limit)  // I - Most to count
{
  constexpr int kBlock = 32;  // checked at once, without branches
  int           n      = 0;

  for (; n + kBlock <= limit; n += kBlock)
  {
    std::int16_t any = 0;

    for (int i = 0; i < kBlock; i ++)
      any = static_cast<std::int16_t>(any | p[n + i]);
    if (any)
      break;
  }
  while (n < limit && p[n] == 0)
    n ++;
  return n;
}

//
// 'identity_table()' - Gamma table that leaves every gray value as it is.
//

constexpr std::array<BYTE, 256>
identity_table()
{
  std::array<BYTE, 256> table{};

  for (int i = 0; i < 256; i ++)
    table[i] = static_cast<BYTE>(i);

  return table;
}

constexpr std::array<BYTE, 256> kIdentityTable = identity_table();

//
// 'shares_of()' - Shares of a value, from the table when it lies there.
//
// kAnyValue is false when the caller guarantees a value within the table's
// range (values that started as gray values 0 to 255).
//

template <bool kAnyValue>
[[gnu::always_inline]] inline Shares<std::int64_t>
shares_of(std::int64_t value)  // I - Pixel value before quantising
{
  if constexpr (kAnyValue)
  {
    if (value < kTableLow || value > kTableHigh)
      return diffusion_shares(value);
  }

  const Shares<std::int16_t> &s = kShareTable[value - kTableLow];

  return {s.right, s.belowLeft, s.below, s.belowRight};
}

//
// 'diffuse_pixel()' - Visit one pixel of a row.
//
// The value is the pixel's start plus the share from its left neighbour;
// it is returned, and is_black() tells what it becomes.  *finished receives
// the complete shares for the pixel below-left of this one, (x - 1, y + 1).
//

template <bool kAnyValue>
[[gnu::always_inline]] inline std::int64_t
diffuse_pixel(std::int64_t  start,     // I  - Value with the shares from above
              RowCarry     &carry,     // IO - Pending shares of the row
              std::int64_t &finished)  // O  - Shares for (x - 1, y + 1)
{
  const std::int64_t         value  = start + carry.right;
  const Shares<std::int64_t> shares = shares_of<kAnyValue>(value);

  carry.right     = shares.right;
  finished        = carry.belowPrev + shares.belowLeft;
  carry.belowPrev = carry.belowCur + shares.below;
  carry.belowCur  = shares.belowRight;

  return value;
}

//
// 'diffuse_rows()' - Diffuse kRows consecutive rows together.
//
// Each row trails the one above it by one pixel: at step t row k visits
// pixel t - k.  The row above has then just finished its shares for that
// pixel, which pass straight over, and the rows' chains of right-hand
// shares run side by side instead of one after the other.  The result is
// that of visiting the pixels one by one in raster order.
//
// start(k, x) gives pixel x of row k: for row 0 including every share from
// the row above the group, for the other rows without shares.
// emit(k, x, value) takes each pixel's value before quantising.
// below(x, shares) takes the complete shares of the group's last row for
// pixel x of the row under the group, once per x in increasing order, after
// start(0, x + kRows) has been read; it does nothing when the group ends the
// page.
//
// skip(t, n) may pass over up to n steps from t (n reaches to the step
// where row 0 visits its last pixel): it is asked, with every row past its
// first pixel, when no row holds a pending share.  It returns how many steps it passed over, m, only counting
// steps whose every pixel (row k's pixels t - k to t - k + m - 1) passes no
// share on, after doing their emit and below itself; the rows are then as
// quiet afterwards as before.  After a step that was not passed over it is
// asked again only kQuietSpan steps later.
//

constexpr int kQuietSpan = 32;  // steps visited before skip() is asked again

template <int kRows, bool kAnyValue, class Start, class Emit, class Below, class Skip>
[[gnu::always_inline]] inline void
diffuse_rows(int   width,  // I - Pixels per row, 1 or more
             Start start,  // I - Value of pixel x of row k
             Emit  emit,   // I - Result of pixel x of row k
             Below below,  // I - Shares for pixel x under the group
             Skip  skip)   // I - Passes over quiet steps
{
  RowCarry     carry[kRows];  // Pending shares of each row
  std::int64_t down[kRows] = {};  // Complete shares of row k for the pixel
                              // below-left of its current one

  // Row k's visit at step t; kEdge when some row may be off the page.
  auto visit = [&]<bool kEdge, int k>(int t) {
    const int x = t - k;

    if constexpr (kEdge)
    {
      if (x < 0 || x >= width)
        return;
    }

    std::int64_t value = start(k, x);

    if constexpr (k > 0)
    {
      // The row above passes no share below-right from its last pixel, so
      // its shares for the last pixel are complete once it has ended.
      if (kEdge && x == width - 1)
        value += carry[k - 1].belowPrev;
      else
        value += down[k - 1];
    }

    emit(k, x, diffuse_pixel<kAnyValue>(value, carry[k], down[k]));

    if constexpr (k == kRows - 1)
    {
      if (!kEdge || x > 0)
        below(x - 1, down[k]);
    }
  };

  auto step = [&]<bool kEdge>(int t) {
    [&]<int... k>(std::integer_sequence<int, k...>) {
      (visit.template operator()<kEdge, k>(t), ...);
    }(std::make_integer_sequence<int, kRows>{});
  };

  // Shares pass only through the carries from one step to the next.
  auto quiet = [&]() {
    return [&]<int... k>(std::integer_sequence<int, k...>) {
      return ((carry[k].right | carry[k].belowPrev | carry[k].belowCur) | ...) == 0;
    }(std::make_integer_sequence<int, kRows>{});
  };

  const int steps = width + kRows - 1;
  int       t     = 0;

  for (; t < kRows && t < steps; t ++)  // the lower rows start
    step.template operator()<true>(t);

  while (t < width)                     // every row past its first pixel
  {
    if (quiet())
    {
      t += skip(t, width - t);
      if (t >= width)
        break;
    }

#pragma GCC unroll 2
    for (const int end = std::min(width, t + kQuietSpan); t < end; t ++)
      step.template operator()<false>(t);
  }

  for (; t < steps; t ++)               // the upper rows have ended
    step.template operator()<true>(t);

  // The last pixel's below-right share would leave the page.
  below(width - 1, carry[kRows - 1].belowPrev);
}

//
// 'diffuse_page()' - Walk a page in groups of rows.
//
// group(rows, hasBelow, y) must diffuse the rows y .. y + rows - 1 with
// diffuse_rows<rows>, passing shares under the group only when hasBelow;
// rows and hasBelow arrive as compile-time constants.
//

constexpr int kGroupRows = 2;  // rows diffused side by side

static_assert(kGroupRows >= 1 && kGroupRows <= 3,
              "diffuse_page() handles groups of up to 3 rows");

template <class Group>
[[gnu::always_inline]] inline void
diffuse_page(int   height,  // I - Rows, 1 or more
             Group group)   // I - Diffuses one group
{
  using Full = std::integral_constant<int, kGroupRows>;

  int y = 0;

  for (; y + kGroupRows < height; y += kGroupRows)
    group(Full{}, std::true_type{}, y);

  if (y + kGroupRows == height)
    group(Full{}, std::false_type{}, y);
  else if (height - y == 1)
    group(std::integral_constant<int, 1>{}, std::false_type{}, y);
  else if (height - y == 2)
    group(std::integral_constant<int, 2>{}, std::false_type{}, y);
}

//
// 'no_shares_below()' - Drop the shares under the last rows of a page.
//

constexpr auto no_shares_below = [](int, std::int64_t) {};

//
// 'never_skip()' - Visit every pixel.
//

constexpr auto never_skip = [](int, int) { return 0; };

} // namespace

//
// 'image_FloydSteinberg()' - Diffuse a plane of values in place.
//
// The plane holds width x height signed values, row 0 first, normally gray
// values 0 to 255; afterwards every value is 0 or 255.  Nothing happens
// when the width or the height is 0 or less.  (flatten: with every helper
// inlined the rows' pending shares stay in registers.)
//

[[gnu::flatten]] void
image_FloydSteinberg(std::int32_t *data,    // IO - Plane of values
                     int           width,   // I  - Pixels per row
                     int           height)  // I  - Rows
{
  if (width <= 0 || height <= 0)
    return;

  const std::size_t stride = static_cast<std::size_t>(width);

  diffuse_page(height, [&](auto rows, auto hasBelow, int y) {
    std::int32_t *top   = data + y * stride;
    std::int32_t *under = top + rows * stride;

    auto start = [top, stride](int k, int x) -> std::int64_t { return top[k * stride + x]; };
    auto emit  = [top, stride](int k, int x, std::int64_t value) {
      top[k * stride + x] = is_black(value) ? kGrayBlack : kGrayWhite;
    };

    if constexpr (hasBelow)
      diffuse_rows<rows, true>(width, start, emit, [under](int x, std::int64_t shares) {
        under[x] = add_wrap(under[x], shares);
      }, never_skip);
    else
      diffuse_rows<rows, true>(width, start, emit, no_shares_below, never_skip);
  });
}

//
// 'image_ThresholdingDITHER()' - Pack the page by error diffusion.
//
// Each gray value is read through gamma (the identity when NULL) and the
// page is diffused a few rows at a time, keeping only the shares for the
// next group of rows; the bits equal those of mapping the page, diffusing
// it as a plane with image_FloydSteinberg() and packing the zeros as black.
// On success the page is freed and *data holds the packed rows.  Returns 0,
// leaving *data as it was, when memory runs out.  A width or height of 0 or
// less leaves *data as it was and returns 1: there is nothing to pack.
// (flatten: with every helper inlined the rows' pending shares stay in
// registers.)
//

[[gnu::flatten]] BOOL
image_ThresholdingDITHER(int         width,   // I  - Pixels per row
                         int         height,  // I  - Rows
                         PBYTE      *data,    // IO - 8-bit page in, packed rows out
                         const BYTE *gamma)   // I  - Gamma table, or NULL
{
  if (width <= 0 || height <= 0)
    return 1;

  const std::size_t       rowBytes = packed_row_bytes(width);
  const std::size_t       stride   = static_cast<std::size_t>(width);
  PBYTE                   packed   = static_cast<PBYTE>(malloc(rowBytes * height));
  const std::size_t       flagRow  = 8 * rowBytes;  // Flags of one row, padded with 0
  MallocPtr<BYTE>         flags(static_cast<BYTE *>(calloc(kGroupRows, flagRow)));
  MallocPtr<std::int16_t> pending(static_cast<std::int16_t *>(calloc(stride, sizeof(std::int16_t))));

  if (!packed || !flags || !pending)
  {
    free(packed);
    return 0;
  }

  const BYTE   *table     = gamma ? gamma : kIdentityTable.data();
  const BYTE   *page      = *data;
  BYTE         *rowFlags  = flags.get();    // Black flags of the group's rows
  std::int16_t *fromAbove = pending.get();  // Shares for the group's top row,
                                            // within -127..127

  // Labels are mostly blank paper and solid black, which pass no share on:
  // stretches where no share is pending are packed without visiting each
  // pixel.
  BYTE kind[256];  // kQuietWhite/kQuietBlack/kNoisy by gray value

  for (int v = 0; v < 256; v ++)
    kind[v] = !passes_nothing(table[v]) ? kNoisy : is_black(table[v]) ? kQuietBlack : kQuietWhite;

  diffuse_page(height, [&](auto rows, auto hasBelow, int y) {
    const BYTE *top = page + y * stride;

    // Slot x of the pending row is read for the top row before the bottom
    // row stores its shares for the row under the group into it.
    auto start = [top, stride, table, fromAbove](int k, int x) -> std::int64_t {
      return std::int64_t{table[top[k * stride + x]]} + (k == 0 ? fromAbove[x] : 0);
    };
    auto emit = [rowFlags, flagRow](int k, int x, std::int64_t value) {
      rowFlags[k * flagRow + x] = is_black(value);
    };
    auto skip = [&](int t, int n) {
      n = zero_run(fromAbove + t, n);
      for (int k = 0; k < rows; k ++)
        n = quiet_run(top + k * stride + t - k, n, kind);

      for (int k = 0; k < rows; k ++)
        quiet_flags(top + k * stride + t - k, n, kind, rowFlags + k * flagRow + t - k);
      if (hasBelow)
        std::fill_n(fromAbove + t - rows, n, 0);
      return n;
    };

    if constexpr (hasBelow)
      diffuse_rows<rows, false>(width, start, emit, [fromAbove](int x, std::int64_t shares) {
        fromAbove[x] = static_cast<std::int16_t>(shares);
      }, skip);
    else
      diffuse_rows<rows, false>(width, start, emit, no_shares_below, skip);

    for (int k = 0; k < rows; k ++)
      pack_flags(rowFlags + k * flagRow, packed + (y + k) * rowBytes, rowBytes);
  });

  free(*data);
  *data = packed;

  return 1;
}
