// SPDX-License-Identifier: Apache-2.0
//
// Fuzz target: the Printer Application's PDF reader, in this process.
//
// An input is a PDF file.  It is opened within the limits and each of its
// first two pages is placed and rendered on a small label.  Checked:
//
//   - opening and rendering either succeed or give a fault with a reason;
//   - a rendered page hands over every label row once, top first, each as
//     wide as the label;
//   - the part of a page placed on the label lies inside the label.
//

#include "pdf_reader.h"

#include <cstdio>
#include <cstdlib>

using namespace pelna_app;

namespace {

constexpr std::uint32_t kLabelWidth  = 96;  // a 1.33 x 0.89 in label at 72 dpi
constexpr std::uint32_t kLabelHeight = 64;
constexpr unsigned      kPagesRendered = 2;

//
// 'fail()' - Report a broken property and abort.
//

[[noreturn]] void
fail(const char *what)  // I - Property
{
  fprintf(stderr, "pdf_fuzz: %s\n", what);
  abort();
}

//
// 'check_page()' - Render one page and check its rows and placement.
//

void
check_page(const PdfDocument &doc,     // I - The document
           unsigned           number,  // I - Page number (from 1)
           const LabelArea   &label,   // I - The label
           const PdfLimits   &limits)  // I - The limits
{
  PdfReason     reason;
  std::uint32_t next = 0;
  const PdfFault fault = pdf_render_page(doc, number, label, limits,
                                         [&](std::uint32_t y, std::span<const std::uint8_t> row) {
                                           if (y != next++ || row.size() != label.width)
                                             fail("rows out of order or of the wrong width");
                                           return true;
                                         },
                                         reason);

  if (fault == PdfFault::None && next != label.height)
    fail("a rendered page without all its rows");
  if (fault != PdfFault::None && !reason.text[0])
    fail("a fault without a reason");
}

} // namespace

//
// 'LLVMFuzzerTestOneInput()' - Open the PDF and render its first pages.
//

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data,  // I - PDF bytes
                       std::size_t         size)  // I - Their number
{
  PdfLimits   limits;
  PdfDocument doc;
  PdfReason   reason;
  LabelArea   label;

  limits.max_bytes  = kPdfReaderBytes + (std::size_t{16} << 20);
  limits.max_width  = 16384;
  limits.max_height = 16384;
  label.width  = kLabelWidth;
  label.height = kLabelHeight;
  label.xdpi   = label.ydpi = 72;
  pdf_set_message_sink(nullptr, nullptr);

  if (pdf_open_memory({data, size}, limits, doc, reason) != PdfFault::None)
  {
    if (!reason.text[0])
      fail("a refused file without a reason");
    return 0;
  }
  for (unsigned page = 1; page <= pdf_pages(doc) && page <= kPagesRendered; page++)
  {
    label.scaling = page == 1 ? Scaling::Auto : Scaling::Fill;
    check_page(doc, page, label, limits);
  }

  // Any page size is placed inside the label.
  if (size >= 2)
  {
    Placement         place;
    const ContentSize page{1.0 + data[0] * 57.0, 1.0 + data[1] * 57.0, 72.0};
    if (place_content(page, label, place) &&
        (place.dest_x < 0 || place.dest_y < 0 || place.dest_x + place.w > static_cast<int>(label.width) ||
         place.dest_y + place.h > static_cast<int>(label.height)))
      fail("a page placed outside the label");
  }
  return 0;
}
