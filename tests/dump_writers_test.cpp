// SPDX-License-Identifier: Apache-2.0
//
// The diagnostic dump writers: BMP files that a reader shows as the page,
// byte for byte headers, padding, and safe handling of the file system.
//

#include "pelna.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace pelna_test;

namespace {

// A private folder for the files of one test.
struct TempDir
{
  std::string path;

  TempDir()
  {
    char templ[] = "/tmp/pelna-dump-XXXXXX";
    path = mkdtemp(templ);
  }
  ~TempDir() { std::system(("rm -rf " + path).c_str()); }
  std::string file(const char *name) const { return path + "/" + name; }
};

// The packed rows of a gray image taken as a 1-bit page: gray 0 is a dot.
Bytes
pack(const Bytes &gray, unsigned width, unsigned height)
{
  const unsigned rowBytes = (width + 7) / 8;
  Bytes          packed(static_cast<size_t>(rowBytes) * height, 0);

  for (unsigned y = 0; y < height; y ++)
    for (unsigned x = 0; x < width; x ++)
      if (gray[y * width + x] == 0)
        packed[y * rowBytes + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
  return packed;
}

} // namespace

TEST(DumpWriters, BmpFilesShowThePage)
{
  TempDir      dir;
  std::mt19937 rng(3);

  for (unsigned width : {1u, 3u, 4u, 5u, 8u, 16u, 31u, 32u, 33u, 203u})
  {
    for (unsigned height : {1u, 2u, 7u})
    {
      SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
      Bytes gray(static_cast<size_t>(width) * height), mono(gray.size());

      for (size_t i = 0; i < gray.size(); i ++)
      {
        gray[i] = static_cast<std::uint8_t>(rng());
        mono[i] = rng() & 1 ? 0 : 255;
      }
      const Bytes packed = pack(mono, width, height);

      ASSERT_EQ(saveBmp8BPP(dir.file("g.bmp").c_str(), gray.data(), width, height), 1);
      ASSERT_EQ(saveBmp1BPP(dir.file("m.bmp").c_str(), packed.data(), width, height), 1);

      const BmpImage g = read_bmp(read_file(dir.file("g.bmp")));
      const BmpImage m = read_bmp(read_file(dir.file("m.bmp")));

      ASSERT_TRUE(g.ok && m.ok);
      EXPECT_EQ(g.bits, 8u);
      EXPECT_EQ(m.bits, 1u);
      EXPECT_TRUE(g.gray == gray) << "8-bit file does not show the gray page";
      EXPECT_TRUE(m.gray == mono) << "1-bit file does not show the dots black";
    }
  }
}

TEST(DumpWriters, HeaderFieldsAndPadding)
{
  TempDir dir;

  // Height 0: headers and palette only.
  ASSERT_EQ(saveBmp8BPP(dir.file("a.bmp").c_str(), nullptr, 5, 0), 1);
  std::string a = read_file(dir.file("a.bmp"));
  ASSERT_EQ(a.size(), 1078u);
  const auto *p = reinterpret_cast<const std::uint8_t *>(a.data());
  EXPECT_EQ(get_le32(p + 2), 1078u);   // bfSize
  EXPECT_EQ(get_le32(p + 10), 1078u);  // bfOffBits
  EXPECT_EQ(get_le32(p + 22), 0u);     // biHeight
  for (unsigned i = 0; i < 256; i ++)
    ASSERT_EQ(get_le32(p + 54 + 4 * i), i | (i << 8) | (i << 16)) << "palette entry " << i;

  ASSERT_EQ(saveBmp1BPP(dir.file("b.bmp").c_str(), nullptr, 5, 0), 1);
  std::string b = read_file(dir.file("b.bmp"));
  ASSERT_EQ(b.size(), 62u);
  p = reinterpret_cast<const std::uint8_t *>(b.data());
  EXPECT_EQ(get_le32(p + 2), 62u);
  EXPECT_EQ(Bytes(p + 54, p + 62), (Bytes{0, 0, 0, 0, 255, 255, 255, 0}));
  EXPECT_EQ(p[28], 1);

  // Width 5: rows padded with three zeros; width 4: no padding.
  const Bytes five = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(saveBmp8BPP(dir.file("c.bmp").c_str(), five.data(), 5, 2), 1);
  std::string c = read_file(dir.file("c.bmp"));
  ASSERT_EQ(c.size(), 1078u + 16);
  EXPECT_EQ(Bytes(c.begin() + 1078, c.end()),
            (Bytes{6, 7, 8, 9, 10, 0, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0}))
      << "rows are stored last first";
  ASSERT_EQ(saveBmp8BPP(dir.file("d.bmp").c_str(), five.data(), 4, 2), 1);
  EXPECT_EQ(read_file(dir.file("d.bmp")).size(), 1078u + 8);

  // Width 0: no row bytes at all, in both files.
  ASSERT_EQ(saveBmp8BPP(dir.file("e.bmp").c_str(), nullptr, 0, 3), 1);
  EXPECT_EQ(read_file(dir.file("e.bmp")).size(), 1078u);
  PBYTE none = static_cast<PBYTE>(malloc(1));
  ASSERT_EQ(saveBmp1BPP(dir.file("f.bmp").c_str(), none, 0, 3), 1);
  free(none);
  EXPECT_EQ(read_file(dir.file("f.bmp")).size(), 62u);

  // 1-bit rows: widths up to 32 store 4 bytes, 33 stores 8; a row with no
  // dots is all 0xFF, a full row of 16 dots is 00 00 FF FF.
  const Bytes rows16 = {0x00, 0x00, 0xFF, 0xFF};
  ASSERT_EQ(saveBmp1BPP(dir.file("g.bmp").c_str(), rows16.data(), 16, 2), 1);
  std::string g = read_file(dir.file("g.bmp"));
  EXPECT_EQ(Bytes(g.begin() + 62, g.end()),
            (Bytes{0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  const Bytes wide(5 * 3, 0);
  ASSERT_EQ(saveBmp1BPP(dir.file("h.bmp").c_str(), wide.data(), 33, 3), 1);
  EXPECT_EQ(read_file(dir.file("h.bmp")).size(), 62u + 8 * 3);
  ASSERT_EQ(saveBmp1BPP(dir.file("i.bmp").c_str(), wide.data(), 32, 3), 1);
  EXPECT_EQ(read_file(dir.file("i.bmp")).size(), 62u + 4 * 3);
}

TEST(DumpWriters, FilesAreReplacedAndNeverReachedThroughLinks)
{
  TempDir dir;

  // A longer old file is replaced whole.
  const std::string path = dir.file("PageData.gz");
  const Bytes       data = {1, 2, 3};
  ASSERT_EQ(savePrintData(path.c_str(), Bytes(5000, 7).data(), 5000), 1);
  ASSERT_EQ(savePrintData(path.c_str(), data.data(), 3), 1);
  EXPECT_EQ(read_file(path), std::string("\x01\x02\x03", 3));

  // Size 0 gives an empty file.
  ASSERT_EQ(savePrintData(path.c_str(), data.data(), 0), 1);
  EXPECT_EQ(read_file(path), "");

  // A folder that does not exist: result 0, nothing made.
  EXPECT_EQ(savePrintData(dir.file("missing/x.gz").c_str(), data.data(), 3), 0);
  EXPECT_EQ(saveBmp8BPP(dir.file("missing/x.bmp").c_str(), data.data(), 3, 1), 0);
  struct stat info;
  EXPECT_NE(stat(dir.file("missing").c_str(), &info), 0);

  // A symbolic link at the file name is not followed.
  const std::string target = dir.file("precious");
  const std::string link   = dir.file("page8bpp.bmp");
  ASSERT_EQ(savePrintData(target.c_str(), data.data(), 3), 1);
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(saveBmp8BPP(link.c_str(), data.data(), 3, 1), 0);
  EXPECT_EQ(saveBmp1BPP(link.c_str(), data.data(), 3, 1), 0);
  EXPECT_EQ(savePrintData(link.c_str(), data.data(), 1), 0);
  EXPECT_EQ(read_file(target), std::string("\x01\x02\x03", 3));

  // A FIFO is refused without blocking.
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(savePrintData(fifo.c_str(), data.data(), 3), 0);
}
