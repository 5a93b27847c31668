// SPDX-License-Identifier: Apache-2.0
//
// The two drivers: what each model tells PAPPL (resolution, raster types,
// media, options) and the callbacks it prints with (printing.cpp,
// documents.cpp, testpage.cpp).
//

#include "app.h"

#include <cstring>

namespace pelna_app {

const Model kModels[2] = {
  {"pelna_203", "Pelna 4-inch Label 203 dpi", 203, 832, "roll_max_104x1000mm"},
  {"pelna_300", "Pelna 4-inch Label 300 dpi", 300, 1248, "roll_max_105.6x1000mm"},
};

pappl_pr_driver_t kDrivers[2] = {
  {"pelna_203", "Pelna 4-inch Label 203 dpi", "MFG:Pelna;MDL:4-inch Label 203 dpi;CMD:PELNA;", nullptr},
  {"pelna_300", "Pelna 4-inch Label 300 dpi", "MFG:Pelna;MDL:4-inch Label 300 dpi;CMD:PELNA;", nullptr},
};

namespace {

// The longest label a page may make, in millimetres: the largest custom
// size (roll_max_...x1000mm).  A longer page is refused, not fed for metres.
constexpr double kMaxLabelMm = 1000.0;

// Millimetres in an inch.
constexpr double kMmPerInch = 25.4;

//
// 'add_printer_facts()' - Printer attributes PAPPL does not set itself: the
// label roll as the one supply (its level is not known), the back side of a
// one-sided printer's raster pages (never printed, so as sent), no
// preferred attribute values, and one rendering intent (a 1-bit printer has
// no colour to render: "auto" is what it does).
//

void
add_printer_facts(ipp_t *attrs)  // IO - Extra printer attributes
{
  static const char kRoll[] =
      "index=1;class=supplyThatIsConsumed;type=other;unit=percent;maxcapacity=100;level=-2;colorantname=unknown;";

  ippAddOctetString(attrs, IPP_TAG_PRINTER, "printer-supply", kRoll, sizeof(kRoll) - 1);
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-supply-description", nullptr, "Label roll");
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-sheet-back", nullptr, "normal");
  ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr, "auto");
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported", nullptr, "auto");
}

//
// 'printer_deleted()' - Driver delete callback: the printer is being
// deleted (also when the server stops); its job thread stops touching it,
// and the picture of its last label goes.
//

void
printer_deleted(pappl_printer_t        *printer,  // I - Printer
                pappl_pr_driver_data_t *data)     // I - Its driver data (unused)
{
  (void)data;
  stop_deliveries(printer);
  forget_last_label(printer);
}

} // namespace

//
// 'find_model()' - The model of a driver name, or null.
//

const Model *
find_model(const char *driver)  // I - Driver name
{
  for (const Model &model : kModels)
  {
    if (driver && !strcmp(driver, model.driver))
      return &model;
  }
  return nullptr;
}

//
// 'longest_label_rows()' - Rows of the longest label a model prints.
//

std::uint32_t
longest_label_rows(const Model &model)  // I - Printer model
{
  return static_cast<std::uint32_t>(kMaxLabelMm * model.dpi / kMmPerInch);
}

//
// 'driver_callback()' - Describe a model to PAPPL: resolution, raster
// types, media, options and the raster callbacks.
//

bool
driver_callback(pappl_system_t         *system,       // I - System
                const char             *driver_name,  // I - Driver name
                const char             *device_uri,   // I - Device URI (unused)
                const char             *device_id,    // I - IEEE-1284 device ID (unused)
                pappl_pr_driver_data_t *data,         // O - Driver data
                ipp_t                 **attrs,        // O - Extra printer attributes
                void                   *cbdata)       // I - Callback data (unused)
{
  (void)device_uri;
  (void)device_id;
  (void)cbdata;

  const Model *model = find_model(driver_name);

  if (!model)
  {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "No driver named \"%s\".", driver_name ? driver_name : "");
    return false;
  }

  set_raster_callbacks(*data);
  set_document_format(*data);
  data->testpage_cb = test_page;
  data->delete_cb   = printer_deleted;
  snprintf(data->make_and_model, sizeof(data->make_and_model), "%s", model->description);
  data->ppm  = 10;
  data->kind = static_cast<pappl_kind_t>(PAPPL_KIND_LABEL | PAPPL_KIND_ROLL);

  // 8-bit gray raster, halftoned by the core, and 1-bit raster, printed dot
  // for dot.  Nothing is forced, so PAPPL renders pictures as 8-bit gray.
  data->color_supported   = static_cast<pappl_color_mode_t>(PAPPL_COLOR_MODE_BI_LEVEL | PAPPL_COLOR_MODE_MONOCHROME);
  data->color_default     = PAPPL_COLOR_MODE_MONOCHROME;
  data->raster_types      = static_cast<pappl_raster_type_t>(PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_SGRAY_8);
  data->force_raster_type = PAPPL_PWG_RASTER_TYPE_NONE;
  data->content_default   = PAPPL_CONTENT_AUTO;
  data->quality_default   = IPP_QUALITY_NORMAL;
  data->scaling_default   = PAPPL_SCALING_AUTO;
  data->orient_default    = IPP_ORIENT_PORTRAIT;  // a job naming none is turned to suit the label (job_label)
  data->duplex            = PAPPL_DUPLEX_NONE;
  data->sides_supported   = PAPPL_SIDES_ONE_SIDED;
  data->sides_default     = PAPPL_SIDES_ONE_SIDED;

  data->num_resolution  = 1;
  data->x_resolution[0] = data->y_resolution[0] = model->dpi;
  data->x_default = data->y_default = model->dpi;

  *attrs = ippNew();
  set_media(*model, *data);
  set_options(*data, *attrs);
  set_icons(*data);
  add_printer_facts(*attrs);
  return true;
}

} // namespace pelna_app
