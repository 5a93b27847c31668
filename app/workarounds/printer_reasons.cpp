// SPDX-License-Identifier: Apache-2.0
//
// The keyword of an unreachable printer.
//
// PAPPL 1.3.1 has one printer-state-reasons bit for a printer that cannot
// be reached, reported as "offline": a keyword without a severity suffix,
// which clients read as an error of the printer.  A label printer that is
// switched off or out of reach while its jobs wait is the report CUPS
// gives, "offline-report".  PAPPL turns each bit into its keyword with
// _papplPrinterReasonString, for IPP and its web pages alike; the
// program's definition below names that bit "offline-report" and leaves
// every other bit to PAPPL's.
//

#include "workarounds.h"

#include <dlfcn.h>

//
// '_papplPrinterReasonString()' - The keyword of a printer-state-reasons bit.
//

extern "C" const char *
_papplPrinterReasonString(pappl_preason_t value)  // I - One reason bit
{
  using ReasonString = const char *(*)(pappl_preason_t);
  static const auto real = reinterpret_cast<ReasonString>(dlsym(RTLD_NEXT, "_papplPrinterReasonString"));

  if (value == PAPPL_PREASON_OFFLINE)
    return "offline-report";
  return real ? real(value) : "other";
}
