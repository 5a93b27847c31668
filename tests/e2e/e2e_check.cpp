// SPDX-License-Identifier: Apache-2.0
//
// pelna-e2e-check: check what the virtual printer (pelna-inspect --listen
// --pbm) received for one print job against what was sent.
//
//   pelna-e2e-check JOBDIR PAGES WIDTH_PT DPI MARK [BARS.txt]
//
// JOBDIR holds summary.json and page-NNNN.pbm.  The job must hold exactly
// PAGES pages, every frame sound, each page WIDTH_PT points wide at DPI (to
// within a dot), with the page mark MARK ("label", "black", "continuous").
// With BARS.txt (the label's bar list, in points) the barcode's bars must lie
// in every page's picture where the PDF puts them, each edge within two dots.
// One line per finding; exit status 0 when everything holds.
//

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// How far a printed bar edge may lie from where the PDF puts it, in dots:
// rounding to the dot grid and the rasterizer's any-part-of-pixel fill.
constexpr double bar_edge_tolerance = 2.0;

// Rows of the barcode that are looked at, as fractions of its height.
constexpr double bar_probe_rows[] = {0.25, 0.5, 0.75};

// A 1-bit picture, one byte per dot (1 = black).
struct Picture
{
  unsigned                   width = 0;
  unsigned                   height = 0;
  std::vector<unsigned char> dots;
};

// The label's barcode, in points with the origin at the bottom left.
struct BarList
{
  double                               page_height = 0;
  double                               y0 = 0, y1 = 0;
  std::vector<std::pair<double, double>> bars;
};

int failures = 0;   // Findings so far

//
// 'fail()' - Report one finding.
//

void
fail(const std::string &what)   // I - What does not hold
{
  printf("FAIL: %s\n", what.c_str());
  failures ++;
}

//
// 'read_text()' - Read a whole file; false when it cannot be read.
//

bool
read_text(const std::string &path,   // I - File
          std::string       &text)   // O - Contents
{
  std::ifstream      in(path, std::ios::binary);
  std::ostringstream out;

  if (!in)
    return false;
  out << in.rdbuf();
  text = out.str();
  return true;
}

//
// 'json_values()' - Every value of a key in the summary's JSON text, as the
//                   raw text up to the next comma, brace or line end.
//

std::vector<std::string>
json_values(const std::string &json,   // I - JSON text
            const std::string &key)    // I - Key without quotes
{
  std::vector<std::string> values;
  const std::string        needle = "\"" + key + "\":";

  for (size_t at = json.find(needle); at != std::string::npos; at = json.find(needle, at + 1))
  {
    size_t start = at + needle.size();
    while (start < json.size() && json[start] == ' ')
      start ++;
    size_t end = json.find_first_of(",}]\n", start);
    std::string value = json.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    values.push_back(value);
  }
  return values;
}

//
// 'read_pbm()' - Read a binary PBM (P4) picture; false on any other file.
//

bool
read_pbm(const std::string &path,      // I - File
         Picture           &picture)   // O - Picture
{
  std::string text;

  if (!read_text(path, text) || text.compare(0, 2, "P4") != 0)
    return false;

  std::istringstream header(text.substr(2, 64));
  header >> picture.width >> picture.height;
  if (!header || picture.width == 0 || picture.height == 0)
    return false;

  // The header ends with one white-space byte after the height.
  const size_t data = 2 + static_cast<size_t>(header.tellg()) + 1;
  const size_t row_bytes = (picture.width + 7) / 8;

  if (text.size() < data + row_bytes * picture.height)
    return false;

  picture.dots.resize(static_cast<size_t>(picture.width) * picture.height);
  for (unsigned y = 0; y < picture.height; y ++)
    for (unsigned x = 0; x < picture.width; x ++)
      picture.dots[static_cast<size_t>(y) * picture.width + x] =
        (static_cast<unsigned char>(text[data + y * row_bytes + x / 8]) >> (7 - x % 8)) & 1;
  return true;
}

//
// 'read_bars()' - Read the label's bar list; false when it is unusable.
//

bool
read_bars(const std::string &path,   // I - Bar list written by make-label
          BarList           &list)   // O - Bars
{
  std::ifstream in(path);
  std::string   line;

  while (std::getline(in, line))
  {
    std::istringstream words(line);
    std::string        kind;
    double             a = 0, b = 0;

    words >> kind >> a >> b;
    if (kind == "page")
      list.page_height = b;
    else if (kind == "rows")
      list.y0 = a, list.y1 = b;
    else if (kind == "bar")
      list.bars.push_back({a, b});
  }
  return list.page_height > 0 && list.y1 > list.y0 && !list.bars.empty();
}

//
// 'check_bars()' - Compare the black runs across the barcode with the bars.
//

void
check_bars(const Picture &picture,   // I - Printed page
           const BarList &list,      // I - Where the PDF puts the bars
           double         dpi,       // I - Dots per inch
           unsigned       page)      // I - Page number, for the report
{
  const double scale = dpi / 72.0;
  const double quiet = 8.0;   // dots searched beyond the outer bars
  const long   from  = std::lround(list.bars.front().first * scale - quiet);
  const long   to    = std::lround(list.bars.back().second * scale + quiet);

  for (double fraction : bar_probe_rows)
  {
    const double y   = list.y0 + (list.y1 - list.y0) * fraction;
    const long   row = std::lround((list.page_height - y) * scale);
    std::vector<std::pair<long, long>> runs;   // black runs [start, end)

    if (row < 0 || row >= static_cast<long>(picture.height) || from < 0 ||
        to > static_cast<long>(picture.width))
    {
      fail("page " + std::to_string(page) + ": the barcode lies outside the picture");
      return;
    }
    for (long x = from; x < to; x ++)
    {
      const bool black = picture.dots[static_cast<size_t>(row) * picture.width + x];
      if (black && (runs.empty() || runs.back().second != x))
        runs.push_back({x, x + 1});
      else if (black)
        runs.back().second = x + 1;
    }

    if (runs.size() != list.bars.size())
    {
      fail("page " + std::to_string(page) + ", row " + std::to_string(row) + ": " +
           std::to_string(runs.size()) + " black runs across the barcode, expected " +
           std::to_string(list.bars.size()) + " bars");
      continue;
    }
    double worst = 0;
    for (size_t i = 0; i < runs.size(); i ++)
    {
      worst = std::max(worst, std::fabs(runs[i].first - list.bars[i].first * scale));
      worst = std::max(worst, std::fabs(runs[i].second - list.bars[i].second * scale));
    }
    if (worst > bar_edge_tolerance)
      fail("page " + std::to_string(page) + ", row " + std::to_string(row) +
           ": a bar edge lies " + std::to_string(worst) + " dots from its place");
    else
      printf("ok: page %u, row %ld: %zu bars, edges within %.2f dots\n", page, row,
             runs.size(), worst);
  }
}

} // namespace

//
// 'main()' - Check one job folder.
//

int
main(int  argc,    // I - Number of arguments
     char *argv[]) // I - Arguments
{
  if (argc != 6 && argc != 7)
  {
    fputs("Usage: pelna-e2e-check JOBDIR PAGES WIDTH_PT DPI MARK [BARS.txt]\n", stderr);
    return 2;
  }

  const std::string dir      = argv[1];
  const unsigned    pages    = static_cast<unsigned>(atoi(argv[2]));
  const double      width_pt = atof(argv[3]);
  const double      dpi      = atof(argv[4]);
  const std::string mark     = argv[5];
  const double      width    = width_pt * dpi / 72.0;
  std::string       json;
  BarList           bars;

  if (!read_text(dir + "/summary.json", json))
  {
    fail(dir + "/summary.json cannot be read: the printer received no job");
    return 1;
  }
  if (argc == 7 && !read_bars(argv[6], bars))
  {
    fail(std::string(argv[6]) + " is not a usable bar list");
    return 1;
  }

  const auto page_counts = json_values(json, "pages");
  const auto widths      = json_values(json, "width");
  const auto marks       = json_values(json, "page_mark");

  if (page_counts.empty() || page_counts.front() != std::to_string(pages))
    fail("the printer received " + (page_counts.empty() ? "no" : page_counts.front()) +
         " pages, expected " + std::to_string(pages));
  for (const std::string &sound : json_values(json, "sound"))
    if (sound != "true")
    {
      fail("pelna-inspect found faults in the printer data: see " + dir + "/summary.json");
      break;
    }

  for (unsigned page = 1; page <= pages && page <= widths.size(); page ++)
  {
    const std::string &got = widths[page - 1];
    char               name[32];
    Picture            picture;

    if (std::fabs(atof(got.c_str()) - width) > 1.0)
      fail("page " + std::to_string(page) + " is " + got + " dots wide, expected " +
           std::to_string(width) + " (" + argv[3] + " pt at " + argv[4] + " dpi)");
    if (page > marks.size() || marks[page - 1] != mark)
      fail("page " + std::to_string(page) + " has the page mark " +
           (page > marks.size() ? "(none)" : marks[page - 1]) + ", expected " + mark);

    snprintf(name, sizeof(name), "/page-%04u.pbm", page);
    if (!read_pbm(dir + name, picture))
      fail("page " + std::to_string(page) + ": no readable picture " + dir + name);
    else if (std::to_string(picture.width) != got)
      fail("page " + std::to_string(page) + ": the picture is " +
           std::to_string(picture.width) + " dots wide, the summary says " + got);
    else if (argc == 7)
      check_bars(picture, bars, dpi, page);
  }

  if (!failures)
    printf("ok: %s: %u page(s), %s dots wide, page mark %s, frames sound\n", dir.c_str(),
           pages, widths.empty() ? "?" : widths.front().c_str(), mark.c_str());
  return failures ? 1 : 0;
}
