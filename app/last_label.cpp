// SPDX-License-Identifier: Apache-2.0
//
// A picture of the last label each printer took, for its web page: once
// the printer has taken a job, the frame of the job's last page is copied
// out of the job's printer data.  The first time the page asks for it, the
// frame is decoded to its dots by pelna-inspect's decoder (so the picture
// shows what was sent, not what was meant), scaled down by a whole factor
// until its longer side fits kMaxSide pixels (a pixel is black when any of
// its dots is, so that lines one dot wide stay visible) and kept as a
// 1-bit PNG file.  A label costs a copy of its frame; one nobody looks at
// is never drawn.
//
// The pictures are held in memory only, one per printer, each at most
// kMaxPngBytes; a printer has room for one from its creation until its
// deletion, and a picture made for a printer that has none is dropped.
//

#include "app.h"

#include "decoder.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <utility>

namespace pelna_app {

namespace {

// The longest side of a picture, in pixels.
constexpr std::uint32_t kMaxSide = 800;

// The largest PNG file kept.  A 1-bit picture of kMaxSide x kMaxSide pixels
// takes about 81 KB even where deflate saves nothing.
constexpr std::size_t kMaxPngBytes = std::size_t{128} << 10;

// Room for a libpng message.
constexpr std::size_t kReasonSize = 256;

//
// The pictures of every printer.
//

struct Pictures
{
  std::mutex                                                     lock;    // guards labels
  std::map<pappl_printer_t *, std::shared_ptr<const LastLabel>>  labels;  // per printer: its last label, null
                                                                          // when none yet
};

// The one registry.  Never destroyed: a job thread may end its job while
// the process exits.
Pictures &g_pictures = *new Pictures;

//
// A PNG file being written, within its bound.
//

struct PngOut
{
  std::vector<std::uint8_t> bytes;               // the file so far (capacity kMaxPngBytes)
  char                      reason[kReasonSize]; // libpng's message when it failed
};

//
// 'read_frame()' - Copy the last frame held out of the job's printer data;
// false, with the reason, when it cannot be read back.
//

bool
read_frame(const JobState            &state,   // I - The job
           std::uint64_t              limit,   // I - Largest frame taken
           std::vector<std::uint8_t> &frame,   // O - The frame
           std::string               &why)     // O - Why not
{
  if (state.last_frame_size > limit)
  {
    why = "its frame is " + std::to_string(state.last_frame_size) + " bytes, more than a label makes";
    return false;
  }
  frame.reserve(state.last_frame_size);

  std::vector<std::uint8_t> buffer;
  const std::uint64_t       end = state.last_frame_at + state.last_frame_size;
  for (std::uint64_t at = state.last_frame_at; at < end;)
  {
    const auto piece = frames_at(state.frames, at, buffer);
    if (piece.empty())
    {
      why = std::string("its frame cannot be read back (") + strerror(errno ? errno : EIO) + ")";
      return false;
    }
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), end - at));
    frame.insert(frame.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
    at += n;
  }
  return true;
}

//
// 'decode_frame()' - The dots of a frame, as the printer reads them; false,
// with the reason, when the frame is not a sound page.
//

bool
decode_frame(std::span<const std::uint8_t> frame,       // I - One page frame
             std::uint64_t                 max_stream,  // I - Longest command stream taken
             inspect::Page                &page,        // O - The page with its dots
             std::string                  &why)         // O - Why not
{
  inspect::Options options;
  bool             stop = false;

  options.max_stream = max_stream;
  options.keep_dots  = true;
  page.number        = 1;
  (void)inspect::check_frame(frame, 0, options, page, stop);
  if (!page.sound || page.rows == 0 || page.dots.size() != page.rows * page.row_bytes)
  {
    why = page.faults.empty() ? std::string("its frame holds no dots")
                              : std::string("its frame does not read back: ") +
                                    inspect::fault_text(page.faults.front().kind);
    return false;
  }
  return true;
}

//
// 'shrink_dots()' - Scale a page's packed rows down by a whole factor into
// packed rows of label.picture_width pixels: a pixel is black when any of
// the scale x scale dots it stands for is (fewer at the right and bottom
// edges).
//

std::vector<std::uint8_t>
shrink_dots(const inspect::Page &page,   // I - The page with its dots
            const LastLabel     &label)  // I - Sizes and scale
{
  const std::size_t         out_bytes = (label.picture_width + 7) / 8;
  std::vector<std::uint8_t> out(out_bytes * label.picture_height, 0);
  std::vector<std::uint8_t> band(page.row_bytes);  // the rows of one picture row, or-ed

  for (std::uint32_t py = 0; py < label.picture_height; py++)
  {
    std::fill(band.begin(), band.end(), 0);
    const std::uint64_t first = static_cast<std::uint64_t>(py) * label.scale;
    const std::uint64_t last  = std::min<std::uint64_t>(first + label.scale, page.rows);
    for (std::uint64_t y = first; y < last; y++)
    {
      const std::uint8_t *row = page.dots.data() + y * page.row_bytes;
      std::transform(band.begin(), band.end(), row, band.begin(), [](std::uint8_t a, std::uint8_t b) {
        return static_cast<std::uint8_t>(a | b);
      });
    }
    std::uint8_t *pixels = out.data() + std::size_t{py} * out_bytes;
    for (std::uint32_t x = 0; x < label.width; x++)
    {
      const std::uint32_t px = x / label.scale;
      if (band[x / 8] & (0x80U >> (x % 8)))
        pixels[px / 8] = static_cast<std::uint8_t>(pixels[px / 8] | (0x80U >> (px % 8)));
    }
  }
  return out;
}

//
// 'png_failed()' - libpng's error callback: keep the message, jump back.
//

void
png_failed(png_structp     png,   // I - libpng state
           png_const_charp text)  // I - Message
{
  auto *out = static_cast<PngOut *>(png_get_error_ptr(png));

  snprintf(out->reason, sizeof(out->reason), "%s", text);
  png_longjmp(png, 1);
}

//
// 'png_warned()' - libpng's warning callback: nothing to report.
//

void
png_warned(png_structp     png,   // I - libpng state (unused)
           png_const_charp text)  // I - Warning (unused)
{
  (void)png;
  (void)text;
}

//
// 'append_png()' - libpng's writer: add bytes to the file in memory, within
// its bound (the room was reserved first, so nothing is allocated here).
//

void
append_png(png_structp png,     // I - libpng state
           png_bytep   bytes,   // I - Bytes
           png_size_t  length)  // I - Their number
{
  auto *out = static_cast<PngOut *>(png_get_io_ptr(png));

  if (length > kMaxPngBytes - out->bytes.size())
    png_error(png, "the picture would pass its size limit");
  out->bytes.insert(out->bytes.end(), bytes, bytes + length);
}

//
// 'flush_png()' - libpng's flush: nothing to do in memory.
//

void
flush_png(png_structp png)  // I - libpng state (unused)
{
  (void)png;
}

//
// 'write_rows()' - Write packed rows, a set bit black, as a 1-bit gray PNG;
// false when libpng failed.  libpng jumps back here on an error, so this
// function holds nothing that needs destroying.
//

bool
write_rows(png_structp         png,     // I - libpng writer, its output set
           png_infop           info,    // I - libpng header
           const std::uint8_t *bits,    // I - Packed rows
           std::uint32_t       width,   // I - Pixels across
           std::uint32_t       height)  // I - Rows
{
  if (setjmp(png_jmpbuf(png)))
    return false;

  png_set_IHDR(png, info, width, height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_invert_mono(png);  // a set bit is white in a gray PNG
  for (std::uint32_t y = 0; y < height; y++)
    png_write_row(png, bits + std::size_t{y} * ((width + 7) / 8));
  png_write_end(png, nullptr);
  return true;
}

//
// 'encode_png()' - Packed rows as a 1-bit PNG file of at most kMaxPngBytes;
// false, with the reason, when libpng failed.
//

bool
encode_png(const std::vector<std::uint8_t> &bits,   // I - Packed rows
           LastLabel                       &label,  // IO - Sizes; the file
           std::string                     &why)    // O - Why not
{
  PngOut out{};
  out.bytes.reserve(kMaxPngBytes);

  png_structp png  = png_create_write_struct(PNG_LIBPNG_VER_STRING, &out, png_failed, png_warned);
  png_infop   info = png ? png_create_info_struct(png) : nullptr;
  bool        ok   = false;

  if (info)
  {
    png_set_write_fn(png, &out, append_png, flush_png);
    ok = write_rows(png, info, bits.data(), label.picture_width, label.picture_height);
  }
  png_destroy_write_struct(&png, info ? &info : nullptr);
  if (!ok)
  {
    why = std::string("libpng: ") + (info ? out.reason : "out of memory");
    return false;
  }
  out.bytes.shrink_to_fit();
  label.png = std::move(out.bytes);
  return true;
}

//
// 'draw_label()' - The picture of a label from its frame; false, with the
// reason, when none could be made.
//

bool
draw_label(const LastLabel &kept,   // I - The label, with its frame
           LastLabel       &label,  // IO - The label; its sizes and picture
           std::string     &why)    // O - Why not
{
  inspect::Page page;

  if (!decode_frame(kept.frame, kept.max_stream, page, why))
    return false;

  label.width          = page.width;
  label.height         = static_cast<std::uint32_t>(page.rows);
  label.scale          = (std::max(label.width, label.height) + kMaxSide - 1) / kMaxSide;
  label.picture_width  = (label.width + label.scale - 1) / label.scale;
  label.picture_height = (label.height + label.scale - 1) / label.scale;
  return encode_png(shrink_dots(page, label), label, why);
}

//
// 'has_room()' - Whether a printer has room for a picture (it exists).
//

bool
has_room(pappl_printer_t *printer)  // I - Printer
{
  const std::lock_guard<std::mutex> hold(g_pictures.lock);

  return g_pictures.labels.contains(printer);
}

//
// 'store()' - Make a label a printer's last one, when the printer still
// has room for it (the old one goes); null drops the old one.
//

void
store(pappl_printer_t                  *printer,  // I - Printer
      std::shared_ptr<const LastLabel>  label)    // I - Its last label, or null
{
  std::shared_ptr<const LastLabel> old;  // released outside the lock
  {
    const std::lock_guard<std::mutex> hold(g_pictures.lock);
    const auto                        slot = g_pictures.labels.find(printer);

    if (slot == g_pictures.labels.end())
      return;
    old = std::exchange(slot->second, std::move(label));
  }
}

} // namespace

//
// 'open_last_label()' - A new printer: room for its picture, none yet.
//

void
open_last_label(pappl_printer_t *printer)  // I - New printer
{
  const std::lock_guard<std::mutex> hold(g_pictures.lock);

  try
  {
    g_pictures.labels[printer] = nullptr;
  }
  catch (const std::bad_alloc &)
  {
    // Without room the printer shows no picture; it prints as ever.
  }
}

//
// 'forget_last_label()' - A printer is being deleted: drop its picture and
// its room, so that a job of it still ending keeps none.
//

void
forget_last_label(pappl_printer_t *printer)  // I - Printer
{
  std::shared_ptr<const LastLabel> old;  // released outside the lock
  {
    const std::lock_guard<std::mutex> hold(g_pictures.lock);
    const auto                        slot = g_pictures.labels.find(printer);

    if (slot == g_pictures.labels.end())
      return;
    old = std::move(slot->second);
    g_pictures.labels.erase(slot);
  }
}

//
// 'keep_last_label()' - The printer has taken a job: make the picture of
// its last page the printer's last label.  When no picture can be made the
// label is kept with the reason, so that the page never shows an older
// job's label as the last one.
//

void
keep_last_label(pappl_job_t    *job,    // I - Job
                const JobState &state)  // I - Its state, the printer data still held
{
  pappl_printer_t *printer = papplJobGetPrinter(job);

  if (state.last_frame_size == 0 || !state.model || !has_room(printer))
    return;
  try
  {
    auto        label = std::make_shared<LastLabel>();
    std::string why;
    const char *name  = papplJobGetName(job);

    label->job_id     = papplJobGetID(job);
    label->job_name   = name ? name : "";
    label->page       = state.last_page;
    label->taken      = time(nullptr);
    label->max_stream = pelna::command_stream_length(state.model->head_dots, longest_label_rows(*state.model));
    if (!read_frame(state, inspect::frame_length_limit(label->max_stream), label->frame, why))
    {
      label->frame.clear();
      label->why = why;
      papplLogJob(job, PAPPL_LOGLEVEL_WARN, "No picture of page %u for the printer's web page: %s.", label->page,
                  why.c_str());
    }
    store(printer, std::move(label));
  }
  catch (const std::bad_alloc &)
  {
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "No picture of page %u for the printer's web page: no memory.",
                state.last_page);
    store(printer, nullptr);
  }
}

//
// 'last_label()' - A printer's last label, or null when it has printed none
// since the server started.
//

std::shared_ptr<const LastLabel>
last_label(pappl_printer_t *printer)  // I - Printer
{
  std::shared_ptr<const LastLabel> kept;
  {
    const std::lock_guard<std::mutex> hold(g_pictures.lock);
    const auto                        slot = g_pictures.labels.find(printer);

    if (slot != g_pictures.labels.end())
      kept = slot->second;
  }
  if (!kept || kept->frame.empty())
    return kept;

  // Drawn the first time it is asked for, outside the lock; the picture
  // replaces the frame unless a newer label came meanwhile.
  try
  {
    auto        drawn = std::make_shared<LastLabel>();
    std::string why;

    drawn->job_id   = kept->job_id;
    drawn->job_name = kept->job_name;
    drawn->page     = kept->page;
    drawn->taken    = kept->taken;
    if (!draw_label(*kept, *drawn, why))
    {
      drawn->why = why;
      papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "No picture of page %u of job %d for the printer's web page: %s.",
                      drawn->page, drawn->job_id, why.c_str());
    }

    const std::lock_guard<std::mutex> hold(g_pictures.lock);
    const auto                        slot = g_pictures.labels.find(printer);
    if (slot != g_pictures.labels.end() && slot->second == kept)
      slot->second = drawn;
    return drawn;
  }
  catch (const std::bad_alloc &)
  {
    return kept;  // shown without a picture
  }
}

} // namespace pelna_app
