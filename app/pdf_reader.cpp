// SPDX-License-Identifier: Apache-2.0
//
// PDF pages as label rows, with poppler's C++ interface: a document is
// opened and checked (readable, not locked by a password, not more pages
// than the limit), each page checked for its size, placed on the label by
// print-scaling and orientation-requested, and rendered at the printer's
// own resolution as 8-bit gray, without anti-aliasing, so that the edges of
// text and barcode bars stay whole dots for the halftoning.  Only the part
// of the page that lands on the label is rendered, so a page takes at most
// the label's size in memory, whatever its own size.
//

#include "pdf_reader.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace pelna_app {

//
// An open document: poppler's, and the pages it has.
//

struct PdfDocumentData
{
  std::unique_ptr<poppler::document> doc;        // poppler's document
  unsigned                           pages = 0;  // its page count
};

void
PdfDocumentDelete::operator()(PdfDocumentData *doc) const  // I - Document to close
{
  delete doc;
}

namespace {

// Points per inch.
constexpr double kPointsPerInch = 72.0;

// White, on the label and on the rendered page.
constexpr std::uint8_t kWhite = 255;

// The reader's last message, for the reason of a file it cannot open.
thread_local char last_message[160] = "";

// Where the reader's messages go besides last_message.
void (*message_sink)(const char *, void *) = nullptr;
void *message_data = nullptr;

//
// 'reader_message()' - poppler's message callback: keep the last one and
// pass it on.
//

void
reader_message(const std::string &message,  // I - What the reader says
               void              *closure)  // I - Unused
{
  (void)closure;
  snprintf(last_message, sizeof(last_message), "%s", message.c_str());
  if (message_sink)
    message_sink(last_message, message_data);
}

//
// 'refuse()' - Write the reason; the fault.  (A template rather than a
// variadic function: clang's analyzer takes the va_list of such a function
// for uninitialized when it analyzes several files in one run.)
//

template <typename... Args>
PdfFault
refuse(PdfReason  &reason,  // O - The reason
       PdfFault    fault,   // I - Why, as a kind
       const char *format,  // I - printf format of the reason
       Args... args)        // I - Its values
{
  if constexpr (sizeof...(args) == 0)
    snprintf(reason.text, sizeof(reason.text), "%s", format);
  else
    snprintf(reason.text, sizeof(reason.text), format, args...);
  return fault;
}

//
// 'checked_open()' - Check a document poppler opened (or not): readable,
// not locked, with pages within the limit.
//

PdfFault
checked_open(poppler::document *opened,  // I - poppler's document, or null
             const PdfLimits   &limits,  // I - The limits
             PdfDocument       &doc,     // O - The document
             PdfReason         &reason)  // O - Why not
{
  std::unique_ptr<poppler::document> owned(opened);

  if (!owned)
    return refuse(reason, PdfFault::Damaged, "The PDF cannot be read: the file is damaged or not a PDF%s%s%s.",
                  *last_message ? " (" : "", last_message, *last_message ? ")" : "");
  if (owned->is_locked())
    return refuse(reason, PdfFault::Encrypted,
                  "The PDF is encrypted and needs a password to be opened; the printer cannot open it.");

  const int pages = owned->pages();
  if (pages <= 0)
    return refuse(reason, PdfFault::Damaged, "The PDF cannot be read: it has no pages that can be found%s%s%s.",
                  *last_message ? " (" : "", last_message, *last_message ? ")" : "");
  if (static_cast<unsigned>(pages) > limits.max_pages)
    return refuse(reason, PdfFault::TooLarge, "The PDF has %d pages; the printer takes at most %u pages (labels) in one job.",
                  pages, limits.max_pages);

  doc.reset(new (std::nothrow) PdfDocumentData);
  if (!doc)
    return refuse(reason, PdfFault::NoMemory, "There is no memory to read the PDF.");
  doc->doc   = std::move(owned);
  doc->pages = static_cast<unsigned>(pages);
  return PdfFault::None;
}

//
// 'page_size()' - A page's size as shown (its crop box, turned by its own
// rotation), checked against the limits.
//

PdfFault
page_size(const poppler::page &page,    // I - The page
          unsigned             number,  // I - Its number (from 1)
          const PdfLimits     &limits,  // I - The limits
          ContentSize         &size,    // O - Its size, in points
          PdfReason           &reason)  // O - Why not
{
  const poppler::rectf box    = page.page_rect(poppler::crop_box);
  const auto           turn   = page.orientation();
  const bool           across = turn == poppler::page::landscape || turn == poppler::page::seascape;
  const double         w      = std::fabs(box.width()), h = std::fabs(box.height());

  if (!std::isfinite(w) || !std::isfinite(h) || w < kPdfMinSide || h < kPdfMinSide)
    return refuse(reason, PdfFault::Damaged,
                  "Page %u cannot be printed: it is %.0f x %.0f points; a page must be at least %.0f point each way.",
                  number, w, h, kPdfMinSide);
  if (w > limits.max_side || h > limits.max_side)
    return refuse(reason, PdfFault::TooLarge,
                  "Page %u is %.0f x %.0f points (%.0f x %.0f in); the printer takes pages of at most %.0f points "
                  "(%.0f in) a side.",
                  number, w, h, w / kPointsPerInch, h / kPointsPerInch, limits.max_side,
                  limits.max_side / kPointsPerInch);
  size.width    = across ? h : w;
  size.height   = across ? w : h;
  size.per_inch = kPointsPerInch;
  return PdfFault::None;
}

//
// 'send_rows()' - Hand every row of the label to the sink: white, with the
// rendered part of the page where it lands.
//

PdfFault
send_rows(const poppler::image &image,   // I - The rendered part of the page
          const Placement      &place,   // I - Where it lands
          const LabelArea      &label,   // I - The label
          const LabelRowSink   &sink,    // I - Where rows go
          PdfReason            &reason)  // O - Why not
{
  std::vector<std::uint8_t> row;

  try
  {
    row.resize(label.width);
  }
  catch (const std::bad_alloc &)
  {
    return refuse(reason, PdfFault::NoMemory, "There is no memory for a label row.");
  }

  const int         w     = std::min(place.w, image.width());
  const int         h     = std::min(place.h, image.height());
  const char       *data  = image.const_data();
  const std::size_t pitch = static_cast<std::size_t>(image.bytes_per_row());

  for (std::uint32_t y = 0; y < label.height; y++)
  {
    const long long line = static_cast<long long>(y) - place.dest_y;

    std::fill(row.begin(), row.end(), kWhite);
    if (line >= 0 && line < h && w > 0)
      memcpy(row.data() + place.dest_x, data + static_cast<std::size_t>(line) * pitch, static_cast<std::size_t>(w));
    if (!sink(y, row))
      return refuse(reason, PdfFault::Canceled, "The job was canceled.");
  }
  return PdfFault::None;
}

//
// 'render_checked()' - Check the memory rendering a placed page takes, and
// render the part of it that lands on the label.
//

PdfFault
render_checked(const poppler::page &page,    // I - The page
               unsigned             number,  // I - Its number (from 1)
               const Placement     &place,   // I - Where it lands
               const LabelArea     &label,   // I - The label
               const PdfLimits     &limits,  // I - The limits
               const LabelRowSink  &sink,    // I - Where rows go
               PdfReason           &reason)  // O - Why not
{
  // The renderer's bitmap and its copy handed back, both a whole number of
  // 4-byte words a row, and the reader's own memory.
  const std::uint64_t pitch  = (static_cast<std::uint64_t>(place.w) + 3) / 4 * 4;
  const std::uint64_t needed = 2 * pitch * static_cast<std::uint64_t>(place.h) + label.width + kPdfReaderBytes;

  if (label.width > static_cast<std::uint32_t>(limits.max_width) ||
      label.height > static_cast<std::uint32_t>(limits.max_height))
    return refuse(reason, PdfFault::TooLarge,
                  "The label is %" PRIu32 " x %" PRIu32 " dots; the printer renders pages of at most %d x %d dots.",
                  label.width, label.height, limits.max_width, limits.max_height);
  if (needed > limits.max_bytes)
    return refuse(reason, PdfFault::TooLarge,
                  "Page %u needs %" PRIu64 " KiB to render on the label; the printer allows %" PRIu64 " KiB.", number,
                  (needed + 1023) / 1024, static_cast<std::uint64_t>(limits.max_bytes) / 1024);
  if (place.w == 0 || place.h == 0)
    return send_rows(poppler::image(), place, label, sink, reason);

  poppler::page_renderer renderer;

  renderer.set_render_hints(0);  // no anti-aliasing: whole dots at every edge
  renderer.set_image_format(poppler::image::format_gray8);
  renderer.set_line_mode(poppler::page_renderer::line_solid);  // hairlines at least a dot
  renderer.set_paper_color(0xffffffffu);

  // The page is rendered turned, at the placement's scale, from the part of
  // it that lands on the label.
  const poppler::image image = renderer.render_page(&page, place.xscale * kPointsPerInch, place.yscale * kPointsPerInch,
                                                    place.dest_x - place.left, place.dest_y - place.top, place.w,
                                                    place.h, static_cast<poppler::rotation_enum>(place.quarter_turns));
  if (!image.is_valid() || image.format() != poppler::image::format_gray8)
    return refuse(reason, PdfFault::Damaged, "Page %u cannot be rendered: the PDF is damaged%s%s%s.", number,
                  *last_message ? " (" : "", last_message, *last_message ? ")" : "");
  return send_rows(image, place, label, sink, reason);
}

//
// 'render_page()' - Read a page, check its size, place it on the label and
// render it.
//

PdfFault
render_page(const PdfDocumentData &doc,     // I - The document
            unsigned               number,  // I - Page number (from 1)
            const LabelArea       &label,   // I - The label
            const PdfLimits       &limits,  // I - The limits
            const LabelRowSink    &sink,    // I - Where rows go
            PdfReason             &reason)  // O - Why not
{
  const std::unique_ptr<poppler::page> page(doc.doc->create_page(static_cast<int>(number - 1)));

  if (!page)
    return refuse(reason, PdfFault::Damaged, "Page %u cannot be read: the PDF is damaged%s%s%s.", number,
                  *last_message ? " (" : "", last_message, *last_message ? ")" : "");

  ContentSize size;
  if (const PdfFault fault = page_size(*page, number, limits, size, reason); fault != PdfFault::None)
    return fault;

  Placement place;
  if (!place_content(size, label, place))
    return refuse(reason, PdfFault::TooLarge,
                  "Page %u is %.0f x %.0f points; placed on the label it would be less than one dot across or down.",
                  number, size.width, size.height);
  return render_checked(*page, number, place, label, limits, sink, reason);
}

} // namespace

//
// 'pdf_set_message_sink()' - Send the reader's messages to a function (or
// nowhere).
//

void
pdf_set_message_sink(void (*sink)(const char *message, void *data),  // I - Function, or null
                     void *data)                                     // I - Its data
{
  message_sink = sink;
  message_data = data;
  poppler::set_debug_error_function(reader_message, nullptr);
}

//
// 'pdf_open()' - Open a PDF file and check it against the limits.
//

PdfFault
pdf_open(const char      *path,    // I - The PDF file
         const PdfLimits &limits,  // I - The limits
         PdfDocument     &doc,     // O - The document
         PdfReason       &reason)  // O - Why not
{
  poppler::set_debug_error_function(reader_message, nullptr);
  *last_message = '\0';
  if (!path)
    return refuse(reason, PdfFault::Damaged, "The job's PDF cannot be opened.");
  try
  {
    return checked_open(poppler::document::load_from_file(path), limits, doc, reason);
  }
  catch (const std::bad_alloc &)
  {
    return refuse(reason, PdfFault::NoMemory, "There is not enough memory to read the PDF.");
  }
}

//
// 'pdf_open_memory()' - Open a PDF held in memory and check it against the
// limits.
//

PdfFault
pdf_open_memory(std::span<const std::uint8_t> bytes,   // I - The PDF
                const PdfLimits              &limits,  // I - The limits
                PdfDocument                  &doc,     // O - The document
                PdfReason                    &reason)  // O - Why not
{
  poppler::set_debug_error_function(reader_message, nullptr);
  *last_message = '\0';
  if (bytes.empty() || bytes.size() > INT_MAX)
    return refuse(reason, PdfFault::Damaged, "The PDF cannot be read: the file is empty or too large.");
  try
  {
    return checked_open(poppler::document::load_from_raw_data(reinterpret_cast<const char *>(bytes.data()),
                                                              static_cast<int>(bytes.size())),
                        limits, doc, reason);
  }
  catch (const std::bad_alloc &)
  {
    return refuse(reason, PdfFault::NoMemory, "There is not enough memory to read the PDF.");
  }
}

//
// 'pdf_pages()' - The number of pages of an open document.
//

unsigned
pdf_pages(const PdfDocument &doc)  // I - The document
{
  return doc ? doc->pages : 0;
}

//
// 'pdf_render_page()' - Render one page on the label and hand over its
// rows, after checking its size and the memory rendering takes.
//

PdfFault
pdf_render_page(const PdfDocument  &doc,     // I - The document
                unsigned            number,  // I - Page number (from 1)
                const LabelArea    &label,   // I - The label
                const PdfLimits    &limits,  // I - The limits
                const LabelRowSink &sink,    // I - Where rows go
                PdfReason          &reason)  // O - Why not
{
  if (!doc || number < 1 || number > doc->pages)
    return refuse(reason, PdfFault::Damaged, "Page %u is not in the PDF.", number);

  try
  {
    return render_page(*doc, number, label, limits, sink, reason);
  }
  catch (const std::bad_alloc &)
  {
    return refuse(reason, PdfFault::NoMemory, "There is not enough memory to render page %u of the PDF.", number);
  }
}

} // namespace pelna_app
