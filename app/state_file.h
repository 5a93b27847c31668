// SPDX-License-Identifier: Apache-2.0
//
// The state file's text, as the app reads and writes it around PAPPL's own
// lines (state_file.cpp): no PAPPL in it.
//
//   # pelna-printer-app state file                 the file is the app's
//   PAPPL's lines (system settings, <Printer ...> blocks with their Job lines,
//   to which the app adds message="..." for a job canceled or aborted)
//   # pelna-printer-app paused "NAME"              a printer that was paused
//   # pelna-printer-app check N bytes, CRC-32 X    checks everything before it
//   # pelna-printer-app EVENT ID TIME "NAME"       what became of a job since
//                                                  (appended by earlier
//                                                  versions; read still)
//
// and beside it the journal, NAME.state.journal: each change since the
// state was saved whole, the later line of a job deciding.
//
//   # pelna-printer-app journal after N bytes, CRC-32 X   the state it follows
//   # pelna-printer-app EVENT ID TIME "NAME"       what became of a job
//                                                  (EVENT: sending, printed,
//                                                  unprinted or canceled)
//   # pelna-printer-app job CRC "NAME" FIELDS      a job accepted or changed:
//                                                  its Job line's fields, with
//                                                  its settings for one that
//                                                  waits; CRC is the CRC-32
//                                                  of the rest of the line
//
// A last line cut short (the server ended while appending it) is dropped.
//
// and the spool folder's job files as PAPPL names them,
// pPPPPPjJJJJJJJJJ-NAME.EXT (printer id, job id, job name, EXT "ipp" for
// the job's settings), which loading checks against the state.
//

#ifndef PELNA_APP_STATE_FILE_H
#define PELNA_APP_STATE_FILE_H

#include <ctime>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace pelna_app {

// The ending of a spool file kept aside by loading: no job names it.
inline constexpr const char *kAsideEnd = ".orphan";

// Jobs the printer has taken whole, by printer name and job id, and when.
using PrintedJobs = std::map<std::pair<std::string, int>, std::time_t>;

// Why each ended job was canceled or aborted, by printer name and job id:
// the server's message, which PAPPL does not keep across a restart.
using JobMessages = std::map<std::pair<std::string, int>, std::string>;

// The fields of a Job line, in order: name and value, as PAPPL writes them
// (id, name, username, format, filename, state, state_reasons, created,
// processing, completed, impressions, imcompleted) and the app's message.
using JobFields = std::vector<std::pair<std::string, std::string>>;

//
// A job as the journal keeps it.
//

struct JobRecord
{
  std::string printer;        // printer name
  JobFields   fields;         // its Job line's fields
  std::string settings_file;  // for a job that waits: the name of its
                              // settings file in the spool folder
  std::string settings;       // for a job that waits: its settings, as
                              // that file holds them (an IPP message)
};

//
// What a state file holds, once checked.
//

struct StateCheck
{
  bool        whole = false;  // the file can be loaded
  bool        own   = false;  // it is in the app's format (lines may be appended)
  std::string body;           // PAPPL's lines and the app's lines before the check
  std::string journal;        // whole lines appended after the check line
  std::string why;            // why it cannot be loaded, in plain words
};

//
// What loading a state file needs.
//

struct LoadPlan
{
  std::string              contents;   // the lines PAPPL loads
  std::vector<std::string> paused;     // printers to pause again
  std::set<std::string>    files;      // spool files the jobs name
  std::vector<int>         restarted;  // jobs that were printing: they wait again
  std::vector<int>         printed;    // jobs the printer had taken: completed
  std::vector<int>         unsure;     // jobs whose last bytes were on their way
                                       // to the printer: they wait again
  std::vector<int>         canceled;   // jobs canceled since the last save: ended
  std::set<std::string>    waiting;    // documents of the jobs that wait to print
  JobMessages              messages;   // why the canceled and aborted jobs ended
  std::vector<std::pair<std::string, std::string>> settings;
                                       // settings files of the jobs that wait,
                                       // from the journal: name, contents
};

// What became of a job on its way to the printer.
enum class JobEvent
{
  Sending,    // its last bytes are being handed to the device
  Printed,    // the device has them all
  Unprinted,  // the device did not take them after all (sent again)
  Canceled    // canceled, when the state could not be saved with it so
};

// What a file of the spool folder is to a job.
enum class SpoolKind
{
  Document,    // its document
  Settings,    // its settings (NAME.ipp)
  Unfinished,  // settings PAPPL had not finished writing (NAME.ipp.N)
  Aside        // kept aside by an earlier load (NAME.EXT.orphan)
};

//
// A job's file in the spool folder.
//

struct SpoolFile
{
  std::string path;                       // the file
  int         printer = 0;                // printer id
  int         job     = 0;                // job id
  SpoolKind   kind    = SpoolKind::Document;  // what it is to the job
};

//
// What loading does with the spool files the state does not name.
//

struct SpoolPlan
{
  std::vector<std::pair<SpoolFile, SpoolFile>>     whole;  // settings and document of a
                                                           // job the state does not know
  std::vector<std::pair<std::string, std::string>> aside;  // files kept aside, and why
  std::vector<std::string>                         unfinished;  // removed
};

//
// A job found whole in the spool folder, as its settings file has it.
//

struct FoundJob
{
  int         printer = 0;   // printer id
  int         job     = 0;   // job id
  std::string name;          // job-name
  std::string username;      // job-originating-user-name
  std::string format;        // document format
  std::string document;      // its document
  std::time_t created = 0;   // when it came
  bool        held    = false;  // it waits to be released
  long        reasons = 0;   // PAPPL's job-state-reasons bits for a held job
};

//
// What a journal holds, once checked against a state.
//

struct JournalCheck
{
  bool        own     = false;  // its first line is a journal's
  bool        follows = false;  // that line names the state
  std::string lines;            // its whole lines after the first
};

// The whole file the app writes for PAPPL's lines and the paused printers.
[[nodiscard]] std::string state_file(const std::string &pappl_lines, const std::vector<std::string> &paused);

// The app's line for a paused printer.
[[nodiscard]] std::string paused_line(const std::string &printer);

// The line appended for what became of a job.
[[nodiscard]] std::string event_line(JobEvent event, const std::string &printer, int job_id, std::time_t when);

// The line appended for a job accepted or changed.
[[nodiscard]] std::string job_record(const JobRecord &record);

// The first line of the journal that follows a state file.
[[nodiscard]] std::string journal_header(const std::string &state);

// Check a journal file against the state file it should follow.
[[nodiscard]] JournalCheck check_journal(const std::string &journal, const std::string &state);

// Check a whole state file: the app's check line, or PAPPL's own format
// without one (a file of an earlier version).
[[nodiscard]] StateCheck check_state(const std::string &file);

// What loading a checked state file takes: the jobs of the journal in their
// printers' blocks, the app's lines out, a job that was printing waiting
// again (or completed, when the printer had taken it).
[[nodiscard]] LoadPlan plan_load(const std::string &body, const std::string &journal);

// PAPPL's lines with the jobs of printed marked completed; the jobs PAPPL
// already has as ended, or no longer knows, are dropped from printed.
[[nodiscard]] std::string mark_printed(const std::string &body, PrintedJobs &printed);

// PAPPL's lines with each canceled or aborted job of messages carrying its
// message in its Job line.
[[nodiscard]] std::string add_messages(const std::string &body, const JobMessages &messages);

// A spool folder's file as a job's; false when the name is not PAPPL's for
// a job.
[[nodiscard]] bool spool_file(const std::string &folder, const std::string &name, SpoolFile &file);

// What to do with the spool files that PAPPL's lines do not name: a job's
// settings and document when the lines know neither the job nor its
// files, the rest kept aside (why said), unfinished settings removed.
[[nodiscard]] SpoolPlan plan_spool(const std::string &contents, const std::set<std::string> &named,
                                   const std::vector<SpoolFile> &files);

// Add a Job line for a job found whole to its printer's block; false when
// no printer of the lines has its id.
[[nodiscard]] bool add_job(std::string &contents, const FoundJob &job);

// PAPPL's lines with each job that waits to print and whose document is
// missing (or never came) aborted, its message in ended.
[[nodiscard]] std::string end_without_documents(const std::string &contents, const std::set<std::string> &missing,
                                                std::time_t now, JobMessages &ended);

// PAPPL's lines with each printer's next job id past every job id of its
// block and of the spool files, and the next printer id past every
// printer id: no id is given twice.
[[nodiscard]] std::string raise_next_ids(const std::string &contents, const std::vector<SpoolFile> &files);

} // namespace pelna_app

#endif // PELNA_APP_STATE_FILE_H
