// SPDX-License-Identifier: Apache-2.0
//
// Printer defaults checked before PAPPL stores them.
//
// PAPPL 1.3.1 stores a vendor setting's new default as given, whatever its
// "-supported" values say: Set-Printer-Attributes (the modify sub-command)
// and a crafted Printing Defaults form both answer success, and the printer
// then advertises a default it does not support.  It also stores any
// printer-darkness-configured and print-darkness-default, and its Printing
// Defaults page can show the configured darkness only on one of the
// printer's darkness levels: a value between two levels shows as the first
// choice, and saving the form, even to change something else, stores that
// instead.
//
// Both paths store defaults through papplPrinterSetDriverDefaults, which
// the program defines here in place of PAPPL's own for every caller.  It
// refuses the whole change (PAPPL then answers the client with
// client-error-attributes-or-values-not-supported, or "Bad printer
// defaults." on the web page) when a vendor value is not one of its
// supported values, or a darkness is out of range, and stores a configured
// darkness between two levels as the level below it, which the page can
// show.  Then it calls PAPPL's own function.
//

#include <pappl/pappl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

namespace {

//
// 'vendor_value_supported()' - Whether a vendor value is one of the
// printer's supported values (a value with no "-supported" list is text,
// and any is taken).
//

bool
vendor_value_supported(ipp_attribute_t *supported,  // I - The "-supported" attribute, or null
                       const char      *value)      // I - New default, as text
{
  if (!supported)
    return true;

  char      *end = nullptr;
  const long number = (errno = 0, strtol(value, &end, 10));
  const bool is_number = *value && end && !*end && errno != ERANGE;

  switch (ippGetValueTag(supported))
  {
    case IPP_TAG_KEYWORD :
        return ippContainsString(supported, value) != 0;
    case IPP_TAG_INTEGER :
    case IPP_TAG_RANGE :
        return is_number && number >= INT32_MIN && number <= INT32_MAX &&
               ippContainsInteger(supported, static_cast<int>(number)) != 0;
    case IPP_TAG_BOOLEAN :
        return !strcmp(value, "true") || !strcmp(value, "false") || !strcmp(value, "on") ||
               !strcmp(value, "off");
    default :
        return false;
  }
}

//
// 'vendor_values_supported()' - Whether every new vendor default is
// supported; logs the first that is not.
//

bool
vendor_values_supported(pappl_printer_t              *printer,     // I - Printer
                        const pappl_pr_driver_data_t &data,        // I - New driver data
                        int                           num_vendor,  // I - Number of vendor values
                        cups_option_t                *vendor)      // I - Vendor values
{
  ipp_t *attrs = papplPrinterGetDriverAttributes(printer);
  bool   ok    = true;

  for (int i = 0; ok && i < data.num_vendor && i < PAPPL_MAX_VENDOR; i++)
  {
    const char *value = data.vendor[i] ? cupsGetOption(data.vendor[i], num_vendor, vendor) : nullptr;
    char        name[128];

    if (!value)
      continue;
    snprintf(name, sizeof(name), "%s-supported", data.vendor[i]);
    if (!vendor_value_supported(ippFindAttribute(attrs, name, IPP_TAG_ZERO), value))
    {
      papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Unsupported %s-default=%s, not changed.", data.vendor[i], value);
      ok = false;
    }
  }
  ippDelete(attrs);
  return ok;
}

//
// 'darkness_supported()' - Whether the new darkness values are in range;
// a configured darkness between two of the printer's levels is moved to
// the level below it.
//

bool
darkness_supported(pappl_printer_t        *printer,  // I - Printer
                   pappl_pr_driver_data_t &data)     // IO - New driver data
{
  if (data.darkness_configured < 0 || data.darkness_configured > 100 || data.darkness_default < -100 ||
      data.darkness_default > 100)
  {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR,
                    "Unsupported printer-darkness-configured=%d or print-darkness-default=%d, not changed.",
                    data.darkness_configured, data.darkness_default);
    return false;
  }

  const int levels = data.darkness_supported;
  if (levels > 1)
  {
    // Levels are 100 * i / (levels - 1), as PAPPL's page lists them.
    const int i     = data.darkness_configured * (levels - 1) / 100;
    const int level = 100 * i / (levels - 1);

    if (level != data.darkness_configured)
    {
      papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "printer-darkness-configured=%d is stored as the level %d.",
                      data.darkness_configured, level);
      data.darkness_configured = level;
    }
  }
  return true;
}

} // namespace

//
// 'papplPrinterSetDriverDefaults()' - PAPPL's setter of a printer's
// defaults, called only with supported values.
//

extern "C" bool
papplPrinterSetDriverDefaults(pappl_printer_t        *printer,     // I - Printer
                              pappl_pr_driver_data_t *data,        // I - New driver data
                              int                     num_vendor,  // I - Number of vendor values
                              cups_option_t          *vendor)      // I - Vendor values
{
  using SetDefaults = bool (*)(pappl_printer_t *, pappl_pr_driver_data_t *, int, cups_option_t *);
  static const auto real = reinterpret_cast<SetDefaults>(dlsym(RTLD_NEXT, "papplPrinterSetDriverDefaults"));

  if (!real || !printer || !data)
    return false;
  if (!vendor_values_supported(printer, *data, num_vendor, vendor) || !darkness_supported(printer, *data))
    return false;
  return real(printer, data, num_vendor, vendor);
}
