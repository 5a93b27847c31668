// SPDX-License-Identifier: Apache-2.0
//
// Drawing helpers of make-label: PDF page operators, the barcode, the code
// block, the PDF file around a page, and a plain gray PNG writer.
//

#include "label_draw.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace label {

namespace {

// Interleaved 2 of 5: the five elements of each digit, 1 for a wide one.
constexpr std::array<const char *, 10> itf_digits = {
  "00110", "10001", "01001", "11000", "00101",
  "10100", "01100", "00011", "10010", "01010"};

// Side of the code block in modules, and of its three finder squares.
constexpr int code_modules = 21;
constexpr int finder_modules = 7;

// Bezier handle length of a quarter circle of radius 1.
constexpr double quarter_handle = 0.5523;

//
// 'append_be32()' - Append a 32-bit value high byte first.
//

void
append_be32(std::string &out,    // IO - Bytes so far
            uint32_t     value)  // I  - Value
{
  for (int shift = 24; shift >= 0; shift -= 8)
    out += static_cast<char>((value >> shift) & 0xff);
}

//
// 'crc32_of()' - CRC-32 (the one of PNG and gzip) of a byte string.
//

uint32_t
crc32_of(const std::string &bytes)  // I - Bytes
{
  uint32_t crc = 0xffffffffu;

  for (unsigned char byte : bytes)
  {
    crc ^= byte;
    for (int bit = 0; bit < 8; bit ++)
      crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xffffffffu;
}

//
// 'png_chunk()' - Append a PNG chunk: length, type, data, CRC.
//

void
png_chunk(std::string       &out,   // IO - PNG so far
          const char        *type,  // I  - Four-letter chunk type
          const std::string &data)  // I  - Chunk data
{
  const std::string body = std::string(type, 4) + data;

  append_be32(out, static_cast<uint32_t>(data.size()));
  out += body;
  append_be32(out, crc32_of(body));
}

//
// 'finder_dark()' - Whether a module of a 7 x 7 finder square is dark.
//

bool
finder_dark(int col,   // I - Column inside the square, 0 to 6
            int row)   // I - Row inside the square, 0 to 6
{
  const int ring = std::max(std::abs(col - 3), std::abs(row - 3));

  return ring == 3 || ring <= 1;
}

} // namespace

//
// 'number()' - Format a coordinate for a PDF content stream.
//

std::string
number(double value)   // I - Value in points
{
  char text[32];

  snprintf(text, sizeof(text), "%.2f", value);
  return text;
}

//
// 'fill_rect()' - Append a filled rectangle in a gray (0 black, 1 white).
//

void
fill_rect(std::string &page,   // IO - Content stream
          double       gray,   // I  - Fill gray
          double       x,      // I  - Left edge
          double       y,      // I  - Bottom edge
          double       w,      // I  - Width
          double       h)      // I  - Height
{
  page += number(gray) + " g " + number(x) + " " + number(y) + " " + number(w) + " " +
          number(h) + " re f\n";
}

//
// 'fill_disc()' - Append a filled disc of four Bezier quarters.
//

void
fill_disc(std::string &page,   // IO - Content stream
          double       gray,   // I  - Fill gray
          double       cx,     // I  - Centre x
          double       cy,     // I  - Centre y
          double       r)      // I  - Radius
{
  const double k = quarter_handle * r;

  page += number(gray) + " g " + number(cx + r) + " " + number(cy) + " m\n";
  page += number(cx + r) + " " + number(cy + k) + " " + number(cx + k) + " " + number(cy + r) +
          " " + number(cx) + " " + number(cy + r) + " c\n";
  page += number(cx - k) + " " + number(cy + r) + " " + number(cx - r) + " " + number(cy + k) +
          " " + number(cx - r) + " " + number(cy) + " c\n";
  page += number(cx - r) + " " + number(cy - k) + " " + number(cx - k) + " " + number(cy - r) +
          " " + number(cx) + " " + number(cy - r) + " c\n";
  page += number(cx + k) + " " + number(cy - r) + " " + number(cx + r) + " " + number(cy - k) +
          " " + number(cx + r) + " " + number(cy) + " c f\n";
}

//
// 'text()' - Append a line of text; the string holds no parentheses or
//            backslashes.
//

void
text(std::string &page,   // IO - Content stream
     double       gray,   // I  - Fill gray of the glyphs
     const char  *font,   // I  - Font resource name
     double       size,   // I  - Font size in points
     double       x,      // I  - Start of the baseline
     double       y,      // I  - Baseline
     const char  *str)    // I  - Text
{
  page += number(gray) + " g BT /" + std::string(font) + " " + number(size) + " Tf " +
          number(x) + " " + number(y) + " Td (" + str + ") Tj ET\n";
}

//
// 'itf_bars()' - Bars of an Interleaved 2 of 5 code for an even number of
//                digits, centred on a vertical line.
//

std::vector<Bar>
itf_bars(const char *digits,   // I - Digits, an even number of them
         double      narrow,   // I - Narrow element width in points
         double      ratio,    // I - Wide element width / narrow width
         double      center)   // I - x of the code's centre
{
  std::vector<std::pair<double, bool>> elements;   // width, is a bar
  const double wide = narrow * ratio;

  // Start pattern, 10 elements per pair of digits, stop pattern.
  elements.reserve(4 + 5 * strlen(digits) + 3);
  for (int i = 0; i < 4; i ++)
    elements.push_back({narrow, i % 2 == 0});
  for (size_t i = 0; digits[i] && digits[i + 1]; i += 2)
  {
    const char *bars   = itf_digits[static_cast<size_t>(digits[i] - '0')];
    const char *spaces = itf_digits[static_cast<size_t>(digits[i + 1] - '0')];

    for (int e = 0; e < 5; e ++)
    {
      elements.push_back({bars[e] == '1' ? wide : narrow, true});
      elements.push_back({spaces[e] == '1' ? wide : narrow, false});
    }
  }
  elements.push_back({wide, true});
  elements.push_back({narrow, false});
  elements.push_back({narrow, true});

  double total = 0;
  for (const auto &element : elements)
    total += element.first;

  std::vector<Bar> bars;
  double           x = center - total / 2;

  for (const auto &[width, is_bar] : elements)
  {
    if (is_bar)
      bars.push_back({x, x + width});
    x += width;
  }
  return bars;
}

//
// 'code_block()' - Append a 21 x 21 module block that looks like a QR code:
//                  three finder squares, timing lines and seeded data.
//

void
code_block(std::string &page,    // IO - Content stream
           double       x,       // I  - Left edge
           double       y,       // I  - Bottom edge
           double       module,  // I  - Module side in points
           unsigned     seed)    // I  - Seed of the data modules
{
  uint32_t state = seed;

  for (int row = 0; row < code_modules; row ++)
    for (int col = 0; col < code_modules; col ++)
    {
      const int  far   = code_modules - finder_modules;
      const bool left  = col < finder_modules + 1, right = col >= far - 1;
      const bool top   = row < finder_modules + 1, bottom = row >= far - 1;
      bool       dark  = false;

      state = state * 1664525u + 1013904223u;
      if (top && left)
        dark = col < finder_modules && row < finder_modules && finder_dark(col, row);
      else if (top && right)
        dark = col >= far && row < finder_modules && finder_dark(col - far, row);
      else if (bottom && left)
        dark = col < finder_modules && row >= far && finder_dark(col, row - far);
      else if (row == finder_modules - 1 || col == finder_modules - 1)
        dark = (row + col) % 2 == 0;
      else
        dark = (state >> 16) & 1;

      if (dark)
        fill_rect(page, 0, x + col * module, y + (code_modules - 1 - row) * module, module,
                  module);
    }
}

//
// 'pdf_document()' - Wrap a page's content stream in a one-page PDF file
//                    with Helvetica (F1) and Helvetica-Bold (F2).
//

std::string
pdf_document(const std::string &content,  // I - Page content stream
             double             width,    // I - Page width in points
             double             height,   // I - Page height in points
             const char        *title)    // I - Document title
{
  const std::string objects[] = {
    "<< /Type /Catalog /Pages 2 0 R >>",
    "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
    "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + number(width) + " " + number(height) +
      "] /Resources << /Font << /F1 5 0 R /F2 6 0 R >> >> /Contents 4 0 R >>",
    "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream",
    "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
    "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold /Encoding /WinAnsiEncoding >>",
    "<< /Title (" + std::string(title) + ") /Producer (make-label) >>"};
  constexpr size_t count = sizeof(objects) / sizeof(objects[0]);

  std::string         pdf = "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n";
  std::vector<size_t> offsets;

  for (size_t i = 0; i < count; i ++)
  {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }

  const size_t xref = pdf.size();
  char         entry[32];

  pdf += "xref\n0 " + std::to_string(count + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets)
  {
    snprintf(entry, sizeof(entry), "%010zu 00000 n \n", offset);
    pdf += entry;
  }
  pdf += "trailer\n<< /Size " + std::to_string(count + 1) + " /Root 1 0 R /Info " +
         std::to_string(count) + " 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

//
// 'png_gray()' - An 8-bit gray PNG of the pixels, its deflate data made of
//                stored (uncompressed) blocks, with its resolution.
//

std::string
png_gray(const std::vector<unsigned char> &gray,            // I - Rows, top first
         unsigned                          width,           // I - Pixels per row
         unsigned                          height,          // I - Rows
         unsigned                          dots_per_metre)  // I - Resolution
{
  constexpr size_t stored_max = 65535;   // Largest stored deflate block
  std::string      raw, ihdr, phys, zlib = "\x78\x01";
  uint32_t         a = 1, b = 0;         // Adler-32 halves

  for (unsigned row = 0; row < height; row ++)
  {
    raw += '\0';   // filter type None
    raw.append(reinterpret_cast<const char *>(gray.data()) + static_cast<size_t>(row) * width,
               width);
  }
  for (unsigned char byte : raw)
  {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  for (size_t at = 0; at < raw.size(); at += stored_max)
  {
    const size_t   len  = std::min(stored_max, raw.size() - at);
    const uint16_t n    = static_cast<uint16_t>(len);
    const bool     last = at + len == raw.size();

    zlib += static_cast<char>(last ? 1 : 0);
    zlib += static_cast<char>(n & 0xff);
    zlib += static_cast<char>(n >> 8);
    zlib += static_cast<char>(~n & 0xff);
    zlib += static_cast<char>((~n >> 8) & 0xff);
    zlib.append(raw, at, len);
  }
  append_be32(zlib, (b << 16) | a);

  append_be32(ihdr, width);
  append_be32(ihdr, height);
  ihdr += std::string("\x08\x00\x00\x00\x00", 5);   // 8-bit gray, no interlace
  append_be32(phys, dots_per_metre);
  append_be32(phys, dots_per_metre);
  phys += '\x01';                                   // unit: metre

  std::string png = "\x89PNG\r\n\x1a\n";
  png_chunk(png, "IHDR", ihdr);
  png_chunk(png, "pHYs", phys);
  png_chunk(png, "IDAT", zlib);
  png_chunk(png, "IEND", "");
  return png;
}

} // namespace label
