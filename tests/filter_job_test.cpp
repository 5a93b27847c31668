// SPDX-License-Identifier: Apache-2.0
//
// The built filter run as the printing system runs it: command line, PPD,
// raster input, page frames out, log lines, exit status.
//
// Pages whose content is checked go through the PPD without halftoning
// options, so the stream carries the page bytes as they were read.
//

#include "pelna_format.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace pelna_test;

namespace {

std::uint8_t
pattern(unsigned x, unsigned y)
{
  return static_cast<std::uint8_t>(x * 13 + y * 7);
}

// The command stream expected for a page that was not halftoned: the first
// ceil(width / 8) x height bytes of the page taken as packed rows.
Bytes
unhalftoned_stream(const TestPage &page, std::uint8_t pageMark)
{
  const unsigned w = (page.header.cupsWidth + 7) / 8;
  const unsigned h = page.header.cupsHeight;
  Bytes          s = {0x1F, 0x19, 0x03, 0x00, 0x07,
                      static_cast<std::uint8_t>(page.header.cupsWidth & 0xFF),
                      static_cast<std::uint8_t>(page.header.cupsWidth >> 8)};

  for (unsigned y = 0; y < h; y ++)
  {
    s.insert(s.end(), {0x1F, 0x10, static_cast<std::uint8_t>(w & 0xFF),
                       static_cast<std::uint8_t>(w >> 8)});
    s.insert(s.end(), page.pixels.begin() + y * w, page.pixels.begin() + (y + 1) * w);
  }
  s.insert(s.end(), {0x1F, 0x19, 0x02, 0x00, 0x08, pageMark, 0x1D, 0x98});
  return s;
}

std::vector<Bytes>
frames_of(const FilterRun &run)
{
  bool ok = false;
  auto frames = split_frames(run.out, ok);

  EXPECT_TRUE(ok) << "standard output is not a sequence of whole frames";
  return frames;
}

TestPage
one_bit_page(unsigned width, unsigned height)
{
  TestPage page = flat_page(width, height, 0);

  page.header.cupsBitsPerColor = 1;
  page.header.cupsBitsPerPixel = 1;
  page.header.cupsBytesPerLine = (width + 7) / 8;
  page.pixels.assign(static_cast<size_t>(page.header.cupsBytesPerLine) * height, 0x55);
  return page;
}

} // namespace

TEST(FilterJob, CommandLineAndStartUpFailures)
{
  const std::string raster = raster_stream({flat_page(16, 2, 255)});

  // Five or eight arguments: the usage line, nothing printed.
  for (size_t count : {4u, 7u})
  {
    std::vector<std::string> args = job_args();
    args.resize(count, "x");
    const FilterRun run = run_filter(args, &raster, test_ppd());

    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.out.empty());
    EXPECT_EQ(run.log, "ERROR: rastertopelna job-id user title copies options [file]\n");
  }

  // A raster file that is not there: standard error, not the log.
  std::vector<std::string> args = job_args();
  args.push_back("/nonexistent/raster.ras");
  FilterRun run = run_filter(args, nullptr, test_ppd());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Unable to open raster file"), std::string::npos) << run.err;
  EXPECT_EQ(run.log.find("Unable to open"), std::string::npos);
  EXPECT_TRUE(run.out.empty());

  // No PPD.
  run = run_filter(job_args(), &raster, "/nonexistent/printer.ppd");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out.empty());
  EXPECT_EQ(log_lines(run.log, "ERROR"),
            std::vector<std::string>{"The PPD file could not be opened."});
  ASSERT_EQ(log_lines(run.log, "DEBUG").size(), 1u);
  EXPECT_NE(log_lines(run.log, "DEBUG")[0].find(" on line "), std::string::npos);

  // No pages: an empty input, and a raster stream that holds none.
  for (const std::string &input : {std::string(), raster_stream({})})
  {
    run = run_filter(job_args(), &input, test_ppd());
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.out.empty());
    EXPECT_EQ(log_lines(run.log, "ERROR"), std::vector<std::string>{"No pages were found."});
  }

  // Something that is not a raster stream at all.
  const std::string junk = "%!PS-Adobe-3.0\nshowpage\n";
  run = run_filter(job_args(), &junk, test_ppd());
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(mentions(log_lines(run.log, "ERROR"), "not a CUPS raster stream"));
}

TEST(FilterJob, ThreePagesGiveThreeFramesInOrder)
{
  const std::vector<TestPage> pages = {gray_page(10, 2, pattern), gray_page(576, 40, pattern),
                                       gray_page(203, 7, pattern)};
  const std::string           raster = raster_stream(pages);

  // From standard input and from a named file, uncompressed and compressed.
  for (int variant = 0; variant < 3; variant ++)
  {
    SCOPED_TRACE("variant " + std::to_string(variant));
    FilterRun run;

    if (variant == 0)
      run = run_filter(job_args("PageMark=PageMarkBlack"), &raster, test_ppd("pelna-bare.ppd"));
    else if (variant == 1)
    {
      const std::string        path = temp_file(raster);
      std::vector<std::string> args = job_args();
      args.push_back(path);
      run = run_filter(args, nullptr, test_ppd("pelna-bare.ppd"));
      remove_file(path);
    }
    else
    {
      const std::string compressed = raster_stream(pages, CUPS_RASTER_WRITE_COMPRESSED);
      run = run_filter(job_args(), &compressed, test_ppd("pelna-bare.ppd"));
    }

    EXPECT_EQ(run.status, 0) << run.log;
    const auto frames = frames_of(run);
    ASSERT_EQ(frames.size(), 3u);
    for (size_t i = 0; i < 3; i ++)
      EXPECT_TRUE(frame_stream(frames[i]) == unhalftoned_stream(pages[i], 0)) << "page " << i + 1;

    EXPECT_EQ(log_lines(run.log, "INFO"),
              (std::vector<std::string>{"Starting page 1.", "Finished page 1.",
                                        "Starting page 2.", "Finished page 2.",
                                        "Starting page 3.", "Finished page 3."}));
    EXPECT_TRUE(log_lines(run.log, "ERROR").empty());
  }

  // The page header is reported, and the page mark is logged per page.
  const FilterRun run = run_filter(job_args("PageMark=PageMarkBlack Halftone=none"), &raster,
                                   test_ppd());
  const auto debug = log_lines(run.log, "DEBUG");
  ASSERT_GE(debug.size(), 19u);
  EXPECT_EQ(debug[0], "StartPage...");
  EXPECT_TRUE(mentions(debug, "HWResolution = [ 203 203 ]"));
  EXPECT_TRUE(mentions(debug, "cupsWidth = 576"));
  EXPECT_TRUE(mentions(debug, "cupsBytesPerLine = 203"));
  EXPECT_EQ(log_lines(run.log, "INFO")[1], "PageMark=PageMarkBlack");
}

TEST(FilterJob, RefusedPageBetweenTwoGoodOnes)
{
  std::vector<TestPage> bad;

  bad.push_back(one_bit_page(64, 10));
  bad.push_back(flat_page(70000, 1, 0));  // wider than the format
  {
    TestPage page = flat_page(16, 4, 0);  // rows not one byte per pixel
    page.header.cupsBytesPerLine = 20;
    page.pixels.resize(80, 0);
    bad.push_back(page);
  }

  for (const TestPage &refused : bad)
  {
    const std::vector<TestPage> pages = {gray_page(24, 3, pattern), refused,
                                         gray_page(40, 5, pattern)};
    const std::string           raster = raster_stream(pages);
    const FilterRun run = run_filter(job_args(), &raster, test_ppd("pelna-bare.ppd"));

    EXPECT_EQ(run.status, 1);
    const auto frames = frames_of(run);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frame_stream(frames[0]) == unhalftoned_stream(pages[0], 0));
    EXPECT_TRUE(frame_stream(frames[1]) == unhalftoned_stream(pages[2], 0));

    const auto errors = log_lines(run.log, "ERROR");
    ASSERT_EQ(errors.size(), 1u) << run.log;
    EXPECT_EQ(errors[0].rfind("Page 2 cannot be printed: ", 0), 0u) << errors[0];
    EXPECT_TRUE(mentions(log_lines(run.log, "INFO"), "Finished page 3."));
    EXPECT_FALSE(mentions(log_lines(run.log, "INFO"), "Finished page 2."));
  }
}

TEST(FilterJob, LostPagesAndDamagedStreamsFailTheJob)
{
  const std::vector<TestPage> pages = {gray_page(32, 4, pattern), gray_page(32, 50, pattern)};

  for (cups_mode_t mode : {CUPS_RASTER_WRITE, CUPS_RASTER_WRITE_COMPRESSED})
  {
    const std::string raster = raster_stream(pages, mode);

    // Cut inside the pixels of page 2: page 1 printed, page 2 lost.
    const std::string cut = raster.substr(0, raster.size() - 100);
    FilterRun         run = run_filter(job_args(), &cut, test_ppd("pelna-bare.ppd"));

    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(frames_of(run).size(), 1u);
    EXPECT_TRUE(mentions(log_lines(run.log, "ERROR"), "Page 2 is lost"));

    // Garbage where the third page header would be.
    const std::string damaged = raster + std::string(2000, '\x7F');
    run = run_filter(job_args(), &damaged, test_ppd("pelna-bare.ppd"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(frames_of(run).size(), 2u);
    EXPECT_TRUE(mentions(log_lines(run.log, "ERROR"), "damaged after page 2"));
  }
}

TEST(FilterJob, UnwritableOutputFailsTheJob)
{
  const std::string raster = raster_stream({flat_page(16, 2, 255), flat_page(16, 2, 0)});
  const FilterRun   run = run_filter(job_args(), &raster, test_ppd(), "/dev/full");

  EXPECT_EQ(run.status, 1);
  const auto errors = log_lines(run.log, "ERROR");
  ASSERT_EQ(errors.size(), 1u) << run.log;
  EXPECT_EQ(errors[0].rfind("Page 1 could not be sent to the printer", 0), 0u) << errors[0];
}

TEST(FilterJob, LogPathSymlinkIsNotFollowed)
{
  const std::string target = temp_file("precious\n");
  const std::string raster = raster_stream({flat_page(8, 1, 255)});

  unlink(pelna::kLogPath);
  ASSERT_EQ(symlink(target.c_str(), pelna::kLogPath), 0);

  const FilterRun run = run_filter(job_args(), &raster, test_ppd());

  EXPECT_EQ(run.status, 0) << "the job runs on without a log";
  EXPECT_EQ(read_file(target), "precious\n");
  unlink(pelna::kLogPath);
  remove_file(target);

  // A second job overwrites the log of the first.
  run_filter(job_args(), &raster, test_ppd());
  const std::string bad = raster_stream({});
  const FilterRun   second = run_filter(job_args(), &bad, test_ppd());
  EXPECT_EQ(second.log, "ERROR: No pages were found.\n");
}

TEST(FilterJob, TerminationFinishesThePageUnderWay)
{
  const std::vector<TestPage> pages = {gray_page(64, 30, pattern), gray_page(64, 30, pattern),
                                       gray_page(64, 30, pattern)};
  const std::string raster = raster_stream(pages);
  const size_t      pageBytes = 1796 + 64 * 30;
  int               in[2], out[2];

  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);

  pid_t pid = fork();
  if (pid == 0)
  {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    setenv("PPD", test_ppd("pelna-bare.ppd").c_str(), 1);
    execl(PELNA_FILTER_PATH, "rastertopelna", "1", "tester", "title", "1", "", nullptr);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);

  // Page 1 whole and half of page 2; wait for the first frame.
  const size_t firstPart = 4 + pageBytes + pageBytes / 2;
  ASSERT_EQ(write(in[1], raster.data(), firstPart), static_cast<ssize_t>(firstPart));

  std::string output;
  char        chunk[4096];
  struct pollfd pfd = {out[0], POLLIN, 0};
  while (output.size() < pelna::kFrameOverhead ||
         output.size() < get_le32(reinterpret_cast<const std::uint8_t *>(output.data()) + 4))
  {
    ASSERT_GT(poll(&pfd, 1, 10000), 0) << "no first frame";
    const ssize_t n = read(out[0], chunk, sizeof(chunk));
    ASSERT_GT(n, 0);
    output.append(chunk, static_cast<size_t>(n));
  }

  // SIGTERM while page 2 is being read (its start is logged once the filter
  // is past the check between pages), then the rest of the job.
  for (int tries = 0; read_file(pelna::kLogPath).find("Starting page 2.") == std::string::npos;
       tries ++)
  {
    ASSERT_LT(tries, 1000) << "page 2 never started";
    usleep(10000);
  }
  kill(pid, SIGTERM);
  usleep(100000);
  const size_t rest = raster.size() - firstPart;
  signal(SIGPIPE, SIG_IGN);
  (void)!write(in[1], raster.data() + firstPart, rest);
  close(in[1]);

  ssize_t n;
  while ((n = read(out[0], chunk, sizeof(chunk))) > 0)
    output.append(chunk, static_cast<size_t>(n));
  close(out[0]);

  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), 0);

  FilterRun run;
  run.out = output;
  const auto frames = frames_of(run);
  ASSERT_EQ(frames.size(), 2u) << "page 2 is finished, page 3 never read";
  EXPECT_TRUE(frame_stream(frames[1]) == unhalftoned_stream(pages[1], 0));
}

TEST(FilterJob, CutStreamsNeverPassForWhole)
{
  // A two-page job cut short at many offsets, around the page boundaries
  // densely: every whole page before the cut is printed, and the job ends
  // with status 0 only when the cut falls exactly between pages.
  const std::vector<TestPage> pages = {gray_page(16, 3, pattern), gray_page(16, 3, pattern)};

  for (cups_mode_t mode : {CUPS_RASTER_WRITE, CUPS_RASTER_WRITE_COMPRESSED})
  {
    const std::string raster = raster_stream(pages, mode);
    const size_t      firstEnd = raster_stream({pages[0]}, mode).size();
    std::vector<size_t> cuts;

    for (size_t k = 0; k < raster.size(); k += 37)
      cuts.push_back(k);
    for (size_t k = 0; k < 40; k ++)
    {
      cuts.push_back(firstEnd - 20 + k);
      cuts.push_back(firstEnd + 1796 - 20 + k);
      cuts.push_back(raster.size() - 1 - k);
    }

    for (size_t cut : cuts)
    {
      const std::string input  = raster.substr(0, cut);
      const FilterRun   run    = run_filter(job_args(), &input, test_ppd("pelna-bare.ppd"));
      const size_t      whole  = cut >= firstEnd ? 1 : 0;
      const int         status = cut == firstEnd ? 0 : 1;

      SCOPED_TRACE("mode " + std::to_string(mode) + ", cut at " + std::to_string(cut));
      EXPECT_EQ(run.status, status) << run.log;
      EXPECT_EQ(frames_of(run).size(), whole);
    }
  }
}
