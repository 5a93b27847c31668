// SPDX-License-Identifier: Apache-2.0
//
// Error diffusion, one row or two rows at a time.
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
// within a row ride in locals.  Each pixel's right-hand share waits for the
// pixel before, so one row is one serial chain; two rows walked together,
// the lower one pixel behind the upper, are two chains that run side by
// side.  A wide row alone is walked as two halves side by side, the right
// half from a guess of the shares its left hands it, put right afterwards
// from where the guess was wrong until it meets the true chain.  Labels are
// mostly blank paper and solid black, which pass no share on: where no
// share is pending, such stretches are flagged in blocks and words without
// visiting each pixel.
//

#include "halftone.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pelna {

namespace {

constexpr int kFirstWhite = 128;  // lowest value that becomes white

// Gamma entries are 0..255; the right-hand share is at most 55 in
// magnitude and the shares from above at most 69, so every value met lies
// within -124..379.  The shares of the values kLowest .. kLowest + kEntries
// - 1 are tables, entry value - kLowest: the value plus kShareBias.
constexpr int kLowest  = -static_cast<int>(kShareBias);
constexpr int kEntries = 512;

//
// The shares for the row below ride in one 64-bit word of three 16-bit
// fields, the share for (x - 1, y + 1) lowest: one add hands a pixel's
// three shares below over, and one shift moves on to the next pixel.  Each
// share carries a bias that keeps every field within 0..65535, so no field
// borrows from the next; a share for a pixel below is complete with the
// three biases, kShareBias in all.
//

constexpr int kBiasLeft  = 80;  // added to every share below-left (-23..23)
constexpr int kBiasBelow = 40;  // below (-39..39)
constexpr int kBiasRight = 8;   // below-right (-7..7)

static_assert(kBiasLeft + kBiasBelow + kBiasRight == kShareBias, "a complete share's bias");

// The fields of a row that has passed no share on.
constexpr std::uint64_t kNoShares = kBiasBelow + kBiasRight + (std::uint64_t{kBiasRight} << 16);

//
// The tables: the right-hand share, and the three shares below as fields,
// by value - kLowest.  Both have entries of kStride bytes, and the
// right-hand share is kept times kStride: the byte offset of the entry of
// value + share.  The chain from pixel to pixel is then one plain load
// whose address is a base plus an unscaled index, the shortest there is.
//

constexpr std::ptrdiff_t kStride = kGammaScale;  // bytes of an entry

static_assert(kStride == sizeof(std::uint64_t), "the gamma entries scale to table entries");

struct ShareTables
{
  std::array<std::int64_t, kEntries>  right;  // share for (x + 1, y), times
                                              // kStride
  std::array<std::uint64_t, kEntries> below;  // shares for (x - 1, y + 1),
                                              // (x, y + 1) and (x + 1,
                                              // y + 1) with their biases
};

//
// 'share_tables()' - Quantise every value from kLowest up and split its
//                    error into shares.
//

constexpr ShareTables
share_tables()
{
  ShareTables tables{};

  for (int i = 0; i < kEntries; i ++)
  {
    const int value = kLowest + i;
    const int error = value - (value < kFirstWhite ? kGrayBlack : kGrayWhite);

    tables.right[i] = error * 7 / 16 * kStride;
    tables.below[i] = static_cast<std::uint64_t>(error * 3 / 16 + kBiasLeft) +
                      (static_cast<std::uint64_t>(error * 5 / 16 + kBiasBelow) << 16) +
                      (static_cast<std::uint64_t>(error * 1 / 16 + kBiasRight) << 32);
  }
  return tables;
}

constexpr ShareTables kShareTables = share_tables();

//
// 'entry()' - The entry offset bytes past an entry of a table.
//

template <class T>
[[gnu::always_inline]] inline T
entry(const T       *base,    // I - Entry of a table
      std::ptrdiff_t offset)  // I - Bytes from it, a multiple of kStride
{
  T value;

  memcpy(&value, reinterpret_cast<const char *>(base) + offset, sizeof(value));  // one load
  return value;
}

//
// 'entry_at()' - The entry offset bytes past an entry of a table, by address.
//

template <class T>
[[gnu::always_inline]] inline const T *
entry_at(const T       *base,    // I - Entry of a table
         std::ptrdiff_t offset)  // I - Bytes from it, a multiple of kStride
{
  return reinterpret_cast<const T *>(reinterpret_cast<const char *>(base) + offset);
}

//
// 'start_of()' - Where a pixel's value before the share from its left
//                starts in the tables: its gamma entry plus the shares from
//                above, as a byte offset.
//

[[gnu::always_inline]] inline std::ptrdiff_t
start_of(const std::uint16_t *gamma,  // I - Gamma entries times kStride
         std::uint8_t         gray,   // I - Gray value
         std::uint16_t        above)  // I - Shares from above, plus kShareBias
{
  return std::ptrdiff_t{gamma[gray]} + std::ptrdiff_t{above} * kStride;
}

//
// Shares within a row, waiting for the pixels after the current one.
//

struct Carry
{
  std::ptrdiff_t right = 0;          // for (x + 1, y), times kStride
  std::uint64_t  below = kNoShares;  // so far for (x - 1, y + 1) and
                                     // (x, y + 1), as fields
};

//
// 'idle()' - Whether a row passes no share on to the pixels after it.
//

[[gnu::always_inline]] inline bool
idle(const Carry &carry)  // I - Shares within the row
{
  return !carry.right && carry.below == kNoShares;
}

//
// 'last_below()' - The complete share, plus kShareBias, for the pixel
//                  below-left of a row's next pixel when that pixel is off
//                  the page.
//

[[gnu::always_inline]] inline std::uint16_t
last_below(const Carry &carry)  // I - Shares within the row
{
  return static_cast<std::uint16_t>(carry.below + kBiasLeft);
}

//
// 'visit()' - Diffuse one pixel whose value before the share from its left
//             is start / kStride - kShareBias; sets its black flag and
//             returns the complete share, plus kShareBias, for the pixel
//             below-left of it.
//
// Only the right-hand share waits for the pixel before: it indexes the
// table row of this pixel's start directly, so the chain from pixel to
// pixel is one load.
//

[[gnu::always_inline]] inline std::uint16_t
visit(std::ptrdiff_t start,  // I  - Gamma entry plus the shares from above,
                             //      plus kShareBias, times kStride
      Carry         &carry,  // IO - Shares within the row
      std::uint8_t  &flag)   // O  - Black flag
{
  const std::int64_t *rights = entry_at(kShareTables.right.data(), start);

  asm("" : "+r"(rights));  // keeps the compiler from adding right in first
  const std::ptrdiff_t offset = start + carry.right;  // (value - kLowest) x kStride

  flag = offset < (kFirstWhite - kLowest) * kStride;
  carry.below += entry(kShareTables.below.data(), offset);
  carry.right = entry(rights, carry.right);

  const auto finished = static_cast<std::uint16_t>(carry.below);

  carry.below >>= 16;
  return finished;
}

//
// 'visit_into()' - visit(), the complete share for the pixel below-left
//                  stored into its pending slot.
//

[[gnu::always_inline]] inline void
visit_into(std::ptrdiff_t start,  // I  - Gamma entry plus the shares from
                                  //      above, plus kShareBias, times kStride
           Carry         &carry,  // IO - Shares within the row
           std::uint8_t  &flag,   // O  - Black flag
           std::uint16_t &slot)   // O  - Pending slot of the pixel below-left
{
  const std::int64_t *rights = entry_at(kShareTables.right.data(), start);

  asm("" : "+r"(rights));  // keeps the compiler from adding right in first
  const std::ptrdiff_t offset = start + carry.right;  // (value - kLowest) x kStride

  flag = offset < (kFirstWhite - kLowest) * kStride;
  carry.below += entry(kShareTables.below.data(), offset);
  carry.right = entry(rights, carry.right);
  slot = static_cast<std::uint16_t>(carry.below);
  carry.below >>= 16;
}

constexpr int kBlock = 64;  // pixels checked at once for a quiet block
constexpr int kSpan  = 32;  // pixels visited before quiet is looked for again

// Rows at least this wide are diffused as two halves side by side: each
// half is then long enough for the overlap to outweigh joining them.
constexpr int kSplitWidth = 256;

//
// 'extreme_block()' - Whether kBlock gray values are all 0 or 255.
//

[[gnu::always_inline]] inline bool
extreme_block(const std::uint8_t *gray)  // I - Gray values
{
  std::uint8_t most = 0;  // Largest of value + 1, wrapping: 0 and 255 give 1 and 0

  for (int i = 0; i < kBlock; i ++)  // no branch, so it vectorises
    most = std::max(most, static_cast<std::uint8_t>(gray[i] + 1));
  return most <= 1;
}

//
// 'zero_block()' - Whether kBlock slots of pending shares are all empty.
//

[[gnu::always_inline]] inline bool
zero_block(const std::uint16_t *above)  // I - Shares from above, plus kShareBias
{
  std::uint16_t any = 0;  // Bits of any pending share

  for (int i = 0; i < kBlock; i ++)  // no branch, so it vectorises
    any = static_cast<std::uint16_t>(any | (above[i] ^ kShareBias));
  return !any;
}

//
// The flags of the gray values 0 and 255, read once for a stretch: stores
// of flags may alias the context's tables, so reads inside the loop would
// be repeated after every store.
//

struct ExtremeFlags
{
  std::uint8_t black;  // flag of 0
  std::uint8_t white;  // flag of 255
};

//
// 'extreme_flags()' - The flags of 0 and 255 under the page's table.
//

[[gnu::always_inline]] inline ExtremeFlags
extreme_flags(const Halftoner &ht)  // I - Page context
{
  return {ht.kind[kGrayBlack], ht.kind[kGrayWhite]};
}

//
// 'flag_block()' - Flag kBlock gray values of 0 and 255.
//

[[gnu::always_inline]] inline void
flag_block(ExtremeFlags        kinds,  // I - Flags of 0 and 255
           const std::uint8_t *gray,   // I - Gray values, 0 or 255
           std::uint8_t       *flags)  // O - Black flags
{
  for (int i = 0; i < kBlock; i ++)
    flags[i] = gray[i] == kGrayBlack ? kinds.black : kinds.white;
}

//
// Quiet stretches too short for a block are looked at a word of kWord
// pixels at a time: eight gray values or four pending slots in 64 bits.
//

constexpr int           kWord       = 8;                      // pixels of a word
constexpr std::uint64_t kByteOnes   = 0x0101010101010101ULL;  // 1 in every byte
constexpr std::uint64_t kByteLow7   = 0x7F7F7F7F7F7F7F7FULL;  // 7 low bits of every byte
constexpr std::uint64_t kNoShareFour = 0x0080008000800080ULL; // kShareBias in four slots

static_assert(kNoShareFour == kShareBias * 0x0001000100010001ULL, "four empty slots");

//
// 'load_word()' - 8 bytes as one word, in memory order either way round.
//

[[gnu::always_inline]] inline std::uint64_t
load_word(const void *p)  // I - First byte
{
  std::uint64_t word;

  memcpy(&word, p, sizeof(word));
  return word;
}

//
// 'extreme_word()' - Whether kWord gray values are all 0 or 255: every
//                    bit of each byte equals the one above it.
//

[[gnu::always_inline]] inline bool
extreme_word(const std::uint8_t *gray)  // I - Gray values
{
  const std::uint64_t g = load_word(gray);

  return ((g ^ (g >> 1)) & kByteLow7) == 0;  // (the bit shifted in from the next byte is masked)
}

//
// 'zero_word()' - Whether kWord slots of pending shares are all empty.
//

[[gnu::always_inline]] inline bool
zero_word(const std::uint16_t *above)  // I - Shares from above, plus kShareBias
{
  return ((load_word(above) ^ kNoShareFour) | (load_word(above + 4) ^ kNoShareFour)) == 0;
}

//
// 'flag_word()' - Flag kWord gray values of 0 and 255.
//

[[gnu::always_inline]] inline void
flag_word(ExtremeFlags        kinds,  // I - Flags of 0 and 255
          const std::uint8_t *gray,   // I - Gray values, 0 or 255
          std::uint8_t       *flags)  // O - Black flags
{
  const std::uint64_t white = load_word(gray) & kByteOnes;  // 1 in the bytes of 255
  const std::uint64_t word  = (white * kinds.white) | ((white ^ kByteOnes) * kinds.black);

  memcpy(flags, &word, sizeof(word));
}

//
// 'quiet()' - Whether a gray value passes no share on where none reaches it.
//

[[gnu::always_inline]] inline bool
quiet(const Halftoner &ht,     // I - Page context
      std::uint8_t     value)  // I - Gray value
{
  return ht.kind[value] != kNoisy;
}

//
// 'pass_quiet()' - Flag the quiet pixels from x on, up to end, where no
//                  share is pending; returns the first pixel that is not
//                  quiet (end when all are).
//
// Blocks, then words, of pure black and white go by at once when both are
// quiet; other pixels are looked at one by one.
//

int
pass_quiet(const Halftoner    &ht,     // I - Page context
           const std::uint8_t *gray,   // I - Gray row
           const std::uint16_t *above, // I - Shares from above, by pixel
           std::uint8_t       *flags,  // O - Black flags
           int                 x,      // I - First pixel
           int                 end)    // I - Pixel after the last to look at
{
  if (quiet(ht, kGrayBlack) && quiet(ht, kGrayWhite))
  {
    const ExtremeFlags kinds = extreme_flags(ht);

    for (; x + kBlock <= end && zero_block(above + x) && extreme_block(gray + x); x += kBlock)
      flag_block(kinds, gray + x, flags + x);
    for (; x + kWord <= end && zero_word(above + x) && extreme_word(gray + x); x += kWord)
      flag_word(kinds, gray + x, flags + x);
  }

  for (; x < end && above[x] == kShareBias && quiet(ht, gray[x]); x ++)
    flags[x] = ht.kind[gray[x]];
  return x;
}

//
// 'pass_quiet_pair()' - Flag the quiet pixels of two rows from step t on
//                       (pixel t of the upper row, t - 1 of the lower),
//                       where no share is pending; returns the first step
//                       that is not quiet.
//
// The lower row's shares from above come from the upper row alone, which
// passes none on over a quiet stretch, so only the upper row's are looked
// at.
//

int
pass_quiet_pair(const Halftoner    &ht,      // I - Page context
                const std::uint8_t *gray0,   // I - Upper gray row
                const std::uint8_t *gray1,   // I - Lower gray row
                const std::uint16_t *above,  // I - Shares from above the upper row
                std::uint8_t       *flags0,  // O - Upper black flags
                std::uint8_t       *flags1,  // O - Lower black flags
                int                 t)       // I - First step, 1 or more
{
  const int width = static_cast<int>(ht.width);

  const ExtremeFlags kinds = extreme_flags(ht);

  if (quiet(ht, kGrayBlack) && quiet(ht, kGrayWhite))
    for (; t + kBlock <= width && zero_block(above + t) && extreme_block(gray0 + t) &&
           extreme_block(gray1 + t - 1);
         t += kBlock)
    {
      flag_block(kinds, gray0 + t, flags0 + t);
      flag_block(kinds, gray1 + t - 1, flags1 + t - 1);
    }

  for (; t < width && above[t] == kShareBias && quiet(ht, gray0[t]) && quiet(ht, gray1[t - 1]);
       t ++)
  {
    flags0[t]     = ht.kind[gray0[t]];
    flags1[t - 1] = ht.kind[gray1[t - 1]];
  }
  return t;
}

//
// A stretch of a row diffused as one chain.
//

struct Lane
{
  int   x;      // next pixel
  int   end;    // pixel after its last
  Carry carry;  // shares within the stretch so far
};

//
// 'skip_quiet()' - Move an idle lane past the quiet stretch at its next
//                  pixel, if there is one.
//

[[gnu::always_inline]] inline void
skip_quiet(const Halftoner    &ht,    // I  - Page context
           const std::uint8_t *gray,  // I  - Gray row
           Lane               &lane)  // IO - Lane
{
  std::uint16_t *pending = ht.pending.get();

  // (the first pixel is looked at here, which spares most calls that find none)
  if (!idle(lane.carry) || lane.x >= lane.end || pending[lane.x + 1] != kShareBias ||
      !quiet(ht, gray[lane.x]))
    return;

  const int end = pass_quiet(ht, gray, pending + 1, ht.flags.get(), lane.x, lane.end);

  pending[lane.x] = kShareBias;  // the pixel before the stretch leaves nothing below
  lane.x          = end;
}

//
// 'run_lane()' - Diffuse the rest of a lane on its own.
//

void
run_lane(const Halftoner    &ht,    // I  - Page context
         const std::uint8_t *gray,  // I  - Gray row
         Lane               &lane)  // IO - Lane
{
  const std::uint16_t *gamma   = ht.gamma_offsets.data();
  std::uint16_t       *pending = ht.pending.get();
  std::uint8_t        *flags   = ht.flags.get();

  while (lane.x < lane.end)
  {
    skip_quiet(ht, gray, lane);

    const int end   = std::min(lane.end, lane.x + kSpan);
    int       x     = lane.x;      // (locals, so that they stay in registers)
    Carry     carry = lane.carry;

    // Four pixels a turn: the offsets are then constants of the addresses.
    for (; x + 4 <= end; x += 4)
    {
      visit_into(start_of(gamma, gray[x], pending[x + 1]), carry, flags[x], pending[x]);
      visit_into(start_of(gamma, gray[x + 1], pending[x + 2]), carry, flags[x + 1], pending[x + 1]);
      visit_into(start_of(gamma, gray[x + 2], pending[x + 3]), carry, flags[x + 2], pending[x + 2]);
      visit_into(start_of(gamma, gray[x + 3], pending[x + 4]), carry, flags[x + 3], pending[x + 3]);
    }
    for (; x < end; x ++)
      visit_into(start_of(gamma, gray[x], pending[x + 1]), carry, flags[x], pending[x]);
    lane.x     = x;
    lane.carry = carry;
  }
}

//
// 'run_lanes()' - Diffuse two lanes side by side, a pixel of each per step,
//                 until one of them is done.
//
// The lanes are two independent chains, so their steps overlap; each lane
// still passes its own quiet stretches at once.
//

void
run_lanes(const Halftoner    &ht,    // I  - Page context
          const std::uint8_t *gray,  // I  - Gray row
          Lane               &one,   // IO - Left lane
          Lane               &two)   // IO - Right lane, after the left
{
  const std::uint16_t *gamma   = ht.gamma_offsets.data();
  std::uint16_t       *pending = ht.pending.get();
  std::uint8_t        *flags   = ht.flags.get();

  while (one.x < one.end && two.x < two.end)
  {
    skip_quiet(ht, gray, one);
    skip_quiet(ht, gray, two);

    const int steps = std::min({kSpan, one.end - one.x, two.end - two.x});
    int       x     = one.x;       // (locals, so that they stay in registers)
    int       z     = two.x;
    Carry     first = one.carry;
    Carry     second = two.carry;

#pragma GCC unroll 2
    for (const int end = x + steps; x < end; x ++, z ++)
    {
      visit_into(start_of(gamma, gray[x], pending[x + 1]), first, flags[x], pending[x]);
      visit_into(start_of(gamma, gray[z], pending[z + 1]), second, flags[z], pending[z]);
    }
    one.x     = x;
    one.carry = first;
    two.x     = z;
    two.carry = second;
  }
}

//
// 'join_halves()' - Hand the left half's shares on into the right half.
//
// The right half was diffused from pixel mid on as if no share came from
// its left.  Its pixels are diffused again from mid on with the left half's
// shares, from the shares from above kept in ht.spare, beside a rerun of
// the guess, until both carry the same shares: from there on the right
// half's bits and shares are already those of one chain.  A stretch the
// guess passed as quiet is rerun pixel by pixel, which hands nothing on
// either.
//

void
join_halves(const Halftoner    &ht,     // I - Page context
            const std::uint8_t *gray,   // I - Gray row
            int                 mid,    // I - The right half's first pixel
            Carry               carry)  // I - Shares the left half hands on
{
  const int            width   = static_cast<int>(ht.width);
  const std::uint16_t *gamma   = ht.gamma_offsets.data();
  const std::uint16_t *above   = ht.spare.get();  // Shares from above, from pixel mid on
  std::uint16_t       *pending = ht.pending.get();
  std::uint8_t        *flags   = ht.flags.get();
  Carry                guess;     // The right half's shares as it ran
  std::uint8_t         guessed;   // Its flag, already in flags

  for (int x = mid; x < width; x ++)
  {
    const std::uint16_t share = above[x - mid];

    visit_into(start_of(gamma, gray[x], share), carry, flags[x], pending[x]);
    (void)visit(start_of(gamma, gray[x], share), guess, guessed);
    if (carry.right == guess.right && carry.below == guess.below)
      return;
  }
  pending[width] = last_below(carry);  // the guess never met the chain
}

} // namespace

//
// 'quiet_kinds()' - Kind of every gray value under a gamma table.
//

std::array<std::uint8_t, 256>
quiet_kinds(const GammaTable &gamma)  // I - Gamma table
{
  std::array<std::uint8_t, 256> kind{};

  // Value 0 is black already: its entry passes nothing on.
  const std::uint64_t nothing = kShareTables.below[0 - kLowest];

  for (int v = 0; v < 256; v ++)
  {
    const int index = gamma[v] - kLowest;

    kind[v] = (kShareTables.right[index] || kShareTables.below[index] != nothing) ? kNoisy
              : gamma[v] < kFirstWhite                                           ? kQuietBlack
                                                                                 : kQuietWhite;
  }
  return kind;
}

//
// 'diffuse_row()' - Diffuse one gray row into the first row of black flags.
//
// pending slot x + 1 holds the shares from above for pixel x; each is read
// before the slot receives the shares for the row below (slot x for pixel
// x - 1 once pixel x is done; slot 0 takes the share left of the page).
//
// A row of kSplitWidth pixels or more is diffused as two halves side by
// side, the right half guessing that no share comes to it from the left;
// join_halves() then hands the left half's shares on where the guess was
// wrong.  The bits and the shares left pending are those of one chain.
//

void
diffuse_row(Halftoner          &ht,    // IO - Page context
            const std::uint8_t *gray)  // I  - Gray row, width bytes
{
  const int      width   = static_cast<int>(ht.width);
  std::uint16_t *pending = ht.pending.get();

  if (width < kSplitWidth)
  {
    Lane whole{0, width, {}};

    run_lane(ht, gray, whole);
    pending[width] = last_below(whole.carry);  // its below-right share would leave the page
    return;
  }

  const int mid = width / 2;  // The right half's first pixel
  Lane      left{0, mid, {}};
  Lane      right{mid + 1, width, {}};

  // The right half's shares from above, for join_halves(); its first pixel
  // keeps its share below-left to itself, as slot mid is the left half's
  // to read.
  std::copy(pending + mid + 1, pending + width + 1, ht.spare.get());
  (void)visit(start_of(ht.gamma_offsets.data(), gray[mid], pending[mid + 1]), right.carry,
              ht.flags[mid]);

  run_lanes(ht, gray, left, right);
  run_lane(ht, gray, left);
  run_lane(ht, gray, right);
  pending[width] = last_below(right.carry);
  join_halves(ht, gray, mid, left.carry);
}

//
// 'diffuse_row_pair()' - Diffuse two consecutive gray rows into the two
//                        rows of black flags.
//
// At step t the upper row visits pixel t and then the lower row pixel
// t - 1, whose shares from above are complete once the upper row's pixel t
// has handed over its below-left share; they pass straight over in a
// local.  The upper row reads pending slot t + 1 while the lower row writes
// slot t - 1, so one row of pending shares serves both.  The bits and the
// shares left pending are those of two diffuse_row() calls.
//

void
diffuse_row_pair(Halftoner          &ht,     // IO - Page context
                 const std::uint8_t *gray0,  // I  - Upper gray row, width bytes
                 const std::uint8_t *gray1)  // I  - Lower gray row, width bytes
{
  const int           width   = static_cast<int>(ht.width);
  const std::uint16_t *gamma  = ht.gamma_offsets.data();
  std::uint16_t      *pending = ht.pending.get();
  std::uint8_t       *flags0  = ht.flags.get();
  std::uint8_t       *flags1  = flags0 + 8 * static_cast<std::size_t>(ht.row_bytes);
  Carry               upper;  // Shares within the upper row
  Carry               lower;  // Shares within the lower row

  // Step 0: the upper row's first pixel; its below-left share leaves the page.
  (void)visit(start_of(gamma, gray0[0], pending[1]), upper, flags0[0]);

  for (int t = 1; t < width;)
  {
    if (idle(upper) && idle(lower))
    {
      const int end = pass_quiet_pair(ht, gray0, gray1, pending + 1, flags0, flags1, t);

      if (end > t)
      {
        // The lower row's pixels t - 1 .. end - 2 leave nothing below them
        // (slots t - 1 .. end - 2).  Slots t + 1 .. end were read as empty;
        // slot t still holds what the upper row's pixel t - 1 read.
        pending[t - 1] = kShareBias;
        pending[t]     = kShareBias;
        t              = end;
        continue;
      }
    }

    // Two steps per turn of the loop: its count and test are then shared.
#pragma GCC unroll 2
    for (const int end = std::min(width, t + kSpan); t < end; t ++)
    {
      // down: the lower row's shares from above
      const std::uint16_t down = visit(start_of(gamma, gray0[t], pending[t + 1]), upper, flags0[t]);

      pending[t - 1] = visit(start_of(gamma, gray1[t - 1], down), lower, flags1[t - 1]);
    }
  }

  // The lower row's last pixel: the upper row's last below-right share
  // would leave the page, so its shares for the pixel are complete.
  pending[width - 1] = visit(start_of(gamma, gray1[width - 1], last_below(upper)), lower, flags1[width - 1]);
  pending[width]     = last_below(lower);
}

} // namespace pelna
