// SPDX-License-Identifier: Apache-2.0
//
// make-label: write the bundled shipping label as a one-page PDF (4 x 6 in),
// a text file with the places of its barcode bars, and a gray PNG picture
// (2 x 1 in at 203 dpi) for printing an image.
//
//   make-label LABEL.pdf BARS.txt PICTURE.png
//
// The PDF uses only what every PDF reader has: text in the standard fonts
// Helvetica and Helvetica-Bold (not embedded), bars and code modules as
// filled rectangles, and a gray logo drawn with a gray fill.  The bars file
// lists, in PDF points (origin bottom left), the page size, the vertical span
// of the barcode and the left and right edge of each bar, so that a test can
// find the bars in the printed dots.
//

#include "label_draw.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace label;

namespace {

//
// 'write_file()' - Write bytes to a file; false when it cannot be written.
//

bool
write_file(const char        *path,   // I - File to (re)write
           const std::string &bytes)  // I - Contents
{
  FILE *fp = fopen(path, "wb");

  if (!fp)
    return false;

  const bool ok = fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();

  return fclose(fp) == 0 && ok;
}

//
// 'draw_label()' - Draw the shipping label's page content and note its bars.
//

std::string
draw_label(std::vector<Bar> &bars,     // O - Barcode bars, left to right
           double           &bar_y0,   // O - Bottom of the bars
           double           &bar_y1)   // O - Top of the bars
{
  std::string page;

  // Frame and dividers.
  fill_rect(page, 0, 9, 9, 270, 1.5);
  fill_rect(page, 0, 9, 421.5, 270, 1.5);
  fill_rect(page, 0, 9, 9, 1.5, 414);
  fill_rect(page, 0, 277.5, 9, 1.5, 414);
  fill_rect(page, 0, 9, 368, 270, 1.5);
  fill_rect(page, 0, 9, 266, 270, 1.5);
  fill_rect(page, 0, 9, 128, 270, 1.5);

  // Sender block with the gray logo: a disc at 55 % black holding a white P.
  fill_disc(page, 0.45, 42, 394, 20);
  text(page, 1, "F2", 26, 33.5, 384.5, "P");
  text(page, 0, "F2", 10, 72, 404, "PELNA LABELS LTD");
  text(page, 0, "F1", 8, 72, 393, "UNIT 4, MILL LANE");
  text(page, 0, "F1", 8, 72, 383, "BRISTOL BS1 6XX  UNITED KINGDOM");
  text(page, 0, "F2", 12, 226, 398, "1 OF 1");

  // Recipient.
  text(page, 0, "F2", 9, 18, 352, "SHIP TO:");
  text(page, 0, "F2", 16, 36, 330, "JANE EXAMPLE");
  text(page, 0, "F2", 16, 36, 311, "42 HARBOUR ROAD, FLAT 7");
  text(page, 0, "F2", 16, 36, 292, "PORT ELLEN PA42 7XX");
  text(page, 0, "F1", 9, 36, 276, "TEL +44 1496 000 000");

  // Interleaved 2 of 5 barcode with its digits underneath.
  const char *digits = "00123456789012";

  bar_y0 = 164;
  bar_y1 = 246;
  bars   = itf_bars(digits, 1.6, 2.5, 144);
  for (const Bar &bar : bars)
    fill_rect(page, 0, bar.x0, bar_y0, bar.x1 - bar.x0, bar_y1 - bar_y0);
  text(page, 0, "F1", 11, 97, 148, "(00) 1234 5678 9012");

  // A two-dimensional code block and the service box, white on black.
  code_block(page, 18, 30, 3.5, 11);
  fill_rect(page, 0, 112, 82, 152, 30);
  text(page, 1, "F2", 20, 134, 90, "PRIORITY");
  text(page, 0, "F1", 9, 112, 58, "WEIGHT 1.2 KG");
  text(page, 0, "F1", 9, 112, 46, "REF PL-0001");
  text(page, 0, "F1", 9, 112, 34, "SHIPPED 2024-05-01");

  return page;
}

//
// 'picture_pixel()' - Gray value of the picture at (x, y): a left-to-right
//                     ramp behind a dark disc and a black bar.
//

unsigned char
picture_pixel(int x,        // I - Column, 0 to 405
              int y)        // I - Row, 0 to 202
{
  const int dx = x - 300, dy = y - 101;

  if (x >= 20 && x < 40)
    return 0;
  if (dx * dx + dy * dy < 70 * 70)
    return static_cast<unsigned char>(60 + (dx + 70) / 2);
  return static_cast<unsigned char>(255 - (x * 200) / 405);
}

} // namespace

//
// 'main()' - Write the label PDF, its bars file and the picture.
//

int
main(int  argc,   // I - Number of arguments
     char *argv[]) // I - Arguments
{
  if (argc != 4)
  {
    fputs("Usage: make-label LABEL.pdf BARS.txt PICTURE.png\n", stderr);
    return 1;
  }

  std::vector<Bar> bars;
  double           bar_y0 = 0, bar_y1 = 0;
  const std::string content = draw_label(bars, bar_y0, bar_y1);

  std::string listing = "# Places in PDF points, origin bottom left.\n";
  listing += "page 288 432\n";
  listing += "rows " + number(bar_y0) + " " + number(bar_y1) + "\n";
  for (const Bar &bar : bars)
    listing += "bar " + number(bar.x0) + " " + number(bar.x1) + "\n";

  constexpr int width = 406, height = 203;   // 2 x 1 in at 203 dpi
  std::vector<unsigned char> gray(static_cast<size_t>(width) * height);

  for (int y = 0; y < height; y ++)
    for (int x = 0; x < width; x ++)
      gray[static_cast<size_t>(y) * width + x] = picture_pixel(x, y);

  if (!write_file(argv[1], pdf_document(content, 288, 432, "Pelna sample shipping label")) ||
      !write_file(argv[2], listing) ||
      !write_file(argv[3], png_gray(gray, width, height, 8000)))
  {
    perror("make-label");
    return 1;
  }
  return 0;
}
