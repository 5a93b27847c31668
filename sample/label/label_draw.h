// SPDX-License-Identifier: Apache-2.0
//
// Drawing helpers of make-label: PDF page operators, the barcode, the code
// block, the PDF file around a page, and a plain gray PNG writer.
//

#pragma once

#include <string>
#include <vector>

namespace label {

// One bar of a 1D barcode, left and right edge in points.
struct Bar
{
  double x0;
  double x1;
};

[[nodiscard]] std::string number(double value);
void fill_rect(std::string &page, double gray, double x, double y, double w, double h);
void fill_disc(std::string &page, double gray, double cx, double cy, double r);
void text(std::string &page, double gray, const char *font, double size,
          double x, double y, const char *str);
[[nodiscard]] std::vector<Bar> itf_bars(const char *digits, double narrow,
                                        double ratio, double center);
void code_block(std::string &page, double x, double y, double module, unsigned seed);
[[nodiscard]] std::string pdf_document(const std::string &content, double width,
                                       double height, const char *title);
[[nodiscard]] std::string png_gray(const std::vector<unsigned char> &gray,
                                   unsigned width, unsigned height,
                                   unsigned dots_per_metre);

} // namespace label
