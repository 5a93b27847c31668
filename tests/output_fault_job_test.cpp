// SPDX-License-Identifier: Apache-2.0
//
// Standard output failing under the built filter: a backend that is gone
// before the job starts, one that goes away in the middle of a frame, and
// one whose device is full.  The page that could not be sent is named in an
// "ERROR" line, never reported as finished, no later page is started, and
// the job ends with status 1 rather than by a signal.
//

#include "decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using namespace pelna_test;

namespace {

const char *const kOptions = "Halftone=BW BlacknessAdjustH=h4";

} // namespace

TEST(OutputFaultJob, BackendGoneOrFullBeforeTheFirstFrame)
{
  const std::string raster = raster_stream({noise_page(64, 8, 1), noise_page(64, 8, 2),
                                            noise_page(64, 8, 3)});

  for (const char *where : {"closed pipe", "/dev/full"})
  {
    SCOPED_TRACE(where);
    const std::string inPath = temp_file(raster);
    const std::string logPath = temp_file("");
    FilterLaunch      launch;
    int               pipeEnds[2] = {-1, -1};

    launch.args = job_args(kOptions);
    launch.args.push_back(inPath);
    launch.ppd = test_ppd();
    if (where[0] == '/')
      launch.out = open(where, O_WRONLY | O_CLOEXEC);
    else
    {
      ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
      close(pipeEnds[0]);  // the reader is gone before the job starts
      launch.out = pipeEnds[1];
    }
    ASSERT_GE(launch.out, 0);

    const int status = wait_filter(spawn_filter(launch));
    close(launch.out);
    remove_file(inPath);
    remove_file(logPath);

    const std::string log = read_file(pelna::kLogPath);
    EXPECT_EQ(status, 1) << "not ended by SIGPIPE, not passed for printed";
    const auto errors = log_lines(log, "ERROR");
    ASSERT_EQ(errors.size(), 1u) << log;
    EXPECT_EQ(errors[0].rfind("Page 1 could not be sent to the printer: ", 0), 0u) << errors[0];
    EXPECT_FALSE(mentions(log_lines(log, "INFO"), "Finished page"));
    EXPECT_FALSE(mentions(log_lines(log, "INFO"), "Starting page 2."));
  }
}

TEST(OutputFaultJob, BackendGoesAwayInsideAFrame)
{
  // Frames of about 8 KB through a pipe of 4 KB: once the reader has taken
  // frame 1 and closed its end, frame 2 cannot be complete.
  const std::vector<TestPage> pages = {noise_page(256, 256, 4), noise_page(256, 256, 5),
                                       noise_page(256, 256, 6)};
  const std::string           inPath = temp_file(raster_stream(pages));
  FilterLaunch                launch;
  int                         pipeEnds[2];

  ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
  ASSERT_GE(fcntl(pipeEnds[0], F_SETPIPE_SZ, 4096), 0);
  launch.args = job_args(kOptions);
  launch.args.push_back(inPath);
  launch.ppd = test_ppd();
  launch.out = pipeEnds[1];

  const pid_t pid = spawn_filter(launch);
  close(pipeEnds[1]);

  // Exactly the first frame: its fixed header, then the rest of its length.
  std::string first;
  ASSERT_TRUE(read_exactly(pipeEnds[0], first, pelna::kFrameHeaderSize));
  const std::uint32_t length = get_le32(reinterpret_cast<const std::uint8_t *>(first.data()) +
                                        pelna::kFrameLengthOffset);
  ASSERT_GT(length, 4096u + pelna::kFrameHeaderSize);
  ASSERT_TRUE(read_exactly(pipeEnds[0], first, length - pelna::kFrameHeaderSize));
  close(pipeEnds[0]);

  const int status = wait_filter(pid);
  remove_file(inPath);

  const Bytes frame(first.begin(), first.end());
  EXPECT_TRUE(inspect::inspect_bytes(frame, inspect::Options{}).sound);

  const std::string log = read_file(pelna::kLogPath);
  EXPECT_EQ(status, 1) << log;
  const auto errors = log_lines(log, "ERROR");
  ASSERT_EQ(errors.size(), 1u) << log;
  EXPECT_EQ(errors[0].rfind("Page 2 could not be sent to the printer: ", 0), 0u) << errors[0];
  const auto info = log_lines(log, "INFO");
  EXPECT_TRUE(mentions(info, "Finished page 1."));
  EXPECT_FALSE(mentions(info, "Finished page 2."));
  EXPECT_FALSE(mentions(info, "Starting page 3."));
}
