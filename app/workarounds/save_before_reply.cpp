// SPDX-License-Identifier: Apache-2.0
//
// A change on disk before the client hears of it.
//
// PAPPL 1.3.1 saves its state from its main loop, up to 30 seconds after
// a request changed something: a job acknowledged with successful-ok, or a
// cancel, is lost if the server ends in between.  PAPPL gives an
// application no look at a request it handles itself, but every IPP reply
// goes out through papplClientRespond, once PAPPL has handled the request.
// The program's definition below calls the app's function first (which may
// save the state, or make the reply an error when it cannot), then PAPPL's,
// with the reply's length as it is then.
//

#include "workarounds.h"

#include <cstring>
#include <dlfcn.h>

namespace {

// The app's function, or null.
pelna_workarounds::BeforeReply g_before_reply = nullptr;

} // namespace

//
// 'papplClientRespond()' - Send an HTTP response; an IPP reply only once
// the app's function has seen it.
//

extern "C" bool
papplClientRespond(pappl_client_t *client,            // I - Client
                   http_status_t   code,              // I - HTTP status
                   const char     *content_encoding,  // I - Content-Encoding, or null
                   const char     *type,              // I - MIME media type, or null
                   time_t          last_modified,     // I - Last-Modified, or 0
                   size_t          length)            // I - Length, or 0 when variable
{
  using Respond = bool (*)(pappl_client_t *, http_status_t, const char *, const char *, time_t, size_t);
  static const auto real = reinterpret_cast<Respond>(dlsym(RTLD_NEXT, "papplClientRespond"));

  if (!real)
    return false;
  if (g_before_reply && code == HTTP_STATUS_OK && type && !strcmp(type, "application/ipp") &&
      papplClientGetResponse(client))
  {
    g_before_reply(client);
    length = ippLength(papplClientGetResponse(client));
  }
  return real(client, code, content_encoding, type, last_modified, length);
}

namespace pelna_workarounds {

//
// 'set_before_reply()' - Call before_reply for every IPP reply.
//

void
set_before_reply(BeforeReply before_reply)  // I - The app's function
{
  g_before_reply = before_reply;
}

} // namespace pelna_workarounds
