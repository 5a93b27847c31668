// SPDX-License-Identifier: Apache-2.0
//
// Additions to PAPPL's web pages: the names of the vendor settings and
// their choices in words, the app's own icon for the pages, a Supplies
// page for each printer (its IPP attributes name the page as
// printer-supply-info-uri, and PAPPL has none for a printer whose supply
// levels it does not keep), and a Last Label page for each printer with
// the picture of the last label it took (last_label.cpp).
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

//
// 'last_label_png()' - The picture of the printer's last label, a PNG file;
// 404 until it has printed one.  The page asks for it with the job's id in
// the query, so that a browser never shows an older label from its cache
// (libcups 2.4 writes no Cache-Control field, and none is sent).
//

bool
last_label_png(pappl_client_t *client,  // I - Client
               void           *data)    // I - Printer
{
  const auto label = last_label(static_cast<pappl_printer_t *>(data));

  if (!label || label->png.empty())
    return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
  if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "image/png", 0, label->png.size()))
    return false;
  return httpWrite2(papplClientGetHTTP(client), reinterpret_cast<const char *>(label->png.data()),
                    label->png.size()) == static_cast<ssize_t>(label->png.size());
}

//
// 'last_label_page()' - The printer's Last Label page: the picture with the
// job's id, name and time, the page number and the label's size in dots;
// it reloads itself while the printer prints.
//

bool
last_label_page(pappl_client_t *client,  // I - Client
                void           *data)    // I - Printer
{
  constexpr int kRefreshSeconds = 10;  // reload time while printing, as PAPPL's printer page

  auto      *printer = static_cast<pappl_printer_t *>(data);
  const auto label   = last_label(printer);

  papplClientHTMLPrinterHeader(client, printer, "Last Label",
                               papplPrinterGetState(printer) == IPP_PSTATE_PROCESSING ? kRefreshSeconds : 0, nullptr,
                               nullptr);
  if (!label)
    papplClientHTMLPuts(client, "          <p>No label printed since the server started.</p>\n");
  else
  {
    char      taken[64];
    struct tm date;

    localtime_r(&label->taken, &date);
    strftime(taken, sizeof(taken), "%Y-%m-%d %H:%M:%S", &date);
    papplClientHTMLPrintf(client, "          <p>Job %d (%s), page %u, taken by the printer at %s: %u x %u dots",
                          label->job_id, label->job_name.c_str(), label->page, taken, label->width, label->height);
    if (label->png.empty())
      papplClientHTMLPrintf(client, ". No picture of it could be made: %s.</p>\n", label->why.c_str());
    else
    {
      char path[256];

      papplPrinterGetPath(printer, "last-label.png", path, sizeof(path));
      papplClientHTMLPrintf(client,
                            ", shown one pixel for %u x %u dots.</p>\n"
                            "          <p><img src=\"%s?job=%d\" width=\"%u\" height=\"%u\" alt=\"The last label\" "
                            "style=\"border: 1px solid #888; max-width: 100%%; height: auto;\"></p>\n",
                            label->scale, label->scale, path, label->job_id, label->picture_width,
                            label->picture_height);
    }
  }
  papplClientHTMLPrinterFooter(client);
  return true;
}

} // namespace

//
// 'add_printer_pages()' - The printer's Supplies and Last Label pages, the
// picture, and the pages' links; a creation callback of PAPPL's (called
// before PAPPL adds its own pages).  PAPPL 1.3 has no way to add to its
// own printer page, so the picture has a page of its own.
//

void
add_printer_pages(pappl_printer_t *printer,  // I - New printer
                  void            *data)     // I - Callback data (unused)
{
  (void)data;

  pappl_system_t *system = papplPrinterGetSystem(printer);
  char            path[256];

  papplPrinterGetPath(printer, "supplies", path, sizeof(path));
  papplSystemAddResourceCallback(system, path, "text/html", supplies_page, printer);
  papplPrinterAddLink(printer, "Supplies", path, PAPPL_LOPTIONS_STATUS);

  open_last_label(printer);
  papplPrinterGetPath(printer, "last-label.png", path, sizeof(path));
  papplSystemAddResourceCallback(system, path, "image/png", last_label_png, printer);
  papplPrinterGetPath(printer, "last-label", path, sizeof(path));
  papplSystemAddResourceCallback(system, path, "text/html", last_label_page, printer);
  papplPrinterAddLink(printer, "Last Label", path, PAPPL_LOPTIONS_STATUS);
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
