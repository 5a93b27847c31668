// SPDX-License-Identifier: Apache-2.0
//
// Helpers shared by the tests.
//

#include "test_support.h"

#include "gray_page_header.h"

#include "pelna.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pelna_test {

namespace {

//
// 'append_output()' - Raster write callback: append to a string.
//

ssize_t
append_output(void *ctx, unsigned char *buffer, size_t length)
{
  static_cast<std::string *>(ctx)->append(reinterpret_cast<char *>(buffer), length);
  return static_cast<ssize_t>(length);
}

} // namespace

TestPage
gray_page(unsigned width, unsigned height, std::uint8_t (*fill)(unsigned, unsigned))
{
  TestPage page;

  page.header = gray_page_header(width, height, 203);

  page.pixels.resize(static_cast<size_t>(width) * height);
  for (unsigned y = 0; y < height; y ++)
  {
    for (unsigned x = 0; x < width; x ++)
      page.pixels[static_cast<size_t>(y) * width + x] = fill(x, y);
  }

  return page;
}

TestPage
flat_page(unsigned width, unsigned height, std::uint8_t value)
{
  TestPage page = gray_page(width, height, [](unsigned, unsigned) -> std::uint8_t { return 0; });

  std::fill(page.pixels.begin(), page.pixels.end(), value);
  return page;
}

TestPage
noise_page(unsigned width, unsigned height, unsigned seed)
{
  TestPage      page  = flat_page(width, height, 255);
  std::uint32_t state = seed;

  for (auto &pixel : page.pixels)
  {
    state = state * 1103515245u + 12345u;
    pixel = static_cast<std::uint8_t>(state >> 16);
  }
  return page;
}

std::string
raster_stream(const std::vector<TestPage> &pages, cups_mode_t mode)
{
  std::string    data;
  cups_raster_t *ras = cupsRasterOpenIO(append_output, &data, mode);

  EXPECT_NE(ras, nullptr);
  for (const TestPage &page : pages)
  {
    cups_page_header2_t header = page.header;
    const size_t        size   = static_cast<size_t>(header.cupsBytesPerLine) * header.cupsHeight;
    Bytes               pixels = page.pixels;

    pixels.resize(size, 0xFF);
    EXPECT_TRUE(cupsRasterWriteHeader2(ras, &header));
    if (size > 0)
    {
      EXPECT_EQ(cupsRasterWritePixels(ras, pixels.data(), static_cast<unsigned>(size)), size);
    }
  }
  cupsRasterClose(ras);

  return data;
}

std::string
test_ppd(const char *name)
{
  return std::string(PELNA_TEST_DATA) + "/" + name;
}

std::string
temp_file(const std::string &data)
{
  char path[] = "/tmp/pelna-test-XXXXXX";
  int  fd     = mkstemp(path);

  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fd);
  return path;
}

void
remove_file(const std::string &path)
{
  unlink(path.c_str());
}

std::string
read_file(const std::string &path)
{
  std::ifstream     in(path, std::ios::binary);
  std::stringstream text;

  text << in.rdbuf();
  return text.str();
}

std::vector<std::string>
job_args(const std::string &options)
{
  return {"1", "tester", "test job", "1", options};
}

FilterRun
run_filter(const std::vector<std::string> &args, const std::string *input,
           const std::string &ppd, const char *stdoutPath)
{
  FilterLaunch launch;

  launch.args = args;
  launch.ppd  = ppd;
  return run_filter_launch(launch, input, stdoutPath);
}

Bytes
inflate_raw(const std::uint8_t *data, std::size_t size, bool &ok)
{
  Bytes    out;
  z_stream z;
  int      status;

  memset(&z, 0, sizeof(z));
  ok = false;
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
    return out;

  z.next_in  = const_cast<Bytef *>(data);
  z.avail_in = static_cast<uInt>(size);
  do
  {
    std::uint8_t chunk[65536];

    z.next_out  = chunk;
    z.avail_out = sizeof(chunk);
    status      = inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof(chunk) - z.avail_out));
  }
  while (status == Z_OK);

  ok = status == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return out;
}

//
// 'read_exactly()' - Append exactly count bytes read from fd to out.
//

bool
read_exactly(int          fd,     // I  - Descriptor
             std::string &out,    // IO - Where the bytes go
             std::size_t  count)  // I  - Bytes wanted
{
  char buffer[4096];

  while (count > 0)
  {
    const ssize_t n = read(fd, buffer, std::min(count, sizeof(buffer)));

    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    out.append(buffer, static_cast<std::size_t>(n));
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

std::uint32_t
get_le32(const std::uint8_t *p)
{
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::vector<Bytes>
split_frames(const std::string &out, bool &ok)
{
  std::vector<Bytes> frames;
  size_t             pos = 0;

  ok = true;
  while (pos < out.size())
  {
    const auto *p = reinterpret_cast<const std::uint8_t *>(out.data()) + pos;

    if (out.size() - pos < pelna::kFrameOverhead)
    {
      ok = false;
      break;
    }
    const std::uint32_t length = get_le32(p + pelna::kFrameLengthOffset);
    if (length < pelna::kFrameOverhead || length > out.size() - pos)
    {
      ok = false;
      break;
    }
    frames.emplace_back(p, p + length);
    pos += length;
  }

  return frames;
}

Bytes
frame_stream(const Bytes &frame)
{
  bool ok = false;

  if (frame.size() < pelna::kFrameOverhead)
  {
    ADD_FAILURE() << "frame of " << frame.size() << " bytes is shorter than its fixed fields";
    return {};
  }

  const size_t N      = frame.size() - pelna::kFrameOverhead;
  Bytes        stream = inflate_raw(frame.data() + pelna::kFrameHeaderSize, N, ok);

  EXPECT_TRUE(ok) << "frame body is not one complete raw deflate stream";
  EXPECT_EQ(get_le32(frame.data() + pelna::kFrameHeaderSize + N),
            crc32(0, stream.data(), static_cast<uInt>(stream.size())))
      << "stream CRC does not match the inflated stream";
  return stream;
}

BmpImage
read_bmp(const std::string &data)
{
  BmpImage    image;
  const auto *p = reinterpret_cast<const std::uint8_t *>(data.data());

  if (data.size() < 54 || p[0] != 'B' || p[1] != 'M' || get_le32(p + 2) != data.size() ||
      get_le32(p + 14) != 40 || get_le32(p + 30) != 0)
    return image;

  image.width  = get_le32(p + 18);
  image.height = get_le32(p + 22);
  image.bits   = p[28] | (p[29] << 8);
  if (image.bits != 8 && image.bits != 1)
    return image;

  const size_t colors   = size_t{1} << image.bits;
  const size_t offBits  = get_le32(p + 10);
  const size_t lineByte = (static_cast<size_t>(image.width) * image.bits + 31) / 32 * 4;

  if (offBits != 54 + colors * 4 || data.size() != offBits + lineByte * image.height)
    return image;

  image.gray.resize(static_cast<size_t>(image.width) * image.height);
  for (unsigned y = 0; y < image.height; y ++)
  {
    const std::uint8_t *row = p + offBits + (image.height - 1 - y) * lineByte;

    for (unsigned x = 0; x < image.width; x ++)
    {
      const unsigned index = image.bits == 8 ? row[x] : (row[x / 8] >> (7 - x % 8)) & 1;
      const auto    *entry = p + 54 + index * 4;

      if (entry[0] != entry[1] || entry[1] != entry[2])
        return image;  // not a gray palette
      image.gray[static_cast<size_t>(y) * image.width + x] = entry[0];
    }
  }
  image.ok = true;
  return image;
}

void
start_log_capture()
{
  logs = tmpfile();
  ASSERT_NE(logs, nullptr);
}

std::string
end_log_capture()
{
  std::string text;
  char        line[512];

  rewind(logs);
  while (fgets(line, sizeof(line), logs))
    text += line;
  fclose(logs);
  logs = nullptr;
  return text;
}

std::vector<std::string>
log_lines(const std::string &log, const std::string &level)
{
  std::vector<std::string> lines;
  std::istringstream       in(log);
  std::string              line;

  while (std::getline(in, line))
    if (line.rfind(level + ": ", 0) == 0)
      lines.push_back(line.substr(level.size() + 2));
  return lines;
}

namespace {

int  spawn_count = 0;      // filters started by this test program
bool wrapped     = false;  // the last one ran under the wrapper

//
// 'wrapper_words()' - The words of PELNA_FILTER_WRAPPER for this run, or
// none when the run goes without it.
//

std::vector<std::string>
wrapper_words()
{
  const char *wrapper = getenv("PELNA_FILTER_WRAPPER");
  const char *every   = getenv("PELNA_FILTER_WRAPPER_EVERY");
  const int   n       = every ? atoi(every) : 1;
  const int   run     = spawn_count ++;

  std::vector<std::string> words;
  if (!wrapper || (n > 1 && run % n != 0))
    return words;

  std::istringstream in(wrapper);
  std::string        word;
  while (in >> word)
    words.push_back(word);
  return words;
}

} // namespace

pid_t
spawn_filter(const FilterLaunch &launch)
{
  const std::string        program = launch.program.empty() ? PELNA_FILTER_PATH : launch.program;
  std::vector<std::string> words   = wrapper_words();

  // Under the wrapper the program is its argument; alone, argv[0] is the
  // filter's own name as the printing system gives it.
  wrapped = !words.empty();
  if (wrapped)
    words.push_back(program);
  else
    words.push_back("rastertopelna");
  words.insert(words.end(), launch.args.begin(), launch.args.end());

  // Everything the child needs is built before the fork.
  std::vector<char *> argv;
  for (std::string &word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid != 0)
    return pid;

  int in  = launch.in >= 0 ? launch.in : open("/dev/null", O_RDONLY);
  int out = launch.out >= 0 ? launch.out : open("/dev/null", O_WRONLY);
  int err = launch.err >= 0 ? launch.err : open("/dev/null", O_WRONLY);
  if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
    _exit(127);

  if (launch.ppd.empty())
    unsetenv("PPD");
  else
    setenv("PPD", launch.ppd.c_str(), 1);
  for (const std::string &setting : launch.env)
  {
    const size_t equals = setting.find('=');
    setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
  }

  // A test that ignores SIGPIPE must not hand that on to the filter.
  signal(SIGPIPE, SIG_DFL);

  if (wrapped)
    execvp(argv[0], argv.data());
  else
    execv(program.c_str(), argv.data());
  _exit(127);
}

int
wait_filter(pid_t pid, long *maxRssKb)
{
  int           wstatus = 0;
  struct rusage usage   = {};

  while (wait4(pid, &wstatus, 0, &usage) < 0)
  {
    if (errno != EINTR)
      return -1;
  }
  if (maxRssKb)
    *maxRssKb = usage.ru_maxrss;
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

bool
last_run_wrapped()
{
  return wrapped;
}

FilterRun
run_filter_launch(FilterLaunch launch, const std::string *input, const char *stdoutPath)
{
  FilterRun         run;
  const std::string inPath  = temp_file(input ? *input : "");
  const std::string outPath = stdoutPath ? stdoutPath : temp_file("");
  const std::string errPath = temp_file("");

  launch.in  = open(input ? inPath.c_str() : "/dev/null", O_RDONLY | O_CLOEXEC);
  launch.out = open(outPath.c_str(), O_WRONLY | O_CLOEXEC);
  launch.err = open(errPath.c_str(), O_WRONLY | O_CLOEXEC);

  if (launch.in >= 0 && launch.out >= 0 && launch.err >= 0)
    run.status = wait_filter(spawn_filter(launch), &run.max_rss_kb);
  else
    ADD_FAILURE() << "cannot open the filter's standard files";

  for (int fd : {launch.in, launch.out, launch.err})
    if (fd >= 0)
      close(fd);

  if (!stdoutPath)
  {
    run.out = read_file(outPath);
    remove_file(outPath);
  }
  run.err = read_file(errPath);
  run.log = read_file(pelna::kLogPath);
  remove_file(inPath);
  remove_file(errPath);

  return run;
}

std::string
raw_raster_stream(const std::vector<TestPage> &pages)
{
  // The sync word as libcups writes it for an uncompressed stream.
  std::string data = raster_stream({}).substr(0, 4);

  for (const TestPage &page : pages)
  {
    data.append(reinterpret_cast<const char *>(&page.header), sizeof(page.header));
    data.append(page.pixels.begin(), page.pixels.end());
  }
  return data;
}

std::string
pdf_box(double x, double y, double width, double height)
{
  char ops[128];

  snprintf(ops, sizeof(ops), "0 g %.2f %.2f %.2f %.2f re f\n", x, y, width, height);
  return ops;
}

std::string
pdf_file(const std::vector<PdfTestPage> &pages, bool locked)
{
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
  std::string              kids;
  char                     text[256];

  for (const PdfTestPage &page : pages)
  {
    const size_t number = objects.size() + 1;

    snprintf(text, sizeof(text), "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %.2f %.2f] /Rotate %d "
             "/Contents %zu 0 R /Resources << >> >>", page.width, page.height, page.rotate, number + 1);
    objects.push_back(text);
    objects.push_back("<< /Length " + std::to_string(page.content.size()) + " >>\nstream\n" + page.content +
                      "\nendstream");
    kids += std::to_string(number) + " 0 R ";
  }
  objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>";

  std::string trailer;
  if (locked)
  {
    // RC4 40-bit with owner and user keys that no empty password matches.
    objects.push_back("<< /Filter /Standard /V 1 /R 2 /Length 40 /P -4 /O <" + std::string(64, '1') + "> /U <" +
                      std::string(64, '2') + "> >>");
    trailer = "/Encrypt " + std::to_string(objects.size()) + " 0 R /ID [<" + std::string(32, 'a') + "> <" +
              std::string(32, 'a') + ">] ";
  }

  std::string         pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); i++)
  {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }

  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets)
  {
    snprintf(text, sizeof(text), "%010zu 00000 n \n", offset);
    pdf += text;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R " + trailer +
         ">>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

bool
mentions(const std::vector<std::string> &lines, const std::string &text)
{
  for (const auto &line : lines)
    if (line.find(text) != std::string::npos)
      return true;
  return false;
}

} // namespace pelna_test
