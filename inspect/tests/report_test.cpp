// SPDX-License-Identifier: Apache-2.0
//
// Reports: the JSON summary, the text lines, the command listing with its
// folded runs, and the exit status of the command-line tool.
//

#include "frames.h"
#include "tool_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>

using namespace inspect;
using namespace inspect_test;

namespace {

//
// 'capture()' - What a report procedure writes, as a string.
//

template <typename Write>
std::string
capture(Write write)
{
  char       *text = nullptr;
  std::size_t size = 0;
  FILE       *fp   = open_memstream(&text, &size);

  write(fp);
  fclose(fp);

  std::string result(text, size);
  free(text);
  return result;
}

//
// 'two_pages()' - A sound page 20 dots wide with page mark 1, then a page
//                 whose frame CRC is wrong.
//

Bytes
two_pages(std::size_t &secondAt)
{
  const Bytes packed = random_page(20, 4, 5);
  Bytes       input  = make_frame(make_stream(20, packed, 4, 1));
  Bytes       bad    = make_frame(make_stream(20, packed, 4, 2));

  secondAt = input.size();
  bad[bad.size() - 1] ^= 0xFF;
  input.insert(input.end(), bad.begin(), bad.end());
  return input;
}

//
// 'run()' - Run a shell command; its exit status.
//

int
run(const std::string &command)
{
  const int status = system(command.c_str());

  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

// The JSON summary has the top-level count and verdict and, per page, the
// width, rows, page mark, verdict, black share, picture and faults.
TEST(Report, JsonSummary)
{
  std::size_t secondAt = 0;
  Result      result   = decode(two_pages(secondAt));

  result.pages[0].picture = "page-0001.png";

  const std::string json = capture([&](FILE *fp) { write_json(fp, result, nullptr); });
  const std::string crcAt = std::to_string(secondAt + result.pages[1].frame_bytes - 4);

  EXPECT_NE(json.find("\"pages\": 2,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"sound\": false,"), std::string::npos);
  EXPECT_NE(json.find("\"width\": 20,"), std::string::npos);
  EXPECT_NE(json.find("\"rows\": 4,"), std::string::npos);
  EXPECT_NE(json.find("\"page_mark\": \"label\","), std::string::npos);
  EXPECT_NE(json.find("\"page_mark\": \"black\","), std::string::npos);
  EXPECT_NE(json.find("\"picture\": \"page-0001.png\""), std::string::npos);
  EXPECT_NE(json.find("\"picture\": null"), std::string::npos);
  EXPECT_NE(json.find("{\"kind\": \"frame-crc\", \"page\": 2, \"where\": \"input\", \"offset\": " +
                      crcAt), std::string::npos);
  EXPECT_EQ(std::count(json.begin(), json.end(), '{'), std::count(json.begin(), json.end(), '}'));
  EXPECT_EQ(std::count(json.begin(), json.end(), '['), std::count(json.begin(), json.end(), ']'));

  JobInfo job;
  job.number = 7;
  job.peer   = "127.0.0.1:4000";
  const Result      empty   = decode(Bytes());
  const std::string jobJson = capture([&](FILE *fp) { write_json(fp, empty, &job); });

  EXPECT_NE(jobJson.find("\"job\": 7,"), std::string::npos) << jobJson;
  EXPECT_NE(jobJson.find("\"ended\": \"end-of-input\","), std::string::npos);
  EXPECT_NE(jobJson.find("\"pages\": 0,"), std::string::npos);
  EXPECT_NE(jobJson.find("\"kind\": \"no-frames\""), std::string::npos);
  EXPECT_NE(jobJson.find("\"page_list\": []"), std::string::npos);
}

// The text line of a page and the command listing, where runs of identical
// rows take one line.
TEST(Report, TextLinesAndCommandListing)
{
  Bytes stream;

  put_width(stream, 16);
  for (int i = 0; i < 3; i ++)
    put_row(stream, {0xFF, 0x00});
  put_row(stream, {0x0F, 0x00});
  put_row(stream, {0x00, 0x00});
  put_row(stream, {0x00, 0x00});
  put_mark(stream, 0);
  put_trailer(stream);

  const Result result = decode(make_frame(stream));
  const Page  &page   = result.pages[0];

  ASSERT_TRUE(result.sound);
  ASSERT_EQ(page.commands.size(), 6u);
  EXPECT_EQ(page.commands[1].row_count, 3u);
  EXPECT_EQ(page.commands[2].first_row, 3u);
  EXPECT_EQ(page.commands[3].first_row, 4u);
  EXPECT_EQ(page.commands[3].row_count, 2u);
  EXPECT_EQ(page.black_dots, 28u);

  const std::string listing = capture([&](FILE *fp) { print_commands(fp, page); });
  EXPECT_NE(listing.find("stream offset 0: page-width 16 dots"), std::string::npos) << listing;
  EXPECT_NE(listing.find("stream offset 7: raster-row 2 bytes, rows 0 to 2 (3 identical)"),
            std::string::npos);
  EXPECT_NE(listing.find("stream offset 25: raster-row 2 bytes, row 3"), std::string::npos);
  EXPECT_NE(listing.find("page-mark 0 (continuous"), std::string::npos);
  EXPECT_NE(listing.find("stream offset 49: end of page"), std::string::npos);

  const std::string line = capture([&](FILE *fp) { print_page(fp, page); });
  EXPECT_NE(line.find("page 1: 16 dots wide, 6 rows, page mark continuous"), std::string::npos)
      << line;
  EXPECT_NE(line.find("stream 51 bytes"), std::string::npos);
  EXPECT_NE(line.find("black 29.17%: sound"), std::string::npos);
}

// The tool's exit status: 0 when every frame is sound, 1 on a fault, 2 on
// a usage or I/O error; pictures land in the folder named.
TEST(Report, CommandLineTool)
{
  const std::string dir  = temp_dir();
  const std::string good = dir + "/good.bin";
  const std::string bad  = dir + "/bad.bin";
  const std::string tool = PELNA_INSPECT_PATH;
  std::size_t       secondAt = 0;
  const Bytes       faulty = two_pages(secondAt);
  const Bytes       sound(faulty.begin(), faulty.begin() + secondAt);

  std::ofstream(good, std::ios::binary).write(reinterpret_cast<const char *>(sound.data()),
                                              static_cast<std::streamsize>(sound.size()));
  std::ofstream(bad, std::ios::binary).write(reinterpret_cast<const char *>(faulty.data()),
                                             static_cast<std::streamsize>(faulty.size()));

  EXPECT_EQ(run(tool + " --png " + dir + "/pictures " + good + " > " + dir + "/out.txt"), 0);
  EXPECT_NE(read_file(dir + "/pictures/page-0001.png").substr(1, 3), "");
  EXPECT_NE(read_file(dir + "/out.txt").find("1 page, "), std::string::npos);

  EXPECT_EQ(run(tool + " --json - < " + bad + " > " + dir + "/out.json"), 1);
  EXPECT_NE(read_file(dir + "/out.json").find("\"kind\": \"frame-crc\""), std::string::npos);

  EXPECT_EQ(run(tool + " --pbm=" + dir + "/pbm --commands " + bad + " > /dev/null"), 1);
  EXPECT_EQ(read_file(dir + "/pbm/page-0002.pbm").substr(0, 8), "P4\n20 4\n");

  EXPECT_EQ(run(tool + " " + dir + "/missing.bin 2> /dev/null"), 2);
  EXPECT_EQ(run(tool + " --max-stream 0 " + good + " 2> /dev/null"), 2);
  EXPECT_EQ(run(tool + " < /dev/null > /dev/null 2>&1"), 2);
  EXPECT_EQ(run(tool + " - < /dev/null > /dev/null"), 1);

  remove_tree(dir);
}
