// SPDX-License-Identifier: Apache-2.0
//
// Who may change the server from another machine.
//
// PAPPL 1.3.1 decides in one function, for every IPP operation and web page
// that checks at all, whether a client may go on.  From another machine:
//
//   - without an authentication service, printing and status are open, and
//     so are pausing, enabling and disabling a printer, holding and
//     releasing jobs, cancelling the job being printed, and every web page
//     with every form that saves (the printer's darkness, its media, the
//     admin password); only IPP system operations and Set-Printer-Attributes
//     are refused;
//   - with one, everything needs a password over TLS, printing and status
//     included: a phone can no longer print over ipp://;
//   - with or without one, the printer's home page takes its actions
//     (pause, resume, hold new jobs, set as default, print the test page)
//     from anyone, without asking who;
//   - on loopback, once a service is set, the local user has to log in too;
//   - it takes the count that glibc's getgrouplist() returns on success for
//     a failure, so only a user's primary group counts: a user made an
//     administrator the usual way (adduser NAME lpadmin) is refused.
//
// The program's definitions below take the place of PAPPL's for every
// caller in the process (PAPPL calls them through its own symbol table),
// so that:
//
//   - loopback and the local socket are trusted, as without a service;
//   - from another machine, printing and status (kOpenOperations) stay
//     open, unless the printer has a print group (PAPPL's own check then
//     applies);
//   - everything else from another machine needs an authenticated member
//     of the admin group (PAPPL's own check: TLS, then PAM), and is refused
//     outright when no authentication service is set;
//   - the home page's actions are web forms like the others;
//   - a user PAPPL authenticated but found outside the group is looked up
//     again, with every group the user is a member of.
//
#include <pappl/pappl.h>

#include <algorithm>
#include <dlfcn.h>
#include <grp.h>
#include <iterator>
#include <pwd.h>
#include <sys/socket.h>
#include <vector>

namespace {

// PAPPL's own functions, as the definitions below call them.
using AuthorizeFn     = http_status_t (*)(pappl_client_t *, bool, const char *, gid_t);
using HtmlAuthorizeFn = bool (*)(pappl_client_t *);
using WebPageFn       = void (*)(pappl_client_t *, pappl_printer_t *);

// IPP operations every client that reaches the server may send: printing,
// and the status of printers, jobs and event subscriptions.  Cancelling a
// job stays open as on a printer: a phone cannot log in to cancel its label.
constexpr ipp_op_t kOpenOperations[] = {
  IPP_OP_PRINT_JOB,          IPP_OP_VALIDATE_JOB,           IPP_OP_CREATE_JOB,
  IPP_OP_SEND_DOCUMENT,      IPP_OP_CLOSE_JOB,              IPP_OP_CANCEL_JOB,
  IPP_OP_GET_JOB_ATTRIBUTES, IPP_OP_GET_JOBS,
  IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS, IPP_OP_CREATE_JOB_SUBSCRIPTIONS,
  IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES,  IPP_OP_GET_SUBSCRIPTIONS,
  IPP_OP_RENEW_SUBSCRIPTION,           IPP_OP_CANCEL_SUBSCRIPTION,
  IPP_OP_GET_NOTIFICATIONS,
};

// Room for a group name.
constexpr std::size_t kGroupNameSize = 256;

// Room for a user's entry, and for the groups of a user first tried; the
// most groups looked at.
constexpr std::size_t kUserBufferSize = 16384;
constexpr int         kGroupsFirst    = 32;
constexpr int         kGroupsMax      = 65536;

//
// 'pappl_own()' - PAPPL's definition of a function this program stands in
// front of, or null.
//

template <typename Fn>
Fn
pappl_own(const char *name)  // I - Function name
{
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

//
// 'is_local()' - Whether a client came over the local socket or loopback.
//

bool
is_local(pappl_client_t *client)  // I - Client
{
  http_addr_t *addr = httpGetAddress(papplClientGetHTTP(client));

  return addr && (httpAddrFamily(addr) == AF_LOCAL || httpAddrLocalhost(addr));
}

//
// 'can_authenticate()' - Whether the server has an authentication service.
//

bool
can_authenticate(pappl_client_t *client)  // I - Client
{
  const char *service = papplSystemGetAuthService(papplClientGetSystem(client));

  return service && *service;
}

//
// 'is_open_operation()' - Whether the client's IPP request is printing or
// status.
//

bool
is_open_operation(pappl_client_t *client)  // I - Client
{
  return std::find(std::begin(kOpenOperations), std::end(kOpenOperations),
                   papplClientGetOperation(client)) != std::end(kOpenOperations);
}

//
// 'has_print_group()' - Whether the client's printer only prints for a group.
//

bool
has_print_group(pappl_client_t *client)  // I - Client
{
  pappl_printer_t *printer = papplClientGetPrinter(client);
  char             group[kGroupNameSize];

  return printer && papplPrinterGetPrintGroup(printer, group, sizeof(group)) && group[0];
}

//
// 'is_member()' - Whether a user has a group, as primary group or as one of
// the groups the user is a member of.
//

bool
is_member(const char *user,     // I - User name
          gid_t       groupid)  // I - Group
{
  std::vector<char> buffer(kUserBufferSize);
  struct passwd     entry{};
  struct passwd    *found = nullptr;

  if (!user || getpwnam_r(user, &entry, buffer.data(), buffer.size(), &found) || !found)
    return false;
  if (found->pw_gid == groupid)
    return true;

  std::vector<gid_t> groups(kGroupsFirst);
  int                count = kGroupsFirst;
  while (getgrouplist(user, found->pw_gid, groups.data(), &count) < 0)
  {
    // Too few places: count is now the number needed.
    if (count <= static_cast<int>(groups.size()) || count > kGroupsMax)
      return false;
    groups.resize(static_cast<std::size_t>(count));
  }
  return std::find(groups.begin(), groups.begin() + count, groupid) != groups.begin() + count;
}

//
// 'checked()' - PAPPL's own check of a client, with the user's groups
// looked up in full.
//

http_status_t
checked(AuthorizeFn     pappl,         // I - PAPPL's check
        pappl_client_t *client,        // I - Client
        bool            allow_remote,  // I - PAPPL lets other hosts in
        const char     *group,         // I - Group needed, or null
        gid_t           groupid)       // I - Its id, or -1
{
  const http_status_t status = pappl(client, allow_remote, group, groupid);

  // With a service, PAPPL answers Forbidden only once it has authenticated
  // the user it then names.
  if (status == HTTP_STATUS_FORBIDDEN && groupid != static_cast<gid_t>(-1) && can_authenticate(client) &&
      is_member(papplClientGetUsername(client), groupid))
    return HTTP_STATUS_CONTINUE;
  return status;
}

//
// 'refuse()' - Answer 403 Forbidden, saying why in the log; always false.
//

bool
refuse(pappl_client_t *client,  // I - Client
       const char     *reason)  // I - Why, for the log
{
  papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Refused: %s", reason);
  papplClientRespond(client, HTTP_STATUS_FORBIDDEN, nullptr, nullptr, 0, 0);
  return false;
}

// Why administration from another machine is refused without a service.
constexpr const char *kNoService = "administration from another machine needs an auth-service.";

// Why anything is refused when PAPPL's own function cannot be found.
constexpr const char *kNoPappl = "PAPPL's authorization cannot be found.";

} // namespace

//
// '_papplClientIsAuthorizedForGroup()' - Whether a client may go on: HTTP
// status CONTINUE, or the status to answer with.
//

extern "C" http_status_t
_papplClientIsAuthorizedForGroup(pappl_client_t *client,        // I - Client
                                 bool            allow_remote,  // I - PAPPL lets other hosts in
                                 const char     *group,         // I - Group needed, or null
                                 gid_t           groupid)       // I - Its id, or -1
{
  static const auto pappl = pappl_own<AuthorizeFn>("_papplClientIsAuthorizedForGroup");

  if (!pappl || !client)
    return HTTP_STATUS_FORBIDDEN;
  if (is_local(client))
    return HTTP_STATUS_CONTINUE;
  if (allow_remote && is_open_operation(client))
    return has_print_group(client) ? checked(pappl, client, allow_remote, group, groupid) : HTTP_STATUS_CONTINUE;
  if (!can_authenticate(client))
  {
    papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Refused: %s", kNoService);
    return HTTP_STATUS_FORBIDDEN;
  }
  return checked(pappl, client, false, group, groupid);
}

//
// 'papplClientHTMLAuthorize()' - Whether a client may see an administration
// page or save its form; when not, the answer is sent.
//

extern "C" bool
papplClientHTMLAuthorize(pappl_client_t *client)  // I - Client
{
  static const auto pappl = pappl_own<HtmlAuthorizeFn>("papplClientHTMLAuthorize");

  if (!client)
    return false;
  if (!is_local(client) && !can_authenticate(client))
    return refuse(client, kNoService);
  return pappl ? pappl(client) : refuse(client, kNoPappl);
}

//
// '_papplPrinterWebHome()' - A printer's home page; its actions from another
// machine need the same authorization as the other forms.
//

extern "C" void
_papplPrinterWebHome(pappl_client_t  *client,   // I - Client
                     pappl_printer_t *printer)  // I - Printer
{
  static const auto pappl = pappl_own<WebPageFn>("_papplPrinterWebHome");

  if (!pappl)
  {
    refuse(client, kNoPappl);
    return;
  }
  if (papplClientGetMethod(client) == HTTP_STATE_POST && !is_local(client) && !papplClientHTMLAuthorize(client))
    return;
  pappl(client, printer);
}
