// SPDX-License-Identifier: Apache-2.0
//
// The page frame: fixed bytes, length field, both CRCs, and a body that
// inflates (through zlib, not the compressor's library) to exactly the
// command stream, for streams of every kind of size and content, at the
// filter's compression level and at every other.
//

#include "pelna.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <random>

using namespace pelna_test;

namespace {

// Frames a copy of the stream and returns the frame.
Bytes
frame_of(const Bytes &stream)
{
  PBYTE data = static_cast<PBYTE>(malloc(stream.empty() ? 1 : stream.size()));
  DWORD size = static_cast<DWORD>(stream.size());

  if (!stream.empty())
    memcpy(data, stream.data(), stream.size());

  const PBYTE before = data;

  EXPECT_TRUE(gzip_frame(&data, &size));
  EXPECT_NE(data, before) << "the stream must be replaced by the frame";

  Bytes frame(data, data + size);
  free(data);
  return frame;
}

Bytes
random_bytes(size_t size, std::mt19937 &rng)
{
  Bytes out(size);

  for (auto &b : out)
    b = static_cast<std::uint8_t>(rng());
  return out;
}

// A command stream as a label page gives it: mostly white rows with a few
// repeating bars.
Bytes
label_like(size_t size)
{
  Bytes out(size);

  for (size_t i = 0; i < size; i ++)
    out[i] = (i % 76 < 4) ? static_cast<std::uint8_t>(0x1F + i % 4)
                          : ((i / 76) % 40 < 6 && i % 76 > 30 && i % 76 < 50 ? 0xFF : 0x00);
  return out;
}

void
check_frame(const Bytes &stream, const Bytes &frame)
{
  ASSERT_GE(frame.size(), pelna::kFrameOverhead);

  const size_t N = frame.size() - pelna::kFrameOverhead;

  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), (Bytes{0x1F, 0x8B, 0x08, 0x00}));
  EXPECT_EQ(frame[8], 0x00);
  EXPECT_EQ(frame[9], 0xFF);
  EXPECT_EQ(get_le32(frame.data() + 4), frame.size()) << "length field";

  bool        ok       = false;
  const Bytes inflated = inflate_raw(frame.data() + 10, N, ok);

  EXPECT_TRUE(ok) << "body is not one complete raw deflate stream";
  EXPECT_TRUE(inflated == stream) << "body does not inflate to the stream";
  EXPECT_EQ(get_le32(frame.data() + 10 + N),
            crc32(0, stream.data(), static_cast<uInt>(stream.size())))
      << "stream CRC";
  EXPECT_EQ(get_le32(frame.data() + 14 + N),
            crc32(0, frame.data() + 8, static_cast<uInt>(N + 6)))
      << "frame CRC over offsets 8 to 13 + N";
}

} // namespace

TEST(PageFrame, EveryStreamInflatesBackWhole)
{
  std::mt19937 rng(12345);
  const size_t sizes[] = {0, 1, 15, 20, 64, 100, 999, 4096, 65535, 65536, 200000, 1100000, 3000000};

  for (size_t size : sizes)
  {
    SCOPED_TRACE("stream of " + std::to_string(size) + " bytes");

    const Bytes random = random_bytes(size, rng);
    check_frame(random, frame_of(random));

    const Bytes repetitive = label_like(size);
    check_frame(repetitive, frame_of(repetitive));

    const Bytes flat(size, 0x00);
    check_frame(flat, frame_of(flat));
  }
}

TEST(PageFrame, EveryDeflateLevelMakesASoundFrame)
{
  std::mt19937 rng(54321);
  const size_t sizes[] = {0, 15, 20, 4096, 65536, 200000};

  for (int level = pelna::kMinDeflateLevel; level <= pelna::kMaxDeflateLevel; level ++)
    for (size_t size : sizes)
    {
      SCOPED_TRACE("level " + std::to_string(level) + ", stream of " + std::to_string(size) + " bytes");

      for (const Bytes &stream : {random_bytes(size, rng), label_like(size), Bytes(size, 0x00)})
      {
        const pelna::PageFrame frame = pelna::build_frame(stream, level);

        ASSERT_TRUE(frame.bytes);
        check_frame(stream, Bytes(frame.bytes.get(), frame.bytes.get() + frame.size));
      }
    }

  // Levels the compressor does not have give no frame, never a wrong one.
  const Bytes stream = label_like(1000);

  for (int level : {pelna::kMinDeflateLevel - 1, pelna::kMaxDeflateLevel + 1, -6, 100})
    EXPECT_FALSE(pelna::build_frame(stream, level).bytes) << "level " << level;
}

TEST(PageFrame, ShortStreamsAreNeverCut)
{
  // The stream of a page without rows and of a one-row page 8 dots wide
  // compress to more bytes than they hold; their frames must still be whole.
  const Bytes noRows = {0x1F, 0x19, 0x03, 0x00, 0x07, 0x08, 0x00, 0x1F,
                        0x19, 0x02, 0x00, 0x08, 0x01, 0x1D, 0x98};
  const Bytes frame  = frame_of(noRows);

  check_frame(noRows, frame);
  EXPECT_GT(frame.size() - pelna::kFrameOverhead, noRows.size());
}

TEST(PageFrame, FrameCrcLeavesOutTheLengthField)
{
  const Bytes stream = label_like(5000);
  Bytes       frame  = frame_of(stream);
  const size_t N     = frame.size() - pelna::kFrameOverhead;
  const auto  frameCrc = [&] { return crc32(0, frame.data() + 8, static_cast<uInt>(N + 6)); };
  const uLong stored = get_le32(frame.data() + 14 + N);

  frame[4] ^= 0x55;  // another length: the covered range is unchanged
  EXPECT_EQ(frameCrc(), stored);
  frame[4] ^= 0x55;

  for (size_t offset : {size_t{8}, size_t{9}, size_t{10}, 10 + N / 2, 10 + N, 13 + N})
  {
    frame[offset] ^= 0x01;
    EXPECT_NE(frameCrc(), stored) << "a change at offset " << offset << " must show";
    frame[offset] ^= 0x01;
  }
}
