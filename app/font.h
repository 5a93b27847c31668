// SPDX-License-Identifier: Apache-2.0
//
// pelna-printer-app's built-in bitmap font: printable ASCII in 5 x 8 cells
// (7 rows above the baseline, one below for descenders), for the text of
// the test label.  Text is drawn at a whole-number scale, one font pixel
// as a square of scale x scale dots.
//

#ifndef PELNA_APP_FONT_H
#define PELNA_APP_FONT_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace pelna_app {

constexpr unsigned kGlyphWidth  = 5;   // font pixels across a glyph
constexpr unsigned kGlyphHeight = 8;   // font pixels down a glyph, descender included
constexpr unsigned kCellWidth   = 6;   // advance from one character to the next
constexpr unsigned kCellHeight  = 10;  // advance from one line to the next

// One glyph: a row per font pixel down, the leftmost pixel in bit 4.
using Glyph = std::array<std::uint8_t, kGlyphHeight>;

// The glyph of a character; characters outside printable ASCII are drawn
// as '?'.
[[nodiscard]] const Glyph &glyph(char c);

//
// Lines of text placed on a page.
//

struct TextBlock
{
  std::vector<std::string> lines;      // the text, one string per line
  unsigned                 left  = 0;  // dot column of the first character
  unsigned                 top   = 0;  // dot row of the first line
  unsigned                 right = 0;  // first dot column past the text's room
  unsigned                 scale = 1;  // dots per font pixel, each way

  // Whether the dot at x, y is ink of the text.
  [[nodiscard]] bool ink(unsigned x, unsigned y) const;

  // Dot rows the lines take.
  [[nodiscard]] unsigned height() const;
};

} // namespace pelna_app

#endif // PELNA_APP_FONT_H
