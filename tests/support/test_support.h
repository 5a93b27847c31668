// SPDX-License-Identifier: Apache-2.0
//
// Helpers shared by the tests: raster streams written with libcups's own
// writer, running the built filter, and an independent raw inflate.
//

#ifndef PELNA_TEST_SUPPORT_H
#define PELNA_TEST_SUPPORT_H

#include <cups/raster.h>

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pelna_test {

using Bytes = std::vector<std::uint8_t>;

// One page of a test raster stream.  The header is an 8-bit gray page of
// width x height unless the fields are changed; pixels must hold
// cupsBytesPerLine x cupsHeight bytes (short data is padded with white).
struct TestPage
{
  cups_page_header2_t header;  // page header as written
  Bytes               pixels;  // pixel data as written
};

// An 8-bit gray page filled by fill(x, y).
TestPage gray_page(unsigned width, unsigned height,
                   std::uint8_t (*fill)(unsigned x, unsigned y));

// An 8-bit gray page of one gray value.
TestPage flat_page(unsigned width, unsigned height, std::uint8_t value);

// An 8-bit gray page of gray noise: after halftoning, dots that deflate
// cannot shrink much.
TestPage noise_page(unsigned width, unsigned height, unsigned seed);

// A raster stream of the pages, written by libcups (mode CUPS_RASTER_WRITE
// or CUPS_RASTER_WRITE_COMPRESSED).
std::string raster_stream(const std::vector<TestPage> &pages,
                          cups_mode_t mode = CUPS_RASTER_WRITE);

// Path of a PPD from the test data folder.
std::string test_ppd(const char *name = "pelna-test.ppd");

// A temporary file holding data; removed by remove_file.
std::string temp_file(const std::string &data);
void        remove_file(const std::string &path);
std::string read_file(const std::string &path);

// Result of one run of the filter program.
struct FilterRun
{
  int         status = -1;  // exit status, or 128 + signal
  std::string out;          // standard output
  std::string err;          // standard error
  std::string log;          // the filter's log file afterwards
  long        max_rss_kb = 0;  // peak resident memory of the filter
};

// Run the built filter with arguments argv[1...], the raster data on
// standard input (when input is not null), PPD set to ppd (unless empty)
// and standard output sent to stdoutPath when given (else captured).
FilterRun run_filter(const std::vector<std::string> &args, const std::string *input,
                     const std::string &ppd, const char *stdoutPath = nullptr);

// The usual six arguments with the given job options.
std::vector<std::string> job_args(const std::string &options = "");

// Inflate a raw deflate stream with zlib; ok is false unless the data is one
// complete stream with nothing behind it.
Bytes inflate_raw(const std::uint8_t *data, std::size_t size, bool &ok);

// Split standard output into page frames by their length fields; ok is false
// when the bytes do not divide into whole frames.
std::vector<Bytes> split_frames(const std::string &out, bool &ok);

// The command stream inside a sound page frame (fails the test otherwise).
Bytes frame_stream(const Bytes &frame);

// Send the filter's log stream to a temporary file (start_log_capture), then
// close it and return what was logged (end_log_capture).
void        start_log_capture();
std::string end_log_capture();

// Lines of the log that start with the level word, e.g. "ERROR".
std::vector<std::string> log_lines(const std::string &log, const std::string &level);

// Whether any of the lines holds the text.
bool mentions(const std::vector<std::string> &lines, const std::string &text);

std::uint32_t get_le32(const std::uint8_t *p);

// Append exactly count bytes read from fd to out; false at the end of the
// input or on an error.
bool read_exactly(int fd, std::string &out, std::size_t count);

// A BMP file read back as a reader shows it: gray values by palette, row 0
// the top row.  ok is false when the file is not a well-formed uncompressed
// 8-bit or 1-bit BMP whose size matches its headers.
struct BmpImage
{
  bool     ok = false;
  unsigned width = 0, height = 0, bits = 0;
  Bytes    gray;  // width x height, row 0 at the top
};

BmpImage read_bmp(const std::string &data);

//
// Starting the filter by hand, for tests that need its descriptors, its
// process or another build of it.
//
// When PELNA_FILTER_WRAPPER is set (e.g. "valgrind -q --error-exitcode=99"),
// its words are put in front of the program, for every run or, with
// PELNA_FILTER_WRAPPER_EVERY=n, for the first run of the test program and
// every n-th one after it.
//

// How to start the filter.
struct FilterLaunch
{
  std::vector<std::string> args;     // argv[1...]
  std::string              ppd;      // PPD path; empty leaves PPD unset
  std::string              program;  // program to run; empty: the built filter
  std::vector<std::string> env;      // extra "NAME=value" settings
  int                      in  = -1; // standard input; -1: /dev/null
  int                      out = -1; // standard output; -1: /dev/null
  int                      err = -1; // standard error; -1: /dev/null
};

// Start the filter; returns the child's process id (-1 when fork fails).
pid_t spawn_filter(const FilterLaunch &launch);

// Wait for a started filter: its exit status, or 128 + signal; its peak
// resident memory in maxRssKb when given.
int wait_filter(pid_t pid, long *maxRssKb = nullptr);

// Whether the last spawn_filter ran the program under the wrapper.
bool last_run_wrapped();

// run_filter for any launch: launch.in, out and err are replaced by the
// input data (when input is not null), stdoutPath (when given) and captures.
FilterRun run_filter_launch(FilterLaunch launch, const std::string *input,
                            const char *stdoutPath = nullptr);

// A raster stream laid out byte for byte without libcups's writer: the sync
// word of an uncompressed stream, then each page's header and pixels exactly
// as given, so that headers libcups would refuse to write can be sent.
std::string raw_raster_stream(const std::vector<TestPage> &pages);

// One page of a test PDF: its MediaBox size in points, its own /Rotate and
// its content stream (PDF operators, no fonts).
struct PdfTestPage
{
  double      width   = 288;  // MediaBox width, points
  double      height  = 432;  // MediaBox height, points
  std::string content;        // content stream
  int         rotate  = 0;    // /Rotate (0, 90, 180, 270)
};

// A PDF file of the pages, each with its own content stream.  locked adds
// a standard security handler whose user password is not empty, so that a
// reader cannot open it without one.
std::string pdf_file(const std::vector<PdfTestPage> &pages, bool locked = false);

// Content that paints a rectangle black (x, y from the bottom left, points).
std::string pdf_box(double x, double y, double width, double height);

} // namespace pelna_test

#endif // PELNA_TEST_SUPPORT_H
