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
//                                                  (appended; EVENT: sending,
//                                                  printed or unprinted)
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

// Jobs the printer has taken whole, by printer name and job id, and when.
using PrintedJobs = std::map<std::pair<std::string, int>, std::time_t>;

// Why each ended job was canceled or aborted, by printer name and job id:
// the server's message, which PAPPL does not keep across a restart.
using JobMessages = std::map<std::pair<std::string, int>, std::string>;

//
// What a state file holds, once checked.
//

struct StateCheck
{
  bool        whole = false;  // the file can be loaded
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
  JobMessages              messages;   // why the canceled and aborted jobs ended
};

// What became of a job on its way to the printer.
enum class JobEvent
{
  Sending,    // its last bytes are being handed to the device
  Printed,    // the device has them all
  Unprinted   // the device did not take them after all (sent again)
};

// The whole file the app writes for PAPPL's lines and the paused printers.
[[nodiscard]] std::string state_file(const std::string &pappl_lines, const std::vector<std::string> &paused);

// The app's line for a paused printer.
[[nodiscard]] std::string paused_line(const std::string &printer);

// The line appended for what became of a job.
[[nodiscard]] std::string event_line(JobEvent event, const std::string &printer, int job_id, std::time_t when);

// Check a whole state file: the app's check line, or PAPPL's own format
// without one (a file of an earlier version).
[[nodiscard]] StateCheck check_state(const std::string &file);

// What loading a checked state file takes: the app's lines out, a job that
// was printing waiting again (or completed, when the printer had taken it).
[[nodiscard]] LoadPlan plan_load(const std::string &body, const std::string &journal);

// PAPPL's lines with the jobs of printed marked completed; the jobs PAPPL
// already has as ended, or no longer knows, are dropped from printed.
[[nodiscard]] std::string mark_printed(const std::string &body, PrintedJobs &printed);

// PAPPL's lines with each canceled or aborted job of messages carrying its
// message in its Job line.
[[nodiscard]] std::string add_messages(const std::string &body, const JobMessages &messages);

} // namespace pelna_app

#endif // PELNA_APP_STATE_FILE_H
