// SPDX-License-Identifier: Apache-2.0
//
// Additions to PAPPL's web pages: the names of the vendor settings and
// their choices in words, the app's own icon for the pages, and a Supplies
// page for each printer (its IPP attributes name the page as
// printer-supply-info-uri, and PAPPL has none for a printer whose supply
// levels it does not keep).
//

#include "app.h"

#include <string>

namespace pelna_app {

namespace {

// The languages of PAPPL 1.3's own page texts; the names below are added
// to each (in English) so that no page shows a raw attribute name.
constexpr const char *kLanguages[] = {"de", "en", "es", "fr", "it", "ja", "nb-NO", "pl", "tr"};

// Names of the vendor settings and their choices, as PAPPL's pages look
// them up ("ATTRIBUTE" and "ATTRIBUTE.KEYWORD").
constexpr const char *kStrings =
    "\"pelna-halftone\" = \"Halftone\";\n"
    "\"pelna-halftone.error-diffusion\" = \"Dithered (pictures, gray areas)\";\n"
    "\"pelna-halftone.threshold\" = \"Black and white (text, barcodes)\";\n";

// Resource paths of the strings, one per language.
constexpr const char *kStringsPathPrefix = "/pelna-strings/";

//
// 'supplies_page()' - The printer's Supplies page: the label roll, whose
// level the printer does not report.
//

bool
supplies_page(pappl_client_t *client,  // I - Client
              void           *data)    // I - Printer
{
  auto *printer = static_cast<pappl_printer_t *>(data);

  papplClientHTMLPrinterHeader(client, printer, "Supplies", 0, nullptr, nullptr);
  papplClientHTMLPuts(client,
                      "          <table class=\"form\">\n"
                      "            <tbody>\n"
                      "              <tr><th>Label roll:</th><td>The printer does not report how much of "
                      "the roll is left.</td></tr>\n"
                      "            </tbody>\n"
                      "          </table>\n");
  papplClientHTMLPrinterFooter(client);
  return true;
}

} // namespace

//
// 'add_printer_pages()' - The printer's Supplies page and its link; a
// creation callback of PAPPL's (called before PAPPL adds its own pages).
//

void
add_printer_pages(pappl_printer_t *printer,  // I - New printer
                  void            *data)     // I - Callback data (unused)
{
  (void)data;

  char path[256];

  papplPrinterGetPath(printer, "supplies", path, sizeof(path));
  papplSystemAddResourceCallback(papplPrinterGetSystem(printer), path, "text/html", supplies_page, printer);
  papplPrinterAddLink(printer, "Supplies", path, PAPPL_LOPTIONS_STATUS);
}

//
// 'add_web_pages()' - The texts of the vendor settings and the app's icon
// for the pages.  Called from the system callback, before PAPPL adds its
// own icon (the first resource at a path is the one served).
//

void
add_web_pages(pappl_system_t *system)  // I - System
{
  for (const char *language : kLanguages)
  {
    const std::string path = std::string(kStringsPathPrefix) + language + ".strings";
    papplSystemAddStringsData(system, path.c_str(), language, kStrings);
  }

  const auto &icons = app_icons();
  if (!icons[0].empty())
    papplSystemAddResourceData(system, "/navicon.png", "image/png", icons[0].data(), icons[0].size());
  if (!icons[1].empty())
    papplSystemAddResourceData(system, "/favicon.png", "image/png", icons[1].data(), icons[1].size());
}

} // namespace pelna_app
