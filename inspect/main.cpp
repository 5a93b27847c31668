// SPDX-License-Identifier: Apache-2.0
//
// pelna-inspect: says exactly what the printer would do with the data that
// the rastertopelna filter writes, draws each page at the printer's dots,
// and can stand in for the network printer itself.
//

#include "tool_io.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace inspect;

namespace {

// Exit statuses.
constexpr int kExitSound  = 0;   // every frame sound
constexpr int kExitFaults = 1;   // at least one fault
constexpr int kExitUsage  = 2;   // bad command line or I/O failure

constexpr const char *kDefaultBind = "127.0.0.1";

constexpr const char *kUsage =
"Usage: pelna-inspect [options] FILE|-\n"
"       pelna-inspect [options] --listen PORT\n"
"\n"
"Checks the page frames that the rastertopelna filter sends to the printer\n"
"(a file, or standard input for -): the frame header bytes, the length field,\n"
"both CRCs, the raw deflate body and the command stream inside.  Every fault\n"
"is reported with its page, its byte offset and what was expected and found.\n"
"Offsets count in the input, or, for faults inside a command stream, in the\n"
"page's inflated stream.  Exit status: 0 when there is at least one frame and\n"
"every frame is sound, 1 on any fault, 2 on a usage or I/O error.\n"
"\n"
"Report:\n"
"  (default)          one line per page: width in dots, rows, page mark, frame\n"
"                     bytes, stream bytes, compression ratio, share of black\n"
"                     dots; then one line per fault and a total line\n"
"  --json             the JSON summary instead (layout below)\n"
"  --commands         also list every command with its stream offset; runs of\n"
"                     identical rows take one line (text report only)\n"
"\n"
"Pictures, one pixel per printer dot, black where the printer prints:\n"
"  --png DIR          write DIR/page-0001.png, ... (1-bit gray PNG)\n"
"  --pbm[=DIR]        netpbm PBM (page-0001.pbm) instead of PNG; --pbm=DIR\n"
"                     also names the folder\n"
"  A page without a usable width or without rows gets no picture.\n"
"\n"
"Limits against hostile data:\n"
"  --max-stream BYTES cap on what one frame body may inflate to; K, M, G\n"
"                     suffixes (default 256M); a larger body is a fault\n"
"  --max-pages N      cap on the frames of one input (default 100000)\n"
"\n"
"Virtual printer (a raw socket printer, as on port 9100):\n"
"  --listen PORT      accept print jobs on PORT, one connection per job;\n"
"                     0 takes any free port.  Prints \"listening on ADDR:PORT\"\n"
"                     first and one line per job; SIGTERM or SIGINT ends it\n"
"  --bind ADDR        numeric address to listen on (default 127.0.0.1)\n"
"  --out DIR          where job folders go (default .)\n"
"  --once             end after one job; the exit status is that job's\n"
"  --idle-timeout S   end a job after S seconds without data (default 30)\n"
"  Each job gets the next free folder:\n"
"    OUT/job-0001/page-0001.png   picture of each page (.pbm with --pbm)\n"
"    OUT/job-0001/summary.json    the JSON summary, with \"job\", \"peer\" and\n"
"                                 \"ended\" added; written completely before\n"
"                                 the job's connection is closed\n"
"\n"
"JSON summary:\n"
"  {\"input_bytes\": N, \"pages\": N, \"sound\": true|false,\n"
"   \"faults\": [faults of the whole input, e.g. an empty input],\n"
"   \"page_list\": [{\"page\": 1, \"sound\": true|false, \"width\": dots|null,\n"
"      \"rows\": N, \"page_mark\": \"continuous\"|\"label\"|\"black\"|\"unknown\"|null,\n"
"      \"page_mark_value\": N|null, \"black_share\": 0..1, \"frame_offset\": N,\n"
"      \"frame_bytes\": N, \"stream_bytes\": N, \"compression_ratio\": x|null,\n"
"      \"picture\": \"page-0001.png\"|null, \"faults\": [...], \"faults_dropped\": N}]}\n"
"  A fault: {\"kind\": \"frame-crc\", \"page\": N, \"where\": \"input\"|\"stream\",\n"
"           \"offset\": N, \"expected\": \"...\", \"found\": \"...\", \"text\": \"...\"}\n";

// What the command line asked for.
struct Settings
{
  bool          json = false;
  bool          commands = false;
  std::string   picture_dir;            // empty: no pictures
  PictureFormat format = PictureFormat::Png;
  int           port = -1;              // -1: not listening
  std::string   bind = kDefaultBind;
  ListenOptions listen;
  const char   *input = nullptr;
};

// What the page sink of a file needs.
struct FileContext
{
  const Settings *settings;
  int             failures = 0;   // pictures that could not be written
};

//
// 'parse_size()' - Parse a byte count with an optional K, M or G suffix.
//
// Returns false for anything else, for 0 and for overflow.
//

bool
parse_size(const char    *text,   // I - Text
           std::uint64_t &value)  // O - Value
{
  char              *end = nullptr;
  unsigned long long n;

  if (!text)
    return false;

  errno = 0;
  n = strtoull(text, &end, 10);
  if (errno || end == text || n == 0 || text[0] == '-')
    return false;

  int shift = 0;

  if (*end == 'K' || *end == 'k')
    shift = 10;
  else if (*end == 'M' || *end == 'm')
    shift = 20;
  else if (*end == 'G' || *end == 'g')
    shift = 30;
  else if (*end)
    return false;

  if (shift && end[1])
    return false;
  if (n > (ULLONG_MAX >> shift))
    return false;

  value = static_cast<std::uint64_t>(n) << shift;
  return true;
}

//
// 'parse_int()' - Parse a whole number from low to high.
//

bool
parse_int(const char *text,  // I - Text
          long        low,   // I - Smallest value
          long        high,  // I - Largest value
          int        &value) // O - Value
{
  char *end = nullptr;

  if (!text)
    return false;

  errno = 0;
  const long n = strtol(text, &end, 10);

  if (errno || end == text || *end || n < low || n > high)
    return false;

  value = static_cast<int>(n);
  return true;
}

//
// 'usage_error()' - Report a command line error and return the exit status.
//

int
usage_error(const char *message)  // I - What is wrong
{
  fprintf(stderr, "pelna-inspect: %s\nTry 'pelna-inspect --help'.\n", message);
  return kExitUsage;
}

//
// 'parse_args()' - Read the command line into settings.
//
// Returns -1 to go on, or the exit status to end with.
//

int
parse_args(int       argc,      // I - Argument count
           char     *argv[],    // I - Arguments
           Settings &settings)  // O - What was asked for
{
  enum { kJson = 256, kCommands, kPng, kPbm, kMaxStream, kMaxPages, kListen, kBind,
         kOut, kOnce, kIdle };
  static const struct option kOptions[] =
  {
    {"json",         no_argument,       nullptr, kJson},
    {"commands",     no_argument,       nullptr, kCommands},
    {"png",          required_argument, nullptr, kPng},
    {"pbm",          optional_argument, nullptr, kPbm},
    {"max-stream",   required_argument, nullptr, kMaxStream},
    {"max-pages",    required_argument, nullptr, kMaxPages},
    {"listen",       required_argument, nullptr, kListen},
    {"bind",         required_argument, nullptr, kBind},
    {"out",          required_argument, nullptr, kOut},
    {"once",         no_argument,       nullptr, kOnce},
    {"idle-timeout", required_argument, nullptr, kIdle},
    {"help",         no_argument,       nullptr, 'h'},
    {nullptr,        0,                 nullptr, 0}
  };
  Options &decoder = settings.listen.decoder;
  int      opt;

  opterr = 0;
  while ((opt = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1)
  {
    switch (opt)
    {
      case 'h' :
          fputs(kUsage, stdout);
          return kExitSound;
      case kJson :
          settings.json = true;
          break;
      case kCommands :
          settings.commands = true;
          break;
      case kPng :
          settings.picture_dir = optarg;
          break;
      case kPbm :
          settings.format = PictureFormat::Pbm;
          if (optarg)
            settings.picture_dir = optarg;
          break;
      case kMaxStream :
          if (!parse_size(optarg, decoder.max_stream))
            return usage_error("--max-stream needs a byte count such as 64M");
          break;
      case kMaxPages :
          if (!parse_size(optarg, decoder.max_pages))
            return usage_error("--max-pages needs a positive number");
          break;
      case kListen :
          if (!parse_int(optarg, 0, 65535, settings.port))
            return usage_error("--listen needs a port from 0 to 65535");
          break;
      case kBind :
          settings.bind = optarg;
          break;
      case kOut :
          settings.listen.out = optarg;
          break;
      case kOnce :
          settings.listen.once = true;
          break;
      case kIdle :
          if (!parse_int(optarg, 1, 86400, settings.listen.idle_seconds))
            return usage_error("--idle-timeout needs seconds from 1 to 86400");
          break;
      default :
          return usage_error("unknown option or missing value");
    }
  }

  settings.listen.format = settings.format;

  if (settings.port >= 0)
  {
    if (optind < argc)
      return usage_error("--listen reads jobs from the network, not from a file");
    if (settings.json || settings.commands || !settings.picture_dir.empty())
      return usage_error("--json, --commands, --png and --pbm=DIR apply to a file; "
                         "jobs are summarized in their folders");
    return -1;
  }

  if (optind + 1 != argc)
    return usage_error("one input file (or - for standard input) is needed");
  if (settings.json && settings.commands)
    return usage_error("--commands lists into the text report, not into --json");

  settings.input = argv[optind];
  return -1;
}

//
// 'report_page()' - Page sink of a file: picture and text lines.
//

void
report_page(Page &page,     // IO - Page; its picture name is set
            void *context)  // I  - FileContext
{
  FileContext    *file = static_cast<FileContext *>(context);
  const Settings &settings = *file->settings;
  std::string     error;

  if (!settings.picture_dir.empty() && page_has_picture(page))
  {
    const std::string name = picture_name(page.number, settings.format);

    if (write_picture(settings.picture_dir + "/" + name, page, settings.format, error))
      page.picture = name;
    else
    {
      fprintf(stderr, "pelna-inspect: %s\n", error.c_str());
      file->failures ++;
    }
  }

  if (settings.json)
    return;

  print_page(stdout, page);
  print_faults(stdout, page.faults, &page);
  if (settings.commands)
    print_commands(stdout, page);
}

//
// 'inspect_file()' - Check a file or standard input and report.
//

int
inspect_file(const Settings &settings)  // I - What was asked for
{
  const bool  useStdin = !strcmp(settings.input, "-");
  const int   fd = useStdin ? 0 : open(settings.input, O_RDONLY | O_CLOEXEC);
  Options     decoder = settings.listen.decoder;
  FileContext context{&settings};
  Reader      reader;
  Result      result;

  if (fd < 0)
  {
    fprintf(stderr, "pelna-inspect: %s: %s\n", settings.input, strerror(errno));
    return kExitUsage;
  }

  if (!settings.picture_dir.empty() && mkdir(settings.picture_dir.c_str(), 0755) &&
      errno != EEXIST)
  {
    fprintf(stderr, "pelna-inspect: %s: %s\n", settings.picture_dir.c_str(), strerror(errno));
    if (!useStdin)
      close(fd);
    return kExitUsage;
  }

  decoder.keep_dots     = !settings.picture_dir.empty();
  decoder.keep_commands = settings.commands;
  reader.fd = fd;

  inspect_fd(reader, decoder, report_page, &context, result);

  if (!useStdin)
    close(fd);

  if (reader.end == InputEnd::ReadError)
  {
    fprintf(stderr, "pelna-inspect: %s: %s\n", settings.input, strerror(reader.error));
    return kExitUsage;
  }

  if (settings.json)
    write_json(stdout, result, nullptr);
  else
    print_totals(stdout, result);

  if (fflush(stdout) || context.failures)
    return kExitUsage;

  return result.sound ? kExitSound : kExitFaults;
}

//
// 'serve()' - Be the network printer until stopped.
//

int
serve(Settings &settings)  // I - What was asked for
{
  std::string error;
  const int   fd = listen_open(settings.bind.c_str(), settings.port, error);

  if (fd < 0)
  {
    fprintf(stderr, "pelna-inspect: %s\n", error.c_str());
    return kExitUsage;
  }

  install_stop_handlers();
  printf("listening on %s:%d, job folders in %s\n", settings.bind.c_str(), listen_port(fd),
         settings.listen.out.c_str());
  fflush(stdout);

  const int status = listen_serve(fd, settings.listen);

  close(fd);
  return status;
}

} // namespace

//
// 'main()' - Check a file or serve print jobs.
//

int
main(int  argc,    // I - Argument count
     char *argv[]) // I - Arguments
{
  Settings  settings;
  const int status = parse_args(argc, argv, settings);

  if (status >= 0)
    return status;

  return settings.port >= 0 ? serve(settings) : inspect_file(settings);
}
