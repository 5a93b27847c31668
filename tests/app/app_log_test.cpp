// SPDX-License-Identifier: Apache-2.0
//
// The server's log lines as written: every number whole, whatever the C
// library, strings escaped so that no argument starts a line of its own,
// and a '%' in an argument or the format written as it is.
//

#include <pappl/pappl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

//
// 'LogLines' - A PAPPL system (never run) that logs to a file of its own.
//

class LogLines : public ::testing::Test
{
protected:
  void SetUp() override
  {
    char folder[] = "/tmp/pelna-log.XXXXXX";

    ASSERT_NE(mkdtemp(folder), nullptr);
    dir_    = folder;
    system_ = papplSystemCreate(PAPPL_SOPTIONS_NONE, "log test", 0, nullptr, dir_.c_str(),
                                (dir_ + "/server.log").c_str(), PAPPL_LOGLEVEL_DEBUG, nullptr, false);
    ASSERT_NE(system_, nullptr);
  }

  void TearDown() override
  {
    if (system_)
      papplSystemDelete(system_);
    unlink((dir_ + "/server.log").c_str());
    rmdir(dir_.c_str());
  }

  // The message part of the log's last line (after the level and time).
  std::string last_message() const
  {
    std::ifstream file(dir_ + "/server.log");
    std::string   line, last;

    while (std::getline(file, line))
      last = line;
    const std::size_t start = last.find("] ");
    return start == std::string::npos ? last : last.substr(start + 2);
  }

  std::string     dir_;               // the system's folder
  pappl_system_t *system_ = nullptr;  // the system
};

TEST_F(LogLines, NumbersKeepEveryDigit)
{
  papplLog(system_, PAPPL_LOGLEVEL_INFO, "Halftone %s, blackness %d, page mark %d, %u copies.", "threshold", 10, 0,
           20U);
  EXPECT_EQ(last_message(), "Halftone threshold, blackness 10, page mark 0, 20 copies.");

  papplLog(system_, PAPPL_LOGLEVEL_INFO, "%ld|%lld|%zu|%x|%05.1f|%-4d|%*d|%.*s|%c", -1234567890L, 9876543210LL,
           static_cast<std::size_t>(4096), 0xbeefU, 2.5, 7, 3, 42, 3, "abcdef", 'z');
  EXPECT_EQ(last_message(), "-1234567890|9876543210|4096|beef|002.5|7   | 42|abc|z");
}

TEST_F(LogLines, StringsAreEscapedAndPercentSignsKept)
{
  papplLog(system_, PAPPL_LOGLEVEL_ERROR, "Job \"%s\" at 100%%: %s", "a\nE [forged] \"line\"\t\\", "50% done");
  EXPECT_EQ(last_message(), "Job \"a\\nE [forged] \\\"line\\\"\\t\\\\\" at 100%: 50% done");

  papplLog(system_, PAPPL_LOGLEVEL_ERROR, "%s|%s", "\x01\x7f", "\r");
  EXPECT_EQ(last_message(), "\\001\\177|\\r");
}

TEST_F(LogLines, PapplsOwnMessagesToo)
{
  const std::string state = dir_ + "/state";

  std::ofstream(state) << std::string(9, '\n') << "Bogus value\n";
  papplSystemLoadState(system_, state.c_str());
  EXPECT_EQ(last_message(), "Unknown directive 'Bogus' on line 10 of '" + state + "'.");
  unlink(state.c_str());
}

TEST_F(LogLines, LevelsBelowTheSystemsAreLeftOut)
{
  papplSystemSetLogLevel(system_, PAPPL_LOGLEVEL_WARN);
  papplLog(system_, PAPPL_LOGLEVEL_WARN, "kept %d", 1);
  papplLog(system_, PAPPL_LOGLEVEL_INFO, "left out %d", 2);
  EXPECT_EQ(last_message(), "kept 1");
}

} // namespace
