// SPDX-License-Identifier: Apache-2.0
//
// The Printer Application's state file around PAPPL's lines: a whole file
// loads as it was saved; no file cut short or damaged anywhere loads (a
// line appended after the check that was cut short is dropped, the rest
// loads); a file of PAPPL's own format loads when whole; loading restarts
// a job that was printing, completes one the printer had taken, keeps a
// cancel noted after the last save and aborts a waiting job whose document
// is gone; saving marks the jobs the printer has taken completed until
// PAPPL has them; why a job was canceled or aborted is kept; no spool file
// is lost (a job's whole files come back as the job, the rest is kept
// aside) and no job or printer id is given twice.  The journal beside the
// file: its records load as their jobs, with their settings; cut at any
// byte it loads its whole records and nothing of a cut one; it follows one
// state only; its file takes lines whole, and a flush covers every line
// written before it.
//

#include "journal.h"
#include "state_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
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

//
// 'next_id()' - The number of the first line starting with word after
// the text after, or -1.
//

long
next_id(const std::string &contents,  // I - State file contents
        const std::string &after,     // I - Text before the line ("" for the start)
        const std::string &word)      // I - Its first word
{
  const std::size_t at = contents.find("\n" + word + " ", contents.find(after));

  return at == std::string::npos ? -1 : std::stol(contents.substr(at + word.size() + 2));
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
  EXPECT_TRUE(check.own);
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
  EXPECT_FALSE(legacy.own);  // nothing is appended to it
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
// is named, and those of the jobs that wait to print are known; PAPPL gets
// its own lines only, escaped as it wrote them.  A waiting job whose
// document is gone, or never came, is aborted saying why; no other job.
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
  EXPECT_EQ(plan.waiting, (std::set<std::string>{"/spool/p00001j000000008-b.prn", "/spool/p00001j000000009-c.prn"}));

  const std::string lines = plan.contents + "<Printer id=\"3\" name=\"p3\" did=\"\" uri=\"file:///tmp\" driver=\"pelna_203\">\n"
                                            "Job created=\"1700000005\" id=\"12\" name=\"e\" state=\"4\" username=\"u\"\n"
                                            "</Printer>\n";
  JobMessages       ended;
  const std::string loaded = end_without_documents(lines, {"/spool/p00001j000000009-c.prn", "/spool/other"}, 1700000100,
                                                   ended);
  EXPECT_EQ(job_field(loaded, "id=\"9\"", "state"), "8");
  EXPECT_EQ(job_field(loaded, "id=\"9\"", "completed"), "1700000100");
  EXPECT_EQ(job_field(loaded, "id=\"12\"", "state"), "8");
  EXPECT_EQ(job_field(loaded, "id=\"8\" name=\"b\"", "state"), "3");  // its document is there
  EXPECT_EQ(job_field(loaded, "id=\"8\" name=\"d\"", "state"), "9");  // ended: not touched
  ASSERT_EQ(ended.size(), 2u);
  EXPECT_NE(ended.at({"p203", 9}).find("was gone"), std::string::npos);
  EXPECT_NE(ended.at({"p3", 12}).find("had not come"), std::string::npos);
  EXPECT_TRUE(check_state(state_file(loaded, {})).whole);
}

//
// What became of a job since the last save, the later note deciding: taken
// whole, the job is completed; its last bytes on their way, it is known as
// such and waits again; not taken after all, it waits again; canceled, it
// is canceled, when the note says (a job already ended stays as it ended).
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

  p = plan({JobEvent::Sending, JobEvent::Canceled});
  EXPECT_EQ(p.canceled, std::vector<int>{8});
  EXPECT_TRUE(p.unsure.empty());
  EXPECT_EQ(job_field(p.contents, "id=\"8\" name=\"b\"", "state"), "7");
  EXPECT_EQ(job_field(p.contents, "id=\"8\" name=\"b\"", "completed"), "1700000077");
  EXPECT_FALSE(p.waiting.contains("/spool/p00001j000000008-b.prn"));

  const StateCheck check = check_state(base + event_line(JobEvent::Canceled, "p203", 7, 1700000088));
  p                      = plan_load(check.body, check.journal);
  EXPECT_TRUE(p.canceled.empty());
  EXPECT_EQ(job_field(p.contents, "id=\"7\"", "state"), "9");
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

//
// The spool folder's files, by PAPPL's names: a job's settings and its one
// document that no job of the state names come back as the job, in its
// printer's block, as PAPPL writes a Job line (held when it was); every
// other file no job names is kept aside with a reason naming its job;
// settings PAPPL had not finished are removed; files named by the state,
// the settings of the jobs it knows and files kept aside before are left
// alone.  Names PAPPL does not give a job's file are no job's.
//

TEST(StateFile, SpoolFilesNoJobNamesComeBackOrAreKeptAside)
{
  const std::string names[] = {
    "p00001j000000008-b.prn",  "p00001j000000008-b.ipp",  "p00001j000000009-c.pdf",   "p00001j000000012-new.ipp",
    "p00001j000000012-new.png", "p00001j000000013-lost.pwg", "p00001j000000014-x.ipp",   "p00003j000000001-y.ipp",
    "p00003j000000001-y.pwg",  "p00001j000000015-z.ipp.N", "p00001j000000016-w.pwg.orphan", "p00001j000000017-v.ipp",
    "p00001j000000017-v.pwg",  "p00001j000000017-v.pdf",  "p123456j1234567890-big.pwg", "p00001j000000009-c.ipp",
  };
  std::vector<SpoolFile> files(std::size(names));
  for (std::size_t i = 0; i < files.size(); i++)
    ASSERT_TRUE(spool_file("/spool", names[i], files[i])) << names[i];
  EXPECT_EQ(files[4].printer, 1);
  EXPECT_EQ(files[4].job, 12);
  EXPECT_EQ(files[14].printer, 123456);
  EXPECT_EQ(files[14].job, 1234567890);
  EXPECT_EQ(files[3].kind, SpoolKind::Settings);
  EXPECT_EQ(files[9].kind, SpoolKind::Unfinished);
  EXPECT_EQ(files[10].kind, SpoolKind::Aside);
  for (const char *name : {"p0001j000000007-a.prn", "p00001j00000007-a.prn", "p00001j000000007a.prn", "p00000j000000007-a.prn",
                           "p00001j000000000-a.prn", "p00001j9999999999-a.prn", "q00001j000000007-a.prn", "p00001j000000007",
                           "p", ""})
  {
    SpoolFile file;
    EXPECT_FALSE(spool_file("/spool", name, file)) << name;
  }

  const LoadPlan  load = plan_load(kPapplLines, "");
  const SpoolPlan plan = plan_spool(load.contents, load.files, files);
  ASSERT_EQ(plan.whole.size(), 1u);
  EXPECT_EQ(plan.whole[0].first.path, "/spool/p00001j000000012-new.ipp");
  EXPECT_EQ(plan.whole[0].second.path, "/spool/p00001j000000012-new.png");
  EXPECT_EQ(plan.unfinished, std::vector<std::string>{"/spool/p00001j000000015-z.ipp.N"});

  std::map<std::string, std::string> aside(plan.aside.begin(), plan.aside.end());
  EXPECT_EQ(aside.size(), 9u);  // of jobs 9, 13 and 14, both of 3/1, the three of 17, the big one
  EXPECT_NE(aside["/spool/p00001j000000009-c.pdf"].find("job 9 of the state does not name it"), std::string::npos);
  EXPECT_NE(aside["/spool/p00001j000000013-lost.pwg"].find("job 13 has no settings file"), std::string::npos);
  EXPECT_NE(aside["/spool/p00001j000000014-x.ipp"].find("job 14 has no document"), std::string::npos);
  EXPECT_NE(aside["/spool/p00003j000000001-y.pwg"].find("no printer of the state has id 3"), std::string::npos);
  EXPECT_NE(aside["/spool/p00001j000000017-v.ipp"].find("more than one document"), std::string::npos);
  EXPECT_FALSE(aside.contains("/spool/p00001j000000008-b.ipp"));
  EXPECT_FALSE(aside.contains("/spool/p00001j000000009-c.ipp"));  // job 9's, beside a document it does not name

  FoundJob job{1, 12, "new \"one\"", "u", "image/png", "/spool/p00001j000000012-new.png", 1700000200, false, 0};
  FoundJob held{1, 14, "x", "u", "image/pwg-raster", "/spool/p00001j000000014-x.pwg", 1700000201, true, 4194304};
  std::string contents = load.contents;
  ASSERT_TRUE(add_job(contents, job));
  ASSERT_TRUE(add_job(contents, held));
  const std::string before = contents;
  EXPECT_FALSE(add_job(contents, FoundJob{3, 1, "y", "u", "image/pwg-raster", "/spool/y", 0, false, 0}));
  EXPECT_EQ(contents, before);

  const StateCheck check = check_state(state_file(contents, {}));
  ASSERT_TRUE(check.whole) << check.why;
  const LoadPlan again = plan_load(check.body, check.journal);
  EXPECT_TRUE(again.files.contains(job.document));
  EXPECT_TRUE(again.waiting.contains(job.document));
  EXPECT_EQ(job_field(again.contents, "id=\"12\"", "state"), "3");
  EXPECT_EQ(job_field(again.contents, "id=\"12\"", "created"), "1700000200");
  EXPECT_NE(again.contents.find("name=\"new \\\"one\\\"\""), std::string::npos);
  EXPECT_EQ(job_field(again.contents, "id=\"14\"", "state"), "4");
  EXPECT_EQ(job_field(again.contents, "id=\"14\"", "state_reasons"), "4194304");
  EXPECT_LT(again.contents.find("id=\"14\""), again.contents.find("<Printer id=\"2\""));  // in printer 1's block
  EXPECT_TRUE(plan_spool(again.contents, again.files, {files[3], files[4]}).aside.empty());
}

//
// Each printer's next job id comes past every job id of its block and of
// its spool files, and the next printer id past every printer id: raised,
// never lowered, added when missing, and the same when raised again.
//

TEST(StateFile, NoJobOrPrinterIdIsGivenTwice)
{
  std::vector<SpoolFile> files(3);
  ASSERT_TRUE(spool_file("/spool", "p00001j000000020-a.pwg", files[0]));
  ASSERT_TRUE(spool_file("/spool", "p00002j000000003-b.pwg.orphan", files[1]));
  ASSERT_TRUE(spool_file("/spool", "p00005j000000001-c.ipp", files[2]));

  // PAPPL's lines without the lines: added.
  std::string raised = raise_next_ids(kPapplLines, files);
  EXPECT_EQ(next_id(raised, "", "NextPrinterID"), 6);
  EXPECT_LT(raised.find("NextPrinterID"), raised.find("<Printer "));
  EXPECT_EQ(next_id(raised, "name=\"p203\"", "NextJobId"), 21);
  EXPECT_EQ(next_id(raised, "name=\"the \\\"other\\\" one\"", "NextJobId"), 9);  // its job 8
  EXPECT_EQ(raise_next_ids(raised, files), raised);
  EXPECT_TRUE(check_state(raised).whole);

  // With the lines: a number too low is raised, a higher one kept.
  std::string lines = kPapplLines;
  lines.insert(lines.find("<Printer "), "NextPrinterID 9\n");
  lines.insert(lines.find("MaxCompletedJobs"), "NextJobId 5\n");
  lines.insert(lines.find("Job created=\"1700000004\""), "NextJobId 40\n");
  raised = raise_next_ids(lines, files);
  EXPECT_EQ(next_id(raised, "", "NextPrinterID"), 9);
  EXPECT_EQ(next_id(raised, "name=\"p203\"", "NextJobId"), 21);
  EXPECT_EQ(next_id(raised, "name=\"the \\\"other\\\" one\"", "NextJobId"), 40);
  EXPECT_EQ(std::count(raised.begin(), raised.end(), '\n'), std::count(lines.begin(), lines.end(), '\n'));

  // Nothing in the spool folder: past the lines' own ids.
  EXPECT_EQ(next_id(raise_next_ids(kPapplLines, {}), "name=\"p203\"", "NextJobId"), 10);
  EXPECT_EQ(next_id(raise_next_ids(kPapplLines, {}), "", "NextPrinterID"), 3);
}

namespace {

// Settings as PAPPL encodes them: any bytes, a NUL, a line break and quotes
// among them.
const std::string kSettings = std::string("\x02\x00\x00\x00\x00\x00\x00\x01\x02\"B\x00\x08job-name\n\\x\x03", 23);

//
// 'record()' - A job record: a printer, Job line fields, and settings for
// one that waits.
//

JobRecord
record(const std::string &printer,   // I - Printer name
       int                id,        // I - Job id
       int                state,     // I - Job state, as the state file numbers it
       const std::string &settings)  // I - Its settings, or "" for none
{
  JobRecord r;

  r.printer = printer;
  r.fields  = {{"id", std::to_string(id)},
               {"name", "job " + std::to_string(id)},
               {"username", "u"},
               {"format", "image/pwg-raster"},
               {"filename", "/spool/p00001j" + std::string(9 - std::to_string(id).size(), '0') + std::to_string(id) +
                                "-j.pwg"},
               {"state", std::to_string(state)},
               {"created", "1700000100"}};
  if (!settings.empty())
  {
    r.settings_file = "p00001j" + std::string(9 - std::to_string(id).size(), '0') + std::to_string(id) + "-j.ipp";
    r.settings      = settings;
  }
  return r;
}

//
// 'load_with()' - The plan for a state file and a journal that follows it.
//

LoadPlan
load_with(const std::string &state,    // I - The whole state file
          const std::string &journal)  // I - The whole journal file
{
  const StateCheck   check = check_state(state);
  const JournalCheck lines = check_journal(journal, state);

  EXPECT_TRUE(check.whole) << check.why;
  EXPECT_TRUE(lines.own && lines.follows);
  return plan_load(check.body, check.journal + lines.lines);
}

//
// 'temp_path()' - A new file's name in the temporary folder.
//

std::string
temp_path(const char *name)  // I - Its name's start
{
  return (std::filesystem::temp_directory_path() / (std::string(name) + "." + std::to_string(getpid()))).string();
}

//
// 'file_text()' - A file's contents.
//

std::string
file_text(const std::string &path)  // I - File
{
  std::ifstream     in(path, std::ios::binary);
  std::stringstream text;

  text << in.rdbuf();
  return text.str();
}

} // namespace

//
// The journal's records load as their jobs: a job the state lacks goes at
// the end of its printer's block, with its settings (bytes of any value);
// a record of a job the state has replaces its line, the later record
// deciding; a canceled job keeps why (a line break in it cannot split the
// record); a record of a printer the state lacks is dropped.  Events apply
// on top: a new job the printer took whole is completed, without settings.
// A journal follows its own state only.
//

TEST(StateFile, JournalRecordsLoadAsTheirJobs)
{
  const std::string state = state_file(kPapplLines, {});
  JobRecord         canceled = record("the \"other\" one", 11, 7, "");
  canceled.fields.emplace_back("message", "Canceled\nby the server.");

  const std::string journal = journal_header(state) + job_record(record("p203", 10, 3, kSettings)) +
                              job_record(record("p203", 9, 3, kSettings)) +
                              job_record(record("p203", 9, 4, kSettings + "held")) + job_record(canceled) +
                              job_record(record("gone", 12, 3, kSettings)) +
                              event_line(JobEvent::Printed, "p203", 13, 1700000200) +
                              job_record(record("p203", 13, 5, kSettings));
  const LoadPlan plan = load_with(state, journal);

  EXPECT_EQ(job_field(plan.contents, "id=\"10\"", "state"), "3");
  EXPECT_LT(plan.contents.find("id=\"10\""), plan.contents.find("</Printer>"));  // in p203's block
  EXPECT_EQ(job_field(plan.contents, "id=\"9\"", "state"), "4");
  EXPECT_EQ(job_field(plan.contents, "id=\"9\"", "name"), "job 9");
  EXPECT_EQ(job_field(plan.contents, "id=\"11\"", "state"), "7");
  EXPECT_GT(plan.contents.find("id=\"11\""), plan.contents.find("</Printer>"));  // the other printer's
  EXPECT_EQ(plan.messages.at({"the \"other\" one", 11}), "Canceled by the server.");
  EXPECT_EQ(plan.contents.find("id=\"12\""), std::string::npos);
  EXPECT_EQ(job_field(plan.contents, "id=\"13\"", "state"), "9");
  EXPECT_EQ(plan.printed, std::vector<int>{13});
  EXPECT_EQ(plan.settings, (std::vector<std::pair<std::string, std::string>>{
                               {"p00001j000000009-j.ipp", kSettings + "held"},
                               {"p00001j000000010-j.ipp", kSettings}}));
  EXPECT_EQ(plan.contents.find("# pelna"), std::string::npos);

  const JournalCheck other = check_journal(journal, state_file(kPapplLines, {"p203"}));
  EXPECT_TRUE(other.own);
  EXPECT_FALSE(other.follows);
  EXPECT_FALSE(check_journal("", state).own);
  EXPECT_FALSE(check_journal(job_record(record("p203", 10, 3, kSettings)), state).own);
}

//
// A journal cut at any byte loads every record it holds whole and nothing
// of the one cut; a record whose bytes changed (its CRC no longer matches)
// is dropped, the others load.
//

TEST(StateFile, AJournalCutAtEveryByteLoadsItsWholeRecords)
{
  const std::string state   = state_file(kPapplLines, {});
  std::string       journal = journal_header(state);
  std::vector<std::pair<std::size_t, int>> ends;  // where each record ends, its job

  for (int id = 20; id < 24; id++)
  {
    journal += job_record(record("p203", id, 3, kSettings + std::to_string(id)));
    ends.emplace_back(journal.size(), id);
  }
  for (std::size_t cut = journal_header(state).size(); cut <= journal.size(); cut++)
  {
    const LoadPlan plan = load_with(state, journal.substr(0, cut));
    std::size_t    whole = 0;

    for (const auto &[end, id] : ends)
    {
      const bool in = end <= cut;
      whole += in;
      EXPECT_EQ(plan.contents.find("id=\"" + std::to_string(id) + "\"") != std::string::npos, in)
          << "job " << id << ", cut at " << cut;
    }
    ASSERT_EQ(plan.settings.size(), whole) << "cut at " << cut;
    for (std::size_t i = 0; i < whole; i++)
      EXPECT_EQ(plan.settings[i].second, kSettings + std::to_string(20 + i));
  }

  std::string changed = journal;
  changed[ends[1].first - 40] ^= 1;  // in job 21's settings
  const LoadPlan plan = load_with(state, changed);
  EXPECT_EQ(plan.contents.find("id=\"21\""), std::string::npos);
  EXPECT_NE(plan.contents.find("id=\"22\""), std::string::npos);
  EXPECT_EQ(plan.settings.size(), 3u);
}

//
// The journal's file: lines appended from many threads at once, each
// flushed before the thread goes on, are all there whole; a flush covers
// every line written before it (a later one flushed, an earlier one needs
// no flush of its own), and a line of a file since replaced needs none.
//

TEST(Journal, EveryLineIsWholeAndAFlushCoversTheLinesBeforeIt)
{
  const std::string path = temp_path("pelna-journal");
  std::ofstream(path) << "start\n";

  JournalFile journal;
  ASSERT_TRUE(journal.open(path));
  EXPECT_EQ(journal.size(), 6u);

  constexpr int            kThreads = 8, kLines = 50;
  std::atomic<int>         failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&, t] {
      for (int n = 0; n < kLines; n++)
      {
        JournalMark mark;
        const std::string line = "thread " + std::to_string(t) + " line " + std::to_string(n) + "\n";
        if (!journal.append(line, mark) || !journal.flush(mark))
          failed++;
      }
    });
  for (std::thread &thread : threads)
    thread.join();
  EXPECT_EQ(failed, 0);
  EXPECT_LE(journal.flushes(), static_cast<std::uint64_t>(kThreads * kLines));

  const std::string text = file_text(path);
  for (int t = 0; t < kThreads; t++)
    for (int n = 0; n < kLines; n++)
      EXPECT_NE(text.find("\nthread " + std::to_string(t) + " line " + std::to_string(n) + "\n"), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), kThreads * kLines + 1);

  JournalMark first, second;
  ASSERT_TRUE(journal.append("one\n", first));
  ASSERT_TRUE(journal.append("two\n", second));
  const std::uint64_t before = journal.flushes();
  EXPECT_TRUE(journal.flush(second));
  EXPECT_TRUE(journal.flush(first));
  EXPECT_EQ(journal.flushes(), before + 1);

  JournalMark old;
  ASSERT_TRUE(journal.append("three\n", old));
  ASSERT_TRUE(journal.open(path));  // replaced (here: opened again)
  EXPECT_TRUE(journal.flush(old));
  EXPECT_EQ(journal.flushes(), before + 1);
  unlink(path.c_str());
}

//
// An append the disk cannot take whole (here: past the file size limit)
// fails with the cause and leaves the file as it was, so that the next
// line does not join a cut one; once there is room, lines append again.
//

TEST(Journal, AnAppendThatFailsLeavesTheFileAsItWas)
{
  const std::string path = temp_path("pelna-journal-full");
  std::ofstream(path) << "start\n";

  JournalFile journal;
  ASSERT_TRUE(journal.open(path));

  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur      = 16;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

  JournalMark mark;
  errno           = 0;
  const bool done = journal.append("a line longer than the ten bytes left\n", mark);
  const int  why  = errno;
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);

  EXPECT_FALSE(done);
  EXPECT_EQ(why, EFBIG);
  EXPECT_EQ(file_text(path), "start\n");
  EXPECT_EQ(journal.size(), 6u);
  ASSERT_TRUE(journal.append("next\n", mark));
  EXPECT_TRUE(journal.flush(mark));
  EXPECT_EQ(file_text(path), "start\nnext\n");
  unlink(path.c_str());
}
