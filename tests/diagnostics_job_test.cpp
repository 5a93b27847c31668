// SPDX-License-Identifier: Apache-2.0
//
// The diagnostic path of the built filter: with PrintDebug "ON" the gray
// page, the 1-bit page and the page frame are kept in /tmp/pelna_printer,
// and what is printed does not change.
//

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

using namespace pelna_test;

namespace {

const std::string kDumpDir = "/tmp/pelna_printer";

std::uint8_t
pattern(unsigned x, unsigned y)
{
  return static_cast<std::uint8_t>((x * 29 + y * 11) % 256);
}

void
remove_dump_dir()
{
  std::system(("rm -rf " + kDumpDir).c_str());
}

mode_t
mode_of(const std::string &path)
{
  struct stat info;

  return lstat(path.c_str(), &info) ? 0 : info.st_mode & 07777;
}

bool
exists(const std::string &path)
{
  struct stat info;

  return lstat(path.c_str(), &info) == 0;
}

// The packed rows inside a command stream, row after row.
Bytes
stream_rows(const Bytes &stream, unsigned width, unsigned height)
{
  const unsigned w = (width + 7) / 8;
  Bytes          rows;

  for (unsigned y = 0; y < height; y ++)
  {
    const auto row = stream.begin() + 7 + y * (w + 4) + 4;
    rows.insert(rows.end(), row, row + w);
  }
  return rows;
}

// The dots of packed rows as gray values: a dot is 0, no dot 255.
Bytes
dots(const Bytes &rows, unsigned width, unsigned height)
{
  const unsigned w = (width + 7) / 8;
  Bytes          gray;

  for (unsigned y = 0; y < height; y ++)
    for (unsigned x = 0; x < width; x ++)
      gray.push_back((rows[y * w + x / 8] >> (7 - x % 8)) & 1 ? 0 : 255);
  return gray;
}

} // namespace

TEST(DiagnosticsJob, OnlyOnKeepsFilesAndPrintingIsUnchanged)
{
  const std::vector<TestPage> pages = {gray_page(40, 6, pattern), gray_page(100, 9, pattern),
                                       gray_page(61, 13, pattern)};
  const std::string raster = raster_stream(pages);

  remove_dump_dir();
  const FilterRun plain = run_filter(job_args("PrintDebug=OFF Halftone=Dither"), &raster,
                                     test_ppd());
  EXPECT_EQ(plain.status, 0);
  EXPECT_FALSE(exists(kDumpDir)) << "PrintDebug OFF touches nothing";

  // Lower-case "on" and a PPD without the option take the normal path.
  for (const char *ppd : {"pelna-lowercase.ppd", "pelna-bare.ppd"})
  {
    const FilterRun run = run_filter(job_args(), &raster, test_ppd(ppd));
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(exists(kDumpDir)) << ppd;
  }

  // "ON" with the folder missing, under a tight file-creation mask.
  const mode_t oldMask = umask(077);
  const FilterRun debug = run_filter(job_args("PrintDebug=ON Halftone=Dither"), &raster,
                                     test_ppd());
  umask(oldMask);

  EXPECT_EQ(debug.status, 0);
  EXPECT_TRUE(debug.out == plain.out) << "the frames must not change with PrintDebug";
  EXPECT_TRUE(log_lines(debug.log, "ERROR").empty()) << debug.log;
  EXPECT_EQ(mode_of(kDumpDir), 0755u);
  for (const char *name : {"page8bpp.bmp", "page1bpp.bmp", "PageData.gz"})
    EXPECT_EQ(mode_of(kDumpDir + "/" + name), 0755u) << name;

  // The files hold the third page.
  bool       ok = false;
  const auto frames = split_frames(debug.out, ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(frames.size(), 3u);
  const std::string kept = read_file(kDumpDir + "/PageData.gz");
  EXPECT_TRUE(kept == std::string(frames[2].begin(), frames[2].end()));

  const BmpImage gray = read_bmp(read_file(kDumpDir + "/page8bpp.bmp"));
  ASSERT_TRUE(gray.ok);
  EXPECT_EQ(gray.width, 61u);
  EXPECT_TRUE(gray.gray == pages[2].pixels);

  const BmpImage mono = read_bmp(read_file(kDumpDir + "/page1bpp.bmp"));
  ASSERT_TRUE(mono.ok);
  EXPECT_EQ(mono.bits, 1u);
  EXPECT_TRUE(mono.gray == dots(stream_rows(frame_stream(frames[2]), 61, 13), 61, 13));

  remove_dump_dir();
}

TEST(DiagnosticsJob, ExistingFolderKeepsItsModeAndUntouchedPagesDumpAsIs)
{
  const TestPage    page   = gray_page(24, 5, pattern);
  const std::string raster = raster_stream({page});

  remove_dump_dir();
  ASSERT_EQ(mkdir(kDumpDir.c_str(), 0700), 0);

  // No halftoning options: the gray page itself is read as packed rows.
  const FilterRun run = run_filter(job_args(), &raster, test_ppd("pelna-debug.ppd"));

  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(mode_of(kDumpDir), 0700u) << "an existing folder keeps its mode";
  EXPECT_EQ(mode_of(kDumpDir + "/PageData.gz"), 0755u);

  const BmpImage mono = read_bmp(read_file(kDumpDir + "/page1bpp.bmp"));
  ASSERT_TRUE(mono.ok);
  const Bytes asPacked(page.pixels.begin(), page.pixels.begin() + 3 * 5);
  EXPECT_TRUE(mono.gray == dots(asPacked, 24, 5));

  remove_dump_dir();
}

TEST(DiagnosticsJob, UnsafeFolderOrLinksAreNeverUsed)
{
  const std::string raster = raster_stream({gray_page(16, 4, pattern)});
  const FilterRun   plain  = run_filter(job_args(), &raster, test_ppd("pelna-bare.ppd"));
  const std::string target = temp_file("precious\n");

  // A symbolic link planted at a dump file name.
  remove_dump_dir();
  ASSERT_EQ(mkdir(kDumpDir.c_str(), 0755), 0);
  ASSERT_EQ(symlink(target.c_str(), (kDumpDir + "/page8bpp.bmp").c_str()), 0);
  FilterRun run = run_filter(job_args(), &raster, test_ppd("pelna-debug.ppd"));
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.out == plain.out);
  EXPECT_EQ(read_file(target), "precious\n");
  EXPECT_EQ(mode_of(target), 0600u) << "the link's target keeps its mode";
  EXPECT_EQ(log_lines(run.log, "ERROR"),
            std::vector<std::string>{"chmod /tmp/pelna_printer/page8bpp.bmp directory"});

  // A folder that others can write to, or that belongs to another user.
  for (int variant = 0; variant < 2; variant ++)
  {
    remove_dump_dir();
    ASSERT_EQ(mkdir(kDumpDir.c_str(), 0755), 0);
    if (variant == 0)
      ASSERT_EQ(chmod(kDumpDir.c_str(), 0777), 0);
    else if (geteuid() != 0 || chown(kDumpDir.c_str(), 65534, 65534) != 0)
      continue;  // only root can give the folder away

    run = run_filter(job_args(), &raster, test_ppd("pelna-debug.ppd"));
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.out == plain.out) << "printing is never affected";
    EXPECT_FALSE(exists(kDumpDir + "/PageData.gz"));
    const auto errors = log_lines(run.log, "ERROR");
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0].rfind("No diagnostic files are kept in /tmp/pelna_printer: ", 0), 0u)
        << errors[0];
  }

  // A plain file where the folder should be: nothing is made, the three
  // files are reported.
  remove_dump_dir();
  ASSERT_EQ(symlink(target.c_str(), kDumpDir.c_str()), 0);
  run = run_filter(job_args(), &raster, test_ppd("pelna-debug.ppd"));
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.out == plain.out);
  EXPECT_EQ(read_file(target), "precious\n");
  EXPECT_EQ(log_lines(run.log, "ERROR").size(), 4u) << run.log;

  unlink(kDumpDir.c_str());
  remove_file(target);
}
