// SPDX-License-Identifier: Apache-2.0
//
// The Printer Application's PDF reader without the server (where a page
// lands on the label is placement_test.cpp's): which files it refuses and
// why, that a page rendered by the child process has the very
// rows of one rendered here, and that a file built to exhaust the reader
// ends with its reason within the limits while the test goes on.
//

#include "pdf_reader.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

using namespace pelna_app;
using namespace pelna_test;

namespace {

// A 4 x 6 in label at 203 dpi without margins.
LabelArea
label_4x6()
{
  LabelArea label;

  label.width  = 812;
  label.height = 1218;
  label.xdpi   = label.ydpi = 203;
  return label;
}

// Limits of a test: the system's picture limits as PAPPL sets them by default.
PdfLimits
test_limits()
{
  PdfLimits limits;

  limits.max_bytes  = std::size_t{1} << 30;
  limits.max_width  = 16384;
  limits.max_height = 16384;
  return limits;
}

// The rows of every page a worker renders, page after page.
struct WorkerRun
{
  PdfFault                          fault = PdfFault::None;  // how it ended
  std::string                       reason;                  // why, when it failed
  std::vector<unsigned>             pages;                   // page numbers received
  std::vector<std::vector<uint8_t>> rows;                    // every row of them
};

//
// 'run_worker()' - Render pages first..last of a PDF file in a child process.
//

WorkerRun
run_worker(const std::string &path, const PdfLimits &limits, unsigned first = 1, unsigned last = 0xffffffffu,
           const PdfCancelCheck &canceled = nullptr)
{
  PdfJobPlan plan;
  PdfWorker  worker;
  PdfReason  reason;
  WorkerRun  run;

  plan.program = "/proc/self/exe";  // main() below runs the child
  plan.path   = path.c_str();
  plan.limits = limits;
  plan.label  = label_4x6();
  plan.first  = first;
  plan.last   = last;

  const auto sink = [&](std::uint32_t, std::span<const std::uint8_t> row) {
    run.rows.emplace_back(row.begin(), row.end());
    return true;
  };

  run.fault = pdf_worker_start(worker, plan, nullptr, canceled, reason);
  for (unsigned page = worker.first; run.fault == PdfFault::None && page <= worker.last; page++)
  {
    run.fault = pdf_worker_page(worker, sink, nullptr, canceled, reason);
    if (run.fault == PdfFault::None)
      run.pages.push_back(page);
  }
  pdf_worker_stop(worker);
  EXPECT_EQ(worker.pid, -1) << "the child was not reaped";
  run.reason = reason.text;
  return run;
}

//
// 'black_dots()' - Black dots among rows.
//

std::size_t
black_dots(const std::vector<std::vector<uint8_t>> &rows, std::size_t from, std::size_t count)
{
  std::size_t black = 0;

  for (std::size_t y = from; y < from + count && y < rows.size(); y++)
    for (std::uint8_t v : rows[y])
      black += v < 128;
  return black;
}

} // namespace

//
// Files that cannot be printed are refused with the fault and a reason that
// says which: not a PDF, cut short, locked by a password, more pages than
// the limit, a page larger than the limit or too small to be one.
//

TEST(PdfReader, RefusesWithTheReason)
{
  const std::string label = pdf_file({{288, 432, pdf_box(10, 10, 100, 100)}});
  struct Case
  {
    const char *name;
    std::string data;
    unsigned    max_pages;
    PdfFault    fault;
    const char *reason;
    bool        at_page;  // refused when its page is rendered, not when opened
  };
  const Case cases[] = {
    {"not a PDF", std::string(4000, 'x'), kPdfMaxPages, PdfFault::Damaged, "damaged or not a PDF", false},
    {"cut short", label.substr(0, label.size() / 3), kPdfMaxPages, PdfFault::Damaged, "damaged", false},
    {"locked", pdf_file({{288, 432, pdf_box(10, 10, 100, 100)}}, true), kPdfMaxPages, PdfFault::Encrypted,
     "needs a password", false},
    {"three pages, two allowed", pdf_file({{}, {}, {}}), 2, PdfFault::TooLarge, "has 3 pages; the printer takes at most 2",
     false},
    {"20000 points wide", pdf_file({{20000, 432, ""}}), kPdfMaxPages, PdfFault::TooLarge,
     "Page 1 is 20000 x 432 points", true},
    {"less than a point", pdf_file({{0.5, 432, ""}}), kPdfMaxPages, PdfFault::Damaged, "at least 1 point", true},
  };

  for (const Case &c : cases)
  {
    SCOPED_TRACE(c.name);
    PdfLimits   limits = test_limits();
    PdfDocument doc;
    PdfReason   reason;

    limits.max_pages = c.max_pages;
    PdfFault fault = pdf_open_memory({reinterpret_cast<const std::uint8_t *>(c.data.data()), c.data.size()}, limits,
                                     doc, reason);
    if (c.at_page)
    {
      ASSERT_EQ(fault, PdfFault::None) << reason.text;
      fault = pdf_render_page(doc, 1, label_4x6(), limits, [](std::uint32_t, std::span<const std::uint8_t>) {
        return true;
      }, reason);
    }
    EXPECT_EQ(fault, c.fault);
    EXPECT_NE(strstr(reason.text, c.reason), nullptr) << reason.text;
  }

  // The page's memory is checked against the limit before it is rendered.
  PdfLimits   small = test_limits();
  PdfDocument doc;
  PdfReason   reason;
  small.max_bytes = kPdfReaderBytes;
  ASSERT_EQ(pdf_open_memory({reinterpret_cast<const std::uint8_t *>(label.data()), label.size()}, small, doc, reason),
            PdfFault::None);
  EXPECT_EQ(pdf_render_page(doc, 1, label_4x6(), small, [](std::uint32_t, std::span<const std::uint8_t>) {
              return true;
            }, reason), PdfFault::TooLarge);
  EXPECT_NE(strstr(reason.text, "needs"), nullptr) << reason.text;
}

//
// The child process renders the very rows this process does, every row as
// wide as the label and as many as it is long, and only the pages asked
// for; a page is black where its content is, turned as placed.
//

TEST(PdfWorker, RowsAreTheReadersOwn)
{
  // Three pages, black bands of 1, 2 and 3 inches at their bottom; a fourth
  // landscape page black on its left half, which turns to the label's top
  // half.
  const std::string data = pdf_file({{288, 432, pdf_box(0, 0, 288, 72)},
                                     {288, 432, pdf_box(0, 0, 288, 144)},
                                     {288, 432, pdf_box(0, 0, 288, 216)},
                                     {432, 288, pdf_box(0, 0, 216, 288)}});
  const std::string path = temp_file(data);
  const PdfLimits   limits = test_limits();

  // In this process.
  PdfDocument doc;
  PdfReason   reason;
  std::vector<std::vector<uint8_t>> own;
  ASSERT_EQ(pdf_open(path.c_str(), limits, doc, reason), PdfFault::None) << reason.text;
  ASSERT_EQ(pdf_pages(doc), 4u);
  for (unsigned page = 2; page <= 4; page++)
    ASSERT_EQ(pdf_render_page(doc, page, label_4x6(), limits, [&](std::uint32_t, std::span<const std::uint8_t> row) {
      own.emplace_back(row.begin(), row.end());
      return true;
    }, reason), PdfFault::None) << reason.text;

  // In the child.
  const WorkerRun run = run_worker(path, limits, 2, 4);
  remove_file(path);
  ASSERT_EQ(run.fault, PdfFault::None) << run.reason;
  EXPECT_EQ(run.pages, (std::vector<unsigned>{2, 3, 4}));
  ASSERT_EQ(run.rows.size(), 3u * 1218);
  EXPECT_TRUE(run.rows == own) << "the child's rows differ from this process's";
  for (const auto &row : run.rows)
    ASSERT_EQ(row.size(), 812u);

  // Page 2: the bottom 2 inches black, the rest white; page 3: 3 inches.
  EXPECT_EQ(black_dots(run.rows, 0, 1218 - 406), 0u);
  EXPECT_EQ(black_dots(run.rows, 1218 - 406, 406), 406u * 812);
  EXPECT_EQ(black_dots(run.rows, 1218, 1218 - 609), 0u);
  EXPECT_EQ(black_dots(run.rows, 2 * 1218 - 609, 609), 609u * 812);
  // Page 4, turned a quarter right: its left half is the label's top half.
  EXPECT_EQ(black_dots(run.rows, 2 * 1218, 609), 609u * 812);
  EXPECT_EQ(black_dots(run.rows, 2 * 1218 + 609, 609), 0u);

  // Pages beyond the document are refused, not printed as nothing.
  const std::string three = temp_file(pdf_file({{}, {}, {}}));
  const WorkerRun   none  = run_worker(three, limits, 5, 6);
  remove_file(three);
  EXPECT_EQ(none.fault, PdfFault::TooLarge);
  EXPECT_NE(none.reason.find("has 3 pages; the pages asked for begin at page 5"), std::string::npos) << none.reason;
  EXPECT_TRUE(none.rows.empty());
}

//
// Files built to exhaust the reader end in the child with their reason,
// within the limits: content nested so deep that it needs more memory than
// the allowance, content that takes longer than the time limit, and a job
// canceled while a page renders.
//

TEST(PdfWorker, BombsEndWithTheirReason)
{
  std::string nested, fills;
  for (int i = 0; i < 100000; i++)
    nested += "q ";
  for (int i = 0; i < 200000; i++)
    fills += "0 g 0 0 288 432 re f\n";
  const std::string deep = temp_file(pdf_file({{288, 432, nested + pdf_box(0, 0, 10, 10)}}));
  const std::string slow = temp_file(pdf_file({{288, 432, fills}}));

  PdfLimits limits = test_limits();
  limits.max_bytes    = std::size_t{64} << 20;
  limits.page_seconds = 2;

  const WorkerRun memory = run_worker(deep, limits);
  EXPECT_EQ(memory.fault, PdfFault::NoMemory);
  EXPECT_NE(memory.reason.find("needs more memory to render page 1 than the printer allows (64 MiB)"),
            std::string::npos) << memory.reason;

  // Only the time ends the slow file: its memory allowance leaves room for
  // the freed blocks a sanitizer build holds back (AddressSanitizer's
  // quarantine, which grew past 64 MiB within the 2 seconds on Debian 13).
  limits.max_bytes = std::size_t{512} << 20;
  auto start = std::chrono::steady_clock::now();
  const WorkerRun time = run_worker(slow, limits);
  EXPECT_EQ(time.fault, PdfFault::TooSlow);
  EXPECT_NE(time.reason.find("longer than 2 seconds to render page 1"), std::string::npos) << time.reason;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

  limits.page_seconds = 60;
  start = std::chrono::steady_clock::now();
  const WorkerRun canceled = run_worker(slow, limits, 1, 1, [start]() {
    return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(500);
  });
  EXPECT_EQ(canceled.fault, PdfFault::Canceled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

  remove_file(deep);
  remove_file(slow);
}

//
// 'main()' - Run the tests, or, started by a test as the child of a PDF
// job, that child.
//

int
main(int   argc,    // I - Number of arguments
     char *argv[])  // I - Arguments
{
  if (argc > 1 && !strcmp(argv[1], kPdfWorkerArg))
    return pdf_worker_main(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
