// SPDX-License-Identifier: Apache-2.0
//
// Helpers of the pelna-inspect tests; see frames.h.
//

#include "frames.h"
#include "pelna.h"

#include <zlib.h>

#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

using namespace pelna;

namespace inspect_test {

namespace {

// A PPD with nothing but the page-mark option the filter reads.
constexpr const char *kMarkPpd =
  "*PPD-Adobe: \"4.3\"\n"
  "*FormatVersion: \"4.3\"\n"
  "*FileVersion: \"1.0\"\n"
  "*LanguageVersion: English\n"
  "*LanguageEncoding: ISOLatin1\n"
  "*PCFileName: \"INSPTEST.PPD\"\n"
  "*Manufacturer: \"Test\"\n"
  "*Product: \"(Test)\"\n"
  "*ModelName: \"Test\"\n"
  "*ShortNickName: \"Test\"\n"
  "*NickName: \"Test\"\n"
  "*OpenUI *PageMark/Media Mark: PickOne\n"
  "*OrderDependency: 20 AnySetup *PageMark\n"
  "*DefaultPageMark: PageMarkNone\n"
  "*PageMark PageMarkNone/Continuous: \"\"\n"
  "*PageMark PageMarkLabel/Labels: \"\"\n"
  "*PageMark PageMarkBlack/Black Mark: \"\"\n"
  "*CloseUI: *PageMark\n";

//
// 'put_le16()' - Append a 16-bit value low byte first.
//

void
put_le16(Bytes &out, std::uint16_t value)
{
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

} // namespace

//
// 'random_page()' - Packed rows of random dots, padding bits 0.
//

Bytes
random_page(unsigned width, unsigned rows, unsigned seed)
{
  std::mt19937      gen(seed);
  const std::size_t R = row_bytes(width);
  Bytes             packed(R * rows);

  for (std::size_t i = 0; i < packed.size(); i ++)
    packed[i] = static_cast<std::uint8_t>(gen());
  if (width % 8)
    for (unsigned y = 0; y < rows; y ++)
      packed[y * R + R - 1] &= static_cast<std::uint8_t>(0xFF00 >> (width % 8));

  return packed;
}

//
// 'row_bytes()' - Row bytes of a width.
//

std::size_t
row_bytes(unsigned width)
{
  return (width + 7) / 8;
}

//
// 'black_dots()' - Set dots of a packed page whose padding bits are 0.
//

std::uint64_t
black_dots(const Bytes &packed, unsigned width)
{
  std::uint64_t dots = 0;

  for (std::uint8_t b : packed)   // padding bits are 0 in these pages
    dots += std::popcount(b);
  (void)width;
  return dots;
}

//
// 'put_width()' - Append a page-width command.
//

void
put_width(Bytes &stream, std::uint16_t width)
{
  stream.insert(stream.end(), {0x1F, 0x19, 0x03, 0x00, 0x07});
  put_le16(stream, width);
}

//
// 'put_row()' - Append a raster-row command.
//

void
put_row(Bytes &stream, const Bytes &row)
{
  stream.insert(stream.end(), {0x1F, 0x10});
  put_le16(stream, static_cast<std::uint16_t>(row.size()));
  stream.insert(stream.end(), row.begin(), row.end());
}

//
// 'put_mark()' - Append a page-mark command.
//

void
put_mark(Bytes &stream, std::uint8_t mark)
{
  stream.insert(stream.end(), {0x1F, 0x19, 0x02, 0x00, 0x08, mark});
}

//
// 'put_trailer()' - Append the end-of-page trailer.
//

void
put_trailer(Bytes &stream)
{
  stream.insert(stream.end(), {0x1D, 0x98});
}

//
// 'make_stream()' - Lay out a whole command stream by hand.
//

Bytes
make_stream(std::uint16_t width, const Bytes &packed, unsigned rows, std::uint8_t mark)
{
  const std::size_t R = row_bytes(width);
  Bytes             stream;

  put_width(stream, width);
  for (unsigned y = 0; y < rows; y ++)
    put_row(stream, Bytes(packed.begin() + y * R, packed.begin() + (y + 1) * R));
  put_mark(stream, mark);
  put_trailer(stream);

  return stream;
}

//
// 'frame_around_body()' - Wrap a body in a frame; CRCs over the given stream.
//

Bytes
frame_around_body(const Bytes &body, const Bytes &stream)
{
  Bytes frame = {0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x00, 0xFF};

  frame.insert(frame.end(), body.begin(), body.end());
  frame.resize(frame.size() + 8);
  set_le32(frame, 4, static_cast<std::uint32_t>(frame.size()));
  set_le32(frame, frame.size() - 8,
           static_cast<std::uint32_t>(crc32(0, stream.data(), static_cast<uInt>(stream.size()))));
  fix_frame_crc(frame);

  return frame;
}

//
// 'make_frame()' - Frame a stream with zlib's raw deflate at level 6.
//

Bytes
make_frame(const Bytes &stream)
{
  z_stream z{};
  Bytes    body(deflateBound(&z, stream.size()) + 64);

  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
  body.resize(deflateBound(&z, stream.size()));
  z.next_in   = const_cast<Bytef *>(stream.data());
  z.avail_in  = static_cast<uInt>(stream.size());
  z.next_out  = body.data();
  z.avail_out = static_cast<uInt>(body.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  body.resize(z.total_out);
  deflateEnd(&z);

  return frame_around_body(body, stream);
}

//
// 'fix_frame_crc()' - Recompute the frame CRC over offsets 8 to 13+N.
//

void
fix_frame_crc(Bytes &frame)
{
  const std::size_t end = frame.size() - 4;

  set_le32(frame, end, static_cast<std::uint32_t>(
                           crc32(0, frame.data() + 8, static_cast<uInt>(end - 8))));
}

//
// 'filter_frame()' - A frame made by the filter's own functions.
//

Bytes
filter_frame(unsigned width, unsigned rows, const Bytes &packed, const char *mark)
{
  cups_page_header2_t header;
  ppd_file_t         *ppd = nullptr;
  std::string         ppdPath;

  memset(&header, 0, sizeof(header));
  header.cupsWidth        = width;
  header.cupsHeight       = rows;
  header.cupsBytesPerLine = width;
  header.cupsBitsPerPixel = 8;

  if (mark)
  {
    ppdPath = temp_dir() + "/mark.ppd";
    std::ofstream(ppdPath) << kMarkPpd;
    ppd = ppdOpenFile(ppdPath.c_str());
    EXPECT_NE(ppd, nullptr);
    ppdMarkDefaults(ppd);
    ppdMarkOption(ppd, "PageMark", mark);
  }

  PBYTE buffer = static_cast<PBYTE>(malloc(packed.size() + 1));

  if (!packed.empty())
    memcpy(buffer, packed.data(), packed.size());

  DWORD length = image_buildPrintData(ppd, &header, &buffer);
  Bytes frame;

  EXPECT_GT(length, 0u);
  if (length > 0 && gzip_frame(&buffer, &length))
    frame.assign(buffer, buffer + length);
  else
    ADD_FAILURE() << "the filter made no frame for " << width << " x " << rows;

  free(buffer);
  if (ppd)
  {
    ppdClose(ppd);
    remove_tree(std::filesystem::path(ppdPath).parent_path());
  }

  return frame;
}

//
// 'get_le32()' - Read a 32-bit value stored low byte first.
//

std::uint32_t
get_le32(const Bytes &data, std::size_t at)
{
  return static_cast<std::uint32_t>(data[at]) | static_cast<std::uint32_t>(data[at + 1]) << 8 |
         static_cast<std::uint32_t>(data[at + 2]) << 16 |
         static_cast<std::uint32_t>(data[at + 3]) << 24;
}

//
// 'set_le32()' - Store a 32-bit value low byte first.
//

void
set_le32(Bytes &data, std::size_t at, std::uint32_t value)
{
  for (int i = 0; i < 4; i ++)
    data[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

//
// 'decode()' - Decode with dots and commands kept.
//

inspect::Result
decode(const Bytes &data, std::uint64_t maxStream)
{
  inspect::Options options;

  options.max_stream    = maxStream;
  options.keep_dots     = true;
  options.keep_commands = true;

  return inspect::inspect_bytes(data, options);
}

//
// 'temp_dir()' - Create a fresh temporary folder.
//

std::string
temp_dir()
{
  char path[] = "/tmp/pelna-inspect-test-XXXXXX";

  if (!mkdtemp(path))
  {
    ADD_FAILURE() << "mkdtemp failed";
    return "/tmp";
  }
  return path;
}

//
// 'remove_tree()' - Remove a folder and everything in it.
//

void
remove_tree(const std::string &path)
{
  std::error_code ignored;

  std::filesystem::remove_all(path, ignored);
}

//
// 'read_file()' - Whole contents of a file, empty when missing.
//

std::string
read_file(const std::string &path)
{
  std::ifstream      in(path, std::ios::binary);
  std::ostringstream text;

  text << in.rdbuf();
  return text.str();
}

} // namespace inspect_test
