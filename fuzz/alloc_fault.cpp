// SPDX-License-Identifier: Apache-2.0
//
// Allocation faults for a test build of the filter.
//
// The test build is linked with -Wl,--wrap for malloc and calloc, so every
// allocation made by the filter's own code comes here first, and libdeflate
// is told to allocate through here too.  The environment variable
// PELNA_ALLOC_FAULT="page:n" makes the n-th such allocation between the
// header of that page and the next header fail, once; on that failure "allocation
// fault injected" goes to standard error, so a test can tell when n has
// passed the page's last allocation.  Without the variable nothing fails.
//

#include <cups/raster.h>
#include <libdeflate.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

extern "C" {

void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
int   __real_cupsRasterReadHeader2(cups_raster_t *r, cups_page_header2_t *h);

void *__wrap_malloc(size_t size);
void *__wrap_calloc(size_t count, size_t size);
int   __wrap_cupsRasterReadHeader2(cups_raster_t *r, cups_page_header2_t *h);

}

namespace {

int  fault_page  = 0;      // page whose allocation fails, 0: none
long fault_count = 0;      // which allocation after that page's header
int  pages_read  = 0;      // page headers read so far
long allocations = -1;     // allocations since the fault page's header,
                           // -1 before it

//
// 'should_fail()' - Count one allocation; whether it is the one to fail.
//

bool
should_fail()
{
  if (allocations < 0)
    return false;

  if (++ allocations != fault_count)
    return false;

  allocations = -1;  // once only
  static const char note[] = "allocation fault injected\n";
  (void)!write(2, note, sizeof(note) - 1);
  return true;
}

//
// 'setup_faults()' - Read PELNA_ALLOC_FAULT and route libdeflate's
// allocations through the wrapper, before main runs.
//

[[gnu::constructor]] void
setup_faults()
{
  const char *setting = getenv("PELNA_ALLOC_FAULT");

  if (!setting || sscanf(setting, "%d:%ld", &fault_page, &fault_count) != 2)
    fault_page = 0;

  libdeflate_set_memory_allocator(__wrap_malloc, free);
}

} // namespace

//
// '__wrap_malloc()' - malloc of the filter's code, failing when told.
//

void *
__wrap_malloc(size_t size)  // I - Bytes wanted
{
  return should_fail() ? nullptr : __real_malloc(size);
}

//
// '__wrap_calloc()' - calloc of the filter's code, failing when told.
//

void *
__wrap_calloc(size_t count,  // I - Elements
              size_t size)   // I - Bytes per element
{
  return should_fail() ? nullptr : __real_calloc(count, size);
}

//
// '__wrap_cupsRasterReadHeader2()' - Read a page header; arm the fault for
// the fault page's allocations, disarm it at any other page.
//

int
__wrap_cupsRasterReadHeader2(cups_raster_t       *r,  // I - Raster stream
                             cups_page_header2_t *h)  // O - Page header
{
  const int read = __real_cupsRasterReadHeader2(r, h);

  // Counting runs from the fault page's header to the next header.
  if (read)
    allocations = ++ pages_read == fault_page ? 0 : -1;

  return read;
}
