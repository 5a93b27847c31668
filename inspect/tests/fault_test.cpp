// SPDX-License-Identifier: Apache-2.0
//
// Hand-made faulty input: each fault is reported as that fault, on the
// right page, at the right offset; hostile input ends in a report, never in
// a crash, a runaway allocation or a hang.
//

#include "frames.h"

#include <gtest/gtest.h>

#include <random>

using namespace inspect;
using namespace inspect_test;

namespace {

// A page 20 dots wide (3 row bytes) with 4 rows and page mark 1.  Its
// stream: width command at 0, rows at 7, 14, 21 and 28, page mark at 35,
// trailer at 41, 43 bytes in all.
constexpr unsigned kWidth = 20;
constexpr unsigned kRows  = 4;

//
// 'base_stream()' - The stream of the sound base page.
//

Bytes
base_stream()
{
  return make_stream(kWidth, random_page(kWidth, kRows, 3), kRows, 1);
}

//
// 'row_of()' - n bytes of 0x50, dots only within the width of 20.
//

Bytes
row_of(std::size_t n)
{
  return Bytes(n, 0x50);
}

//
// 'find_fault()' - The first fault of a kind in a result, or nullptr.
//

const Fault *
find_fault(const Result &result, FaultKind kind)
{
  for (const Fault &fault : result.faults)
    if (fault.kind == kind)
      return &fault;
  for (const Page &page : result.pages)
    for (const Fault &fault : page.faults)
      if (fault.kind == kind)
        return &fault;
  return nullptr;
}

//
// 'expect_fault()' - The result is unsound and has the fault on the page at
//                    the offset.
//

void
expect_fault(const Result &result, FaultKind kind, std::size_t page, std::uint64_t offset,
             bool inStream)
{
  const Fault *fault = find_fault(result, kind);

  EXPECT_FALSE(result.sound);
  ASSERT_NE(fault, nullptr) << "no " << fault_name(kind);
  EXPECT_EQ(fault->page, page) << fault_name(kind);
  EXPECT_EQ(fault->offset, offset) << fault_name(kind);
  EXPECT_EQ(fault->in_stream, inStream) << fault_name(kind);
  EXPECT_FALSE(fault->expected.empty());
  EXPECT_FALSE(fault->found.empty());
}

//
// 'stream_fault()' - Frame a stream and expect one fault in it.
//

void
stream_fault(const Bytes &stream, FaultKind kind, std::uint64_t offset)
{
  expect_fault(decode(make_frame(stream)), kind, 1, offset, true);
}

} // namespace

// The frame header, length field and CRCs: each fault at its byte.
TEST(Faults, FrameHeaderLengthAndCrc)
{
  const Bytes good = make_frame(base_stream());
  const std::size_t N = good.size() - 18;

  ASSERT_TRUE(decode(good).sound);

  Bytes frame = good;
  frame[1] = 0x8C;
  expect_fault(decode(frame), FaultKind::FrameId, 1, 0, false);

  frame = good;                       // bytes 0..7 are outside the frame CRC
  frame[2] = 0x07;
  expect_fault(decode(frame), FaultKind::FrameMethod, 1, 2, false);
  EXPECT_EQ(decode(frame).pages[0].faults.size(), 1u);

  frame = good;
  frame[3] = 0x08;
  expect_fault(decode(frame), FaultKind::FrameFlags, 1, 3, false);

  frame = good;
  frame[8] = 0x02;
  fix_frame_crc(frame);
  expect_fault(decode(frame), FaultKind::FrameXFlags, 1, 8, false);

  frame = good;
  frame[9] = 0x03;
  fix_frame_crc(frame);
  expect_fault(decode(frame), FaultKind::FrameOS, 1, 9, false);

  frame = good;
  set_le32(frame, 4, 17);
  expect_fault(decode(frame), FaultKind::FrameLength, 1, 4, false);

  frame = good;
  set_le32(frame, 4, 0xFFFFFFF0u);
  expect_fault(decode(frame), FaultKind::FrameLength, 1, 4, false);

  frame = good;
  set_le32(frame, 4, static_cast<std::uint32_t>(good.size() + 5));
  expect_fault(decode(frame), FaultKind::FramePastEnd, 1, 4, false);

  frame = Bytes(good.begin(), good.end() - 3);
  expect_fault(decode(frame), FaultKind::FramePastEnd, 1, 4, false);

  frame = Bytes(good.begin(), good.begin() + 6);
  expect_fault(decode(frame), FaultKind::FrameTruncated, 1, 6, false);

  frame = good;
  frame[N + 15] ^= 0x40;
  expect_fault(decode(frame), FaultKind::FrameCrc, 1, N + 14, false);

  frame = good;
  frame[N + 10] ^= 0x01;
  fix_frame_crc(frame);
  expect_fault(decode(frame), FaultKind::StreamCrc, 1, N + 10, false);

  // On a second page the offsets count from the start of the input.
  Bytes two = good;
  two.insert(two.end(), good.begin(), good.end());
  two[good.size() + N + 15] ^= 0x40;
  expect_fault(decode(two), FaultKind::FrameCrc, 2, good.size() + N + 14, false);

  two = good;
  two.insert(two.end(), {0x1F, 0x8B, 0x08, 0x00, 0x30});
  expect_fault(decode(two), FaultKind::FrameTruncated, 2, good.size() + 5, false);

  two = good;
  two.insert(two.end(), {0x00, 0x00});
  expect_fault(decode(two), FaultKind::FrameId, 2, good.size(), false);
  EXPECT_TRUE(decode(two).pages[0].sound);

  const Result none = decode(Bytes());
  expect_fault(none, FaultKind::NoFrames, 0, 0, false);
  EXPECT_TRUE(none.pages.empty());
}

// The body: one complete raw deflate stream, nothing left over, within the
// cap.
TEST(Faults, FrameBody)
{
  const Bytes stream = base_stream();
  const Bytes good   = make_frame(stream);
  Bytes       body(good.begin() + 10, good.end() - 8);

  Bytes cut(body.begin(), body.end() - 3);
  expect_fault(decode(frame_around_body(cut, stream)), FaultKind::BodyIncomplete, 1,
               10 + cut.size(), false);

  Bytes longer = body;
  longer.insert(longer.end(), {0x00, 0x00, 0x00});
  const Result trailing = decode(frame_around_body(longer, stream));
  expect_fault(trailing, FaultKind::BodyTrailing, 1, 10 + body.size(), false);
  EXPECT_EQ(trailing.pages[0].rows, kRows);   // the stream itself was read

  Bytes bad = body;
  bad[0] = 0x07;                       // final block of the reserved type 3
  const Result corrupt = decode(frame_around_body(bad, stream));
  const Fault *fault = find_fault(corrupt, FaultKind::BodyCorrupt);
  ASSERT_NE(fault, nullptr);
  EXPECT_GE(fault->offset, 10u);
  EXPECT_LE(fault->offset, 11u);

  expect_fault(decode(frame_around_body(Bytes(), stream)), FaultKind::BodyIncomplete, 1,
               10, false);

  // A wide page of white rows inflates far beyond a 1 MiB cap.
  const Bytes big = make_stream(65535, Bytes(8192 * 400, 0), 400, 0);
  const Bytes bigFrame = make_frame(big);
  const Result capped = decode(bigFrame, 1 << 20);
  ASSERT_NE(find_fault(capped, FaultKind::BodyTooLarge), nullptr);
  EXPECT_LE(capped.pages[0].stream_bytes, 1u << 20);
  EXPECT_TRUE(decode(bigFrame).sound);
}

// The command stream: each fault at its stream offset.
TEST(Faults, CommandStream)
{
  Bytes s;

  put_row(s, row_of(3));               // a row before the width
  put_width(s, kWidth);
  put_mark(s, 1);
  put_trailer(s);
  stream_fault(s, FaultKind::WidthNotFirst, 0);
  stream_fault(s, FaultKind::CommandOrder, 7);

  s.clear();
  put_width(s, 0);
  put_row(s, row_of(3));
  put_mark(s, 0);
  put_trailer(s);
  stream_fault(s, FaultKind::WidthZero, 5);

  s = {0x1F, 0x19, 0x04, 0x00, 0x07, kWidth, 0x00, 0x00};   // width command, length 4
  put_row(s, row_of(3));
  put_mark(s, 0);
  put_trailer(s);
  stream_fault(s, FaultKind::CommandLength, 2);

  s.clear();
  put_width(s, kWidth);
  s.insert(s.end(), {0x1F, 0x19, 0x03, 0x00, 0x08, 0x01, 0x00});  // mark, length 3
  put_trailer(s);
  stream_fault(s, FaultKind::CommandLength, 9);

  s.clear();
  put_width(s, kWidth);
  put_row(s, row_of(3));
  put_row(s, row_of(3));
  put_row(s, row_of(2));               // row 2 at offset 21, short
  put_row(s, row_of(4));
  put_mark(s, 1);
  put_trailer(s);
  stream_fault(s, FaultKind::RowLength, 23);
  EXPECT_NE(find_fault(decode(make_frame(s)), FaultKind::RowLength)->found.find("2 rows in all"),
            std::string::npos);

  s.clear();
  put_width(s, kWidth);
  put_row(s, row_of(3));
  put_row(s, {0x00, 0x00, 0x01});      // row 1 at 14: a dot beyond 20
  put_mark(s, 1);
  put_trailer(s);
  stream_fault(s, FaultKind::RowPadding, 20);

  s = base_stream();
  s[40] = 3;
  stream_fault(s, FaultKind::PageMarkValue, 40);

  s.clear();
  put_width(s, kWidth);
  put_row(s, row_of(3));
  put_mark(s, 1);
  put_row(s, row_of(3));               // at 20, after the mark
  put_trailer(s);
  stream_fault(s, FaultKind::CommandOrder, 20);

  s.clear();
  put_width(s, kWidth);
  put_mark(s, 1);
  put_mark(s, 2);                      // a second mark at 13
  put_trailer(s);
  stream_fault(s, FaultKind::CommandOrder, 13);

  s.clear();
  put_width(s, kWidth);
  s.insert(s.end(), {0x1F, 0x11, 0x00, 0x00});
  put_mark(s, 1);
  put_trailer(s);
  stream_fault(s, FaultKind::UnknownCommand, 7);

  s.clear();
  put_width(s, kWidth);
  s.insert(s.end(), {0x1F, 0x19, 0x02, 0x00, 0x09, 0x00});
  put_mark(s, 1);
  put_trailer(s);
  stream_fault(s, FaultKind::UnknownSubCommand, 11);

  s.clear();
  put_width(s, kWidth);
  s.insert(s.end(), {0x1F, 0x10, 0x03, 0x00, 0xAA});
  stream_fault(s, FaultKind::CommandTruncated, 7);

  s.clear();
  put_width(s, kWidth);
  put_row(s, row_of(3));
  put_trailer(s);
  stream_fault(s, FaultKind::PageMarkMissing, 14);

  s.clear();
  put_width(s, kWidth);
  put_row(s, row_of(3));
  put_mark(s, 1);
  stream_fault(s, FaultKind::TrailerMissing, 20);

  s = base_stream();
  s.insert(s.end(), {0x00, 0x00});
  stream_fault(s, FaultKind::TrailingData, 43);

  stream_fault(Bytes(), FaultKind::WidthNotFirst, 0);
}

// Hostile input: the widest page, millions of rows, a page cap, and every
// single-byte change or cut of a sound input is caught without a crash.
TEST(Faults, HostileInputIsReportedNotFatal)
{
  const Bytes wide = make_stream(65535, random_page(65535, 2, 9), 2, 2);
  const Result wideResult = decode(make_frame(wide));
  EXPECT_TRUE(wideResult.sound);
  EXPECT_EQ(wideResult.pages[0].width, 65535);

  constexpr unsigned kManyRows = 2000000;
  const Bytes tall = make_stream(8, Bytes(kManyRows, 0x81), kManyRows, 0);
  Options quick;
  const Result tallResult = inspect_bytes(make_frame(tall), quick);
  EXPECT_TRUE(tallResult.sound);
  EXPECT_EQ(tallResult.pages[0].rows, kManyRows);
  EXPECT_EQ(tallResult.pages[0].black_dots, 2ULL * kManyRows);

  const Bytes good = make_frame(base_stream());
  Bytes three = good;
  three.insert(three.end(), good.begin(), good.end());
  three.insert(three.end(), good.begin(), good.end());
  Options capped;
  capped.max_pages = 2;
  const Result pages = inspect_bytes(three, capped);
  expect_fault(pages, FaultKind::TooManyPages, 3, 2 * good.size(), false);
  EXPECT_EQ(pages.pages.size(), 2u);

  Bytes two = good;
  two.insert(two.end(), good.begin(), good.end());
  std::mt19937 gen(42);

  for (std::size_t at = 0; at < two.size(); at ++)
  {
    Bytes changed = two;
    changed[at] ^= static_cast<std::uint8_t>(1 + gen() % 255);
    EXPECT_FALSE(decode(changed).sound) << "change at " << at;

    // A cut between the two frames leaves one sound frame.
    Bytes cut(two.begin(), two.begin() + at);
    EXPECT_EQ(decode(cut).sound, at == good.size()) << "cut at " << at;
  }

  for (int i = 0; i < 2000; i ++)
  {
    Bytes noise(gen() % 300);
    for (auto &b : noise)
      b = static_cast<std::uint8_t>(gen());
    if (noise.size() > 2)
    {
      noise[0] = 0x1F;
      noise[1] = 0x8B;
    }
    (void)decode(noise, 1 << 16);
  }
}
