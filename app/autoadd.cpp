// SPDX-License-Identifier: Apache-2.0
//
// USB auto-add: the driver of a printer from its IEEE 1284 device ID.  The
// ID is a list of "KEY:value;" pairs whose keys printers write in either
// the short or the long form (MFG or MANUFACTURER, MDL or MODEL), in any
// case and order, often with spaces around the values; some repeat the make
// at the start of the model.  A printer matches a driver when its make and
// model, read without case, spaces or punctuation, are the make and model
// the driver names ("Pelna 4-inch Label 203 dpi").
//

#include "app.h"

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

namespace pelna_app {

namespace {

// Longest device ID read; a longer one matches no driver.
constexpr std::size_t kMaxDeviceId = 4096;

//
// 'squeeze()' - Letters and digits of a text, in lower case.
//

std::string
squeeze(std::string_view text)  // I - Text
{
  std::string out;

  for (const char c : text)
  {
    if (isalnum(static_cast<unsigned char>(c)))
      out += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

//
// 'trim()' - A text without the white space around it.
//

std::string_view
trim(std::string_view text)  // I - Text
{
  while (!text.empty() && isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

//
// 'same_key()' - Whether a device ID key is one of two names, in any case.
//

bool
same_key(std::string_view key,    // I - Key as written
         const char      *brief,  // I - Short name ("MFG")
         const char      *full)   // I - Long name ("MANUFACTURER")
{
  const auto equal = [key](const char *name) {
    return key.size() == strlen(name) && !strncasecmp(key.data(), name, key.size());
  };
  return equal(brief) || equal(full);
}

//
// 'id_value()' - The value of a key of a device ID (short or long name),
// empty when it has none.
//

std::string_view
id_value(std::string_view id,     // I - Device ID
         const char      *brief,  // I - Short key name
         const char      *full)   // I - Long key name
{
  while (!id.empty())
  {
    const std::size_t end   = id.find(';');
    std::string_view  pair  = id.substr(0, end);
    const std::size_t colon = pair.find(':');

    if (colon != std::string_view::npos && same_key(trim(pair.substr(0, colon)), brief, full))
      return trim(pair.substr(colon + 1));
    if (end == std::string_view::npos)
      break;
    id.remove_prefix(end + 1);
  }
  return {};
}

} // namespace

//
// 'driver_for_device_id()' - The driver of a printer's IEEE 1284 device ID,
// or null when it is no printer of these drivers.
//

const char *
driver_for_device_id(const char *device_id)  // I - IEEE 1284 device ID
{
  if (!device_id || strnlen(device_id, kMaxDeviceId + 1) > kMaxDeviceId)
    return nullptr;

  const std::string make  = squeeze(id_value(device_id, "MFG", "MANUFACTURER"));
  std::string       model = squeeze(id_value(device_id, "MDL", "MODEL"));

  if (make.empty() || model.empty())
    return nullptr;
  if (!model.starts_with(make))
    model.insert(0, make);
  for (const Model &known : kModels)
  {
    if (model == squeeze(known.description))
      return known.driver;
  }
  return nullptr;
}

//
// 'autoadd_callback()' - papplMainloop's auto-add callback: the driver of
// a printer found on USB or named by its device ID, or null.
//

const char *
autoadd_callback(const char *device_info,  // I - Device description (unused)
                 const char *device_uri,   // I - Device URI (unused)
                 const char *device_id,    // I - IEEE 1284 device ID
                 void       *data)         // I - Callback data (unused)
{
  (void)device_info;
  (void)device_uri;
  (void)data;
  return driver_for_device_id(device_id);
}

} // namespace pelna_app
