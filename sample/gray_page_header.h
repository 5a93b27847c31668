// SPDX-License-Identifier: Apache-2.0
//
// The raster page header of an 8-bit gray page, as CUPS's own raster
// filters write it for this printer: filled in this one place for the sample
// writer, the fuzz seed maker and the tests.
//

#ifndef PELNA_GRAY_PAGE_HEADER_H
#define PELNA_GRAY_PAGE_HEADER_H

#include <cups/raster.h>

#include <cstring>

//
// 'gray_page_header()' - Header of an 8-bit gray page, 0 black, 255 white.
//

inline cups_page_header2_t
gray_page_header(unsigned width,   // I - Pixels per row
                 unsigned height,  // I - Rows
                 unsigned dpi)     // I - Resolution, both ways
{
  cups_page_header2_t header;

  memset(&header, 0, sizeof(header));
  header.HWResolution[0]       = dpi;
  header.HWResolution[1]       = dpi;
  header.PageSize[0]           = width * 72 / dpi;
  header.PageSize[1]           = height * 72 / dpi;
  header.ImagingBoundingBox[2] = header.PageSize[0];
  header.ImagingBoundingBox[3] = header.PageSize[1];
  header.NumCopies             = 1;
  header.cupsWidth             = width;
  header.cupsHeight            = height;
  header.cupsBitsPerColor      = 8;
  header.cupsBitsPerPixel      = 8;
  header.cupsBytesPerLine      = width;
  header.cupsColorOrder        = CUPS_ORDER_CHUNKED;
  header.cupsColorSpace        = CUPS_CSPACE_W;
  return header;
}

#endif // PELNA_GRAY_PAGE_HEADER_H
