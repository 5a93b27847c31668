// SPDX-License-Identifier: Apache-2.0
//
// A device scheme of the app's own in place of one of PAPPL's.
//
// PAPPL 1.3.1 keeps the first scheme added under a name and ignores later
// ones, and it adds its own schemes (file, socket, dnssd, snmp, usb) only
// while no scheme at all is known.  An application that adds "socket"
// first would therefore lose every other scheme.  So the app's scheme is
// added first, then PAPPL's own through the functions PAPPL uses for it,
// which skip the name already taken.
//

#include "workarounds.h"

#include <dlfcn.h>

namespace {

// PAPPL's own functions that add its built-in schemes.
constexpr const char *kBuiltIn[] = {
  "_papplDeviceAddFileScheme",
  "_papplDeviceAddNetworkSchemes",
  "_papplDeviceAddUSBScheme",
};

} // namespace

namespace pelna_workarounds {

//
// 'replace_device_scheme()' - Add the app's scheme, then PAPPL's others.
//

void
replace_device_scheme(const char         *scheme,    // I - URI scheme
                      pappl_devtype_t     type,      // I - Device type
                      pappl_devopen_cb_t  open_cb,   // I - Open callback
                      pappl_devclose_cb_t close_cb,  // I - Close callback
                      pappl_devread_cb_t  read_cb,   // I - Read callback
                      pappl_devwrite_cb_t write_cb)  // I - Write callback
{
  using AddSchemes = void (*)();

  papplDeviceAddScheme(scheme, type, nullptr, open_cb, close_cb, read_cb, write_cb, nullptr, nullptr);
  for (const char *name : kBuiltIn)
  {
    if (const auto add = reinterpret_cast<AddSchemes>(dlsym(RTLD_DEFAULT, name)))
      add();
  }
}

} // namespace pelna_workarounds
