// SPDX-License-Identifier: Apache-2.0
//
// pelna-inspect: the parts that do I/O around the decoder: reading frames
// from a descriptor one at a time, pictures, reports and the virtual
// printer.
//

#ifndef PELNA_INSPECT_TOOL_IO_H
#define PELNA_INSPECT_TOOL_IO_H

#include "decoder.h"

#include <csignal>
#include <cstdio>
#include <string>

namespace inspect {

//
// Reading frames from a file, a pipe or a socket.  Only one frame is held in
// memory at a time, and a frame is read only when its length field is
// plausible, so endless or hostile input cannot exhaust memory.
//

enum class InputEnd
{
  EndOfInput,    // the input ended (or a frame could not be located)
  IdleTimeout,   // no byte came within the idle time
  Stopped,       // the stop flag was set by a signal
  ReadError      // read() failed
};

struct Reader
{
  int                           fd        = -1;
  int                           idle_ms   = 0;        // 0: wait for ever
  const sigset_t               *wait_mask = nullptr;  // signal mask while waiting
  volatile std::sig_atomic_t   *stop      = nullptr;  // checked after a signal
  std::uint64_t                 bytes     = 0;        // bytes read so far
  InputEnd                      end       = InputEnd::EndOfInput;
  int                           error     = 0;        // errno of a failed read
};

// Called for every page before its dots and commands are dropped.
typedef void (*PageSink)(Page &page, void *context);

void inspect_fd(Reader &reader, const Options &options, PageSink sink, void *context,
                Result &result);
[[nodiscard]] std::uint64_t drain_input(Reader &reader);
[[nodiscard]] const char *input_end_name(InputEnd end);

//
// Pictures of a page at the printer's dots (picture.cpp).
//

enum class PictureFormat
{
  Png,   // 1-bit gray PNG through libpng
  Pbm    // netpbm raw PBM (P4)
};

[[nodiscard]] bool page_has_picture(const Page &page);
[[nodiscard]] std::string picture_name(std::size_t number, PictureFormat format);
[[nodiscard]] bool write_picture(const std::string &path, const Page &page,
                                 PictureFormat format, std::string &error);

//
// Reports (report.cpp).
//

// What the virtual printer adds to a job's summary.
struct JobInfo
{
  unsigned     number = 0;   // job number, from 1
  std::string  peer;         // address:port of the sender
  InputEnd     end = InputEnd::EndOfInput;
};

void print_page(FILE *out, const Page &page);
void print_faults(FILE *out, const std::vector<Fault> &faults, const Page *page);
void print_commands(FILE *out, const Page &page);
void print_totals(FILE *out, const Result &result);
void write_json(FILE *out, const Result &result, const JobInfo *job);

//
// The virtual printer (listen.cpp).
//

struct ListenOptions
{
  std::string   out = ".";                  // where job folders go
  bool          once = false;               // end after one job
  PictureFormat format = PictureFormat::Png;
  int           idle_seconds = 30;          // end a job after this much silence
  Options       decoder;
  FILE         *log = stdout;               // one line per job
};

extern volatile std::sig_atomic_t g_stop_listening;

void install_stop_handlers();
[[nodiscard]] int listen_open(const char *address, int port, std::string &error);
[[nodiscard]] int listen_port(int fd);
[[nodiscard]] int listen_serve(int fd, const ListenOptions &options);

} // namespace inspect

#endif // PELNA_INSPECT_TOOL_IO_H
