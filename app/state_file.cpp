// SPDX-License-Identifier: Apache-2.0
//
// The state file's text around PAPPL's own lines (see state_file.h): the
// check line that tells a whole file from a cut or damaged one, the app's
// own lines, and the Job lines as loading and saving change them; the
// spool folder's job files checked against the lines when loading.  Values
// are read and written as PAPPL does: NAME="VALUE" with backslashes and
// quotes escaped, read back with libcups's option parser.
//

#include "state_file.h"

#include <cups/cups.h>
#include <libdeflate.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pelna_app {

namespace {

// The start of the app's own lines; PAPPL never sees them.
constexpr const char *kOwnLine     = "# pelna-printer-app ";
constexpr const char *kHeaderLine  = "# pelna-printer-app state file\n";
constexpr const char *kPausedWord  = "paused ";
constexpr const char *kCheckWord   = "check ";
constexpr const char *kJobWord     = "job ";
constexpr const char *kJournalWord = "journal after ";
// The words of the job events, as JobEvent numbers them.
constexpr const char *kEventWords[] = {"sending ", "printed ", "unprinted ", "canceled "};

// PAPPL's job states as the state file numbers them.
constexpr int kJobPending    = 3;  // pending
constexpr int kJobHeld       = 4;  // held
constexpr int kJobProcessing = 5;  // processing
constexpr int kJobCanceled   = 7;  // canceled, the first state of an ended job
constexpr int kJobAborted    = 8;  // aborted
constexpr int kJobCompleted  = 9;  // completed

// The field the app adds to the Job line of a canceled or aborted job: why
// it ended.  PAPPL never sees it.
constexpr const char *kMessageField = "message";

// The fields of a job record that are not its Job line's: its settings
// file's name and its settings (base64).
constexpr const char *kSettingsFileField = "settings-file";
constexpr const char *kPrinterField      = "printer";
constexpr const char *kSettingsField     = "settings";

// The base64 alphabet of the settings in a job record.
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Why a job that waits to print is ended when loading: its document is gone
// (PAPPL removes it when a job ends, so the job had ended, but the state
// loaded is older than that: it could not be saved, or a damaged file's
// last good copy was loaded), or it never came (the request that would
// send it was not answered).
constexpr const char *kDocumentGone =
    "The document of the job was gone when the server started: the job had ended before the server stopped, "
    "but the state loaded does not say how.";
constexpr const char *kDocumentNeverCame =
    "The document of the job had not come when the server stopped; send the job again.";

// The fewest digits of the printer id and of the job id in a spool file's
// name, as PAPPL writes them (p%05dj%09d-NAME.EXT), and the largest id.
constexpr std::size_t kPrinterDigits = 5;
constexpr std::size_t kJobDigits     = 9;
constexpr long        kMaxId         = INT32_MAX - 1;  // so that the next one is an int

// The endings of a job's settings file and of one PAPPL was writing.
constexpr const char *kSettingsEnd   = ".ipp";
constexpr const char *kUnfinishedEnd = ".ipp.N";

// The first words a file of PAPPL's own format may start with.
constexpr const char *kFirstWords[] = {
  "DNSSDName ", "Location ", "GeoLocation ", "Organization ", "OrganizationalUnit ", "Contact ",
  "AdminGroup ", "DefaultPrintGroup ", "Password ", "DefaultPrinterID ", "MaxImageSize ",
  "NextPrinterID ", "UUID ", "<Printer ",
};

//
// One line's fields, in order: name and value.
//

using Fields = JobFields;

//
// 'parse_fields()' - The fields of a line's value, as PAPPL reads them.
//

Fields
parse_fields(const std::string &value)  // I - The line after its first word
{
  cups_option_t *options = nullptr;
  const int      count   = cupsParseOptions(value.c_str(), 0, &options);
  Fields         fields;

  for (int i = 0; i < count; i++)
    fields.emplace_back(options[i].name, options[i].value);
  cupsFreeOptions(count, options);
  return fields;
}

//
// 'field()' - The value of a field, or null.
//

const std::string *
field(const Fields &fields,  // I - Fields
      const char   *name)    // I - Field name
{
  for (const auto &[key, value] : fields)
  {
    if (key == name)
      return &value;
  }
  return nullptr;
}

//
// 'number()' - A field's value as a number, or -1 when missing.
//

long
number(const Fields &fields,  // I - Fields
       const char   *name)    // I - Field name
{
  const std::string *value = field(fields, name);

  return value ? strtol(value->c_str(), nullptr, 10) : -1;
}

//
// 'printer_fields()' - The fields of a <Printer ...> line; none for any
// other line.
//

Fields
printer_fields(const std::string &line)  // I - Line
{
  return line.starts_with("<Printer ") && line.ends_with(">") ? parse_fields(line.substr(9, line.size() - 10))
                                                             : Fields();
}

//
// 'printer_id()' - The printer id of a <Printer ...> line, within 0 to
// kMaxId.
//

int
printer_id(const std::string &line)  // I - <Printer ...> line
{
  return static_cast<int>(std::clamp(number(printer_fields(line), "id"), 0L, kMaxId));
}

//
// 'set_field()' - Set a field, adding it when missing.
//

void
set_field(Fields            &fields,  // IO - Fields
          const char        *name,    // I - Field name
          const std::string &value)   // I - Its value
{
  for (auto &[key, old] : fields)
  {
    if (key == name)
    {
      old = value;
      return;
    }
  }
  fields.emplace_back(name, value);
}

//
// 'set_ended()' - End a job: its state, and when it ended.
//

void
set_ended(Fields     &fields,  // IO - The job's fields
          int         state,   // I - Its state now, as the state file numbers it
          std::time_t when)    // I - When it ended
{
  set_field(fields, "state", std::to_string(state));
  set_field(fields, "completed", std::to_string(static_cast<long long>(when)));
}

//
// 'quoted()' - A value as PAPPL writes it: in quotes, backslashes and
// quotes escaped.
//

std::string
quoted(const std::string &value)  // I - Value
{
  std::string out = "\"";

  for (char c : value)
  {
    if (c == '\\' || c == '"')
      out += '\\';
    out += c;
  }
  return out + "\"";
}

//
// 'unquoted()' - A quoted value read back; empty when it is not one.
//

std::string
unquoted(const std::string &text)  // I - "VALUE", escaped
{
  const Fields fields = parse_fields("name=" + text);

  return fields.size() == 1 ? fields[0].second : std::string();
}

//
// 'job_line()' - A Job line from its fields, as PAPPL writes it.
//

std::string
job_line(const Fields &fields)  // I - Fields
{
  std::string line = "Job";

  for (const auto &[key, value] : fields)
    line += " " + key + "=" + quoted(value);
  return line + "\n";
}

//
// 'next_line()' - The line at pos (without its newline); pos moves past it.
//

std::string
next_line(const std::string &text,  // I - Text
          std::size_t       &pos)   // IO - Where the line starts
{
  const std::size_t end  = text.find('\n', pos);
  std::string       line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);

  pos = end == std::string::npos ? text.size() : end + 1;
  return line;
}

//
// 'edit_jobs()' - Text with each Job line that wanted passes handed to edit
// (the printer's name and the job's fields, which it may change); the
// app's own lines go to own instead.
//

template <typename Edit, typename Wanted>
std::string
edit_jobs(const std::string        &body,    // I - Contents
          Edit                    &&edit,    // I - Called per job: (printer, fields)
          Wanted                  &&wanted,  // I - Whether a Job line may be edited (line)
          std::vector<std::string> &own)     // O - The app's own lines, without their start
{
  std::string out, printer;

  for (std::size_t pos = 0; pos < body.size();)
  {
    const std::string line = next_line(body, pos);

    if (line.starts_with(kOwnLine))
      own.push_back(line.substr(strlen(kOwnLine)));
    else if (!line.starts_with("Job ") || !wanted(line))
    {
      if (line.starts_with("<Printer ") && line.ends_with(">"))
      {
        const std::string *name = nullptr;
        const Fields       fields = parse_fields(line.substr(9, line.size() - 10));
        printer                   = (name = field(fields, "name")) ? *name : "";
      }
      out += line + "\n";
    }
    else
    {
      Fields fields = parse_fields(line.substr(4));
      edit(printer, fields);
      out += job_line(fields);
    }
  }
  return out;
}

//
// What the lines after the check line say of the jobs.
//

struct Journal
{
  PrintedJobs                           printed;   // taken whole by the printer
  std::set<std::pair<std::string, int>> unsure;    // last bytes on their way
  PrintedJobs                           canceled;  // canceled, and when
  std::map<std::pair<std::string, int>, JobRecord> jobs;  // accepted or changed
};

//
// 'base64()' - Bytes as base64 text.
//

std::string
base64(const std::string &bytes)  // I - Bytes
{
  std::string out;

  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3)
  {
    const std::size_t   left = std::min<std::size_t>(3, bytes.size() - i);
    const std::uint32_t word = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                               (left > 1 ? static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 : 0) |
                               (left > 2 ? static_cast<unsigned char>(bytes[i + 2]) : 0U);

    for (std::size_t k = 0; k < 4; k++)
      out += k <= left ? kBase64[(word >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

//
// 'unbase64()' - Base64 text as bytes; false when it is not base64.
//

bool
unbase64(const std::string &text,   // I - Base64 text
         std::string       &bytes)  // O - Bytes
{
  std::uint32_t word = 0;
  int           bits = 0;
  std::size_t   pad  = 0;

  bytes.clear();
  if (text.size() % 4)
    return false;
  for (char c : text)
  {
    const char *at = c ? strchr(kBase64, c) : nullptr;

    if (c == '=' && ++pad <= 2)
      continue;
    if (!at || pad)
      return false;  // not base64, or data after the padding
    word  = word << 6 | static_cast<std::uint32_t>(at - kBase64);
    bits += 6;
    if (bits >= 8)
    {
      bits -= 8;
      bytes += static_cast<char>((word >> bits) & 255);
    }
  }
  return true;
}

//
// 'crc_text()' - The CRC-32 of text, as eight hexadecimal digits.
//

std::string
crc_text(const std::string &text)  // I - Text
{
  char crc[9];

  snprintf(crc, sizeof(crc), "%08" PRIx32,
           static_cast<std::uint32_t>(libdeflate_crc32(0, text.data(), text.size())));
  return crc;
}

//
// 'take_field()' - Take a field out of fields; empty when missing.
//

std::string
take_field(Fields     &fields,  // IO - Fields
           const char *name)    // I - Field name
{
  std::string value;

  std::erase_if(fields, [&](const auto &item) {
    if (item.first != name)
      return false;
    value = item.second;
    return true;
  });
  return value;
}

//
// 'read_record()' - One job record line; false when it is none, was cut or
// does not match its CRC.
//

bool
read_record(const std::string &line,     // I - Line without its start
            JobRecord         &record)   // O - The record
{
  constexpr std::size_t kCrcDigits = 8;
  const std::size_t     word       = strlen(kJobWord);

  if (!line.starts_with(kJobWord) || line.size() < word + kCrcDigits + 2 || line[word + kCrcDigits] != ' ')
    return false;

  const std::string rest = line.substr(word + kCrcDigits + 1);
  if (line.compare(word, kCrcDigits, crc_text(rest)) != 0)
    return false;

  // The printer's name comes first, as a field of a name no Job line has.
  Fields fields = parse_fields(std::string(kPrinterField) + "=" + rest);
  if (number(fields, "id") <= 0 || number(fields, "id") > kMaxId)
    return false;
  record.printer       = take_field(fields, kPrinterField);
  record.settings_file = take_field(fields, kSettingsFileField);
  record.fields        = std::move(fields);
  return unbase64(take_field(record.fields, kSettingsField), record.settings) && !record.printer.empty() &&
         record.settings_file.find('/') == std::string::npos;
}

//
// 'read_event()' - One job event line; false when it is none (or was cut).
//

bool
read_event(const std::string &line,   // I - Line without its start
           JobEvent          &event,  // O - Event
           std::string       &printer,// O - Printer name
           int               &job_id, // O - Job
           std::time_t       &when)   // O - When
{
  for (int e = 0; e < static_cast<int>(std::size(kEventWords)); e++)
  {
    const std::string word = kEventWords[e];
    long long         id = 0, time = 0;
    int               used = 0;

    if (!line.starts_with(word) || sscanf(line.c_str() + word.size(), "%lld %lld %n", &id, &time, &used) != 2 ||
        used <= 0 || id <= 0 || id > INT32_MAX)
      continue;
    printer = unquoted(line.substr(word.size() + static_cast<std::size_t>(used)));
    event   = static_cast<JobEvent>(e);
    job_id  = static_cast<int>(id);
    when    = static_cast<std::time_t>(time);
    return !printer.empty();
  }
  return false;
}

//
// 'read_journal()' - The job events of the lines after the check line, the
// later line of a job deciding.
//

Journal
read_journal(const std::string &lines)  // I - Lines after the check line
{
  Journal journal;

  for (std::size_t pos = 0; pos < lines.size();)
  {
    const std::string line = next_line(lines, pos);
    JobEvent          event;
    std::string       printer;
    int               id;
    std::time_t       when;

    JobRecord         record;

    if (!line.starts_with(kOwnLine))
      continue;
    if (read_record(line.substr(strlen(kOwnLine)), record))
    {
      const auto key = std::make_pair(record.printer, static_cast<int>(number(record.fields, "id")));
      journal.jobs[key] = std::move(record);
      continue;
    }
    if (!read_event(line.substr(strlen(kOwnLine)), event, printer, id, when))
      continue;

    const auto key = std::make_pair(printer, id);
    journal.printed.erase(key);
    journal.unsure.erase(key);
    journal.canceled.erase(key);
    if (event == JobEvent::Printed)
      journal.printed[key] = when;
    else if (event == JobEvent::Sending)
      journal.unsure.insert(key);
    else if (event == JobEvent::Canceled)
      journal.canceled[key] = when;
  }
  return journal;
}

//
// 'check_legacy()' - Check a file without the app's check line: only
// PAPPL's own format, whole lines, is taken.
//

StateCheck
check_legacy(const std::string &file)  // I - The whole file
{
  StateCheck check;

  if (file.back() != '\n')
    check.why = "it was cut short";
  else
  {
    int depth = 0;  // inside a <Printer> block

    for (const char *word : kFirstWords)
      check.whole = check.whole || file.starts_with(word);
    for (std::size_t pos = 0; check.whole && pos < file.size();)
    {
      const std::string line = next_line(file, pos);
      depth += line.starts_with("<Printer ") ? 1 : line == "</Printer>" ? -1 : 0;
      check.whole = depth == 0 || depth == 1;
    }
    check.whole = check.whole && depth == 0;
    if (!check.whole)
      check.why = "it is not a whole state file";
  }
  if (check.whole)
    check.body = file;
  return check;
}

//
// 'job_ids()' - The job ids of a map keyed by printer and job, as a Job line
// writes them.
//

template <typename Jobs>
std::vector<std::string>
job_ids(const Jobs &jobs)  // I - Jobs by printer name and job id
{
  std::vector<std::string> ids;

  ids.reserve(jobs.size());
  for (const auto &[key, value] : jobs)
    ids.push_back(" id=\"" + std::to_string(key.second) + "\"");
  return ids;
}

//
// 'names_one_of()' - Whether a Job line names one of the ids.
//

bool
names_one_of(const std::string              &line,  // I - Job line
             const std::vector<std::string> &ids)   // I - From job_ids()
{
  return std::any_of(ids.begin(), ids.end(),
                     [&line](const std::string &id) { return line.find(id) != std::string::npos; });
}

//
// 'ended_with_reason()' - Whether a job of that state was canceled or
// aborted: the ended jobs whose message says why.
//

bool
ended_with_reason(long state)  // I - Job state, as the state file numbers it
{
  return state == kJobCanceled || state == kJobAborted;
}

//
// 'take_message()' - Take the app's message field out of a Job line, and
// keep it when the job was canceled or aborted.
//

void
take_message(const std::string &printer,   // I - Printer name
             Fields            &fields,    // IO - The job's fields
             JobMessages       &messages)  // IO - The messages kept
{
  for (auto it = fields.begin(); it != fields.end(); ++it)
  {
    if (it->first != kMessageField)
      continue;
    if (ended_with_reason(number(fields, "state")))
      messages[{printer, static_cast<int>(number(fields, "id"))}] = it->second;
    fields.erase(it);
    return;
  }
}

//
// 'check_line()' - The app's check line for contents: their length and
// CRC-32.
//

std::string
check_line(const std::string &contents)  // I - Everything before the line
{
  char line[128];

  snprintf(line, sizeof(line), "%s%s%zu bytes, CRC-32 %08" PRIx32 "\n", kOwnLine, kCheckWord, contents.size(),
           static_cast<std::uint32_t>(libdeflate_crc32(0, contents.data(), contents.size())));
  return line;
}

//
// 'read_id()' - The id in a spool file's name at pos, of at least digits
// digits; pos moves past it.  False when there are fewer digits, or the id
// is 0 or past kMaxId.
//

bool
read_id(const std::string &name,    // I - File name
        std::size_t       &pos,     // IO - Where the digits start
        std::size_t        digits,  // I - Fewest digits
        int               &id)      // O - The id
{
  const std::size_t start = pos;
  long              value = 0;

  for (; pos < name.size() && isdigit(static_cast<unsigned char>(name[pos])); pos++)
  {
    value = value * 10 + (name[pos] - '0');
    if (value > kMaxId)
      return false;
  }
  id = static_cast<int>(value);
  return pos - start >= digits && value > 0;
}

//
// 'known_jobs()' - The printers of PAPPL's lines by id, each with the ids
// of its jobs.
//

std::map<int, std::set<int>>
known_jobs(const std::string &contents)  // I - PAPPL's lines
{
  std::map<int, std::set<int>> known;
  int                          printer = 0;

  for (std::size_t pos = 0; pos < contents.size();)
  {
    const std::string line = next_line(contents, pos);

    if (line.starts_with("<Printer "))
      known[printer = printer_id(line)];
    else if (line.starts_with("Job "))
      known[printer].insert(static_cast<int>(std::clamp(number(parse_fields(line.substr(4)), "id"), 0L, kMaxId)));
  }
  return known;
}

//
// 'sort_job_files()' - What becomes of the unnamed files of one job: its
// settings and document loaded as a job when the lines know its printer
// but not the job, else kept aside (the settings of a job the lines know
// are PAPPL's).
//

void
sort_job_files(int                                 printer_id,  // I - Printer id
               int                                 job_id,      // I - Job id
               const std::vector<const SpoolFile *> &files,      // I - Its files
               const std::map<int, std::set<int>>   &known,      // I - From known_jobs()
               SpoolPlan                           &plan)       // IO - The plan
{
  const auto       printer   = known.find(printer_id);
  const bool       job_known = printer != known.end() && printer->second.contains(job_id);
  const SpoolFile *settings = nullptr, *document = nullptr;
  std::size_t      documents = 0;
  const std::string job     = "job " + std::to_string(job_id);

  for (const SpoolFile *file : files)
  {
    if (file->kind == SpoolKind::Settings)
      settings = file;
    else
      document = file, documents++;
  }
  if (!job_known && printer != known.end() && settings && documents == 1)
  {
    plan.whole.emplace_back(*settings, *document);
    return;
  }

  const std::string why =
      job_known ? job + " of the state does not name it (the request that sent it was never answered)"
      : printer == known.end() ? "no printer of the state has id " + std::to_string(printer_id) + " (of " + job + ")"
      : !settings ? job + " has no settings file (the request that sent it was never answered)"
      : documents == 0 ? job + " has no document"
                       : job + " has more than one document";
  for (const SpoolFile *file : files)
  {
    if (!job_known || file->kind != SpoolKind::Settings)
      plan.aside.emplace_back(file->path, why);
  }
}

//
// 'next_id_line()' - A NextJobId or NextPrinterID line with its number at
// least lowest.
//

std::string
next_id_line(const std::string &line,    // I - The line, or its first word alone
             long               lowest)  // I - The lowest number it may have
{
  const std::size_t space = line.find(' ');
  const long        value = space == std::string::npos ? 0 : strtol(line.c_str() + space + 1, nullptr, 10);

  return line.substr(0, space) + " " + std::to_string(std::max(value, lowest)) + "\n";
}

} // namespace

//
// 'state_file()' - The whole file the app writes: its first line, PAPPL's
// lines, the paused printers, and the check line over all of these.
//

std::string
state_file(const std::string              &pappl_lines,  // I - What PAPPL wrote
           const std::vector<std::string> &paused)       // I - Paused printers
{
  std::string contents = kHeaderLine + pappl_lines;

  for (const std::string &printer : paused)
    contents += paused_line(printer);
  return contents + check_line(contents);
}

//
// 'paused_line()' - The app's line for a paused printer.
//

std::string
paused_line(const std::string &printer)  // I - Printer name
{
  return std::string(kOwnLine) + kPausedWord + quoted(printer) + "\n";
}

//
// 'event_line()' - The line appended for what became of a job.
//

std::string
event_line(JobEvent           event,    // I - What became of it
           const std::string &printer,  // I - Printer name
           int                job_id,   // I - Job
           std::time_t        when)     // I - When
{
  return std::string(kOwnLine) + kEventWords[static_cast<int>(event)] + std::to_string(job_id) + " " +
         std::to_string(static_cast<long long>(when)) + " " + quoted(printer) + "\n";
}

//
// 'job_record()' - The line appended for a job accepted or changed.
//

std::string
job_record(const JobRecord &record)  // I - The job
{
  // A line break in a value (a job's name, a message) would end the line.
  const auto one_line = [](std::string value) {
    std::replace_if(value.begin(), value.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return quoted(value);
  };
  std::string rest = one_line(record.printer);

  if (!record.settings_file.empty())
    rest += std::string(" ") + kSettingsFileField + "=" + one_line(record.settings_file) + " " + kSettingsField +
            "=" + quoted(base64(record.settings));
  for (const auto &[key, value] : record.fields)
    rest += " " + key + "=" + one_line(value);
  return std::string(kOwnLine) + kJobWord + crc_text(rest) + " " + rest + "\n";
}

//
// 'journal_header()' - The first line of the journal that follows a state
// file: the file's length and CRC-32.
//

std::string
journal_header(const std::string &state)  // I - The whole state file
{
  char line[128];

  snprintf(line, sizeof(line), "%s%s%zu bytes, CRC-32 %08" PRIx32 "\n", kOwnLine, kJournalWord, state.size(),
           static_cast<std::uint32_t>(libdeflate_crc32(0, state.data(), state.size())));
  return line;
}

//
// 'check_journal()' - Check a journal file against the state it should
// follow; a last line cut short is dropped.
//

JournalCheck
check_journal(const std::string &journal,  // I - The whole journal file
              const std::string &state)    // I - The whole state file
{
  const std::size_t end = journal.find('\n');
  JournalCheck      check;

  if (end == std::string::npos || !journal.starts_with(std::string(kOwnLine) + kJournalWord))
    return check;
  check.own     = true;
  check.follows = journal.compare(0, end + 1, journal_header(state)) == 0;
  check.lines   = journal.substr(end + 1, journal.rfind('\n') - end);
  return check;
}

//
// 'check_state()' - Check a whole state file (see state_file.h).  Lines
// appended after the check line are kept whole; a last one cut short (the
// server ended while appending it) is dropped.
//

StateCheck
check_state(const std::string &file)  // I - The whole file
{
  const std::string mark = std::string(kOwnLine) + kCheckWord;
  StateCheck        check;

  if (file.empty())
  {
    check.why = "it is empty";
    return check;
  }

  if (!file.starts_with(kHeaderLine))
    return check_legacy(file);

  const std::size_t at = file.rfind("\n" + mark);
  if (at == std::string::npos)
  {
    check.why = "it was cut short";
    return check;
  }

  const std::size_t start = at + 1;
  const std::size_t end   = file.find('\n', start);
  check.body              = file.substr(0, start);
  if (end == std::string::npos || file.compare(start, end + 1 - start, check_line(check.body)) != 0)
  {
    check.why  = end == std::string::npos ? "it was cut short" : "its contents do not match their check sum";
    check.body.clear();
    return check;
  }
  check.journal = file.substr(end + 1, file.rfind('\n') - end);  // whole lines only
  check.whole   = true;
  check.own     = true;
  return check;
}

//
// 'merge_records()' - PAPPL's lines with the jobs of the journal: a Job
// line a record has replaced by it, a job PAPPL's lines do not have added
// at the end of its printer's block (one of a printer they do not have is
// dropped).
//

std::string
merge_records(const std::string                                      &body,  // I - Checked contents
              const std::map<std::pair<std::string, int>, JobRecord> &jobs)  // I - The journal's jobs
{
  std::set<std::pair<std::string, int>> merged;
  std::string                           out, printer;

  if (jobs.empty())
    return body;
  for (std::size_t pos = 0; pos < body.size();)
  {
    const std::string line = next_line(body, pos);

    if (line.starts_with("<Printer "))
    {
      const Fields       fields = printer_fields(line);
      const std::string *name   = field(fields, "name");
      printer                   = name ? *name : "";
    }
    else if (line.starts_with("Job "))
    {
      const auto key = std::make_pair(printer, static_cast<int>(number(parse_fields(line.substr(4)), "id")));
      const auto it  = jobs.find(key);
      if (it != jobs.end())
      {
        out += job_line(it->second.fields);
        merged.insert(key);
        continue;
      }
    }
    else if (line == "</Printer>")
    {
      for (auto it = jobs.lower_bound({printer, 0}); it != jobs.end() && it->first.first == printer; ++it)
      {
        if (!merged.contains(it->first))
          out += job_line(it->second.fields);
      }
    }
    out += line + "\n";
  }
  return out;
}

//
// 'plan_load()' - What loading a checked state file takes.
//

LoadPlan
plan_load(const std::string &body,     // I - Checked contents
          const std::string &journal)  // I - Lines appended since the check
{
  const Journal            events = read_journal(journal);
  LoadPlan                 plan;
  std::vector<std::string> own;

  plan.contents = edit_jobs(
      merge_records(body, events.jobs),
      [&](const std::string &printer, Fields &fields) {
        const long state = number(fields, "state"), id = number(fields, "id");
        const auto key   = std::make_pair(printer, static_cast<int>(id));
        const auto done  = events.printed.find(key);
        const auto cut   = events.canceled.find(key);
        const std::string *named = field(fields, "filename");
        const std::string  file  = named ? *named : std::string();

        if (!file.empty())
          plan.files.insert(file);
        take_message(printer, fields, plan.messages);
        if (state >= kJobCanceled || state < 0)
          return;
        if (cut != events.canceled.end())
        {
          set_ended(fields, kJobCanceled, cut->second);
          plan.canceled.push_back(static_cast<int>(id));
          return;
        }
        if (done != events.printed.end())
        {
          set_ended(fields, kJobCompleted, done->second);
          plan.printed.push_back(static_cast<int>(id));
          return;
        }
        if (events.unsure.contains(key))
          plan.unsure.push_back(static_cast<int>(id));
        else if (state == kJobProcessing)
          plan.restarted.push_back(static_cast<int>(id));
        if (state == kJobProcessing)
          set_field(fields, "state", std::to_string(kJobPending));
        if (!file.empty())
          plan.waiting.insert(file);
        if (const auto record = events.jobs.find(key);
            record != events.jobs.end() && !record->second.settings_file.empty())
          plan.settings.emplace_back(record->second.settings_file, record->second.settings);
      },
      [](const std::string &) { return true; }, own);

  for (const std::string &line : own)
  {
    if (line.starts_with(kPausedWord))
      plan.paused.push_back(unquoted(line.substr(strlen(kPausedWord))));
  }
  return plan;
}

//
// 'mark_printed()' - PAPPL's lines with the printed jobs completed.
//

std::string
mark_printed(const std::string &body,     // I - What PAPPL wrote
             PrintedJobs       &printed)  // IO - Jobs the printer has taken
{
  std::set<std::pair<std::string, int>> seen;
  const std::vector<std::string>        ids = job_ids(printed);
  std::vector<std::string>              own;

  std::string out = edit_jobs(
      body,
      [&](const std::string &printer, Fields &fields) {
        const auto key = std::make_pair(printer, static_cast<int>(number(fields, "id")));
        const auto it  = printed.find(key);

        if (it == printed.end() || number(fields, "state") >= kJobCanceled)
          return;  // not printed, or PAPPL has it ended (its note goes)
        seen.insert(key);
        set_field(fields, "state", std::to_string(kJobCompleted));
        if (!field(fields, "completed"))
          set_field(fields, "completed", std::to_string(static_cast<long long>(it->second)));
      },
      [&ids](const std::string &line) { return names_one_of(line, ids); }, own);

  std::erase_if(printed, [&seen](const auto &note) { return !seen.contains(note.first); });
  return out;
}

//
// 'add_messages()' - PAPPL's lines with the messages of the canceled and
// aborted jobs in their Job lines; the other lines as PAPPL wrote them.
//

std::string
add_messages(const std::string &body,      // I - What PAPPL wrote
             const JobMessages &messages)  // I - Why jobs ended
{
  if (messages.empty())
    return body;

  const std::vector<std::string> ids = job_ids(messages);
  std::vector<std::string>       own;

  return edit_jobs(
      body,
      [&](const std::string &printer, Fields &fields) {
        const auto it = messages.find({printer, static_cast<int>(number(fields, "id"))});

        if (it == messages.end() || !ended_with_reason(number(fields, "state")))
          return;
        // One line per job: a line break or other control in the message
        // becomes a space.
        std::string message = it->second;
        std::replace_if(
            message.begin(), message.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
        set_field(fields, kMessageField, message);
      },
      [&ids](const std::string &line) { return names_one_of(line, ids); }, own);
}

//
// 'spool_file()'' - A spool folder's file as a job's: pPPPPPjJJJJJJJJJ-NAME.EXT.
//

bool
spool_file(const std::string &folder,  // I - Spool folder
           const std::string &name,    // I - File name
           SpoolFile         &file)    // O - What it is
{
  std::size_t pos = 1;

  if (!name.starts_with("p") || !read_id(name, pos, kPrinterDigits, file.printer) || pos >= name.size() ||
      name[pos++] != 'j' || !read_id(name, pos, kJobDigits, file.job) || pos >= name.size() || name[pos] != '-')
    return false;
  file.path = folder + "/" + name;
  file.kind = name.ends_with(kAsideEnd)        ? SpoolKind::Aside
              : name.ends_with(kSettingsEnd)   ? SpoolKind::Settings
              : name.ends_with(kUnfinishedEnd) ? SpoolKind::Unfinished
                                               : SpoolKind::Document;
  return true;
}

//
// 'plan_spool()' - What to do with the spool files PAPPL's lines do not
// name (see state_file.h).
//

SpoolPlan
plan_spool(const std::string              &contents,  // I - PAPPL's lines, as loaded
           const std::set<std::string>    &named,     // I - Files their jobs name
           const std::vector<SpoolFile>   &files)     // I - The spool folder's job files
{
  const std::map<int, std::set<int>>                           known = known_jobs(contents);
  std::map<std::pair<int, int>, std::vector<const SpoolFile *>> jobs;
  SpoolPlan                                                    plan;

  for (const SpoolFile &file : files)
  {
    if (file.kind == SpoolKind::Unfinished)
      plan.unfinished.push_back(file.path);
    else if (file.kind != SpoolKind::Aside && !named.contains(file.path))
      jobs[{file.printer, file.job}].push_back(&file);
  }
  for (const auto &[key, job_files] : jobs)
    sort_job_files(key.first, key.second, job_files, known, plan);
  return plan;
}

//
// 'add_job()' - Add a Job line for a job found whole to its printer's
// block, as PAPPL writes one; false when no printer has its id.
//

bool
add_job(std::string    &contents,  // IO - PAPPL's lines
        const FoundJob &job)       // I - The job
{
  int printer = 0;

  for (std::size_t pos = 0; pos < contents.size();)
  {
    const std::size_t start = pos;
    const std::string line  = next_line(contents, pos);

    if (line.starts_with("<Printer "))
      printer = printer_id(line);
    if (line != "</Printer>" || printer != job.printer)
      continue;

    Fields fields = {{"created", std::to_string(static_cast<long long>(job.created))}, {"filename", job.document},
                     {"format", job.format}, {"id", std::to_string(job.job)}, {"name", job.name},
                     {"state", std::to_string(job.held ? kJobHeld : kJobPending)}};
    if (job.held && job.reasons)
      fields.emplace_back("state_reasons", std::to_string(job.reasons));
    fields.emplace_back("username", job.username);
    contents.insert(start, job_line(fields));
    return true;
  }
  return false;
}

//
// 'end_without_documents()' - PAPPL's lines with the jobs that wait to
// print but have no document aborted, saying why.
//

std::string
end_without_documents(const std::string           &contents,  // I - PAPPL's lines
                      const std::set<std::string> &missing,   // I - Documents found missing
                      std::time_t                  now,       // I - The time now
                      JobMessages                 &ended)     // IO - Why each job it ends ended
{
  std::vector<std::string> own;

  return edit_jobs(
      contents,
      [&](const std::string &printer, Fields &fields) {
        const long         state = number(fields, "state");
        const std::string *file  = field(fields, "filename");

        if (state < 0 || state >= kJobCanceled || (file && !file->empty() && !missing.contains(*file)))
          return;
        ended[{printer, static_cast<int>(number(fields, "id"))}] =
            file && !file->empty() ? kDocumentGone : kDocumentNeverCame;
        set_ended(fields, kJobAborted, now);
      },
      [](const std::string &) { return true; }, own);
}

//
// 'raise_next_ids()' - PAPPL's lines with the next job and printer ids
// past every id they and the spool files hold; a missing line added.
//

std::string
raise_next_ids(const std::string            &contents,  // I - PAPPL's lines
               const std::vector<SpoolFile> &files)     // I - The spool folder's job files
{
  std::map<int, std::set<int>> known = known_jobs(contents);

  for (const SpoolFile &file : files)
    known[file.printer].insert(file.job);

  const long next_printer = known.empty() ? 1 : known.rbegin()->first + 1L;
  const auto next_job     = [&known](int printer) {
    const auto it = known.find(printer);
    return it == known.end() || it->second.empty() ? 1L : *it->second.rbegin() + 1L;
  };
  std::string out;
  int         printer         = 0;
  bool        printer_id_done = false, job_id_done = false;

  for (std::size_t pos = 0; pos < contents.size();)
  {
    const std::string line = next_line(contents, pos);

    if (line.starts_with("NextPrinterID "))
      out += next_id_line(line, next_printer), printer_id_done = true;
    else if (line.starts_with("NextJobId "))
      out += next_id_line(line, next_job(printer)), job_id_done = true;
    else
    {
      if (line.starts_with("<Printer ") && !printer_id_done)
        out += next_id_line("NextPrinterID", next_printer), printer_id_done = true;
      if (line.starts_with("<Printer "))
        printer = printer_id(line), job_id_done = false;
      if (line == "</Printer>" && !job_id_done)
        out += next_id_line("NextJobId", next_job(printer));
      out += line + "\n";
    }
  }
  return printer_id_done ? out : out + next_id_line("NextPrinterID", next_printer);
}

} // namespace pelna_app
