// SPDX-License-Identifier: Apache-2.0
//
// SIGTERM at random moments of a long job run by the built filter: the job
// stops between pages, the page under way is finished and written whole,
// and the job ends with status 0.  The test reads the frames as a backend
// would, through a small pipe, and signals after a random number of them
// plus a random pause, so the signal finds the filter converting a page or
// blocked writing one.
//

#include "pelna_format.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <random>
#include <unistd.h>

using namespace pelna_test;

namespace {

// Read one whole frame from fd into frame; false at the end of the output.
bool
read_frame(int fd, std::string &frame)
{
  frame.clear();
  if (!read_exactly(fd, frame, pelna::kFrameHeaderSize))
    return false;

  const std::uint32_t length =
      get_le32(reinterpret_cast<const std::uint8_t *>(frame.data()) + pelna::kFrameLengthOffset);
  return length >= pelna::kFrameOverhead && read_exactly(fd, frame, length - pelna::kFrameHeaderSize);
}

std::size_t
count_lines(const std::vector<std::string> &lines, const std::string &prefix)
{
  std::size_t n = 0;
  for (const auto &line : lines)
    n += line.rfind(prefix, 0) == 0;
  return n;
}

} // namespace

TEST(SigtermFaultJob, RandomMomentsOfALongJob)
{
  constexpr unsigned    kPages = 10;
  constexpr int         kRuns  = 24;
  std::vector<TestPage> pages;

  for (unsigned i = 0; i < kPages; i ++)
    pages.push_back(noise_page(576, 160, i + 1));

  const std::string inPath = temp_file(raster_stream(pages));
  const auto        args   = [&] {
    auto a = job_args("Halftone=Dither BlacknessAdjustH=h5");
    a.push_back(inPath);
    return a;
  }();

  // The frames of the whole job, uninterrupted.
  const FilterRun reference = run_filter(args, nullptr, test_ppd());
  bool            whole     = false;
  const auto      expected  = split_frames(reference.out, whole);
  ASSERT_EQ(reference.status, 0);
  ASSERT_EQ(expected.size(), kPages);

  std::mt19937 random(20240611);
  int          midJob = 0;  // runs stopped with pages still to come

  for (int run = 0; run < kRuns; run ++)
  {
    const unsigned framesBefore = random() % (kPages - 1);  // frames read before the signal
    const unsigned pauseUs      = random() % 3000;
    SCOPED_TRACE("run " + std::to_string(run) + ": signal after " +
                 std::to_string(framesBefore) + " frames and " + std::to_string(pauseUs) + " us");

    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    ASSERT_GE(fcntl(pipeEnds[0], F_SETPIPE_SZ, 4096), 0);

    FilterLaunch launch;
    launch.args = args;
    launch.ppd  = test_ppd();
    launch.out  = pipeEnds[1];
    const pid_t pid = spawn_filter(launch);
    close(pipeEnds[1]);

    std::vector<std::string> frames;
    std::string              frame;
    while (frames.size() < framesBefore && read_frame(pipeEnds[0], frame))
      frames.push_back(frame);
    usleep(pauseUs);
    kill(pid, SIGTERM);
    while (read_frame(pipeEnds[0], frame))
      frames.push_back(frame);

    // Nothing but whole frames: no bytes left over after the last one.
    char extra;
    EXPECT_EQ(read(pipeEnds[0], &extra, 1), 0);
    close(pipeEnds[0]);

    const int         status = wait_filter(pid);
    const std::string log    = read_file(pelna::kLogPath);

    for (std::size_t i = 0; i < frames.size() && i < kPages; i ++)
      EXPECT_TRUE(Bytes(frames[i].begin(), frames[i].end()) == expected[i]) << "frame " << i + 1;

    if (frames.empty())
    {
      // Before the first page: killed before the handler was in place, or
      // stopped before a page header was read.
      ASSERT_EQ(framesBefore, 0u);
      EXPECT_TRUE(status == 128 + SIGTERM ||
                  (status == 1 && log_lines(log, "ERROR") ==
                                      std::vector<std::string>{"No pages were found."}))
          << "status " << status << "\n" << log;
      continue;
    }

    // The page under way when the signal came is finished, and no other:
    // the filter cannot be past the page it is blocked writing.  (A signal
    // that lands between two pages leaves none under way.)
    EXPECT_EQ(status, 0) << log;
    EXPECT_GE(frames.size(), framesBefore);
    EXPECT_LE(frames.size(), framesBefore + 1);
    const auto info = log_lines(log, "INFO");
    EXPECT_EQ(count_lines(info, "Starting page "), frames.size()) << log;
    EXPECT_EQ(count_lines(info, "Finished page "), frames.size()) << log;
    EXPECT_TRUE(log_lines(log, "ERROR").empty()) << log;
    midJob += frames.size() < kPages;
  }

  EXPECT_GT(midJob, kRuns / 2) << "the signals should mostly land in the middle of the job";
  remove_file(inPath);
}
