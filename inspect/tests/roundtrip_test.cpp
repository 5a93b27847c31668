// SPDX-License-Identifier: Apache-2.0
//
// Round trips with the filter: frames made by image_buildPrintData and
// gzip_frame are sound, say what was packed, and draw exactly the packed
// page.
//

#include "frames.h"
#include "tool_io.h"

#include <gtest/gtest.h>
#include <png.h>

using namespace inspect;
using namespace inspect_test;

namespace {

// Page sizes that cover a width of 1, widths around a byte boundary, a
// common label width and the widest the format carries.
struct Size
{
  unsigned width;
  unsigned rows;
};

constexpr Size kSizes[] = {{1, 5}, {7, 3}, {8, 4}, {9, 17}, {576, 40}, {1001, 9}, {65535, 3}};

//
// 'read_png_dots()' - Read a PNG back as packed rows (set bit = black).
//

Bytes
read_png_dots(const std::string &path, unsigned &width, unsigned &height)
{
  png_image image{};

  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str()))
    return {};

  image.format = PNG_FORMAT_GRAY;
  Bytes gray(PNG_IMAGE_SIZE(image));

  if (!png_image_finish_read(&image, nullptr, gray.data(), 0, nullptr))
    return {};

  width  = image.width;
  height = image.height;

  const std::size_t R = row_bytes(width);
  Bytes             packed(R * height, 0);

  for (unsigned y = 0; y < height; y ++)
    for (unsigned x = 0; x < width; x ++)
      if (gray[static_cast<std::size_t>(y) * width + x] < 128)
        packed[y * R + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));

  return packed;
}

} // namespace

// Every size: the filter's frame is sound, carries the width, rows and
// dots it was given, and the picture equals the packed page.
TEST(RoundTrip, FilterFramesAreSoundAndCarryThePage)
{
  const std::string dir = temp_dir();

  for (const Size &size : kSizes)
  {
    SCOPED_TRACE(std::to_string(size.width) + " x " + std::to_string(size.rows));

    const Bytes  packed = random_page(size.width, size.rows, size.width);
    const Bytes  frame  = filter_frame(size.width, size.rows, packed, nullptr);
    const Result result = decode(frame);

    ASSERT_EQ(result.pages.size(), 1u);
    const Page &page = result.pages[0];

    for (const Fault &fault : page.faults)
      ADD_FAILURE() << fault_name(fault.kind) << " at " << fault.offset << ": expected "
                    << fault.expected << ", found " << fault.found;
    EXPECT_TRUE(result.sound);
    EXPECT_EQ(page.width, size.width);
    EXPECT_EQ(page.rows, size.rows);
    EXPECT_EQ(page.page_mark, 0);
    EXPECT_EQ(page.frame_bytes, frame.size());
    EXPECT_EQ(page.stream_bytes, size.rows * (row_bytes(size.width) + 4) + 15);
    EXPECT_EQ(page.dots, packed);
    EXPECT_EQ(page.black_dots, black_dots(packed, size.width));

    std::string error;
    unsigned    width = 0, height = 0;

    ASSERT_TRUE(write_picture(dir + "/page.png", page, PictureFormat::Png, error)) << error;
    EXPECT_EQ(read_png_dots(dir + "/page.png", width, height), packed);
    EXPECT_EQ(width, size.width);
    EXPECT_EQ(height, size.rows);

    ASSERT_TRUE(write_picture(dir + "/page.pbm", page, PictureFormat::Pbm, error)) << error;
    const std::string header = "P4\n" + std::to_string(size.width) + " " +
                               std::to_string(size.rows) + "\n";
    EXPECT_EQ(read_file(dir + "/page.pbm"),
              header + std::string(packed.begin(), packed.end()));
  }

  remove_tree(dir);
}

// Frames back to back are separate pages in order, each with the page mark
// its PageMark choice gives; a page without rows is sound but not drawn.
TEST(RoundTrip, ConsecutiveFramesAndPageMarks)
{
  const Bytes packed = random_page(203, 12, 7);
  Bytes       input;
  std::vector<std::size_t> offsets;

  const char *marks[] = {"PageMarkLabel", "PageMarkBlack", nullptr, "PageMarkNone"};

  for (const char *mark : marks)
  {
    const Bytes frame = filter_frame(203, 12, packed, mark);

    offsets.push_back(input.size());
    input.insert(input.end(), frame.begin(), frame.end());
  }

  const Bytes empty = filter_frame(64, 0, Bytes(), nullptr);

  offsets.push_back(input.size());
  input.insert(input.end(), empty.begin(), empty.end());

  const Result result = decode(input);

  ASSERT_EQ(result.pages.size(), 5u);
  EXPECT_TRUE(result.sound);
  const int expectedMarks[] = {1, 2, 0, 0, 0};

  for (std::size_t i = 0; i < result.pages.size(); i ++)
  {
    EXPECT_EQ(result.pages[i].number, i + 1);
    EXPECT_EQ(result.pages[i].frame_offset, offsets[i]);
    EXPECT_EQ(result.pages[i].page_mark, expectedMarks[i]) << "page " << i + 1;
  }
  EXPECT_EQ(result.pages[1].dots, packed);
  EXPECT_EQ(result.pages[4].rows, 0u);
  EXPECT_EQ(result.pages[4].width, 64);
  EXPECT_FALSE(page_has_picture(result.pages[4]));
}
