// SPDX-License-Identifier: Apache-2.0
//
// The page header of each raster page, as it was read.
//
// PAPPL 1.3 reads a client's raster stream itself and hands the driver the
// page's rows, but the page's own header only when the page is 8-bit: for
// a 1-bit page the driver is given PAPPL's own 8-bit header for the job,
// which says nothing of the page's width, depth or colour space.  Every
// raster page header in the process is read through cupsRasterReadHeader2,
// in the thread that then hands that page to the driver.  The program's
// definition below takes the place of libcups's for every caller: it calls
// libcups's and keeps a copy of what it read, per thread, for the driver.
//

#include "app.h"

#include <dlfcn.h>

namespace {

//
// The last page header read in one thread.
//

struct SeenHeader
{
  cups_page_header2_t header;  // the header as read
  bool                seen;    // whether the last read gave a header
};

thread_local SeenHeader t_seen{};  // this thread's last header

} // namespace

//
// 'cupsRasterReadHeader2()' - libcups's reader of the next page header,
// noting the header for this thread.
//

extern "C" unsigned
cupsRasterReadHeader2(cups_raster_t       *r,  // I - Raster stream
                      cups_page_header2_t *h)  // O - Page header
{
  using ReadHeader = unsigned (*)(cups_raster_t *, cups_page_header2_t *);
  static const auto real = reinterpret_cast<ReadHeader>(dlsym(RTLD_NEXT, "cupsRasterReadHeader2"));

  const unsigned read = real && h ? real(r, h) : 0;

  t_seen.seen = read != 0;
  if (read)
    t_seen.header = *h;
  return read;
}

namespace pelna_app {

//
// 'last_page_header()' - The page header this thread read last, or null
// when its last read gave none.
//

const cups_page_header2_t *
last_page_header()
{
  return t_seen.seen ? &t_seen.header : nullptr;
}

} // namespace pelna_app
