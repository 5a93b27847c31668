// SPDX-License-Identifier: Apache-2.0
//
// Reports: one text line per page with its faults, the command listing, and
// the JSON summary that scripts and the virtual printer use.
//

#include "tool_io.h"

#include <cinttypes>

namespace inspect {

namespace {

//
// 'black_share()' - Share of black dots among all dots of a page, 0 to 1.
//

double
black_share(const Page &page)  // I - Page
{
  const double dots = static_cast<double>(page.width) * static_cast<double>(page.rows);

  return page.has_width && dots > 0 ? static_cast<double>(page.black_dots) / dots : 0.0;
}

//
// 'json_string()' - Write a string as a JSON string literal.
//

void
json_string(FILE              *out,   // I - Output
            const std::string &text)  // I - Text
{
  putc('"', out);
  for (unsigned char c : text)
  {
    if (c == '"' || c == '\\')
      fprintf(out, "\\%c", c);
    else if (c < 0x20 || c >= 0x7F)
      fprintf(out, "\\u%04x", c);
    else
      putc(c, out);
  }
  putc('"', out);
}

//
// 'json_fault()' - Write one fault as a JSON object.
//

void
json_fault(FILE        *out,     // I - Output
           const Fault &fault)   // I - Fault
{
  fprintf(out, "{\"kind\": \"%s\", \"page\": %zu, \"where\": \"%s\", \"offset\": %" PRIu64 ", ",
          fault_name(fault.kind), fault.page, fault.in_stream ? "stream" : "input",
          fault.offset);
  fputs("\"expected\": ", out);
  json_string(out, fault.expected);
  fputs(", \"found\": ", out);
  json_string(out, fault.found);
  fputs(", \"text\": ", out);
  json_string(out, fault_text(fault.kind));
  putc('}', out);
}

//
// 'json_faults()' - Write a list of faults as a JSON array.
//

void
json_faults(FILE                     *out,     // I - Output
            const std::vector<Fault> &faults,  // I - Faults
            const char               *indent)  // I - Indent of the closing bracket
{
  if (faults.empty())
  {
    fputs("[]", out);
    return;
  }

  fputs("[\n", out);
  for (std::size_t i = 0; i < faults.size(); i ++)
  {
    fprintf(out, "%s  ", indent);
    json_fault(out, faults[i]);
    fputs(i + 1 < faults.size() ? ",\n" : "\n", out);
  }
  fprintf(out, "%s]", indent);
}

//
// 'json_page()' - Write one page as a JSON object.
//

void
json_page(FILE       *out,   // I - Output
          const Page &page)  // I - Page
{
  fprintf(out, "    {\n      \"page\": %zu,\n", page.number);
  fprintf(out, "      \"sound\": %s,\n", page.sound ? "true" : "false");
  if (page.has_width)
    fprintf(out, "      \"width\": %u,\n", static_cast<unsigned>(page.width));
  else
    fputs("      \"width\": null,\n", out);
  fprintf(out, "      \"rows\": %" PRIu64 ",\n", page.rows);
  if (page.page_mark < 0)
    fputs("      \"page_mark\": null,\n      \"page_mark_value\": null,\n", out);
  else
    fprintf(out, "      \"page_mark\": \"%s\",\n      \"page_mark_value\": %d,\n",
            page_mark_name(page.page_mark), page.page_mark);
  fprintf(out, "      \"black_share\": %.6f,\n", black_share(page));
  fprintf(out, "      \"frame_offset\": %" PRIu64 ",\n", page.frame_offset);
  fprintf(out, "      \"frame_bytes\": %" PRIu64 ",\n", page.frame_bytes);
  fprintf(out, "      \"stream_bytes\": %" PRIu64 ",\n", page.stream_bytes);
  if (page.inflated && page.frame_bytes > 0)
    fprintf(out, "      \"compression_ratio\": %.3f,\n",
            static_cast<double>(page.stream_bytes) / static_cast<double>(page.frame_bytes));
  else
    fputs("      \"compression_ratio\": null,\n", out);
  fputs("      \"picture\": ", out);
  if (page.picture.empty())
    fputs("null", out);
  else
    json_string(out, page.picture);
  fputs(",\n      \"faults\": ", out);
  json_faults(out, page.faults, "      ");
  fprintf(out, ",\n      \"faults_dropped\": %" PRIu64 "\n    }", page.faults_dropped);
}

} // namespace

//
// 'print_page()' - One line about a page: width, rows, page mark, sizes,
//                  compression ratio, black share, verdict.
//

void
print_page(FILE       *out,   // I - Output
           const Page &page)  // I - Page
{
  fprintf(out, "page %zu: ", page.number);
  if (page.has_width)
    fprintf(out, "%u dots wide, ", static_cast<unsigned>(page.width));
  else
    fputs("no usable width, ", out);
  fprintf(out, "%" PRIu64 " rows, page mark %s, frame %" PRIu64 " bytes at input offset %"
          PRIu64, page.rows, page_mark_name(page.page_mark), page.frame_bytes,
          page.frame_offset);
  if (page.inflated && page.frame_bytes > 0)
    fprintf(out, ", stream %" PRIu64 " bytes (%.2f:1)", page.stream_bytes,
            static_cast<double>(page.stream_bytes) / static_cast<double>(page.frame_bytes));
  else
    fputs(", stream not inflated", out);
  fprintf(out, ", black %.2f%%", 100.0 * black_share(page));

  const std::uint64_t faults = page.faults.size() + page.faults_dropped;

  if (page.sound)
    fputs(": sound\n", out);
  else
    fprintf(out, ": %" PRIu64 " fault%s\n", faults, faults == 1 ? "" : "s");
}

//
// 'print_faults()' - One line per fault of a page, or of the whole input
//                    when page is nullptr.
//

void
print_faults(FILE                     *out,     // I - Output
             const std::vector<Fault> &faults,  // I - Faults of the page or the input
             const Page               *page)    // I - Their page, or nullptr
{
  for (const Fault &fault : faults)
  {
    if (fault.page)
      fprintf(out, "  page %zu, ", fault.page);
    else
      fputs("  input, ", out);
    if (fault.in_stream && page)
      fprintf(out, "stream offset %" PRIu64 " (frame at input offset %" PRIu64 ")",
              fault.offset, page->frame_offset);
    else
      fprintf(out, "input offset %" PRIu64, fault.offset);
    fprintf(out, ": %s: %s; expected %s, found %s\n", fault_name(fault.kind),
            fault_text(fault.kind), fault.expected.c_str(), fault.found.c_str());
  }

  if (page && page->faults_dropped)
    fprintf(out, "  page %zu: %" PRIu64 " more faults not listed\n", page->number,
            page->faults_dropped);
}

//
// 'print_commands()' - List the commands of a page with their stream
//                      offsets; runs of identical rows take one line.
//

void
print_commands(FILE       *out,   // I - Output
               const Page &page)  // I - Page with its command list
{
  for (const Command &c : page.commands)
  {
    fprintf(out, "  stream offset %" PRIu64 ": ", c.offset);
    switch (c.kind)
    {
      case CommandKind::PageWidth :
          fprintf(out, "page-width %u dots (length %u)\n", c.value, c.length);
          break;
      case CommandKind::RasterRow :
          if (c.row_count == 1)
            fprintf(out, "raster-row %u bytes, row %" PRIu64 "\n", c.length, c.first_row);
          else
            fprintf(out, "raster-row %u bytes, rows %" PRIu64 " to %" PRIu64
                    " (%" PRIu64 " identical)\n", c.length, c.first_row,
                    c.first_row + c.row_count - 1, c.row_count);
          break;
      case CommandKind::PageMark :
          fprintf(out, "page-mark %u (%s, length %u)\n", c.value,
                  page_mark_name(static_cast<int>(c.value)), c.length);
          break;
      case CommandKind::PageSetting :
          fprintf(out, "page-setting sub-command %u (length %u)\n", c.subcmd, c.length);
          break;
      case CommandKind::Trailer :
          fputs("end of page\n", out);
          break;
      case CommandKind::Unknown :
          fprintf(out, "unknown command %02X %02X\n", c.code >> 8, c.code & 0xFF);
          break;
    }
  }
}

//
// 'print_totals()' - Last line of the text report, after the input's own
//                    faults.
//

void
print_totals(FILE         *out,     // I - Output
             const Result &result)  // I - Result
{
  std::size_t faulty = 0;

  for (const Page &page : result.pages)
    if (!page.sound)
      faulty ++;

  print_faults(out, result.faults, nullptr);

  fprintf(out, "%zu page%s, %" PRIu64 " bytes: ", result.pages.size(),
          result.pages.size() == 1 ? "" : "s", result.input_bytes);
  if (result.sound)
    fputs("all sound\n", out);
  else
    fprintf(out, "%zu with faults%s\n", faulty, result.faults.empty() ? "" : ", input faults");
}

//
// 'write_json()' - Write the JSON summary of an input; job adds the virtual
//                  printer's job number, sender and end of input.
//

void
write_json(FILE          *out,     // I - Output
           const Result  &result,  // I - Result
           const JobInfo *job)     // I - Job details, or nullptr
{
  fputs("{\n", out);
  if (job)
  {
    fprintf(out, "  \"job\": %u,\n  \"peer\": ", job->number);
    json_string(out, job->peer);
    fprintf(out, ",\n  \"ended\": \"%s\",\n", input_end_name(job->end));
  }
  fprintf(out, "  \"input_bytes\": %" PRIu64 ",\n", result.input_bytes);
  fprintf(out, "  \"pages\": %zu,\n", result.pages.size());
  fprintf(out, "  \"sound\": %s,\n", result.sound ? "true" : "false");
  fputs("  \"faults\": ", out);
  json_faults(out, result.faults, "  ");
  fputs(",\n  \"page_list\": [", out);
  for (std::size_t i = 0; i < result.pages.size(); i ++)
  {
    fputs(i ? ",\n" : "\n", out);
    json_page(out, result.pages[i]);
  }
  fputs(result.pages.empty() ? "]\n}\n" : "\n  ]\n}\n", out);
}

} // namespace inspect
