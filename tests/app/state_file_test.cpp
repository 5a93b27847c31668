// SPDX-License-Identifier: Apache-2.0
//
// The Printer Application's state file around PAPPL's lines: a whole file
// loads as it was saved; no file cut short or damaged anywhere loads (a
// line appended after the check that was cut short is dropped, the rest
// loads); a file of PAPPL's own format loads when whole; loading restarts
// a job that was printing and completes one the printer had taken; saving
// marks the jobs the printer has taken completed until PAPPL has them; why
// a job was canceled or aborted is kept.
//

#include "state_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace pelna_app;

namespace {

// PAPPL's lines for two printers, as papplSystemSaveState writes them: a
// job of each state the app changes, and names that need escaping.
const std::string kPapplLines =
    "UUID urn:uuid:0123\n"
    "<Printer id=\"1\" name=\"p203\" did=\"\" uri=\"socket://127.0.0.1:9100\" driver=\"pelna_203\">\n"
    "MaxCompletedJobs 50\n"
    "Job created=\"1700000000\" filename=\"/spool/p00001j000000007-a.prn\" format=\"application/octet-stream\" "
    "id=\"7\" name=\"a\" state=\"9\" username=\"u\"\n"
    "Job created=\"1700000001\" filename=\"/spool/p00001j000000008-b.prn\" format=\"image/png\" id=\"8\" "
    "name=\"b\" processing=\"1700000002\" state=\"5\" username=\"u\"\n"
    "Job created=\"1700000003\" filename=\"/spool/p00001j000000009-c.prn\" format=\"image/png\" id=\"9\" "
    "name=\"c \\\"quoted\\\" \\\\ name\" state=\"3\" username=\"u\"\n"
    "</Printer>\n"
    "<Printer id=\"2\" name=\"the \\\"other\\\" one\" did=\"\" uri=\"file:///tmp\" driver=\"pelna_300\">\n"
    "Job created=\"1700000004\" id=\"8\" name=\"d\" state=\"5\" username=\"u\"\n"
    "</Printer>\n";

//
// 'job_field()' - The value of a field in the Job line of a job, or "".
//

std::string
job_field(const std::string &contents,  // I - State file contents
          const std::string &line_start, // I - Text the Job line holds (its id)
          const std::string &name)       // I - Field name
{
  const std::size_t at = contents.find(line_start);

  if (at == std::string::npos)
    return "";

  const std::size_t line_begin = contents.rfind('\n', at) + 1, line_end = contents.find('\n', at);
  const std::string line       = contents.substr(line_begin, line_end - line_begin);
  const std::size_t value      = line.find(" " + name + "=\"");

  if (value == std::string::npos)
    return "";

  const std::size_t from = value + name.size() + 3;
  return line.substr(from, line.find('"', from) - from);
}

} // namespace

//
// A saved file loads whole, as saved; every cut or damaged copy of it is
// refused with a reason, but one whose cut falls in lines appended after
// the check, which loads without the cut line.
//

TEST(StateFile, OnlyAWholeFileLoads)
{
  const std::string file = state_file(kPapplLines, {"the \"other\" one"});
  StateCheck        check = check_state(file);

  ASSERT_TRUE(check.whole) << check.why;
  EXPECT_TRUE(check.journal.empty());
  EXPECT_EQ(plan_load(check.body, check.journal).paused, std::vector<std::string>{"the \"other\" one"});

  for (std::size_t size = 0; size < file.size(); size++)
  {
    const StateCheck cut = check_state(file.substr(0, size));
    EXPECT_FALSE(cut.whole) << "a file cut at byte " << size << " loads";
    EXPECT_FALSE(cut.why.empty());
  }
  for (std::size_t at = 0; at < file.size(); at += 7)
  {
    std::string damaged = file;
    damaged[at]         = static_cast<char>(damaged[at] ^ 0x20);
    EXPECT_FALSE(check_state(damaged).whole) << "a file with byte " << at << " changed loads";
  }

  const std::string line = event_line(JobEvent::Printed, "p203", 8, 1700000009);
  const std::string more = file + line + event_line(JobEvent::Printed, "the \"other\" one", 8, 1700000010);
  for (std::size_t size = file.size(); size <= more.size(); size++)
  {
    check = check_state(more.substr(0, size));
    ASSERT_TRUE(check.whole) << "a cut appended line makes the file refused at byte " << size;
    const std::size_t whole_lines = size >= file.size() + line.size() ? (size == more.size() ? 2 : 1) : 0;
    EXPECT_EQ(plan_load(check.body, check.journal).printed.size(), whole_lines) << "at byte " << size;
  }
}

//
// A file of PAPPL's own format (an earlier version's) loads when whole;
// an empty file, a foreign one and one cut inside a printer are refused.
//

TEST(StateFile, PapplsOwnFormatLoadsWhenWhole)
{
  const StateCheck legacy = check_state(kPapplLines);
  ASSERT_TRUE(legacy.whole) << legacy.why;
  EXPECT_EQ(plan_load(legacy.body, legacy.journal).contents.find("# pelna"), std::string::npos);

  EXPECT_FALSE(check_state("").whole);
  EXPECT_FALSE(check_state("\x89PNG\r\n\x1a\n").whole);
  EXPECT_FALSE(check_state("hello\n").whole);
  const std::size_t inside = kPapplLines.find("Job ");
  EXPECT_FALSE(check_state(kPapplLines.substr(0, kPapplLines.find('\n', inside) + 1)).whole);
  EXPECT_FALSE(check_state(kPapplLines.substr(0, kPapplLines.size() - 3)).whole);
}

//
// Loading: a job that was printing waits to print again from its first
// page, unless the printer had taken it (then it is completed, when it
// did); ended and waiting jobs stay as they were; every job's spool file
// is named; PAPPL gets its own lines only, escaped as it wrote them.
//

TEST(StateFile, LoadingRestartsOrCompletesThePrintingJob)
{
  const std::string file  = state_file(kPapplLines, {}) +
                           event_line(JobEvent::Printed, "the \"other\" one", 8, 1700000099);
  const StateCheck  check = check_state(file);
  ASSERT_TRUE(check.whole) << check.why;

  const LoadPlan plan = plan_load(check.body, check.journal);
  EXPECT_EQ(plan.restarted, std::vector<int>{8});  // p203's job 8
  EXPECT_EQ(plan.printed, std::vector<int>{8});    // the other printer's job 8
  EXPECT_EQ(plan.files.size(), 3u);
  EXPECT_TRUE(plan.files.contains("/spool/p00001j000000008-b.prn"));
  EXPECT_EQ(plan.contents.find("# pelna"), std::string::npos);

  EXPECT_EQ(job_field(plan.contents, "id=\"8\" name=\"b\"", "state"), "3");
  EXPECT_EQ(job_field(plan.contents, "id=\"8\" name=\"d\"", "state"), "9");
  EXPECT_EQ(job_field(plan.contents, "id=\"8\" name=\"d\"", "completed"), "1700000099");
  EXPECT_EQ(job_field(plan.contents, "id=\"7\"", "state"), "9");
  EXPECT_EQ(job_field(plan.contents, "id=\"9\"", "state"), "3");
  EXPECT_NE(plan.contents.find("name=\"c \\\"quoted\\\" \\\\ name\""), std::string::npos);
}

//
// What became of a job on its way to the printer, the later note deciding:
// taken whole, the job is completed; its last bytes on their way, it is
// known as such and waits again; not taken after all, it waits again.
//

TEST(StateFile, TheLastNoteOfAJobDecides)
{
  const std::string base = state_file(kPapplLines, {});
  const auto        plan = [&](std::initializer_list<JobEvent> events) {
    std::string file = base;
    for (JobEvent event : events)
      file += event_line(event, "p203", 8, 1700000077);
    const StateCheck check = check_state(file);
    EXPECT_TRUE(check.whole) << check.why;
    return plan_load(check.body, check.journal);
  };

  // (The other printer's job 8 was printing, and is restarted each time.)
  LoadPlan p = plan({JobEvent::Sending});
  EXPECT_EQ(p.unsure, std::vector<int>{8});
  EXPECT_EQ(p.restarted, std::vector<int>{8});
  EXPECT_EQ(job_field(p.contents, "id=\"8\" name=\"b\"", "state"), "3");

  p = plan({JobEvent::Sending, JobEvent::Printed});
  EXPECT_EQ(p.printed, std::vector<int>{8});
  EXPECT_TRUE(p.unsure.empty());
  EXPECT_EQ(job_field(p.contents, "id=\"8\" name=\"b\"", "state"), "9");

  p = plan({JobEvent::Sending, JobEvent::Printed, JobEvent::Unprinted});
  EXPECT_TRUE(p.printed.empty());
  EXPECT_TRUE(p.unsure.empty());
  EXPECT_EQ(p.restarted, (std::vector<int>{8, 8}));
  EXPECT_EQ(job_field(p.contents, "id=\"8\" name=\"b\"", "state"), "3");
}

//
// Saving: a job the printer has taken is written completed while PAPPL
// still has it printing; its note goes once PAPPL has it ended, or no
// longer knows it.
//

TEST(StateFile, SavingMarksPrintedJobsUntilPapplHasThem)
{
  PrintedJobs printed{{{"p203", 8}, 1700000050}, {{"p203", 7}, 1700000040}, {{"p203", 99}, 1700000060}};
  const std::string marked = mark_printed(kPapplLines, printed);

  EXPECT_EQ(job_field(marked, "id=\"8\" name=\"b\"", "state"), "9");
  EXPECT_EQ(job_field(marked, "id=\"8\" name=\"b\"", "completed"), "1700000050");
  EXPECT_EQ(job_field(marked, "id=\"8\" name=\"d\"", "state"), "5");  // the other printer's job 8
  EXPECT_EQ(printed.size(), 1u);                                       // 7 ended, 99 gone
  EXPECT_TRUE(printed.contains({"p203", 8}));

  // Lines of jobs not printed are PAPPL's as written.
  EXPECT_NE(marked.find(kPapplLines.substr(kPapplLines.find("Job created=\"1700000003\""), 120)), std::string::npos);
}

//
// Why a job was canceled or aborted survives a save and a load: the message
// goes into its Job line and comes back out before PAPPL reads the lines.
// Only an ended job that was canceled or aborted keeps one.
//

TEST(StateFile, WhyAJobEndedSurvivesARestart)
{
  const std::string lines = kPapplLines + "<Printer id=\"3\" name=\"p3\" did=\"\" uri=\"file:///tmp\" driver=\"pelna_203\">\n"
                                          "Job created=\"1700000005\" id=\"10\" name=\"e\" state=\"8\" username=\"u\"\n"
                                          "Job created=\"1700000006\" id=\"11\" name=\"f\" state=\"7\" username=\"u\"\n"
                                          "</Printer>\n";
  const JobMessages messages{{{"p3", 10}, "The PDF file is encrypted; \"send\" it \\ unlocked."},
                             {{"p3", 11}, "The job's settings\nwere cut short."},
                             {{"p203", 7}, "completed: not kept"},
                             {{"p203", 9}, "pending: not kept"},
                             {{"p203", 11}, "no such job here"}};
  const std::string saved = state_file(add_messages(lines, messages), {});
  const StateCheck  check = check_state(saved);

  ASSERT_TRUE(check.whole) << check.why;
  const LoadPlan plan = plan_load(check.body, check.journal);

  EXPECT_EQ(plan.messages,
            (JobMessages{{{"p3", 10}, messages.at({"p3", 10})}, {{"p3", 11}, "The job's settings were cut short."}}));
  EXPECT_EQ(plan.contents.find("message="), std::string::npos);
  EXPECT_EQ(job_field(plan.contents, "id=\"10\"", "state"), "8");

  // Nothing to add: PAPPL's lines as they were.
  EXPECT_EQ(add_messages(kPapplLines, {}), kPapplLines);
  EXPECT_EQ(add_messages(kPapplLines, {{{"p203", 7}, "completed"}}), kPapplLines);
}
