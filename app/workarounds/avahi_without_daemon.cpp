// SPDX-License-Identifier: Apache-2.0
//
// Keeping PAPPL's web pages and device lists safe without avahi-daemon.
//
// PAPPL 1.3 lists DNS-SD printers (the "Add Printer" page, the devices
// sub-command) by asking avahi for a service browser with the client it
// made at start-up; when avahi-daemon is not running that client is null
// and avahi aborts the whole process on it.  PAPPL itself copes with a
// browser that cannot be made (it reports the error and lists the other
// devices), so the two avahi calls that take the client are wrapped here:
// without a client they give no browser or resolver; otherwise they are
// avahi's own.  The program's definitions take the place of the library's
// for every caller in the process.
//

#include <dlfcn.h>

namespace {

// avahi's own functions, as the wrappers call them.
using BrowserNew  = void *(*)(void *, int, int, const char *, const char *, int, void *, void *);
using ResolverNew = void *(*)(void *, int, int, const char *, const char *, const char *, int, int,
                              void *, void *);

} // namespace

//
// 'avahi_service_browser_new()' - avahi's service browser, or null without
// a client.
//

extern "C" void *
avahi_service_browser_new(void       *client,     // I - avahi client, or null
                          int         interface,  // I - Interface index
                          int         protocol,   // I - Protocol
                          const char *type,       // I - Service type
                          const char *domain,     // I - Domain
                          int         flags,      // I - Lookup flags
                          void       *callback,   // I - Browse callback
                          void       *userdata)   // I - Its data
{
  static const auto real = reinterpret_cast<BrowserNew>(dlsym(RTLD_NEXT, "avahi_service_browser_new"));

  if (!client || !real)
    return nullptr;
  return real(client, interface, protocol, type, domain, flags, callback, userdata);
}

//
// 'avahi_service_resolver_new()' - avahi's service resolver, or null
// without a client.
//

extern "C" void *
avahi_service_resolver_new(void       *client,     // I - avahi client, or null
                           int         interface,  // I - Interface index
                           int         protocol,   // I - Protocol
                           const char *name,       // I - Service name
                           const char *type,       // I - Service type
                           const char *domain,     // I - Domain
                           int         aprotocol,  // I - Address protocol
                           int         flags,      // I - Lookup flags
                           void       *callback,   // I - Resolve callback
                           void       *userdata)   // I - Its data
{
  static const auto real = reinterpret_cast<ResolverNew>(dlsym(RTLD_NEXT, "avahi_service_resolver_new"));

  if (!client || !real)
    return nullptr;
  return real(client, interface, protocol, name, type, domain, aprotocol, flags, callback, userdata);
}
