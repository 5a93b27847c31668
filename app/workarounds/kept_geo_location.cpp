// SPDX-License-Identifier: Apache-2.0
//
// A geo-location the configuration forms did not change is kept.
//
// PAPPL 1.3.1's configuration pages (the system's and each printer's) show
// the geo-location as latitude and longitude fields to four decimals, and
// an unknown one as 0 and 0.  Saving the form, even to change only the
// location text, stores what the fields show: an unknown geo-location
// becomes "geo:0,0" (a point in the Gulf of Guinea) and a finer one is
// rounded.
//
// Both pages store it through papplPrinterSetGeoLocation and
// papplSystemSetGeoLocation, which the program defines here in place of
// PAPPL's own for every caller: a new value that is 0,0 where none was
// known, or that is the current one as the page shows it (within half of
// its last decimal), leaves the current value as it is.  Any other value
// goes to PAPPL's own function.
//

#include <pappl/pappl.h>

#include <cmath>
#include <cstdio>
#include <dlfcn.h>

namespace {

// Half of the last decimal the pages show a latitude or longitude with.
constexpr double kShownHalfStep = 0.00005;

//
// 'read_geo()' - Latitude and longitude of a "geo:" URI; false when it is
// none.
//

bool
read_geo(const char *uri,  // I - "geo:" URI, or null
         double     &lat,  // O - Latitude
         double     &lon)  // O - Longitude
{
  return uri && sscanf(uri, "geo:%lf,%lf", &lat, &lon) == 2;
}

//
// 'unchanged_geo()' - Whether a new geo-location is the current one as a
// configuration page shows it.
//

bool
unchanged_geo(const char *current,  // I - Current "geo:" URI, or null when unknown
              const char *value)    // I - New one, or null for unknown
{
  double lat, lon, cur_lat, cur_lon;

  if (!read_geo(value, lat, lon))
    return false;
  if (!read_geo(current, cur_lat, cur_lon))
    return lat == 0.0 && lon == 0.0;
  return std::fabs(lat - cur_lat) <= kShownHalfStep && std::fabs(lon - cur_lon) <= kShownHalfStep;
}

} // namespace

//
// 'papplPrinterSetGeoLocation()' - PAPPL's setter of a printer's
// geo-location, skipped when the value is the current one as shown.
//

extern "C" void
papplPrinterSetGeoLocation(pappl_printer_t *printer,  // I - Printer
                           const char      *value)    // I - "geo:" URI, or null for unknown
{
  using SetGeo = void (*)(pappl_printer_t *, const char *);
  static const auto real = reinterpret_cast<SetGeo>(dlsym(RTLD_NEXT, "papplPrinterSetGeoLocation"));
  char              current[256];

  if (!real || !printer)
    return;
  if (unchanged_geo(papplPrinterGetGeoLocation(printer, current, sizeof(current)), value))
    return;
  real(printer, value);
}

//
// 'papplSystemSetGeoLocation()' - PAPPL's setter of the system's
// geo-location, skipped when the value is the current one as shown.
//

extern "C" void
papplSystemSetGeoLocation(pappl_system_t *system,  // I - System
                          const char     *value)   // I - "geo:" URI, or null for unknown
{
  using SetGeo = void (*)(pappl_system_t *, const char *);
  static const auto real = reinterpret_cast<SetGeo>(dlsym(RTLD_NEXT, "papplSystemSetGeoLocation"));
  char              current[256];

  if (!real || !system)
    return;
  if (unchanged_geo(papplSystemGetGeoLocation(system, current, sizeof(current)), value))
    return;
  real(system, value);
}
