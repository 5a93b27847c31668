// SPDX-License-Identifier: Apache-2.0
//
// pelna-printer-app end to end: one server on a free loopback port with a
// private SNAP_COMMON, three printers (203 and 300 dpi on pelna-inspect
// listening as a socket printer, and a 203 dpi printer writing to files),
// jobs sent with ipptool and with the submit sub-command.  What reaches the
// printers is checked by pelna-inspect, and the command streams in the
// frames of a PWG page are compared byte for byte with the filter's for the
// same pixels and settings.  Every process is stopped by its id and every
// wait is bounded.
//

#include "font.h"
#include "pelna_format.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cups/cups.h>
#include <cups/raster.h>

#include <algorithm>
#include <array>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <jpeglib.h>
#include <netinet/in.h>
#include <png.h>
#include <poll.h>
#include <random>
#include <set>
#include <sstream>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

using namespace pelna_test;

namespace {

constexpr int kCommandSeconds = 60;   // longest any one command may take
constexpr int kJobSeconds     = 60;   // longest a job may take to end
constexpr int kStartSeconds   = 20;   // longest a server may take to listen
constexpr int kStopSeconds    = 15;   // SIGTERM, then SIGKILL after this

//
// A command's outcome.
//

struct CommandRun
{
  int         status = -1;  // exit status, 128 + signal, or -1 when it timed out
  std::string out;          // standard output and error
};

//
// 'now_seconds()' - Monotonic seconds, for bounded waits.
//

double
now_seconds()
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

//
// 'spawn()' - Start a program with its output in a file; its process id.
//

pid_t
spawn(const std::vector<std::string> &argv,     // I - Program and arguments
      const std::string              &outPath)  // I - File for its output
{
  const pid_t pid = fork();

  if (pid == 0)
  {
    const int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::vector<char *> args;

    if (fd >= 0)
    {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    setpgid(0, 0);
    args.reserve(argv.size() + 1);
    for (const auto &arg : argv)
      args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

//
// 'wait_status()' - Exit status of a reaped child (128 + signal).
//

int
wait_status(int status)  // I - waitpid status
{
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

//
// 'stop()' - Stop a process started by spawn: SIGTERM, SIGKILL after
// kStopSeconds; its exit status (-1 when it had to be killed).
//

int
stop(pid_t pid)  // I - Process id
{
  int status = 0;

  if (pid <= 0)
    return -1;
  kill(pid, SIGTERM);
  for (const double end = now_seconds() + kStopSeconds; now_seconds() < end;)
  {
    if (waitpid(pid, &status, WNOHANG) == pid)
      return wait_status(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

//
// 'run()' - Run a command to its end (at most kCommandSeconds).
//

CommandRun
run(const std::vector<std::string> &argv,  // I - Program and arguments
    const std::string              &dir)   // I - Folder for the output file
{
  static int        count = 0;
  const std::string path  = dir + "/command-" + std::to_string(++count) + ".out";
  CommandRun        result;
  const pid_t       pid = spawn(argv, path);
  int               status;

  for (const double end = now_seconds() + kCommandSeconds;;)
  {
    if (waitpid(pid, &status, WNOHANG) == pid)
    {
      result.status = wait_status(status);
      break;
    }
    if (now_seconds() > end)
    {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  result.out = read_file(path);
  return result;
}

//
// 'free_port()' - A loopback port that was free a moment ago, below the range
// the kernel hands to outgoing connections: one of the many connections the
// tests make could hold a port from that range when the server binds it.
//

int
free_port()
{
  int   low = 32768;
  FILE *fp  = fopen("/proc/sys/net/ipv4/ip_local_port_range", "r");

  if (fp)
  {
    if (fscanf(fp, "%d", &low) != 1)
      low = 32768;
    fclose(fp);
  }
  if (low < 20000)
    low = 60000;

  std::mt19937 pick(std::random_device{}());
  for (int attempt = 0; attempt < 50; attempt++)
  {
    const int   port  = 10000 + static_cast<int>(pick() % static_cast<unsigned>(low - 10000));
    const int   fd    = socket(AF_INET, SOCK_STREAM, 0);
    const int   reuse = 1;
    sockaddr_in addr{};

    addr.sin_family      = AF_INET;
    addr.sin_port        = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool free = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) == 0 &&
                      bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    if (fd >= 0)
      close(fd);
    if (free)
      return port;
  }
  return -1;
}

//
// 'listens_on()' - Whether process PID itself listens on 127.0.0.1:PORT.  A
// connection proves only that something listens there: a server started in
// parallel may have taken the port, and a server that could bind only ::1
// would pass for ready while every request went to the other one.
//

bool
listens_on(pid_t pid,   // I - Process
           int   port)  // I - Port
{
  char               wanted[32];
  std::istringstream table(read_file("/proc/net/tcp"));
  std::string        line;
  std::set<std::string> inodes;

  snprintf(wanted, sizeof(wanted), "0100007F:%04X", port);
  while (std::getline(table, line))
  {
    std::istringstream fields(line);
    std::string        slot, local, remote, state, skip, inode;

    fields >> slot >> local >> remote >> state >> skip >> skip >> skip >> skip >> skip >> inode;
    if (local == wanted && state == "0A")
      inodes.insert("socket:[" + inode + "]");
  }
  if (inodes.empty())
    return false;

  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR              *dir    = opendir(folder.c_str());
  bool              found  = false;

  while (dir && !found)
  {
    const dirent *entry = readdir(dir);
    char          target[64];
    ssize_t       len;

    if (!entry)
      break;
    len   = readlink((folder + "/" + entry->d_name).c_str(), target, sizeof(target) - 1);
    found = len > 0 && inodes.count(std::string(target, static_cast<std::size_t>(len))) > 0;
  }
  if (dir)
    closedir(dir);
  return found;
}

//
// 'accepts()' - Whether something accepts connections on a loopback port.
//

bool
accepts(int port)  // I - Port
{
  sockaddr_in addr{};
  const int   fd = socket(AF_INET, SOCK_STREAM, 0);

  addr.sin_family      = AF_INET;
  addr.sin_port        = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
  if (fd >= 0)
    close(fd);
  return ok;
}

//
// 'write_file()' - Write bytes to a file.
//

void
write_file(const std::string &path,  // I - File
           const std::string &data)  // I - Bytes
{
  FILE *fp = fopen(path.c_str(), "wb");

  ASSERT_NE(fp, nullptr) << path;
  fwrite(data.data(), 1, data.size(), fp);
  fclose(fp);
}

//
// 'label_pixel()' - A label-like test pattern: bars, a gray ramp and noise,
// so that both halftone methods and the blackness number show.
//

std::uint8_t
label_pixel(unsigned x,  // I - Column
            unsigned y)  // I - Row
{
  if (y < 80)
    return (x / 3) % 3 ? 255 : 0;                          // bars
  if (y < 160)
    return static_cast<std::uint8_t>((x * 255) / 599);     // gray ramp
  return static_cast<std::uint8_t>((x * 7919u + y * 104729u) % 251);  // noise
}

//
// 'pwg_page()' - A PWG raster page of the given type and size, pixels as
// given (the header as a PWG client writes it).
//

TestPage
pwg_page(const char *type,    // I - PWG raster type, e.g. "sgray_8"
         unsigned    width,   // I - Width in pixels
         unsigned    height,  // I - Height in rows
         const Bytes &pixels) // I - cupsBytesPerLine x height bytes
{
  TestPage page;

  EXPECT_TRUE(cupsRasterInitPWGHeader(&page.header, pwgMediaForPWG("na_index-4x6_4x6in"), type, 203,
                                      203, "one-sided", nullptr));
  page.header.cupsWidth        = width;
  page.header.cupsHeight       = height;
  page.header.cupsBytesPerLine = (width * page.header.cupsBitsPerPixel + 7) / 8;
  page.pixels                  = pixels;
  return page;
}

// A test picture's gray value at a column and row.
using PixelFunction = std::uint8_t (*)(unsigned x, unsigned y);

//
// 'png_file()' - An 8-bit gray PNG of the label pattern (or another).
//

std::string
png_file(const std::string &path,                 // I - File
         unsigned           width,                // I - Width
         unsigned           height,               // I - Height
         PixelFunction      pixel = label_pixel)  // I - Its pixels
{
  FILE       *fp  = fopen(path.c_str(), "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop   info = png_create_info_struct(png);
  Bytes       row(width);

  if (setjmp(png_jmpbuf(png)))
  {
    png_destroy_write_struct(&png, &info);
    fclose(fp);
    return "";
  }
  png_init_io(png, fp);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (unsigned y = 0; y < height; y++)
  {
    for (unsigned x = 0; x < width; x++)
      row[x] = pixel(x, y);
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  fclose(fp);
  return path;
}

//
// 'mark_pixel()' - A black-and-white picture far from half black: a bar
// over the top fifth and thin upright lines (28 % black), so that white
// printed as black shows.
//

bool
mark_pixel(unsigned x,       // I - Column
           unsigned y,       // I - Row
           unsigned height)  // I - Rows of the picture
{
  return y * 5 < height || x % 40 < 4;
}

//
// 'png_layout_row()' - One row of the mark picture in a PNG layout:
// "gray8", "interlaced" (8-bit gray), "gray1", "gray16", "palette" (0
// white, 1 black), "rgb", and "gray-alpha" and "rgba" with white as
// transparent black ("interlaced-rgba" too); "colour" paints the white bands red, green and blue in
// turn, "colour-gray" the same bands as those colours' gray (76, 150, 29).
//

Bytes
png_layout_row(const std::string &layout,  // I - Layout
               unsigned           width,   // I - Width
               unsigned           y,       // I - Row
               unsigned           height)  // I - Rows
{
  Bytes row;

  for (unsigned x = 0; x < width; x++)
  {
    const bool         black = mark_pixel(x, y, height);
    const std::uint8_t v     = black ? 0 : 255;

    if (layout == "gray1")
    {
      if (x % 8 == 0)
        row.push_back(0);
      if (!black)
        row.back() |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    }
    else if (layout == "gray16")
      row.insert(row.end(), {v, v});
    else if (layout == "palette")
      row.push_back(black ? 1 : 0);
    else if (layout == "rgb")
      row.insert(row.end(), {v, v, v});
    else if (layout == "gray-alpha")
      row.insert(row.end(), {0, static_cast<std::uint8_t>(255 - v)});
    else if (layout == "rgba" || layout == "interlaced-rgba")
      row.insert(row.end(), {0, 0, 0, static_cast<std::uint8_t>(255 - v)});
    else if (layout == "colour")
    {
      const unsigned band = black ? 3 : x / 10 % 3;  // 3: black
      row.insert(row.end(), {static_cast<std::uint8_t>(band == 0 ? 255 : 0),
                             static_cast<std::uint8_t>(band == 1 ? 255 : 0),
                             static_cast<std::uint8_t>(band == 2 ? 255 : 0)});
    }
    else if (layout == "colour-gray")
      row.push_back(black ? 0 : std::array<std::uint8_t, 3>{76, 150, 29}[x / 10 % 3]);
    else
      row.push_back(v);
  }
  return row;
}

//
// 'write_png()' - Write rows as a PNG of the given type and depth; false
// when libpng fails.
//

bool
write_png(FILE                         *fp,         // I - File, open for writing
          unsigned                      width,      // I - Width
          unsigned                      height,     // I - Height
          int                           depth,      // I - Bits per channel
          int                           type,       // I - PNG colour type
          bool                          interlace,  // I - Adam7 interlaced
          const std::vector<png_bytep> &rows)       // I - Rows, as the type packs them
{
  png_structp png  = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop   info = png_create_info_struct(png);
  png_color   palette[2] = {{255, 255, 255}, {0, 0, 0}};

  if (setjmp(png_jmpbuf(png)))
  {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, fp);
  png_set_IHDR(png, info, width, height, depth, type, interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (type == PNG_COLOR_TYPE_PALETTE)
    png_set_PLTE(png, info, palette, 2);
  png_write_info(png, info);
  png_write_image(png, const_cast<png_bytepp>(rows.data()));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

//
// 'png_layout_file()' - The mark picture as a PNG in one layout (see
// png_layout_row); empty when it could not be written.
//

std::string
png_layout_file(const std::string &path,    // I - File
                const std::string &layout,  // I - Layout
                unsigned           width,   // I - Width
                unsigned           height)  // I - Height
{
  const int type  = layout == "palette"      ? PNG_COLOR_TYPE_PALETTE
                    : layout == "rgb" || layout == "colour" ? PNG_COLOR_TYPE_RGB
                    : layout == "rgba" || layout == "interlaced-rgba" ? PNG_COLOR_TYPE_RGB_ALPHA
                    : layout == "gray-alpha" ? PNG_COLOR_TYPE_GRAY_ALPHA
                                             : PNG_COLOR_TYPE_GRAY;
  const int depth = layout == "gray1" ? 1 : layout == "gray16" ? 16 : 8;
  std::vector<Bytes>     rows;
  std::vector<png_bytep> pointers;

  for (unsigned y = 0; y < height; y++)
    rows.push_back(png_layout_row(layout, width, y, height));
  for (Bytes &row : rows)
    pointers.push_back(row.data());

  FILE      *fp = fopen(path.c_str(), "wb");
  const bool ok = fp && write_png(fp, width, height, depth, type, layout.starts_with("interlaced"), pointers);

  if (fp)
    fclose(fp);
  return ok ? path : "";
}

//
// 'jpeg_file()' - The label pattern (or another) as a JPEG in one layout:
// "gray", "colour" (each pixel's gray as RGB, stored as YCbCr), "cmyk" (the
// gray as black ink, stored inverted with Adobe's marker, as Adobe's
// programs write it) or "progressive" (gray, in several scans).  Every
// layout decodes to the gray file's very pixels.
//

std::string
jpeg_file(const std::string &path,                 // I - File
          unsigned           width,                // I - Width
          unsigned           height,               // I - Height
          const std::string &layout = "gray",      // I - Layout
          PixelFunction      pixel  = label_pixel) // I - Its pixels
{
  FILE                       *fp = fopen(path.c_str(), "wb");
  jpeg_compress_struct        cinfo;
  jpeg_error_mgr              jerr;
  const int                   channels = layout == "colour" ? 3 : layout == "cmyk" ? 4 : 1;
  Bytes                       row(std::size_t{width} * channels);

  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, fp);
  cinfo.image_width      = width;
  cinfo.image_height     = height;
  cinfo.input_components = channels;
  cinfo.in_color_space   = channels == 3 ? JCS_RGB : channels == 4 ? JCS_CMYK : JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  if (layout == "progressive")
    jpeg_simple_progression(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  for (unsigned y = 0; y < height; y++)
  {
    for (unsigned x = 0; x < width; x++)
    {
      const std::uint8_t v = pixel(x, y);
      for (int c = 0; c < channels; c++)  // inverted CMYK: 255 no ink, black ink 255 - v
        row[std::size_t{x} * channels + c] = channels == 4 && c < 3 ? 255 : v;
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  fclose(fp);
  return path;
}

//
// 'field()' - The text after the first key at or after from, up to (not
// including) the first of the stop characters; empty when the key is not
// there.  from is moved past the value.
//

std::string
field(const std::string &text,  // I - Text
      const std::string &key,   // I - What comes right before the value
      const char        *stop,  // I - Characters that end the value
      std::size_t       &from)  // IO - Where to look, then past the value
{
  const std::size_t at = text.find(key, from);

  if (at == std::string::npos)
    return "";

  const std::size_t begin = at + key.size();
  const std::size_t end   = std::min(text.find_first_of(stop, begin), text.size());

  from = end;
  return text.substr(begin, end - begin);
}

//
// 'field()' - The same, from the start of the text.
//

std::string
field(const std::string &text, const std::string &key, const char *stop)
{
  std::size_t from = 0;

  return field(text, key, stop, from);
}

//
// One page of an inspector summary.
//

struct InspectedPage
{
  bool        sound = false;
  unsigned    width = 0, rows = 0;
  std::string page_mark;
  double      black_share = 0;
};

//
// 'inspected_pages()' - The pages of a summary.json of pelna-inspect.
//

std::vector<InspectedPage>
inspected_pages(const std::string &json)  // I - summary.json
{
  std::vector<InspectedPage> pages;
  const std::size_t          list = json.find("\"page_list\"");

  for (std::size_t from = list == std::string::npos ? json.size() : list;;)
  {
    InspectedPage page;

    if (field(json, "\"page\": ", ",", from).empty())
      break;
    page.sound = field(json, "\"sound\": ", ",", from) == "true";
    const std::string width = field(json, "\"width\": ", ",", from);
    const std::string rows  = field(json, "\"rows\": ", ",", from);
    page.page_mark          = field(json, "\"page_mark\": \"", "\"", from);
    const std::string black = field(json, "\"black_share\": ", ",", from);
    page.width       = static_cast<unsigned>(strtoul(width.c_str(), nullptr, 10));
    page.rows        = static_cast<unsigned>(strtoul(rows.c_str(), nullptr, 10));
    page.black_share = strtod(black.c_str(), nullptr);
    pages.push_back(page);
  }
  return pages;
}

//
// The server, its printers and the virtual printer, shared by every test.
//

class AppEndToEnd : public ::testing::Test
{
 protected:
  static std::string dir_;           // private folder (SNAP_COMMON, outputs)
  static pid_t       server_;        // the server
  static pid_t       inspector_;     // pelna-inspect --listen
  static int         port_;          // the server's port
  static int         inspect_port_;  // the virtual printer's port
  static int         inspect_jobs_;  // job folders the virtual printer made so far
  static std::string last_job_name_;  // job-name of the last print

  static void SetUpTestSuite();
  static void TearDownTestSuite();

  static bool start_server();
  static bool start_inspector();
  static CommandRun app(const std::vector<std::string> &args);
  static std::string uri(const char *printer);
  static int  print(const char *printer, const std::string &file, const char *format,
                    const std::vector<std::string> &vars = {});
  static std::string job_end(const char *printer, int job, std::string *message = nullptr);
  static std::string next_inspector_job();
  static std::string inspector_job_dir();
  static int  submit(const std::vector<std::string> &args);
  static std::vector<unsigned> next_page_rows(std::size_t count);
  static std::string job_file();
  static int  web(const std::string &method, const std::string &path, const std::string &cookie,
                  const std::string &body, std::string *response);
  static ::testing::AssertionResult shows_last_label(const char *printer, const std::string &png);
};

std::string           AppEndToEnd::dir_;
pid_t                 AppEndToEnd::server_       = -1;
pid_t                 AppEndToEnd::inspector_    = -1;
int                   AppEndToEnd::port_         = 0;
int                   AppEndToEnd::inspect_port_ = 0;
int                   AppEndToEnd::inspect_jobs_ = 0;
std::string           AppEndToEnd::last_job_name_;

//
// 'AppEndToEnd::start_server()' - Start the server on a free port (three
// tries, another program may take the port first); true once it listens
// on both its port and its socket.
//

bool
AppEndToEnd::start_server()
{
  // A socket left by a server that was killed would pass for the new one's.
  unlink((dir_ + "/pelna-printer-app.sock").c_str());
  for (int attempt = 0; attempt < 3; attempt++)
  {
    port_   = free_port();
    server_ = spawn({PELNA_APP_PATH, "server", "-o", "server-port=" + std::to_string(port_), "-o",
                     "log-file=" + dir_ + "/server.log", "-o", "log-level=debug"},
                    dir_ + "/server.out");
    for (const double end = now_seconds() + kStartSeconds; now_seconds() < end;)
    {
      int status;

      if (waitpid(server_, &status, WNOHANG) == server_)
      {
        server_ = -1;
        break;
      }
      // Both ways in: TCP, and the socket the sub-commands use (made a
      // moment later; a sub-command that finds none starts a server of its
      // own on the same state).
      struct stat info;
      if (listens_on(server_, port_) && stat((dir_ + "/pelna-printer-app.sock").c_str(), &info) == 0 &&
          S_ISSOCK(info.st_mode))
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    stop(server_);
    server_ = -1;
  }
  return false;
}

//
// 'AppEndToEnd::start_inspector()' - Start the virtual printer on any free
// port and read back which.
//

bool
AppEndToEnd::start_inspector()
{
  const std::string out = dir_ + "/inspect.out";

  inspector_ = spawn({PELNA_INSPECT_PATH, "--listen", "0", "--out", dir_ + "/inspect"}, out);
  for (const double end = now_seconds() + kStartSeconds; now_seconds() < end;)
  {
    const std::string port = field(read_file(out), "listening on 127.0.0.1:", ", \n");

    if (!port.empty())
    {
      inspect_port_ = atoi(port.c_str());
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

//
// 'AppEndToEnd::SetUpTestSuite()' - Folders, virtual printer, server and
// printers; the server is restarted once so that the printers are read
// back from the state file.
//

void
AppEndToEnd::SetUpTestSuite()
{
  char templ[] = "/tmp/pelna-app-e2e.XXXXXX";

  ASSERT_NE(mkdtemp(templ), nullptr);
  dir_ = templ;
  mkdir((dir_ + "/inspect").c_str(), 0700);
  mkdir((dir_ + "/files").c_str(), 0700);
  setenv("SNAP_COMMON", dir_.c_str(), 1);
  // For a sanitizer build of the app: full stacks, so that the suppressions
  // of PAPPL's own leaks can name PAPPL's functions.
  const char       *asan    = getenv("ASAN_OPTIONS");
  const std::string options = std::string(asan ? asan : "") + (asan && *asan ? ":" : "") +
                              "fast_unwind_on_malloc=0";
  setenv("ASAN_OPTIONS", options.c_str(), 1);
  setenv("LSAN_OPTIONS", "suppressions=" PELNA_APP_LSAN_SUPP, 1);

  ASSERT_TRUE(start_inspector()) << read_file(dir_ + "/inspect.out");
  ASSERT_TRUE(start_server()) << read_file(dir_ + "/server.out");

  const std::string socket = "socket://127.0.0.1:" + std::to_string(inspect_port_);
  for (const auto &add : std::vector<std::vector<std::string>>{
           {"add", "-d", "p203", "-m", "pelna_203", "-v", socket},
           {"add", "-d", "p300", "-m", "pelna_300", "-v", socket},
           {"add", "-d", "pfile", "-m", "pelna_203", "-v", "file://" + dir_ + "/files?ext=prn"}})
  {
    const CommandRun added = app(add);
    ASSERT_EQ(added.status, 0) << added.out;
  }

  ASSERT_EQ(stop(server_), 0) << "the server did not stop cleanly on SIGTERM:\n" << read_file(dir_ + "/server.out");
  ASSERT_TRUE(start_server()) << read_file(dir_ + "/server.out");
}

//
// 'AppEndToEnd::TearDownTestSuite()' - Stop both servers by their ids;
// the app must end cleanly (a sanitizer finding would fail it).
//

void
AppEndToEnd::TearDownTestSuite()
{
  const int status = stop(server_);

  stop(inspector_);
  EXPECT_EQ(status, 0) << read_file(dir_ + "/server.out");
  if (!HasFailure() && !getenv("PELNA_APP_E2E_KEEP"))
    run({"rm", "-rf", dir_}, "/tmp");
  else
    printf("kept: %s\n", dir_.c_str());
}

//
// 'AppEndToEnd::app()' - Run a sub-command of the app.
//

CommandRun
AppEndToEnd::app(const std::vector<std::string> &args)
{
  std::vector<std::string> argv{PELNA_APP_PATH};

  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, dir_);
}

//
// 'AppEndToEnd::uri()' - The IPP URI of a printer.
//

std::string
AppEndToEnd::uri(const char *printer)
{
  return "ipp://127.0.0.1:" + std::to_string(port_) + "/ipp/print/" + printer;
}

//
// 'AppEndToEnd::print()' - Send a document with ipptool; the job id, or 0
// when the printer refused it.
//

int
AppEndToEnd::print(const char                     *printer,
                   const std::string              &file,
                   const char                     *format,
                   const std::vector<std::string> &vars)
{
  static int               count = 0;
  std::vector<std::string> argv{"ipptool", "-T", "30", "-tf", file, "-d", std::string("format=") + format};

  last_job_name_ = "job-" + std::to_string(++count);
  argv.push_back("-d");
  argv.push_back("job_name=" + last_job_name_);

  for (const auto &var : vars)
  {
    argv.push_back("-d");
    argv.push_back(var);
  }
  argv.push_back(uri(printer));
  argv.push_back(PELNA_APP_TESTS "/print-job.test");

  const CommandRun  sent = run(argv, dir_);
  const std::string id   = field(sent.out, "job-id (integer) = ", "\n");

  return sent.status == 0 ? atoi(id.c_str()) : 0;
}

//
// 'AppEndToEnd::job_end()' - Wait for a job to end; its final state
// ("completed", "aborted", "canceled", or "" when it did not end in time)
// and its state message.
//

std::string
AppEndToEnd::job_end(const char *printer, int job, std::string *message)
{
  for (const double end = now_seconds() + kJobSeconds; now_seconds() < end;)
  {
    const std::string test = PELNA_APP_TESTS "/get-job.test";
    const CommandRun  got  = run({"ipptool", "-T", "10", "-t", "-d", "job=" + std::to_string(job), uri(printer), test},
                                 dir_);
    std::string       state = field(got.out, "job-state (enum) = ", "\n");

    if (state == "completed" || state == "aborted" || state == "canceled")
    {
      if (message)
        *message = field(got.out, "job-state-message (textWithoutLanguage) = ", "\n");
      return state;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return "";
}

//
// 'AppEndToEnd::next_inspector_job()' - The summary.json of the virtual
// printer's next job folder (empty when none came in time).
//

std::string
AppEndToEnd::next_inspector_job()
{
  char name[64];

  snprintf(name, sizeof(name), "/inspect/job-%04d/summary.json", inspect_jobs_ + 1);
  for (const double end = now_seconds() + kJobSeconds; now_seconds() < end;)
  {
    if (access((dir_ + name).c_str(), R_OK) == 0)
    {
      inspect_jobs_++;
      return read_file(dir_ + name);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return "";
}

//
// 'AppEndToEnd::inspector_job_dir()' - The folder of the virtual printer's
// job that next_inspector_job read last.
//

std::string
AppEndToEnd::inspector_job_dir()
{
  char name[32];

  snprintf(name, sizeof(name), "/inspect/job-%04d", inspect_jobs_);
  return dir_ + name;
}

//
// 'AppEndToEnd::submit()' - Send a document with the submit sub-command;
// the job id, or 0 when it was not accepted.
//

int
AppEndToEnd::submit(const std::vector<std::string> &args)
{
  std::vector<std::string> argv{"submit"};

  argv.insert(argv.end(), args.begin(), args.end());

  const CommandRun  sent = app(argv);
  const std::size_t dash = sent.out.find_last_of('-');

  EXPECT_EQ(sent.status, 0) << sent.out;
  return sent.status == 0 && dash != std::string::npos ? atoi(sent.out.c_str() + dash + 1) : 0;
}

//
// 'AppEndToEnd::next_page_rows()' - The rows of each of the virtual
// printer's next count pages, however many jobs they came in (PAPPL may
// keep the connection open from one job to the next); fewer when no more
// came in time.
//

std::vector<unsigned>
AppEndToEnd::next_page_rows(std::size_t count)  // I - Pages wanted
{
  std::vector<unsigned> rows;

  while (rows.size() < count)
  {
    const auto pages = inspected_pages(next_inspector_job());
    if (pages.empty())
      break;
    for (const auto &page : pages)
      rows.push_back(page.rows);
  }
  return rows;
}

//
// 'AppEndToEnd::job_file()' - What the file printer wrote for the last job
// printed (a file named after the job), once it has ended.
//

std::string
AppEndToEnd::job_file()
{
  const std::string path = dir_ + "/files/" + last_job_name_ + ".prn";

  EXPECT_EQ(access(path.c_str(), R_OK), 0) << "no output file " << path;
  return read_file(path);
}

//
// 'response_complete()' - Whether an HTTP response has all its body: as
// long as its Content-Length, or its last chunk.  PAPPL may keep the
// connection open after a response whatever the request asked.
//

bool
response_complete(const std::string &response)  // I - Response so far
{
  const std::size_t body = response.find("\r\n\r\n");

  if (body == std::string::npos)
    return false;

  const std::string length = field(response.substr(0, body + 2), "Content-Length: ", "\r");
  if (!length.empty())
    return response.size() >= body + 4 + strtoul(length.c_str(), nullptr, 10);
  return response.find("Transfer-Encoding: chunked") < body && response.ends_with("\r\n0\r\n\r\n");
}

//
// 'AppEndToEnd::web()' - One HTTP request to the server; the status code
// (0 when there was no answer) and the whole response.
//

int
AppEndToEnd::web(const std::string &method, const std::string &path, const std::string &cookie,
                 const std::string &body, std::string *response)
{
  sockaddr_in addr{};
  const int   fd = socket(AF_INET, SOCK_STREAM, 0);
  std::string request = method + " " + path + " HTTP/1.1\r\nHost: localhost:" + std::to_string(port_) +
                        "\r\nConnection: close\r\n";

  if (!cookie.empty())
    request += "Cookie: " + cookie + "\r\n";
  if (method == "POST")
    request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n";
  request += "\r\n" + body;

  addr.sin_family      = AF_INET;
  addr.sin_port        = htons(static_cast<uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  response->clear();
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) ||
      write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
  {
    if (fd >= 0)
      close(fd);
    return 0;
  }
  for (const double end = now_seconds() + kCommandSeconds; now_seconds() < end;)
  {
    pollfd pfd{fd, POLLIN, 0};
    char   buffer[8192];

    if (poll(&pfd, 1, 1000) <= 0)
      continue;

    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0 || (response->append(buffer, static_cast<size_t>(n)), response_complete(*response)))
      break;
  }
  close(fd);

  return response->compare(0, 7, "HTTP/1.") == 0 ? atoi(response->c_str() + 9) : 0;
}

//
// 'gray_pixels()' - The label pattern as 8-bit gray, row after row.
//

Bytes
gray_pixels(unsigned width,   // I - Width
            unsigned height)  // I - Height
{
  Bytes pixels(static_cast<size_t>(width) * height);

  for (unsigned y = 0; y < height; y++)
    for (unsigned x = 0; x < width; x++)
      pixels[static_cast<size_t>(y) * width + x] = label_pixel(x, y);
  return pixels;
}

//
// 'filter_frames()' - The filter's printer data for the same pattern as a
// CUPS raster page, with PPD choices.
//

std::string
filter_frames(unsigned width, unsigned height, const std::string &choices,
              std::uint8_t (*pixel)(unsigned, unsigned))
{
  TestPage          page   = gray_page(width, height, pixel);
  const std::string raster = raster_stream({page});
  const FilterRun   run    = run_filter(job_args(choices), &raster, test_ppd());

  EXPECT_EQ(run.status, 0) << run.err;
  return run.out;
}

//
// 'printer_streams()' - The command stream of every frame of printer data,
// each frame checked whole: its fixed bytes, a length field that ends it
// where the next begins, its frame CRC, and a body that inflates completely
// to a stream of the CRC the frame carries.
//

std::vector<Bytes>
printer_streams(const std::string &data)  // I - Frames back to back
{
  bool                     ok     = false;
  const std::vector<Bytes> frames = split_frames(data, ok);
  std::vector<Bytes>       streams;

  EXPECT_TRUE(ok) << "the printer data is not whole frames back to back";
  for (const Bytes &frame : frames)
  {
    const std::size_t crcAt = frame.size() - pelna::kCrcSize;  // frame CRC

    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + pelna::kFrameLengthOffset),
              (Bytes{pelna::kFrameId1, pelna::kFrameId2, pelna::kFrameMethod, pelna::kFrameFlags}));
    EXPECT_EQ(frame[pelna::kFrameCrcStart], pelna::kFrameXFlags);
    EXPECT_EQ(frame[pelna::kFrameCrcStart + 1], pelna::kFrameOS);
    EXPECT_EQ(get_le32(frame.data() + crcAt),
              crc32(0, frame.data() + pelna::kFrameCrcStart, static_cast<uInt>(crcAt - pelna::kFrameCrcStart)))
        << "frame CRC";
    streams.push_back(frame_stream(frame));
  }
  return streams;
}

//
// 'bw_pixel()' - The label pattern cut to black and white.
//

std::uint8_t
bw_pixel(unsigned x,  // I - Column
         unsigned y)  // I - Row
{
  return label_pixel(x, y) < 128 ? 0 : 255;
}

//
// 'packed_pixels()' - The black-and-white pattern as 1-bit rows, a set bit
// black (or white when white_is_set).
//

Bytes
packed_pixels(unsigned width,         // I - Width
              unsigned height,        // I - Height
              bool     white_is_set)  // I - Set bits are white
{
  const unsigned row_bytes = (width + 7) / 8;
  Bytes          pixels(static_cast<size_t>(row_bytes) * height, 0);

  for (unsigned y = 0; y < height; y++)
    for (unsigned x = 0; x < width; x++)
      if ((bw_pixel(x, y) == 0) != white_is_set)
        pixels[static_cast<size_t>(y) * row_bytes + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
  return pixels;
}

//
// A page's picture as pelna-inspect draws it: one byte per dot, 0 black.
//

struct Picture
{
  unsigned width = 0, height = 0;  // dots across, rows
  Bytes    dots;                   // width x height, row after row
};

//
// 'finish_picture()' - Read a PNG that libpng has begun to read as gray,
// one byte per pixel; empty when it cannot be read.
//

Picture
finish_picture(png_image &image)  // IO - libpng's reader, begun
{
  Picture picture;

  image.format = PNG_FORMAT_GRAY;
  picture.dots.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, picture.dots.data(), 0, nullptr))
  {
    png_image_free(&image);
    return Picture{};
  }
  picture.width  = image.width;
  picture.height = image.height;
  return picture;
}

//
// 'read_picture()' - Read a 1-bit gray PNG of pelna-inspect; empty when it
// cannot be read.
//

Picture
read_picture(const std::string &path)  // I - PNG file
{
  png_image image{};

  image.version = PNG_IMAGE_VERSION;
  return png_image_begin_read_from_file(&image, path.c_str()) ? finish_picture(image) : Picture{};
}

//
// 'shrunk()' - A page's picture as the printer's web page shows it: scaled
// down by the smallest whole factor that brings its longer side to 800
// pixels or fewer, a pixel black when any of the dots it stands for is.
//

Picture
shrunk(const Picture &page)  // I - The page, a pixel per dot
{
  const unsigned scale = (std::max(page.width, page.height) + 799) / 800;
  Picture        out;

  if (scale == 0)
    return out;
  out.width  = (page.width + scale - 1) / scale;
  out.height = (page.height + scale - 1) / scale;
  out.dots.assign(std::size_t{out.width} * out.height, 255);
  for (unsigned y = 0; y < out.height; y++)
    for (unsigned x = 0; x < out.width; x++)
      for (unsigned dy = 0; dy < scale && y * scale + dy < page.height; dy++)
        for (unsigned dx = 0; dx < scale && x * scale + dx < page.width; dx++)
          if (page.dots[std::size_t{y * scale + dy} * page.width + x * scale + dx] < 128)
            out.dots[std::size_t{y} * out.width + x] = 0;
  return out;
}

//
// 'AppEndToEnd::shows_last_label()' - Whether a printer's web page shows, as
// the picture of its last label, the page of a PNG file of pelna-inspect
// (what the printer received) scaled down as the page scales it.
//

::testing::AssertionResult
AppEndToEnd::shows_last_label(const char *printer, const std::string &png)
{
  const Picture page = read_picture(png);
  std::string   response;

  if (page.dots.empty())
    return ::testing::AssertionFailure() << "no picture in " << png;
  const int status = web("GET", std::string("/") + printer + "/last-label.png", "", "", &response);
  if (status != 200 || response.find("\r\nContent-Type: image/png\r\n") == std::string::npos)
    return ::testing::AssertionFailure() << "GET last-label.png: " << response.substr(0, response.find("\r\n\r\n"));

  const std::size_t body  = response.find("\r\n\r\n") + 4;
  png_image         image{};
  image.version = PNG_IMAGE_VERSION;
  const Picture shown = png_image_begin_read_from_memory(&image, response.data() + body, response.size() - body)
                            ? finish_picture(image)
                            : Picture{};
  const Picture expected = shrunk(page);
  if (shown.width != expected.width || shown.height != expected.height)
    return ::testing::AssertionFailure() << "the picture is " << shown.width << " x " << shown.height << ", not "
                                         << expected.width << " x " << expected.height;
  std::size_t differing = 0;
  for (std::size_t i = 0; i < shown.dots.size(); i++)
    differing += (shown.dots[i] < 128) != (expected.dots[i] < 128);
  if (differing > 0)
    return ::testing::AssertionFailure() << differing << " pixels differ from the page's";
  return ::testing::AssertionSuccess();
}

//
// 'read_label_text()' - The lines of text of a test label, read back glyph
// by glyph with the app's font: the text starts two border widths (12
// dots) in from the top left and is drawn at a whole-number scale.  Reading
// stops at the first line with a cell that is no glyph; blank lines at the
// end are left out.
//

std::vector<std::string>
read_label_text(const Picture &picture,  // I - The printed label
                unsigned       scale)    // I - Dots per font pixel
{
  constexpr unsigned       kOrigin = 12;
  std::vector<std::string> lines;

  for (unsigned top = kOrigin; top + pelna_app::kGlyphHeight * scale <= picture.height;
       top += pelna_app::kCellHeight * scale)
  {
    std::string line;
    bool        known = true;

    for (unsigned left = kOrigin; known && left + pelna_app::kCellWidth * scale + kOrigin <= picture.width;
         left += pelna_app::kCellWidth * scale)
    {
      pelna_app::Glyph seen{};
      for (unsigned gy = 0; gy < pelna_app::kGlyphHeight; gy++)
        for (unsigned gx = 0; gx < pelna_app::kGlyphWidth; gx++)
        {
          const std::size_t at = static_cast<std::size_t>(top + gy * scale + scale / 2) * picture.width +
                                 left + gx * scale + scale / 2;
          if (picture.dots[at] < 128)
            seen[gy] = static_cast<std::uint8_t>(seen[gy] | (1 << (pelna_app::kGlyphWidth - 1 - gx)));
        }
      char c = ' ';
      while (c <= '~' && pelna_app::glyph(c) != seen)
        c++;
      known = c <= '~';
      line += c;
    }
    if (!known)
      break;
    lines.push_back(line.substr(0, line.find_last_not_of(' ') + 1));
  }
  while (!lines.empty() && lines.back().empty())
    lines.pop_back();
  return lines;
}

//
// 'ink_rows()' - Rows of the first band of rows with ink from row top down,
// in the columns at least top dots from either side: the height of the
// text's first line when the text starts there.
//

unsigned
ink_rows(const Picture &picture,  // I - The printed label
         unsigned       top)      // I - First row of the text
{
  const auto inked = [&](unsigned y) {
    const auto row = picture.dots.begin() + static_cast<std::ptrdiff_t>(std::size_t{y} * picture.width);
    return std::any_of(row + top, row + picture.width - top, [](std::uint8_t dot) { return dot < 128; });
  };
  unsigned y = top;

  while (y < picture.height && !inked(y))
    y++;
  const unsigned first = y;
  while (y < picture.height && inked(y))
    y++;
  return y - first;
}

//
// 'scan_code128()' - The text of the Code 128 barcode zbarimg reads in a
// PNG file (its complaints about D-Bus and the like left out), or its exit
// status and output.
//

std::string
scan_code128(const std::string &png)  // I - PNG file
{
  const CommandRun scanned =
      run({"sh", "-c", "exec zbarimg -q --raw -Sdisable -Scode128.enable \"$0\" 2>/dev/null", png},
          png.substr(0, png.rfind('/')));
  const std::string out = scanned.out.substr(0, scanned.out.find_last_not_of('\n') + 1);

  return scanned.status == 0 ? out : "zbarimg " + std::to_string(scanned.status) + ": " + out;
}

//
// 'png_size()' - Width, height and colour type of a PNG in an HTTP
// response; zeros when the body is no PNG.
//

std::array<unsigned, 3>
png_size(const std::string &response)  // I - Whole HTTP response
{
  const std::size_t body = response.find("\r\n\r\n");

  if (body == std::string::npos || response.compare(body + 4, 8, "\x89PNG\r\n\x1a\n") != 0 ||
      response.size() < body + 4 + 26)
    return {0, 0, 0};

  const auto byte = [&](std::size_t at) { return static_cast<unsigned>(static_cast<unsigned char>(response[body + 4 + at])); };
  return {byte(16) << 24 | byte(17) << 16 | byte(18) << 8 | byte(19), byte(20) << 24 | byte(21) << 16 | byte(22) << 8 | byte(23),
          byte(25)};
}

//
// 'form_encode()' - A form value, percent-encoded.
//

std::string
form_encode(const std::string &value)  // I - Value
{
  static const char hex[] = "0123456789ABCDEF";
  std::string       out;

  for (const unsigned char c : value)
  {
    if (isalnum(c) || strchr("-._~", c))
      out += static_cast<char>(c);
    else
      out += std::string("%") + hex[c >> 4] + hex[c & 15];
  }
  return out;
}

//
// 'black_share_in()' - The share of black dots in a band of rows.
//

double
black_share_in(const Picture &picture,  // I - Page picture
               unsigned           from,     // I - First row
               unsigned           to)       // I - Row after the last
{
  std::size_t black = 0;

  for (unsigned y = from; y < to && y < picture.height; y++)
    for (unsigned x = 0; x < picture.width; x++)
      black += picture.dots[static_cast<std::size_t>(y) * picture.width + x] < 128;
  return to > from ? static_cast<double>(black) / (static_cast<double>(to - from) * picture.width) : 0.0;
}

//
// 'bars_where_drawn()' - Whether the bundled label's barcode is printed
// where its bars file puts it at the given resolution: black at the middle
// of every bar and white at the middle of every gap, near the top and the
// bottom of the bars alike (so upright, at the page's scale).
//

::testing::AssertionResult
bars_where_drawn(const Picture &picture,  // I - Page picture
                 int                dpi)      // I - Its resolution
{
  std::istringstream       lines(read_file(PELNA_LABEL_BARS_PATH));
  std::string              word;
  double                   page_h = 0, y0 = 0, y1 = 0, a, b;
  std::vector<std::pair<double, double>> bars;

  while (lines >> word)
  {
    if (word == "page" && lines >> a >> page_h)
      continue;
    if (word == "rows" && lines >> y0 >> y1)
      continue;
    if (word == "bar" && lines >> a >> b)
      bars.emplace_back(a, b);
    else if (word != "page" && word != "rows" && word != "bar")
      lines.ignore(1000, '\n');
  }
  if (bars.size() < 10 || page_h <= 0 || picture.dots.empty())
    return ::testing::AssertionFailure() << "no bars file or no picture";

  const auto dot = [&](double x, double y) {  // points, origin bottom left
    const auto col = static_cast<unsigned>(x * dpi / 72), row = static_cast<unsigned>((page_h - y) * dpi / 72);
    return col < picture.width && row < picture.height ? picture.dots[std::size_t{row} * picture.width + col] : 255;
  };
  for (const double y : {y0 + 8, y1 - 8})
    for (std::size_t i = 0; i < bars.size(); i++)
    {
      if (dot((bars[i].first + bars[i].second) / 2, y) >= 128)
        return ::testing::AssertionFailure() << "bar " << i << " is not black at " << y << " pt";
      if (i + 1 < bars.size() && dot((bars[i].second + bars[i + 1].first) / 2, y) < 128)
        return ::testing::AssertionFailure() << "the gap after bar " << i << " is not white at " << y << " pt";
    }
  return ::testing::AssertionSuccess();
}
} // namespace

//
// The printer data of a PWG page is the filter's for the same pixels and
// settings, command for command and dot for dot, in whole frames that
// check out (the app compresses at a level of its own, so the compressed
// bytes may differ): an 8-bit page under every halftone method, darkness
// and media tracking, as the filter's options give them; a 1-bit page dot
// for dot whatever the halftone method, as the filter prints the same dots
// in 8-bit black and white at a fixed threshold (black raster, a set bit
// black, and white raster, a set bit white, alike).
//

TEST_F(AppEndToEnd, RasterPageFramesEqualTheFilters)
{
  constexpr unsigned kWidth = 600, kHeight = 300;
  struct Case
  {
    const char              *type;     // PWG raster type of the page
    std::vector<std::string> vars;     // job attributes
    const char              *choices;  // the same settings as PPD choices
  };
  const Case cases[] = {
    {"sgray_8", {"mode=bi-level"}, "Halftone=BW BlacknessAdjustH=h4 PageMark=PageMarkLabel"},
    {"sgray_8", {"mode=monochrome"}, "Halftone=Dither BlacknessAdjustH=h4 PageMark=PageMarkLabel"},
    {"sgray_8", {"mode=bi-level", "darkness=30", "tracking=continuous"}, "Halftone=BW BlacknessAdjustH=h7 PageMark=PageMarkNone"},
    {"sgray_8", {"mode=monochrome", "darkness=-100", "tracking=mark"}, "Halftone=Dither BlacknessAdjustH=h1 PageMark=PageMarkBlack"},
    {"black_1", {"mode=monochrome"}, "Halftone=BW BlacknessAdjustH=h4 PageMark=PageMarkLabel"},
    {"sgray_1", {"mode=bi-level", "darkness=-100", "tracking=mark"}, "Halftone=BW BlacknessAdjustH=h1 PageMark=PageMarkBlack"},
  };
  const std::string pwg = dir_ + "/page.pwg";
  std::set<Bytes>   distinct;

  for (const Case &c : cases)
  {
    SCOPED_TRACE(std::string(c.type) + " " + c.choices);
    const bool gray = !strcmp(c.type, "sgray_8");
    TestPage   page = pwg_page(gray ? "sgray_8" : "black_1", kWidth, kHeight,
                               gray ? gray_pixels(kWidth, kHeight)
                                    : packed_pixels(kWidth, kHeight, !strcmp(c.type, "sgray_1")));
    if (!strcmp(c.type, "sgray_1"))
      page.header.cupsColorSpace = CUPS_CSPACE_SW;
    write_file(pwg, raster_stream({page}, CUPS_RASTER_WRITE_PWG));

    const int job = print("pfile", pwg, "image/pwg-raster", c.vars);
    ASSERT_GT(job, 0);
    ASSERT_EQ(job_end("pfile", job), "completed");

    const std::vector<Bytes> streams = printer_streams(job_file());
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams, printer_streams(filter_frames(kWidth, kHeight, c.choices, gray ? label_pixel : bw_pixel)));
    if (gray)
      distinct.insert(streams[0]);
  }
  EXPECT_EQ(distinct.size(), 4u) << "settings that differ must give different dots or commands";

  // A page override: page 2 of 3 at darkness 30 by the threshold, the others
  // at the job's settings (error diffusion, the printer's darkness).
  const TestPage page = pwg_page("sgray_8", kWidth, kHeight, gray_pixels(kWidth, kHeight));
  write_file(pwg, raster_stream({page, page, page}, CUPS_RASTER_WRITE_PWG));
  last_job_name_        = "overrides";
  const CommandRun sent = run({"ipptool", "-T", "30", "-tf", pwg, "-d", "job_name=" + last_job_name_, "-d", "pages=2-2",
                               "-d", "darkness=30", "-d", "halftone=threshold", uri("pfile"),
                               PELNA_APP_TESTS "/print-overrides.test"},
                              dir_);
  const int job = atoi(field(sent.out, "job-id (integer) = ", "\n").c_str());
  ASSERT_GT(job, 0) << sent.out;
  ASSERT_EQ(job_end("pfile", job), "completed");
  const std::vector<Bytes> streams = printer_streams(job_file());
  const std::vector<Bytes> usual =
      printer_streams(filter_frames(kWidth, kHeight, "Halftone=Dither BlacknessAdjustH=h4 PageMark=PageMarkLabel", label_pixel));
  const std::vector<Bytes> page2 =
      printer_streams(filter_frames(kWidth, kHeight, "Halftone=BW BlacknessAdjustH=h7 PageMark=PageMarkLabel", label_pixel));
  ASSERT_EQ(streams.size(), 3u);
  ASSERT_EQ(usual.size(), 1u);
  ASSERT_EQ(page2.size(), 1u);
  EXPECT_EQ(streams[0], usual[0]);
  EXPECT_EQ(streams[1], page2[0]) << "page 2 was not printed with its override";
  EXPECT_EQ(streams[2], usual[0]);
}

//
// PNG and JPEG pictures and the submit sub-command: sound frames, as wide as
// the label on the head of each model, as long as the label.  A colour,
// an Adobe CMYK and a progressive JPEG of a gray picture print the gray
// JPEG's very dots.
//

TEST_F(AppEndToEnd, PicturesPrintOnBothModels)
{
  const std::string png    = png_file(dir_ + "/label.png", 400, 600);
  const std::string jpeg   = jpeg_file(dir_ + "/label.jpg", 400, 600);
  const std::string colour = jpeg_file(dir_ + "/label-colour.jpg", 400, 600, "colour");
  struct Case
  {
    const char *printer, *file_kind;
    unsigned    width, rows;  // 4 x 6 in at the model's resolution
  };
  const Case cases[] = {{"p203", "png", 812, 1218},     {"p203", "jpeg", 812, 1218},
                        {"p203", "colour", 812, 1218},  {"p300", "png", 1200, 1800},
                        {"p300", "submit", 1200, 1800}, {"p300", "jpeg", 1200, 1800},
                        {"p300", "colour", 1200, 1800}};

  for (const Case &c : cases)
  {
    SCOPED_TRACE(std::string(c.printer) + " " + c.file_kind);
    if (!strcmp(c.file_kind, "submit"))
    {
      const CommandRun sent = app({"submit", "-d", c.printer, png});
      ASSERT_EQ(sent.status, 0) << sent.out;
    }
    else
    {
      const bool is_png = !strcmp(c.file_kind, "png");
      const int  job    = print(c.printer, is_png ? png : strcmp(c.file_kind, "jpeg") ? colour : jpeg,
                                is_png ? "image/png" : "image/jpeg");
      ASSERT_GT(job, 0);
      ASSERT_EQ(job_end(c.printer, job), "completed");
    }

    const auto pages = inspected_pages(next_inspector_job());
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_TRUE(pages[0].sound);
    EXPECT_EQ(pages[0].width, c.width);
    EXPECT_EQ(pages[0].rows, c.rows);
    EXPECT_EQ(pages[0].page_mark, "label");
    EXPECT_GT(pages[0].black_share, 0.05);
    EXPECT_LT(pages[0].black_share, 0.95);
  }

  std::string gray_frames;
  for (const char *layout : {"gray", "colour", "cmyk", "progressive"})
  {
    SCOPED_TRACE(layout);
    const int job = print("pfile", jpeg_file(dir_ + "/mark-" + layout + ".jpg", 200, 300, layout), "image/jpeg");
    ASSERT_GT(job, 0);
    ASSERT_EQ(job_end("pfile", job), "completed");
    const std::string frames = job_file();
    ASSERT_FALSE(frames.empty());
    if (gray_frames.empty())
      gray_frames = frames;
    EXPECT_TRUE(frames == gray_frames) << "the frames differ from the gray JPEG's";
  }
}

//
// A picture prints the same dots whatever PNG layout carries it: 1-bit and
// 16-bit gray, a palette, colour, transparency over white paper and an
// interlaced file give the frames of the 8-bit gray file, colour gives the
// frames of its gray, and white stays white (the share of black dots is the
// picture's).
//

TEST_F(AppEndToEnd, PngLayoutsPrintTheSameDots)
{
  constexpr unsigned kWidth = 200, kHeight = 300;
  const char *const  layouts[] = {"gray8", "gray1", "gray16", "palette", "rgb", "gray-alpha", "rgba", "interlaced",
                                  "interlaced-rgba"};
  std::string        reference;

  for (const char *layout : layouts)
  {
    SCOPED_TRACE(layout);
    const std::string png = png_layout_file(dir_ + "/mark-" + layout + ".png", layout, kWidth, kHeight);
    ASSERT_FALSE(png.empty());

    const int job = print("pfile", png, "image/png");
    ASSERT_GT(job, 0);
    ASSERT_EQ(job_end("pfile", job), "completed");
    const std::string frames = job_file();
    ASSERT_FALSE(frames.empty());
    if (reference.empty())
      reference = frames;
    EXPECT_TRUE(frames == reference) << "the frames differ from the 8-bit gray picture's";
  }

  // Colour prints as its luminance, not as one of its channels.
  std::string colour[2];
  for (int i = 0; i < 2; i++)
  {
    const char *layout = i ? "colour-gray" : "colour";
    const int   job = print("pfile", png_layout_file(dir_ + "/" + layout + ".png", layout, kWidth, kHeight), "image/png");
    ASSERT_GT(job, 0);
    ASSERT_EQ(job_end("pfile", job), "completed");
    colour[i] = job_file();
  }
  EXPECT_FALSE(colour[0].empty());
  EXPECT_TRUE(colour[0] == colour[1]) << "a colour picture does not print as its gray";

  const int job = print("p203", dir_ + "/mark-gray1.png", "image/png");
  ASSERT_GT(job, 0);
  ASSERT_EQ(job_end("p203", job), "completed");
  const auto pages = inspected_pages(next_inspector_job());
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_TRUE(pages[0].sound);
  EXPECT_GT(pages[0].black_share, 0.22);
  EXPECT_LT(pages[0].black_share, 0.34);
}

//
// PDF documents print on both models, each page one label: the bundled
// shipping label, sent with the submit sub-command, comes out as large as
// the label, upright, its barcode bars where the PDF draws them and
// readable by a barcode reader; a landscape page is turned a quarter right
// to fit a portrait label unless portrait is asked for (then shrunk to fit,
// or cut to fill); page-ranges prints the pages asked for.
//

TEST_F(AppEndToEnd, PdfPagesPrintAsLabels)
{
  struct Model
  {
    const char *printer;
    int         dpi;
    unsigned    width, rows;  // 4 x 6 in
  };
  for (const Model &m : {Model{"p203", 203, 812, 1218}, Model{"p300", 300, 1200, 1800}})
  {
    SCOPED_TRACE(m.printer);
    const int job = submit({"-d", m.printer, PELNA_LABEL_PDF_PATH});
    ASSERT_GT(job, 0);
    ASSERT_EQ(job_end(m.printer, job), "completed");

    const auto pages = inspected_pages(next_inspector_job());
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_TRUE(pages[0].sound);
    EXPECT_EQ(pages[0].width, m.width);
    EXPECT_EQ(pages[0].rows, m.rows);
    EXPECT_EQ(pages[0].page_mark, "label");

    const std::string png     = inspector_job_dir() + "/page-0001.png";
    const Picture picture = read_picture(png);
    EXPECT_TRUE(bars_where_drawn(picture, m.dpi));
    const CommandRun scanned = run({"zbarimg", "-q", "--raw", "-Sdisable", "-Si25.enable", png}, dir_);
    EXPECT_EQ(scanned.status, 0) << scanned.out;
    EXPECT_NE(scanned.out.find("00123456789012"), std::string::npos) << scanned.out;
  }

  // A 6 x 4 in page, black on its left half.
  const std::string wide = dir_ + "/wide.pdf";
  write_file(wide, pdf_file({{432, 288, pdf_box(0, 0, 216, 288)}}));
  struct Turn
  {
    std::vector<std::string> options;      // submit options
    double                   top, bottom;  // black share of the label's top and bottom halves
    double                   left;         // black share of its left half
  };
  const Turn turns[] = {
    {{}, 1.0, 0.0, 0.5},                                                 // turned a quarter right
    {{"-o", "orientation-requested=landscape"}, 0.0, 1.0, 0.5},          // a quarter left
    {{"-o", "orientation-requested=reverse-landscape"}, 1.0, 0.0, 0.5},  // a quarter right
    {{"-o", "orientation-requested=portrait"}, 0.222, 0.222, 0.444},     // as drawn, shrunk
    {{"-o", "orientation-requested=portrait", "-o", "print-scaling=fill"}, 0.5, 0.5, 1.0},  // cut to fill
  };
  for (const Turn &t : turns)
  {
    SCOPED_TRACE(t.options.empty() ? "no orientation" : t.options.back());
    std::vector<std::string> args{"-d", "p203"};
    args.insert(args.end(), t.options.begin(), t.options.end());
    args.push_back(wide);
    const int job = submit(args);
    ASSERT_GT(job, 0);
    ASSERT_EQ(job_end("p203", job), "completed");
    const auto pages = inspected_pages(next_inspector_job());
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].width, 812u);
    EXPECT_EQ(pages[0].rows, 1218u);

    const Picture picture = read_picture(inspector_job_dir() + "/page-0001.png");
    ASSERT_EQ(picture.height, 1218u);
    EXPECT_NEAR(black_share_in(picture, 0, 609), t.top, 0.02);
    EXPECT_NEAR(black_share_in(picture, 609, 1218), t.bottom, 0.02);
    std::size_t left = 0;
    for (unsigned y = 0; y < picture.height; y++)
      for (unsigned x = 0; x < 406; x++)
        left += picture.dots[std::size_t{y} * picture.width + x] < 128;
    EXPECT_NEAR(static_cast<double>(left) / (406.0 * 1218), t.left, 0.02);
  }

  // Three pages, black from the bottom up 1, 2 and 3 inches: pages 2 and 3.
  const std::string three = dir_ + "/three.pdf";
  write_file(three, pdf_file({{288, 432, pdf_box(0, 0, 288, 72)},
                              {288, 432, pdf_box(0, 0, 288, 144)},
                              {288, 432, pdf_box(0, 0, 288, 216)}}));
  const int job = submit({"-d", "p203", "-o", "page-ranges=2-3", three});
  ASSERT_GT(job, 0);
  ASSERT_EQ(job_end("p203", job), "completed");
  std::vector<InspectedPage> pages;
  std::string                last_png;
  while (pages.size() < 2)
  {
    const auto more = inspected_pages(next_inspector_job());
    ASSERT_FALSE(more.empty()) << "only " << pages.size() << " of 2 labels came";
    pages.insert(pages.end(), more.begin(), more.end());
    last_png = inspector_job_dir() + "/page-000" + std::to_string(more.size()) + ".png";
  }
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_NEAR(pages[0].black_share, 2.0 / 6, 0.01);
  EXPECT_NEAR(pages[1].black_share, 3.0 / 6, 0.01);

  // The printer's page shows the job's last label, page 3.
  EXPECT_TRUE(shows_last_label("p203", last_png));
  std::string response;
  ASSERT_EQ(web("GET", "/p203/last-label", "", "", &response), 200);
  EXPECT_NE(response.find("Job " + std::to_string(job) + " (three.pdf), page 3, "), std::string::npos);
}

//
// 'mark_label_pixel()' - A 6 x 4 in label at 203 dpi (1218 x 812 pixels):
// a black inch square at its top left and a black band an inch high along
// its bottom, from the middle to an inch short of the right edge.
//

std::uint8_t
mark_label_pixel(unsigned x,  // I - Column
                 unsigned y)  // I - Row
{
  return (x < 203 && y < 203) || (x >= 609 && x < 1015 && y >= 609) ? 0 : 255;
}

//
// The same landscape label as a PNG, a JPEG and a PDF prints the same dots
// on a portrait label, whether it is turned to suit the label or as asked
// and whether it fills the label or is shrunk to fit: the PNG and the PDF
// dot for dot (but at the edges of what is drawn when shrunk), the JPEG
// within its loss; in all three the mark in its top-left corner lands
// exactly at the corner of the printed label that the turn puts it.
//

TEST_F(AppEndToEnd, LandscapeLabelPrintsTheSameInEveryFormat)
{
  const std::string pdf = dir_ + "/mark-label.pdf";
  write_file(pdf, pdf_file({{432, 288, pdf_box(0, 216, 72, 72) + pdf_box(216, 0, 144, 72)}}));
  const std::string files[] = {png_file(dir_ + "/mark-label.png", 1218, 812, mark_label_pixel),
                               jpeg_file(dir_ + "/mark-label.jpg", 1218, 812, "gray", mark_label_pixel), pdf};
  // Share of dots unlike the PDF's: none for a PNG printed at its size, a
  // row or column at the edges of what is drawn when shrunk; for a JPEG
  // its loss besides.
  const double most_differing[] = {0.002, 0.01};
  struct Turn
  {
    const char *orientation;  // orientation-requested, or null
    int         corner;       // where the mark lands: 0 top left, 1 top right, 2 bottom left, 3 bottom right
    unsigned    top, bottom;  // rows the turned, scaled label covers
  };
  const Turn turns[] = {{nullptr, 1, 0, 1218},
                        {"landscape", 2, 0, 1218},
                        {"reverse-landscape", 1, 0, 1218},
                        {"reverse-portrait", 3, 339, 880},
                        {"portrait", 0, 339, 880}};

  for (const Turn &t : turns)
  {
    SCOPED_TRACE(t.orientation ? t.orientation : "no orientation");
    Picture printed[3];
    for (int f = 0; f < 3; f++)
    {
      std::vector<std::string> args{"-d", "p203", "-o", "print-color-mode=bi-level"};
      if (t.orientation)
        args.insert(args.end(), {"-o", std::string("orientation-requested=") + t.orientation});
      args.push_back(files[f]);
      const int job = submit(args);
      ASSERT_GT(job, 0);
      ASSERT_EQ(job_end("p203", job), "completed");
      ASSERT_EQ(inspected_pages(next_inspector_job()).size(), 1u);
      printed[f] = read_picture(inspector_job_dir() + "/page-0001.png");
      ASSERT_EQ(printed[f].width, 812u);
      ASSERT_EQ(printed[f].height, 1218u);

      // A square of 100 dots (inside the mark's size) at each corner of what
      // is printed: black at the mark's corner only.
      for (int c = 0; c < 4; c++)
      {
        const unsigned x0 = c % 2 ? 812 - 100 : 0, y0 = c / 2 ? t.bottom - 100 : t.top;
        std::size_t    black = 0;
        for (unsigned y = y0; y < y0 + 100; y++)
          for (unsigned x = x0; x < x0 + 100; x++)
            black += printed[f].dots[std::size_t{y} * 812 + x] < 128;
        EXPECT_EQ(black, c == t.corner ? 100u * 100 : 0u) << files[f] << ": corner " << c;
      }
    }
    for (int f = 0; f < 2; f++)
    {
      std::size_t differing = 0;
      for (std::size_t i = 0; i < printed[2].dots.size(); i++)
        differing += (printed[f].dots[i] < 128) != (printed[2].dots[i] < 128);
      const double most = f == 0 && t.top == 0 ? 0.0 : most_differing[f];
      EXPECT_LE(static_cast<double>(differing) / printed[2].dots.size(), most)
          << files[f] << ": " << differing << " dots unlike the PDF's";
    }
  }
}

//
// Copies print the whole document that many times, collated, in every
// format: a two-page PWG raster stream, a PNG, a JPEG and a two-page PDF,
// each page known by its rows and black share, three times what one copy
// prints; and the submit sub-command's -n asks for copies too.
//

TEST_F(AppEndToEnd, CopiesPrintTheWholeDocument)
{
  const std::string pwg = dir_ + "/copies.pwg", pdf = dir_ + "/copies.pdf";
  write_file(pwg, raster_stream({pwg_page("sgray_8", 300, 150, gray_pixels(300, 150)),
                                 pwg_page("sgray_8", 300, 160, gray_pixels(300, 160))},
                                CUPS_RASTER_WRITE_PWG));
  // Two pages as large as the label, black boxes of different sizes.
  write_file(pdf, pdf_file({PdfTestPage{288, 432, pdf_box(0, 0, 144, 216)},
                            PdfTestPage{288, 432, pdf_box(0, 0, 72, 72)}}));

  // A page as the test knows it: its rows and its black share in percent.
  using Page = std::pair<unsigned, int>;
  const auto next_pages = [](std::size_t count) {
    std::vector<Page> pages;
    while (pages.size() < count)
    {
      const auto job = inspected_pages(next_inspector_job());
      if (job.empty())
        break;
      for (const auto &page : job)
        pages.emplace_back(page.rows, static_cast<int>(page.black_share * 100 + 0.5));
    }
    return pages;
  };

  struct Case
  {
    std::string file;    // document
    const char *format;  // its type
  };
  const Case cases[] = {
    {pwg, "image/pwg-raster"},
    {png_file(dir_ + "/copies.png", 200, 100), "image/png"},
    {jpeg_file(dir_ + "/copies.jpg", 200, 100, "gray"), "image/jpeg"},
    {pdf, "application/pdf"},
  };
  for (const Case &c : cases)
  {
    SCOPED_TRACE(c.format);
    int job = print("p203", c.file, c.format);
    ASSERT_GT(job, 0);
    ASSERT_EQ(job_end("p203", job), "completed");
    const std::vector<Page> once = next_pages(1);  // the whole document: one job
    ASSERT_FALSE(once.empty());
    std::vector<Page> expected;
    for (int copy = 0; copy < 3; copy++)
      expected.insert(expected.end(), once.begin(), once.end());

    job = print("p203", c.file, c.format, {"copies=3"});
    ASSERT_GT(job, 0);
    ASSERT_EQ(job_end("p203", job), "completed");
    EXPECT_EQ(next_pages(expected.size()), expected);
  }

  const int job = submit({"-d", "p203", "-n", "2", pwg});
  ASSERT_GT(job, 0);
  ASSERT_EQ(job_end("p203", job), "completed");
  const std::vector<Page> pages = next_pages(4);
  ASSERT_EQ(pages.size(), 4u);
  EXPECT_EQ(std::vector<unsigned>({pages[0].first, pages[1].first, pages[2].first, pages[3].first}),
            (std::vector<unsigned>{150, 160, 150, 160}));
}

//
// A page wider than the head is cut to it, with a message in the job log;
// a page longer than the job's label prints whole, 1-bit as 8-bit (as the
// filter prints it); media tracking "mark" reaches the printer as
// black-mark media.
//

TEST_F(AppEndToEnd, WidePageIsCutToTheHead)
{
  struct Case
  {
    TestPage    page;        // the page
    const char *option;      // job attribute
    unsigned    rows;        // rows printed
    const char *page_mark;   // page mark, or null when not checked
    const char *log;         // what the job log says was left out
    double      black;       // share of black dots printed
  };
  // A 1-bit page black in the last column the head prints, in every column
  // it cuts off and in its last row: 832 x 1601 dots printed, which the
  // printer's page shows a pixel for 3 x 3 dots but in its last column (one
  // dot across) and its last row (two dots down).
  Bytes edges(std::size_t{125} * 1601, 0);
  for (std::size_t y = 0; y < 1601; y++)
  {
    edges[y * 125 + 103] = 0x01;  // column 831
    std::fill_n(edges.begin() + static_cast<std::ptrdiff_t>(y * 125 + 104), 21, 0xFF);
  }
  std::fill_n(edges.begin() + std::ptrdiff_t{125} * 1600, 125, 0xFF);
  const Case cases[] = {
    {pwg_page("sgray_8", 1000, 200, Bytes(std::size_t{1000} * 200, 0)), "tracking=mark", 200, "black",
     "1000 dots wide; the print head has 832", 1.0},
    // A 1-bit page longer than the job's 4 x 6 in label (1218 rows).
    {pwg_page("black_1", 1000, 1500, Bytes(std::size_t{125} * 1500, 0xFF)), "media=na_index-4x6_4x6in", 1500,
     nullptr, "1000 dots wide; the print head has 832", 1.0},
    {pwg_page("black_1", 1000, 1601, edges), "media=na_index-4x6_4x6in", 1601, nullptr,
     "1000 dots wide; the print head has 832", (1601.0 + 831) / (832.0 * 1601)},
  };
  const std::string pwg = dir_ + "/wide.pwg";

  for (const Case &c : cases)
  {
    SCOPED_TRACE(c.log);
    write_file(pwg, raster_stream({c.page}, CUPS_RASTER_WRITE_PWG));
    const int job = print("p203", pwg, "image/pwg-raster", {c.option});
    ASSERT_GT(job, 0);
    ASSERT_EQ(job_end("p203", job), "completed");

    const auto pages = inspected_pages(next_inspector_job());
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].width, 832u);
    EXPECT_EQ(pages[0].rows, c.rows);
    if (c.page_mark)
    {
      EXPECT_EQ(pages[0].page_mark, c.page_mark);
    }
    EXPECT_NEAR(pages[0].black_share, c.black, 1e-6);
    EXPECT_NE(read_file(dir_ + "/server.log").find(c.log), std::string::npos);
    EXPECT_TRUE(shows_last_label("p203", inspector_job_dir() + "/page-0001.png")) << "not the dots printed";
  }
}

//
// 'socket_peer()' - The process id of the server on a local socket, or 0.
//

pid_t
socket_peer(const std::string &path)  // I - Socket file
{
  sockaddr_un addr{};
  ucred       peer{};
  socklen_t   len = sizeof(peer);
  const int   fd  = socket(AF_UNIX, SOCK_STREAM, 0);

  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  const bool ok = fd >= 0 && !connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) &&
                  !getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len);
  if (fd >= 0)
    close(fd);
  return ok ? peer.pid : 0;
}

//
// 'stop_stranger()' - Stop a process that is not a child of this one:
// SIGTERM, SIGKILL after kStopSeconds.  A zombie counts as stopped.
//

void
stop_stranger(pid_t pid)  // I - Process id
{
  const auto alive = [pid] {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto        end  = stat.rfind(") ");
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
  };

  kill(pid, SIGTERM);
  for (const double end = now_seconds() + kStopSeconds; now_seconds() < end;)
  {
    if (!alive())
      return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
}

//
// A sub-command run where no server runs starts PAPPL's private server,
// which lives on after it: it must not keep the sub-command's output open,
// or a script reading that output waits for ever.
//

TEST_F(AppEndToEnd, SubCommandWithoutAServerEndsItsOutput)
{
  const std::string alone = dir_ + "/alone";
  int               out[2];

  ASSERT_EQ(mkdir(alone.c_str(), 0700), 0);
  ASSERT_EQ(pipe(out), 0);

  const pid_t pid = fork();
  if (pid == 0)
  {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    setenv("SNAP_COMMON", alone.c_str(), 1);
    execl(PELNA_APP_PATH, PELNA_APP_PATH, "printers", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(out[1]);

  bool ended = false;
  for (const double end = now_seconds() + kCommandSeconds; !ended && now_seconds() < end;)
  {
    pollfd pfd{out[0], POLLIN, 0};
    char   buffer[512];

    ended = poll(&pfd, 1, 200) > 0 && read(out[0], buffer, sizeof(buffer)) <= 0;
  }
  close(out[0]);
  int status;
  if (waitpid(pid, &status, WNOHANG) != pid)
  {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }

  // Stop the private server by its process id.
  const pid_t server = socket_peer(alone + "/" + "pelna-printer-app.sock");
  EXPECT_GT(server, 0) << "no private server answered";
  if (server > 0)
    stop_stranger(server);
  EXPECT_TRUE(ended) << "the sub-command's output stayed open";
}

//
// Bad input ends its job with a reason in the job's state message; the
// server goes on and the next job prints.
//

TEST_F(AppEndToEnd, BadInputEndsTheJobWithAReason)
{
  const std::string whole = raster_stream({pwg_page("sgray_8", 400, 600, gray_pixels(400, 600))},
                                          CUPS_RASTER_WRITE_PWG);
  struct Case
  {
    const char *name, *format;
    std::string data;
    const char *reason;  // part of the state message
  };
  TestPage empty = pwg_page("sgray_8", 300, 100, {});
  empty.header.cupsHeight = 0;
  // The page made one PWG raster does not define: 10 bits per colour, 16
  // per pixel in sGray (the numbers of the header at their offsets in the
  // stream, after the sync word, in network byte order).
  std::string undefined = whole;
  for (const auto &[field, value] : {std::pair{offsetof(cups_page_header2_t, cupsBitsPerColor), 10U},
                                    std::pair{offsetof(cups_page_header2_t, cupsBitsPerPixel), 16U},
                                    std::pair{offsetof(cups_page_header2_t, cupsBytesPerLine), 800U}})
  {
    for (int i = 0; i < 4; i++)
      undefined[4 + field + i] = static_cast<char>(value >> (24 - 8 * i));
  }
  const std::string jpeg = read_file(jpeg_file(dir_ + "/whole.jpg", 400, 600));
  const std::string label_pdf = read_file(PELNA_LABEL_PDF_PATH);
  std::string       nested;  // graphics states saved inside each other
  for (int i = 0; i < 400000; i++)
    nested += "q ";

  const Case cases[] = {
    {"colour page", "image/pwg-raster",
     raster_stream({pwg_page("srgb_8", 300, 100, Bytes(std::size_t{900} * 100, 0x80))}, CUPS_RASTER_WRITE_PWG),
     "not 1-bit or 8-bit gray"},
    {"16-bit page", "image/pwg-raster",
     raster_stream({pwg_page("sgray_16", 300, 100, Bytes(std::size_t{600} * 100, 0x80))}, CUPS_RASTER_WRITE_PWG),
     "not 1-bit or 8-bit gray"},
    {"page without rows", "image/pwg-raster", raw_raster_stream({empty}).replace(0, 4, "RaS2"),
     "no page that can be read"},
    {"page header PWG raster does not define", "image/pwg-raster", undefined,
     "Page 1 cannot be printed: it has 10 bits per colour; in PWG raster, sGray (colour space 18) has 1, 8 or 16."},
    {"second page header PWG raster does not define", "image/pwg-raster", whole + undefined.substr(4),
     "Page 2 cannot be printed: it has 10 bits per colour"},
    {"stream cut in its first page header", "image/pwg-raster", whole.substr(0, 900), "no page that can be read"},
    {"cut stream", "image/pwg-raster", whole.substr(0, whole.size() / 2), ""},
    {"unreadable document", "application/octet-stream", std::string(3000, '\x17'), "no type the printer reads"},
    {"damaged picture", "image/png", std::string("\x89PNG\r\n\x1a\n") + std::string(3000, '\x17'),
     "picture cannot be read"},
    {"cut JPEG", "image/jpeg", jpeg.substr(0, jpeg.size() / 2), "picture cannot be read"},
    {"JPEG too thin to place", "image/jpeg", read_file(jpeg_file(dir_ + "/thin.jpg", 2000, 1)),
     "less than one dot"},
    {"damaged PDF", "application/pdf", std::string("%PDF-1.4\n") + std::string(3000, '\x17'),
     "The PDF cannot be read: the file is damaged"},
    {"cut PDF", "application/pdf", label_pdf.substr(0, label_pdf.size() / 2), "damaged"},
    {"encrypted PDF", "application/pdf", pdf_file({{288, 432, pdf_box(0, 0, 10, 10)}}, true),
     "encrypted and needs a password"},
    {"PDF of 5001 pages", "application/pdf", pdf_file(std::vector<PdfTestPage>(5001)),
     "5001 pages; the printer takes at most 5000"},
    {"PDF page of 20000 points", "application/pdf", pdf_file({{20000, 20000, pdf_box(0, 0, 10, 10)}}),
     "Page 1 is 20000 x 20000 points (278 x 278 in); the printer takes pages of at most 14400 points"},
    {"PDF content nested past the memory allowance", "application/pdf", pdf_file({{288, 432, nested}}),
     "The PDF needs more memory to render page 1 than the printer allows"},
  };

  for (const Case &c : cases)
  {
    SCOPED_TRACE(c.name);
    const std::string path = dir_ + "/bad.bin";
    std::string       message;

    write_file(path, c.data);
    const int job = print("pfile", path, c.format);
    if (job > 0)
    {
      EXPECT_EQ(job_end("pfile", job, &message), "aborted");
      EXPECT_FALSE(message.empty());
      EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    }

    // The server goes on: the next job prints.
    const std::string pwg = dir_ + "/after.pwg";
    write_file(pwg, whole);
    const int next = print("pfile", pwg, "image/pwg-raster");
    ASSERT_GT(next, 0);
    EXPECT_EQ(job_end("pfile", next), "completed");
    EXPECT_FALSE(job_file().empty());
  }
}

//
// Jobs print in the order they were submitted, also when several wait:
// five pictures on labels of five lengths, sent while the printer is
// paused, arrive shortest first.
//

TEST_F(AppEndToEnd, QueuedJobsPrintInSubmissionOrder)
{
  const std::string png = png_file(dir_ + "/order.png", 200, 100);
  std::vector<int>  jobs;

  ASSERT_EQ(app({"pause", "-d", "p203"}).status, 0);
  for (int inches = 1; inches <= 5; inches++)
  {
    const std::string media = "media=oe_4x" + std::to_string(inches) + "-label_4x" + std::to_string(inches) + "in";
    jobs.push_back(print("p203", png, "image/png", {media}));
    ASSERT_GT(jobs.back(), 0);
  }
  ASSERT_EQ(app({"resume", "-d", "p203"}).status, 0);
  for (int job : jobs)
    ASSERT_EQ(job_end("p203", job), "completed");

  const std::vector<unsigned> rows = next_page_rows(jobs.size());
  EXPECT_EQ(rows, (std::vector<unsigned>{203, 406, 609, 812, 1015}));
}

//
// PAPPL's pages answer and none stops the server, with or without a DNS-SD
// daemon; the pages and the printers show the app's own icon in the three
// sizes; "Print Test Page" prints the built-in label, whose text, read back
// from what each printer printed, names the printer, its model and
// resolution, the label, darkness, halftone and version in capitals at
// least 2.5 mm high, and whose barcode zbarimg reads as the printer's name;
// on a 2 x 1 in label the printer, resolution and darkness are still there
// at that size, and so is the barcode.
//

TEST_F(AppEndToEnd, WebPagesAnswerAndPrintTheTestLabel)
{
  std::string response;

  // Without listen-hostname the server listens on loopback only: every
  // listening socket on its port has a loopback address.
  char port_hex[8];
  int  listening = 0;
  snprintf(port_hex, sizeof(port_hex), "%04X", port_);
  for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"})
  {
    std::istringstream lines(read_file(table));
    std::string        line;

    while (std::getline(lines, line))
    {
      std::istringstream words(line);
      std::string        slot, local, remote, state;

      words >> slot >> local >> remote >> state;
      const std::size_t colon = local.find(':');
      if (colon == std::string::npos || local.substr(colon + 1) != port_hex || state != "0A")
        continue;
      listening++;
      EXPECT_TRUE(local.substr(0, colon) == "0100007F" ||
                  local.substr(0, colon) == "00000000000000000000000001000000")
          << table << ": listening on " << local;
    }
  }
  EXPECT_GT(listening, 0);

  for (const char *path : {"/", "/config", "/logs", "/addprinter", "/p203/", "/p203/config", "/p203/jobs",
                           "/p203/media", "/p203/printing", "/p203/supplies", "/p203/last-label", "/p300/"})
  {
    EXPECT_EQ(web("GET", path, "", "", &response), 200) << path;
    ASSERT_TRUE(accepts(port_)) << "the server stopped after " << path;
  }
  EXPECT_NE(web("GET", "/p203/printing", "", "", &response), 0);
  EXPECT_NE(response.find("<th>Halftone:</th><td><select name=\"pelna-halftone\">"), std::string::npos)
      << "the default halftone method is on the page, in words";

  // The icon: RGBA PNGs of 48, 128 and 512 pixels (PAPPL's own are not RGBA
  // in the two smaller sizes).
  const std::pair<const char *, unsigned> icons[] = {{"/navicon.png", 48}, {"/favicon.png", 128},
      {"/p203/icon-sm.png", 48}, {"/p203/icon-md.png", 128}, {"/p300/icon-lg.png", 512}};
  for (const auto &[path, side] : icons)
  {
    EXPECT_EQ(web("GET", path, "", "", &response), 200) << path;
    EXPECT_EQ(png_size(response), (std::array<unsigned, 3>{side, side, PNG_COLOR_TYPE_RGB_ALPHA})) << path;
  }

  // Print Test Page on a printer: the label as printed, and its PNG.
  const auto print_test_label = [&](const char *name, std::string &png) {
    const std::string home = std::string("/") + name + "/";
    EXPECT_EQ(web("GET", home, "", "", &response), 200);
    const std::string sid   = field(response, "Set-Cookie: ", ";\r\n");  // the form needs them
    const std::string token = field(response, "name=\"session\" value=\"", "\"");
    EXPECT_EQ(web("POST", home, sid, "session=" + token + "&action=print-test-page", &response), 200);
    const auto pages = inspected_pages(next_inspector_job());
    EXPECT_EQ(pages.size(), 1u);
    EXPECT_TRUE(!pages.empty() && pages[0].sound);
    png = inspector_job_dir() + "/page-0001.png";
    EXPECT_TRUE(shows_last_label(name, png)) << "the printer's page shows another label";
    return read_picture(png);
  };

  struct Printer
  {
    const char *name;             // printer
    unsigned    width, rows;      // the 4 x 6 in label in dots
    unsigned    scale;            // dots per font pixel
    const char *model, *dpi;      // its model and resolution in words
    unsigned    capitals;         // dots of 2.5 mm
  };
  const Printer printers[] = {{"p203", 812, 1218, 3, "Pelna 4-inch Label 203 dpi", "203 dpi", 20},
                              {"p300", 1200, 1800, 5, "Pelna 4-inch Label 300 dpi", "300 dpi", 30}};
  std::string   p203_png;

  for (const Printer &printer : printers)
  {
    SCOPED_TRACE(printer.name);
    std::string   png;
    const Picture picture = print_test_label(printer.name, png);
    if (!strcmp(printer.name, "p203"))
      p203_png = png;
    ASSERT_EQ(picture.width, printer.width);
    ASSERT_EQ(picture.height, printer.rows);

    const std::vector<std::string> text = read_label_text(picture, printer.scale);
    ASSERT_EQ(text.size(), 9u) << ::testing::PrintToString(text);
    EXPECT_EQ(text[0], "Pelna test label");
    EXPECT_EQ(text[1], std::string("Printer: ") + printer.name);
    EXPECT_EQ(text[2], std::string("Model: ") + printer.model);
    EXPECT_EQ(text[3], std::string("Resolution: ") + printer.dpi);
    EXPECT_EQ(text[4], "Label: 4 x 6 in, labels with gaps");
    EXPECT_EQ(text[5], "Darkness: 35 (blackness 4)");
    EXPECT_EQ(text[6], "Halftone: dithered (error diffusion)");
    EXPECT_TRUE(text[7].starts_with("pelna-printer-app ")) << text[7];
    EXPECT_TRUE(text[8].starts_with("Printed 20")) << "no date: " << text[8];
    EXPECT_GE(ink_rows(picture, 12), printer.capitals) << "capitals under 2.5 mm";
    EXPECT_EQ(scan_code128(png), printer.name);
  }

  // Each printer's page shows its own last label (from the status links),
  // with the job; another printer's job leaves it alone.
  EXPECT_TRUE(shows_last_label("p203", p203_png));
  ASSERT_EQ(web("GET", "/p203/", "", "", &response), 200);
  EXPECT_NE(response.find("href=\"/p203/last-label\">Last Label</a>"), std::string::npos);
  ASSERT_EQ(web("GET", "/p203/last-label", "", "", &response), 200);
  EXPECT_NE(response.find("(Test Page), page 1, taken by the printer at 20"), std::string::npos);
  EXPECT_NE(response.find(": 812 x 1218 dots, shown one pixel for 2 x 2 dots."), std::string::npos);
  EXPECT_NE(response.find("<img src=\"/p203/last-label.png?job="), std::string::npos);

  // On a 2 x 1 in label: the essentials, still readable, and the barcode.
  ASSERT_EQ(app({"modify", "-d", "p203", "-o", "media-ready=oe_2x1-label_2x1in"}).status, 0);
  std::string   png;
  const Picture small = print_test_label("p203", png);
  ASSERT_EQ(app({"modify", "-d", "p203", "-o", "media-ready=na_index-4x6_4x6in"}).status, 0);
  ASSERT_EQ(small.width, 406u);
  ASSERT_EQ(small.height, 203u);
  EXPECT_EQ(read_label_text(small, 3),
            (std::vector<std::string>{"Printer: p203", "Resolution: 203 dpi", "Darkness: 35"}));
  EXPECT_EQ(scan_code128(png), "p203");
}

//
// USB auto-add: device IDs as printers write them (either key name, any
// case, spacing and order, the make repeated in the model) find their
// driver through the app's auto-add callback ("drivers -o device-id=...");
// other printers' IDs find none.
//

TEST_F(AppEndToEnd, DeviceIdsFindTheirDriver)
{
  const std::pair<const char *, const char *> cases[] = {
    {"MFG:Pelna;MDL:4-inch Label 203 dpi;CMD:PELNA;", "pelna_203"},
    {"MFG:Pelna;MDL:4-inch Label 300 dpi;CMD:PELNA;", "pelna_300"},
    {"MANUFACTURER:PELNA;MODEL:4-INCH LABEL 300 DPI;COMMAND SET:PELNA;", "pelna_300"},
    {"mfg:pelna;mdl:4-inch label 203 dpi;", "pelna_203"},
    {"CMD:PELNA;CLS:PRINTER;MDL:4-inch Label 203 dpi;MFG:Pelna;", "pelna_203"},
    {" MFG : Pelna ; MDL : 4-inch Label 300dpi ; ", "pelna_300"},
    {"MFG:Pelna;MDL:Pelna 4-inch Label 203 dpi;", "pelna_203"},
    {"Manufacturer:Pelna;Model:4 Inch Label 300 DPI", "pelna_300"},
    {"MFG:Pelna;MDL:4-inch Label 600 dpi;", ""},
    {"MFG:Pelna;MDL:2-inch Label 203 dpi;", ""},
    {"MFG:Other;MDL:4-inch Label 203 dpi;", ""},
    {"MDL:4-inch Label 203 dpi;", ""},
    {"MFG:Pelna;", ""},
    {"MFGX:Pelna;MODELS:4-inch Label 203 dpi;", ""},
    {"MFG;MDL;Pelna 4-inch Label 203 dpi", ""},
  };

  for (const auto &[id, driver] : cases)
  {
    SCOPED_TRACE(id);
    const CommandRun run = app({"drivers", "-o", "server-port=" + std::to_string(free_port()), "-o",
                                std::string("device-id='") + id + "'"});
    ASSERT_EQ(run.status, 0) << run.out;

    // The drivers listed (a sanitizer build adds its report to the output).
    std::istringstream lines(run.out);
    std::string        line, listed;
    while (std::getline(lines, line))
      if (line.starts_with("pelna_"))
        listed += (listed.empty() ? "" : " ") + line.substr(0, line.find(' '));
    EXPECT_EQ(listed, driver) << run.out;
  }
}

//
// The Add Printer page offers "Auto-Detect Driver": a printer added with it
// gets the driver of its device ID, and one of no known model is refused.
// A network printer is taken as host:port and [IPv6]:port, by the page's
// own field check as a browser applies it and by the server.
//

TEST_F(AppEndToEnd, AddPrinterPageFindsTheDriverOfADeviceId)
{
  std::string response;

  ASSERT_EQ(web("GET", "/addprinter", "", "", &response), 200);
  EXPECT_NE(response.find("<option value=\"auto\">"), std::string::npos);

  // The field's pattern, as a browser would check it (it holds no character
  // that the page escapes).
  const std::string input = field(response, "name=\"hostname\" id=\"hostname\"", ">");
  const std::regex  host_field(field(input, "pattern=\"", "\""));
  for (const char *host : {"printer.local", "127.0.0.1:9101", "[::1]:9101", "fe80::1"})
    EXPECT_TRUE(std::regex_match(host, host_field)) << host;
  EXPECT_FALSE(std::regex_match("two words", host_field));
  for (const auto &[host, uri] : {std::pair{"127.0.0.1:9101", "socket://127.0.0.1:9101/"},
                                  std::pair{"[::1]:9102", "socket://[::1]:9102/"}})
  {
    SCOPED_TRACE(host);
    ASSERT_EQ(web("GET", "/addprinter", "", "", &response), 200);
    const std::string sid   = field(response, "Set-Cookie: ", ";\r\n");
    const std::string token = field(response, "name=\"session\" value=\"", "\"");
    EXPECT_EQ(web("POST", "/addprinter", sid,
                  "session=" + token + "&printer_name=pnet&device_uri=socket&hostname=" + form_encode(host) +
                      "&driver_name=pelna_203",
                  &response),
              302)
        << response;
    ASSERT_EQ(web("GET", "/pnet/", "", "", &response), 200);
    EXPECT_NE(response.find(std::string("Device: ") + uri), std::string::npos);
    ASSERT_EQ(web("GET", "/pnet/delete", "", "", &response), 200);
    EXPECT_EQ(web("POST", "/pnet/delete", field(response, "Set-Cookie: ", ";\r\n"),
                  "session=" + field(response, "name=\"session\" value=\"", "\""), &response),
              302);
  }

  const std::string device = "socket://127.0.0.1:" + std::to_string(inspect_port_);
  const std::pair<const char *, const char *> cases[] = {
    {"pauto", "MFG:PELNA;MODEL:4-inch Label 300 dpi;"},
    {"pother", "MFG:Other;MDL:Label Maker 9;"},
  };
  for (const auto &[name, id] : cases)
  {
    SCOPED_TRACE(name);
    ASSERT_EQ(web("GET", "/addprinter", "", "", &response), 200);
    const std::string sid   = field(response, "Set-Cookie: ", ";\r\n");
    const std::string token = field(response, "name=\"session\" value=\"", "\"");
    const std::string form  = "session=" + token + "&printer_name=" + name + "&device_uri=" +
                              form_encode(device + "|" + id) + "&driver_name=auto";
    const int status = web("POST", "/addprinter", sid, form, &response);

    if (!strcmp(name, "pauto"))
    {
      EXPECT_EQ(status, 302) << response;
      // A new printer has printed no label: no picture, and its page says so.
      EXPECT_EQ(web("GET", "/pauto/last-label.png", "", "", &response), 404);
      ASSERT_EQ(web("GET", "/pauto/last-label", "", "", &response), 200);
      EXPECT_NE(response.find("No label printed since the server started."), std::string::npos);
      ASSERT_EQ(web("GET", "/pauto/printing", "", "", &response), 200);
      EXPECT_NE(response.find("300dpi"), std::string::npos) << "not the 300 dpi driver";
      // Deleted through its page: the delete sub-command cannot find a
      // printer added since the server started (its printer-id is 0).
      ASSERT_EQ(web("GET", "/pauto/delete", "", "", &response), 200);
      const std::string del_sid   = field(response, "Set-Cookie: ", ";\r\n");
      const std::string del_token = field(response, "name=\"session\" value=\"", "\"");
      EXPECT_EQ(web("POST", "/pauto/delete", del_sid, "session=" + del_token, &response), 302) << response;
      EXPECT_EQ(web("GET", "/pauto/", "", "", &response), 404);
    }
    else
    {
      EXPECT_EQ(status, 200);
      EXPECT_NE(response.find("Unable to use that driver."), std::string::npos);
      EXPECT_EQ(web("GET", "/pother/", "", "", &response), 404);
    }
  }
}

//
// The printer's default halftone method, changed with modify, applies to a
// monochrome job: its frames are the filter's black-and-white ones.  A
// value that is no method is refused and changes nothing.
//

TEST_F(AppEndToEnd, ModifyChangesTheDefaultHalftone)
{
  constexpr unsigned kWidth = 300, kHeight = 160;
  const std::string  pwg = dir_ + "/modify.pwg";

  write_file(pwg, raster_stream({pwg_page("sgray_8", kWidth, kHeight, gray_pixels(kWidth, kHeight))},
                                CUPS_RASTER_WRITE_PWG));
  const CommandRun modified = app({"modify", "-d", "pfile", "-o", "pelna-halftone=threshold"});
  ASSERT_EQ(modified.status, 0) << modified.out;

  const int job = print("pfile", pwg, "image/pwg-raster", {"mode=monochrome"});
  ASSERT_GT(job, 0);
  ASSERT_EQ(job_end("pfile", job), "completed");
  EXPECT_EQ(printer_streams(job_file()),
            printer_streams(filter_frames(kWidth, kHeight, "Halftone=BW BlacknessAdjustH=h4 PageMark=PageMarkLabel", label_pixel)));

  // A value that is no halftone method is refused, and the default stays.
  EXPECT_NE(app({"modify", "-d", "pfile", "-o", "pelna-halftone=bogus"}).status, 0);
  const int again = print("pfile", pwg, "image/pwg-raster", {"mode=monochrome"});
  ASSERT_GT(again, 0);
  ASSERT_EQ(job_end("pfile", again), "completed");
  EXPECT_EQ(printer_streams(job_file()),
            printer_streams(filter_frames(kWidth, kHeight, "Halftone=BW BlacknessAdjustH=h4 PageMark=PageMarkLabel", label_pixel)));

  ASSERT_EQ(app({"modify", "-d", "pfile", "-o", "pelna-halftone=error-diffusion"}).status, 0);
}

//
// The command line checks what it sends as the server would: a copy count
// or a value the printer does not take, or an option it does not have, is
// refused with status 1 and nothing printed or changed; options lists what
// submit takes.
//

TEST_F(AppEndToEnd, CommandLineRefusesWhatThePrinterDoesNotTake)
{
  const std::string png    = png_file(dir_ + "/values.png", 200, 100);
  const std::string before = app({"jobs", "-d", "pfile"}).out;

  for (const char *copies : {"0", "-3", "two", "1000"})
  {
    const CommandRun sent = app({"submit", "-d", "pfile", "-n", copies, png});
    EXPECT_EQ(sent.status, 1) << copies << ": " << sent.out;
    EXPECT_NE(sent.out.find(std::string("copies=") + copies), std::string::npos) << sent.out;
  }
  const CommandRun unknown = app({"submit", "-d", "pfile", "-o", "halftone=threshold", png});
  EXPECT_EQ(unknown.status, 1) << unknown.out;
  EXPECT_NE(unknown.out.find("Unknown option 'halftone'"), std::string::npos) << unknown.out;
  EXPECT_EQ(app({"jobs", "-d", "pfile"}).out, before);

  const CommandRun dark = app({"modify", "-d", "pfile", "-o", "printer-darkness-configured=150"});
  EXPECT_EQ(dark.status, 1) << dark.out;
  EXPECT_NE(dark.out.find("printer-darkness-configured=150"), std::string::npos) << dark.out;
  const CommandRun driver = app({"modify", "-d", "pfile", "-m", "pelna_300"});
  EXPECT_EQ(driver.status, 1) << driver.out;
  EXPECT_NE(driver.out.find("driver of a printer cannot be changed"), std::string::npos) << driver.out;

  const CommandRun options = app({"options", "-d", "pfile"});
  ASSERT_EQ(options.status, 0) << options.out;
  EXPECT_NE(options.out.find("-n COPIES (1 to 999)"), std::string::npos) << options.out;
  EXPECT_EQ(options.out.find("-c COPIES"), std::string::npos) << options.out;
  EXPECT_NE(options.out.find("-o pelna-halftone=threshold"), std::string::npos) << options.out;
  EXPECT_NE(options.out.find("-o print-scaling="), std::string::npos) << options.out;
  EXPECT_NE(options.out.find("printer-darkness-configured=0 to 100"), std::string::npos) << options.out;
}

//
// modify -v moves a printer to another device: the next job goes there, and
// the printer's page names it.
//

TEST_F(AppEndToEnd, ModifyMovesThePrinterToANewDevice)
{
  const int         first = free_port(), second = free_port();
  const std::string png   = png_file(dir_ + "/move.png", 200, 100);
  std::vector<pid_t> printers;

  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  for (const int port : {first, second})
    printers.push_back(spawn({PELNA_INSPECT_PATH, "--listen", std::to_string(port), "--once", "--out",
                              dir_ + "/move-" + std::to_string(port)},
                             dir_ + "/move-" + std::to_string(port) + ".out"));
  ASSERT_EQ(app({"add", "-d", "pmove", "-m", "pelna_203", "-v", "socket://127.0.0.1:" + std::to_string(first)}).status,
            0);

  for (const int port : {first, second})
  {
    if (port == second)
    {
      const CommandRun moved = app({"modify", "-d", "pmove", "-v", "socket://127.0.0.1:" + std::to_string(port)});
      ASSERT_EQ(moved.status, 0) << moved.out;
    }
    const int job = print("pmove", png, "image/png");
    ASSERT_GT(job, 0);
    EXPECT_EQ(job_end("pmove", job), "completed");
    const std::string summary = dir_ + "/move-" + std::to_string(port) + "/job-0001/summary.json";
    for (const double end = now_seconds() + kJobSeconds; now_seconds() < end && access(summary.c_str(), R_OK);)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(inspected_pages(read_file(summary)).size(), 1u) << "port " << port;
  }
  std::string page;
  EXPECT_EQ(web("GET", "/pmove/", "", "", &page), 200);
  EXPECT_NE(page.find("Device: socket://127.0.0.1:" + std::to_string(second)), std::string::npos);
  for (const pid_t pid : printers)
    stop(pid);
}

//
// A printer that does not answer keeps its job: PAPPL tries the device again
// until it answers, and then the job prints.  Nothing is lost.
//

TEST_F(AppEndToEnd, JobWaitsForAPrinterThatDoesNotAnswer)
{
  const int         port = free_port();
  const std::string out  = dir_ + "/late.out";
  const std::string png  = png_file(dir_ + "/late.png", 200, 100);

  ASSERT_GT(port, 0);
  ASSERT_EQ(app({"add", "-d", "plate", "-m", "pelna_203", "-v", "socket://127.0.0.1:" + std::to_string(port)}).status, 0);
  const int job = print("plate", png, "image/png");
  ASSERT_GT(job, 0);

  // Nothing listens yet: the job must still be waiting a while later.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const CommandRun jobs = app({"jobs", "-d", "plate"});
  EXPECT_EQ(jobs.out.find("completed"), std::string::npos) << jobs.out;
  EXPECT_EQ(jobs.out.find("aborted"), std::string::npos) << jobs.out;

  // The printer comes: the job prints (PAPPL tries again every 5 seconds).
  const pid_t late = spawn({PELNA_INSPECT_PATH, "--listen", std::to_string(port), "--once", "--out", dir_ + "/late"},
                           out);
  EXPECT_EQ(job_end("plate", job), "completed");
  for (const double end = now_seconds() + kJobSeconds; now_seconds() < end;)
  {
    if (access((dir_ + "/late/job-0001/summary.json").c_str(), R_OK) == 0)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const auto pages = inspected_pages(read_file(dir_ + "/late/job-0001/summary.json"));
  stop(late);
  ASSERT_EQ(pages.size(), 1u) << read_file(out);
  EXPECT_TRUE(pages[0].sound);
}

//
// Jobs submitted while the printer is busy with the first one (it waits
// for a device that does not answer yet) keep their order too.
//

TEST_F(AppEndToEnd, JobsWaitingBehindABusyPrinterKeepTheirOrder)
{
  const int         port = free_port();
  const std::string png  = png_file(dir_ + "/busy.png", 200, 100);
  std::vector<int>  jobs;

  ASSERT_GT(port, 0);
  ASSERT_EQ(app({"add", "-d", "pbusy", "-m", "pelna_203", "-v", "socket://127.0.0.1:" + std::to_string(port)}).status, 0);
  for (int inches = 1; inches <= 5; inches++)
  {
    const std::string media = "media=oe_4x" + std::to_string(inches) + "-label_4x" + std::to_string(inches) + "in";
    jobs.push_back(print("pbusy", png, "image/png", {media}));
    ASSERT_GT(jobs.back(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the first one is under way
  }

  const pid_t printer = spawn({PELNA_INSPECT_PATH, "--listen", std::to_string(port), "--out", dir_ + "/busy"},
                              dir_ + "/busy.out");
  for (int job : jobs)
    EXPECT_EQ(job_end("pbusy", job), "completed");

  std::vector<unsigned> rows;
  for (int n = 1; rows.size() < jobs.size() && n <= static_cast<int>(jobs.size()); n++)
  {
    char name[64];

    snprintf(name, sizeof(name), "/busy/job-%04d/summary.json", n);
    for (const double end = now_seconds() + kJobSeconds; now_seconds() < end;)
    {
      if (access((dir_ + name).c_str(), R_OK) == 0)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (const auto &page : inspected_pages(read_file(dir_ + name)))
      rows.push_back(page.rows);
  }
  stop(printer);
  EXPECT_EQ(rows, (std::vector<unsigned>{203, 406, 609, 812, 1015}));
}

//
// Jobs waiting in line when the server ends without a word print after it
// starts again, oldest first: each was on disk when it was acknowledged.
// The paused printer stays paused until resumed; a job its user submitted
// with a hold stays held.
//

TEST_F(AppEndToEnd, JobsInLinePrintAfterARestart)
{
  const std::string png  = png_file(dir_ + "/restart.png", 200, 100);
  const std::string hold = dir_ + "/hold-job.test";
  std::vector<int>  jobs;

  write_file(hold, "{ OPERATION Print-Job\n GROUP operation-attributes-tag\n"
                   " ATTR charset attributes-charset utf-8\n ATTR naturalLanguage attributes-natural-language en\n"
                   " ATTR uri printer-uri $uri\n ATTR name requesting-user-name pelna-test\n"
                   " ATTR mimeMediaType document-format image/png\n GROUP job-attributes-tag\n"
                   " ATTR keyword job-hold-until indefinite\n FILE $filename\n STATUS successful-ok\n"
                   " DISPLAY job-id }\n");
  ASSERT_EQ(app({"pause", "-d", "p203"}).status, 0);
  for (int inches = 1; inches <= 3; inches++)
  {
    const std::string media = "media=oe_4x" + std::to_string(inches) + "-label_4x" + std::to_string(inches) + "in";
    jobs.push_back(print("p203", png, "image/png", {media}));
    ASSERT_GT(jobs.back(), 0);
  }
  const CommandRun held = run({"ipptool", "-T", "30", "-tf", png, uri("pfile"), hold}, dir_);
  const std::string user_job = field(held.out, "job-id (integer) = ", "\n");
  ASSERT_FALSE(user_job.empty()) << held.out;
  // Every job is on disk once acknowledged: the server may end at once.
  // The server ends without a word (as on a power cut) and starts again.
  kill(server_, SIGKILL);
  waitpid(server_, nullptr, 0);
  ASSERT_TRUE(start_server()) << read_file(dir_ + "/server.out");
  ASSERT_EQ(app({"resume", "-d", "p203"}).status, 0);
  for (int job : jobs)
    EXPECT_EQ(job_end("p203", job), "completed");

  const std::vector<unsigned> rows = next_page_rows(jobs.size());
  EXPECT_EQ(rows, (std::vector<unsigned>{203, 406, 609}));

  const CommandRun state = run({"ipptool", "-T", "10", "-t", "-d", "job=" + user_job, uri("pfile"),
                                PELNA_APP_TESTS "/get-job.test"}, dir_);
  EXPECT_EQ(field(state.out, "job-state (enum) = ", "\n"), "pending-held") << state.out;
  EXPECT_EQ(app({"cancel", "-d", "pfile", "-j", user_job}).status, 0);
}
