// SPDX-License-Identifier: Apache-2.0
//
// app-proof-client: the IPP and web client of the Printer Application's
// proof tests, on libcups.  Every wait is bounded.
//
//   app-proof-client submit URI FILE FORMAT [NAME=VALUE ...]
//       Print-Job, retried while the printer answers busy (at most 60 s).
//       Prints the job id, and the status when not plain successful-ok;
//       exit 3 with the status when refused.
//   app-proof-client wait URI JOB SECONDS
//       Waits until the job ends; prints "STATE REASONS | MESSAGE".
//       Exit 0 completed, 1 aborted or cancelled, 4 still going.
//   app-proof-client cancel URI JOB
//   app-proof-client attr URI NAME
//       Prints a printer attribute as text (empty when missing).
//   app-proof-client jobattr URI JOB NAME
//       Prints a job attribute as text (empty when missing).
//   app-proof-client load URI LIST
//       LIST holds "CLIENT FILE FORMAT" lines; one thread per client sends
//       its jobs in list order, and every job must complete.  Prints
//       "job CLIENT SEQ ID FORMAT FILE" per job as sent, then
//       "jobs N seconds S busy-retries R".
//   app-proof-client device PORT drop BYTES
//   app-proof-client device PORT stall SECONDS
//   app-proof-client device PORT slow RATE
//       A faulty network printer on 127.0.0.1:PORT: "drop" reads BYTES of
//       one connection and closes (unread data makes it a reset); "stall"
//       accepts every connection for SECONDS and reads nothing; "slow"
//       reads one connection RATE bytes a second through a small receive
//       buffer, printing "read N" each second (killed, it resets the
//       connection).  Prints "listening" once it listens and "took N bytes"
//       when done.
//   app-proof-client flood PORT COUNT SECONDS
//       COUNT slow clients of the server on 127.0.0.1:PORT, each sending
//       an IPP request's header, then a byte of its body a second for
//       SECONDS; prints how many were refused at once and how many closed.
//   app-proof-client page BASE PATH
//       GETs a web page; exit 0 when it answers 200 with a whole page.
//   app-proof-client form BASE PATH NAME=VALUE ...
//       GETs BASE/PATH as a browser, keeps its cookie and the form's
//       session token, and POSTs the form back as a browser would: every
//       field with the value the page shows (the checked radio button and
//       box, the selected option or else the first), the fields given
//       replacing theirs; exit 0 when the server says "Changes saved".
//   app-proof-client options BASE PATH NAME
//       Prints the values of the options of the page's select NAME.
//   app-proof-client links BASE PATH ...
//       Follows every link and picture of the server's own pages from
//       each PATH (at most 200 pages); prints those answering 4xx or 5xx
//       and exits 1 when there is one.
//   app-proof-client attrs URI NAME ...
//       Prints "NAME=VALUE" per printer attribute (system attribute when
//       URI ends in /ipp/system), VALUE empty when missing.
//   app-proof-client set URI NAME=VALUE ...
//       Set-Printer-Attributes; exit 0 when taken, 3 with the status when
//       refused.  Values as below, but printer-location, printer-organization
//       and printer-organizational-unit as text and orientation-requested-
//       default and print-quality-default as enums.
//
// NAME=VALUE: ipp-attribute-fidelity is sent as a boolean, a value of
// digits (with a sign) as an integer,
// "media-col=WxH" (hundredths of mm) as a media-col with that size,
// anything else as a keyword.
//

#include <cups/cups.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Longest time one job may be retried while the printer is busy.
constexpr int kBusySeconds = 60;

// Longest time the load waits for its last job, in seconds.
constexpr int kLoadWaitSeconds = 300;

// Receive buffer of a slow printer's connections: small, so that what it
// has not read stays with the sender.
constexpr int kSlowReceiveBuffer = 4096;

// State of a job the server has dropped from its history.
constexpr int kGone = -1;

// Busy answers retried so far, for the load's report.
std::atomic<int> g_busy{0};

//
// 'connect_to()' - Connection to the host of an ipp:// or http:// URI; the
// resource path in resource.
//

http_t *
connect_to(const char *uri,       // I - URI
           char       *resource,  // O - Resource path
           size_t      size)      // I - Size of resource
{
  char scheme[32], user[64], host[256];
  int  port = 0;

  if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof(scheme), user, sizeof(user), host,
                      sizeof(host), &port, resource, static_cast<int>(size)) < HTTP_URI_STATUS_OK)
  {
    fprintf(stderr, "bad URI %s\n", uri);
    return nullptr;
  }
  http_t *http = httpConnect2(host, port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1, 10000, nullptr);
  if (!http)
    fprintf(stderr, "cannot connect to %s:%d\n", host, port);
  return http;
}

//
// 'add_value()' - Add one NAME=VALUE job attribute to a request.
//

void
add_value(ipp_t      *request,  // IO - Request
          const char *pair)     // I - NAME=VALUE
{
  std::string       name(pair);
  const std::size_t eq = name.find('=');

  if (eq == std::string::npos)
    return;
  const std::string value = name.substr(eq + 1);
  name.resize(eq);

  int width = 0, length = 0;
  if (name == "media-col" && sscanf(value.c_str(), "%dx%d", &width, &length) == 2)
  {
    ipp_t *size = ippNew();
    ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "x-dimension", width);
    ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "y-dimension", length);
    ipp_t *col = ippNew();
    ippAddCollection(col, IPP_TAG_ZERO, "media-size", size);
    ippAddCollection(request, IPP_TAG_JOB, "media-col", col);
    ippDelete(size);
    ippDelete(col);
    return;
  }
  if (name == "ipp-attribute-fidelity")
  {
    ippAddBoolean(request, IPP_TAG_OPERATION, name.c_str(), static_cast<char>(value == "true" ? 1 : 0));
    return;
  }
  char      *end = nullptr;
  const long n   = strtol(value.c_str(), &end, 10);
  if (!value.empty() && end && !*end)
    ippAddInteger(request, IPP_TAG_JOB, IPP_TAG_INTEGER, name.c_str(), static_cast<int>(n));
  else
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, name.c_str(), nullptr, value.c_str());
}

//
// 'submit()' - Print one file; the job id, 0 when refused (status in
// status_text), retried while the printer is busy.
//

int
submit(http_t                         *http,         // I - Connection
       const char                     *uri,          // I - Printer URI
       const char                     *resource,     // I - Resource path
       const char                     *file,         // I - Document
       const char                     *format,       // I - document-format
       const char                     *job_name,     // I - job-name
       const std::vector<const char *> &attrs,       // I - NAME=VALUE job attributes
       std::string                    &status_text)  // O - Status when refused
{
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(kBusySeconds);
  int        pause_ms = 20;

  for (;;)
  {
    ipp_t *request = ippNewRequest(IPP_OP_PRINT_JOB);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "proof");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, job_name);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
    // Operation attributes (ipp-attribute-fidelity) before the job's: a
    // request whose groups go back is not one.
    for (const bool operation : {true, false})
    {
      for (const char *pair : attrs)
      {
        if (!strncmp(pair, "ipp-attribute-fidelity=", 23) == operation)
          add_value(request, pair);
      }
    }

    ipp_t     *response = cupsDoFileRequest(http, request, resource, file);
    const int  status   = cupsLastError();
    int        id       = 0;

    if (ipp_attribute_t *attr = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER))
      id = ippGetInteger(attr, 0);
    ippDelete(response);
    if (status < IPP_STATUS_REDIRECTION_OTHER_SITE && id > 0)
    {
      if (status != IPP_STATUS_OK)
        status_text = ippErrorString(static_cast<ipp_status_t>(status));
      return id;
    }
    if (status != IPP_STATUS_ERROR_BUSY || std::chrono::steady_clock::now() > give_up)
    {
      status_text = std::string(ippErrorString(static_cast<ipp_status_t>(status))) + " " + cupsLastErrorString();
      return 0;
    }
    g_busy++;
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    pause_ms = std::min(pause_ms * 2, 500);
  }
}

//
// 'job_state()' - A job's state (0 when unknown, kGone when the server no
// longer knows the job), its reasons and message.
//

int
job_state(http_t      *http,      // I - Connection
          const char  *uri,       // I - Printer URI
          const char  *resource,  // I - Resource path
          int          job_id,    // I - Job
          std::string &reasons,   // O - job-state-reasons, comma separated
          std::string &message)   // O - job-state-message
{
  static const char *const wanted[] = {"job-state", "job-state-reasons", "job-state-message"};
  ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);

  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job_id);
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3, nullptr, wanted);

  ipp_t *response = cupsDoRequest(http, request, resource);
  int    state    = cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND ? kGone : 0;

  reasons.clear();
  message.clear();
  if (ipp_attribute_t *attr = ippFindAttribute(response, "job-state", IPP_TAG_ENUM))
    state = ippGetInteger(attr, 0);
  if (ipp_attribute_t *attr = ippFindAttribute(response, "job-state-reasons", IPP_TAG_KEYWORD))
  {
    for (int i = 0; i < ippGetCount(attr); i++)
      reasons += std::string(i ? "," : "") + ippGetString(attr, i, nullptr);
  }
  if (ipp_attribute_t *attr = ippFindAttribute(response, "job-state-message", IPP_TAG_TEXT))
    message = ippGetString(attr, 0, nullptr);
  ippDelete(response);
  return state;
}

//
// 'wait_job()' - Poll a job until it ends or the time is up; its last state.
//

int
wait_job(http_t *http, const char *uri, const char *resource, int job_id, int seconds,
         std::string &reasons, std::string &message)  // I - as job_state(); O - reasons, message
{
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int        state = 0;

  for (;;)
  {
    state = job_state(http, uri, resource, job_id, reasons, message);
    if (state == kGone || state >= IPP_JSTATE_CANCELED || std::chrono::steady_clock::now() > limit)
      return state;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

//
// 'state_name()' - Name of a job state.
//

const char *
state_name(int state)  // I - job-state
{
  return state == kGone ? "gone" : state ? ippEnumString("job-state", state) : "unknown";
}

//
// 'read_load_list()' - The load's jobs, "CLIENT FILE FORMAT" per line, as
// one list per client in file order; empty on error.
//

std::vector<std::vector<std::pair<std::string, std::string>>>
read_load_list(const char *path)  // I - List file
{
  std::vector<std::vector<std::pair<std::string, std::string>>> lists;
  FILE *fp = fopen(path, "r");
  char  line[2048], file[1024], format[128];
  int   c;

  if (!fp)
    return lists;
  while (fgets(line, sizeof(line), fp))
  {
    if (sscanf(line, "%d %1023s %127s", &c, file, format) != 3 || c < 0 || c > 63)
      continue;
    if (lists.size() <= static_cast<std::size_t>(c))
      lists.resize(static_cast<std::size_t>(c) + 1);
    lists[static_cast<std::size_t>(c)].emplace_back(file, format);
  }
  fclose(fp);
  return lists;
}

//
// 'run_load()' - One thread per client of the list, each sending its jobs
// in order, then wait for every job; 0 when all completed.
//

int
run_load(const char *uri,   // I - Printer URI
         const char *list)  // I - Job list file
{
  const auto       lists = read_load_list(list);
  std::mutex       out_lock;
  std::atomic<int> failures{0}, sent{0};
  std::vector<std::vector<int>> ids(lists.size());
  const auto       start = std::chrono::steady_clock::now();

  auto client = [&](std::size_t c) {
    char    resource[1024];
    http_t *http = connect_to(uri, resource, sizeof(resource));
    if (!http)
    {
      failures++;
      return;
    }
    for (std::size_t s = 0; s < lists[c].size(); s++)
    {
      const auto       &[file, format] = lists[c][s];
      const std::string name = "load-" + std::to_string(c) + "-" + std::to_string(s);
      std::string       status;
      const int         id = submit(http, uri, resource, file.c_str(), format.c_str(), name.c_str(), {}, status);
      std::lock_guard<std::mutex> hold(out_lock);
      if (!id)
      {
        printf("refused %zu %zu %s\n", c, s, status.c_str());
        failures++;
        continue;
      }
      printf("job %zu %zu %d %s %s\n", c, s, id, format.c_str(), file.c_str());
      ids[c].push_back(id);
      sent++;
    }
    httpClose(http);
  };
  std::vector<std::thread> threads;
  for (std::size_t c = 0; c < lists.size(); c++)
    threads.emplace_back(client, c);
  for (auto &t : threads)
    t.join();

  char    resource[1024];
  http_t *http = connect_to(uri, resource, sizeof(resource));
  if (!http)
    return 1;
  for (const auto &client_ids : ids)
  {
    for (int id : client_ids)
    {
      std::string reasons, message;
      const auto  used = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
      const int   left = std::max(1, kLoadWaitSeconds - static_cast<int>(used.count()));
      const int   state = wait_job(http, uri, resource, id, left, reasons, message);
      // A job gone from the history has ended; the server's log says how.
      if (state != IPP_JSTATE_COMPLETED && state != kGone)
      {
        printf("notcompleted %d %s %s | %s\n", id, state_name(state), reasons.c_str(), message.c_str());
        failures++;
      }
    }
  }
  httpClose(http);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("jobs %d seconds %.2f busy-retries %d\n", sent.load(), secs, g_busy.load());
  return failures ? 1 : 0;
}

//
// 'http_exchange()' - One GET or POST; the status, the body in body.
//

http_status_t
http_exchange(http_t *http, const char *path, const std::string &cookie, const std::string *form,
              std::string &body, std::string &set_cookie)  // I - request; O - body, Set-Cookie
{
  httpClearFields(http);
  if (!cookie.empty())
    httpSetCookie(http, cookie.c_str());
  if (form)
  {
    httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/x-www-form-urlencoded");
    httpSetLength(http, form->size());
    if (httpPost(http, path) || httpWrite2(http, form->data(), form->size()) < 0)
      return HTTP_STATUS_ERROR;
  }
  else if (httpGet(http, path))
    return HTTP_STATUS_ERROR;

  http_status_t status;
  while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE)
    ;
  if (const char *c = httpGetCookie(http))
    set_cookie = c;
  body.clear();
  char    buffer[8192];
  ssize_t n;
  while ((n = httpRead2(http, buffer, sizeof(buffer))) > 0)
    body.append(buffer, static_cast<std::size_t>(n));
  return status;
}

//
// 'form_encode()' - A form value, percent-encoded.
//

std::string
form_encode(const char *value)  // I - Value
{
  static const char hex[] = "0123456789ABCDEF";
  std::string       out;

  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(value); *p; p++)
  {
    if (isalnum(*p) || strchr("-._~", *p))
      out += static_cast<char>(*p);
    else
      out += std::string("%") + hex[*p >> 4] + hex[*p & 15];
  }
  return out;
}

//
// 'attribute_of()' - The value of an attribute in an HTML tag (empty when
// it has none); has says whether it is there at all.
//

std::string
attribute_of(const std::string &tag,          // I - The tag, "<...>"
             const char        *name,         // I - Attribute name
             bool              *has = nullptr)  // O - Whether it is there
{
  const std::string key = std::string(" ") + name;
  std::size_t       at  = 0;

  if (has)
    *has = false;
  while ((at = tag.find(key, at)) != std::string::npos)
  {
    const std::size_t end = at + key.size();
    if (end < tag.size() && (tag[end] == '=' || tag[end] == ' ' || tag[end] == '>'))
    {
      if (has)
        *has = true;
      if (tag[end] != '=' || end + 1 >= tag.size())
        return {};
      const char        quote = tag[end + 1];
      const std::size_t from  = quote == '"' || quote == '\'' ? end + 2 : end + 1;
      const std::size_t to    = quote == '"' || quote == '\'' ? tag.find(quote, from) : tag.find_first_of(" >", from);
      return tag.substr(from, to == std::string::npos ? std::string::npos : to - from);
    }
    at = end;
  }
  return {};
}

//
// 'html_unescape()' - Text with HTML's character references replaced.
//

std::string
html_unescape(std::string text)  // I - Text
{
  static const std::pair<const char *, const char *> refs[] = {
    {"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&#39;", "'"}, {"&amp;", "&"}};

  for (const auto &[ref, c] : refs)
  {
    for (std::size_t at = 0; (at = text.find(ref, at)) != std::string::npos; at++)
      text.replace(at, strlen(ref), c);
  }
  return text;
}

//
// 'form_fields()' - The fields a browser sends for the first form that
// carries a session token, in page order, as a browser fills them in.
//

std::vector<std::pair<std::string, std::string>>
form_fields(const std::string &page)  // I - HTML page
{
  std::vector<std::pair<std::string, std::string>> fields;
  const std::size_t token = page.find("name=\"session\"");
  const std::size_t start = token == std::string::npos ? std::string::npos : page.rfind("<form", token);

  if (start == std::string::npos)
    return fields;

  const std::string form = page.substr(start, page.find("</form>", start) - start);
  std::size_t       at   = 0;

  while ((at = form.find('<', at)) != std::string::npos)
  {
    const std::size_t close = form.find('>', at);
    if (close == std::string::npos)
      break;
    const std::string tag  = form.substr(at, close - at + 1);
    const std::string name = html_unescape(attribute_of(tag, "name"));
    bool              disabled = false, checked = false;

    attribute_of(tag, "disabled", &disabled);
    at = close + 1;
    if (name.empty() || disabled)
      continue;
    if (tag.starts_with("<input"))
    {
      const std::string type = attribute_of(tag, "type");
      attribute_of(tag, "checked", &checked);
      if (type == "submit" || type == "button" || type == "reset" || type == "file" || type == "image")
        continue;
      if ((type == "checkbox" || type == "radio") && !checked)
        continue;
      bool              has_value = false;
      const std::string value     = html_unescape(attribute_of(tag, "value", &has_value));
      fields.emplace_back(name, has_value || (type != "checkbox" && type != "radio") ? value : "on");
    }
    else if (tag.starts_with("<select"))
    {
      // The selected option, or else the first.
      const std::size_t end = form.find("</select>", at);
      std::string       first, chosen;
      bool              found = false, any = false;
      for (std::size_t o = form.find("<option", at); o < end; o = form.find("<option", o + 1))
      {
        const std::string option = form.substr(o, form.find('>', o) - o + 1);
        bool              selected = false;
        const std::string value = html_unescape(attribute_of(option, "value"));
        attribute_of(option, "selected", &selected);
        if (!any)
          first = value, any = true;
        if (selected && !found)
          chosen = value, found = true;
      }
      if (any)
        fields.emplace_back(name, found ? chosen : first);
      at = end == std::string::npos ? form.size() : end;
    }
    else if (tag.starts_with("<textarea"))
    {
      const std::size_t end = form.find("</textarea>", at);
      fields.emplace_back(name, html_unescape(form.substr(at, end - at)));
    }
  }
  return fields;
}

//
// 'run_form()' - GET a form page and POST it back as a browser would,
// with the given fields changed.
//

int
run_form(const char *base, const char *path, const std::vector<const char *> &changes)
{
  char    resource[1024];
  http_t *http = connect_to(base, resource, sizeof(resource));

  if (!http)
    return 1;

  std::string body, cookie;
  if (http_exchange(http, path, "", nullptr, body, cookie) != HTTP_STATUS_OK)
  {
    fprintf(stderr, "GET %s failed\n", path);
    return 1;
  }
  auto fields = form_fields(body);
  if (fields.empty() || fields.front().first != "session" || fields.front().second.empty())
  {
    fprintf(stderr, "GET %s: no form with a session token\n", path);
    return 1;
  }
  for (const char *change : changes)
  {
    const char *eq = strchr(change, '=');
    if (!eq)
      continue;
    const std::string name(change, eq);
    auto              field = std::find_if(fields.begin(), fields.end(), [&](const auto &f) { return f.first == name; });
    if (field != fields.end())
      field->second = eq + 1;
    else
      fields.emplace_back(name, eq + 1);
  }
  std::string form;
  for (const auto &[name, value] : fields)
    form += (form.empty() ? "" : "&") + form_encode(name.c_str()) + "=" + form_encode(value.c_str());
  // PAPPL ends the connection after a page: the form goes on a new one.
  httpClose(http);
  if ((http = connect_to(base, resource, sizeof(resource))) == nullptr)
    return 1;
  std::string reply, unused;
  const http_status_t status = http_exchange(http, path, cookie, &form, reply, unused);
  httpClose(http);
  if (status != HTTP_STATUS_OK || reply.find("Changes saved") == std::string::npos)
  {
    const std::size_t banner = reply.find("class=\"banner\">");
    fprintf(stderr, "POST %s: HTTP %d, %s\n", path, status,
            banner == std::string::npos ? "no \"Changes saved\""
                                        : reply.substr(banner + 16, reply.find('<', banner + 16) - banner - 16).c_str());
    return 1;
  }
  return 0;
}

//
// 'get_page()' - GET a web page with no cookie; its HTTP status
// (HTTP_STATUS_ERROR when the server cannot be reached).
//

http_status_t
get_page(const char  *base,  // I - Server
         const char  *path,  // I - Page
         std::string &body)  // O - What it answered
{
  char        resource[1024];
  http_t     *http = connect_to(base, resource, sizeof(resource));
  std::string cookie;

  if (!http)
    return HTTP_STATUS_ERROR;
  const http_status_t status = http_exchange(http, path, "", nullptr, body, cookie);
  httpClose(http);
  return status;
}

//
// 'run_options()' - Print the option values of a select of a page.
//

int
run_options(const char *base, const char *path, const char *name)  // I - Server, page, select
{
  std::string         body;
  const http_status_t status = get_page(base, path, body);

  const std::size_t start = body.find(std::string("<select name=\"") + name + "\"");
  if (status != HTTP_STATUS_OK || start == std::string::npos)
    return 1;
  const std::size_t end = body.find("</select>", start);
  for (std::size_t o = body.find("<option", start); o < end; o = body.find("<option", o + 1))
    printf("%s\n", html_unescape(attribute_of(body.substr(o, body.find('>', o) - o + 1), "value")).c_str());
  return 0;
}

//
// 'local_path()' - The path of a link to the server itself (relative,
// absolute, or a URL of the same port in any scheme); empty for links
// elsewhere (mailto:, data:, other hosts).
//

std::string
local_path(const std::string &link,  // I - href or src value
           const std::string &port)  // I - The server's port
{
  if (link.starts_with("/"))
    return link;
  for (const char *scheme : {"http://", "https://"})
  {
    if (!link.starts_with(scheme))
      continue;
    const std::size_t host_end = link.find('/', strlen(scheme));
    const std::string host     = link.substr(strlen(scheme), host_end - strlen(scheme));
    if (host.ends_with(":" + port))
      return host_end == std::string::npos ? "/" : link.substr(host_end);
  }
  return {};
}

//
// 'run_links()' - Follow every link and picture of the server's pages from
// the given paths; 1 when one answers 4xx or 5xx.
//

int
run_links(const char *base, const std::vector<const char *> &starts)  // I - Server, first pages
{
  constexpr std::size_t kMaxPages = 200;
  const std::string     port      = std::string(base).substr(std::string(base).rfind(':') + 1);
  std::vector<std::string> queue;
  std::set<std::string>    seen;
  int                      bad = 0;

  for (const char *start : starts)
  {
    const std::string path = local_path(start, port);
    if (!path.empty() && seen.insert(path).second)
      queue.push_back(path);
  }
  for (std::size_t i = 0; i < queue.size() && i < kMaxPages; i++)
  {
    char    resource[1024];
    http_t *http = connect_to(base, resource, sizeof(resource));
    if (!http)
      return 1;
    std::string         body, cookie;
    const http_status_t status = http_exchange(http, queue[i].c_str(), "", nullptr, body, cookie);
    httpClose(http);
    if (status >= HTTP_STATUS_BAD_REQUEST || status == HTTP_STATUS_ERROR)
    {
      printf("%s: HTTP %d\n", queue[i].c_str(), status);
      bad++;
      continue;
    }
    if (body.find("<html") == std::string::npos)
      continue;
    for (const char *attr : {" href=\"", " src=\""})
    {
      for (std::size_t at = body.find(attr); at != std::string::npos; at = body.find(attr, at + 1))
      {
        const std::size_t from = at + strlen(attr);
        std::string       path = local_path(html_unescape(body.substr(from, body.find('"', from) - from)), port);
        if (!path.empty() && seen.insert(path).second)
          queue.push_back(path);
      }
    }
  }
  printf("links: %zu followed, %d broken\n", std::min(queue.size(), kMaxPages), bad);
  return bad ? 1 : 0;
}

//
// 'run_page()' - GET a web page; 0 when it answers 200 with HTML.
//

int
run_page(const char *base, const char *path)  // I - Server, page
{
  std::string         body;
  const http_status_t status = get_page(base, path, body);
  printf("%s: HTTP %d, %zu bytes\n", path, status, body.size());
  return status == HTTP_STATUS_OK && body.find("</html>") != std::string::npos ? 0 : 1;
}

//
// 'printer_attr()' - Print a printer attribute, or a job's, as text.
//

int
printer_attr(http_t     *http,      // I - Connection
             const char *uri,       // I - Printer URI
             const char *resource,  // I - Resource path
             const char *name,      // I - Attribute name
             int         job = 0)   // I - Job id, 0 for the printer's attribute
{
  ipp_t *request = ippNewRequest(job ? IPP_OP_GET_JOB_ATTRIBUTES : IPP_OP_GET_PRINTER_ATTRIBUTES);

  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  if (job)
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "proof");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, name);

  ipp_t *response = cupsDoRequest(http, request, resource);
  if (ipp_attribute_t *attr = ippFindAttribute(response, name, IPP_TAG_ZERO))
  {
    char text[8192];
    ippAttributeString(attr, text, sizeof(text));
    printf("%s\n", text);
  }
  else
    printf("\n");
  ippDelete(response);
  return response ? 0 : 1;
}

//
// 'run_flood()' - Slow clients: COUNT connections to 127.0.0.1:PORT, each
// sending an IPP request's header and then one byte of its body a second,
// for SECONDS.  Prints how many the server refused at once (a whole reply
// before the body) and how many it closed while they trickled; 0.
//

int
run_flood(int port,     // I - Server port on 127.0.0.1
          int count,    // I - Connections
          int seconds)  // I - How long each trickles
{
  std::vector<int> socks;
  int              refused = 0, closed = 0;
  char             header[256];

  snprintf(header, sizeof(header),
           "POST /ipp/print HTTP/1.1\r\nHost: localhost:%d\r\nContent-Type: application/ipp\r\n"
           "Content-Length: 1000000\r\n\r\n", port);
  for (int i = 0; i < count; i++)
  {
    sockaddr_in addr{};
    addr.sin_family      = AF_INET;
    addr.sin_port        = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd         = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        send(fd, header, strlen(header), MSG_NOSIGNAL) < 0)
    {
      if (fd >= 0)
        close(fd);
      refused++;
      continue;
    }
    socks.push_back(fd);
  }
  for (int s = 0; s < seconds && !socks.empty(); s++)
  {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (auto it = socks.begin(); it != socks.end();)
    {
      char      reply[64];
      const int n = static_cast<int>(recv(*it, reply, sizeof(reply), MSG_DONTWAIT));
      if (n > 0 || n == 0 || send(*it, "\x02", 1, MSG_NOSIGNAL) < 0)
      {
        // A reply before the body is a refusal; a close is the server's.
        (n > 0 && !strncmp(reply, "HTTP/1.1 503", 12) ? refused : closed)++;
        close(*it);
        it = socks.erase(it);
      }
      else
        ++it;
    }
  }
  for (const int fd : socks)
    close(fd);
  printf("flood: %d connections, %d refused at once, %d closed by the server, %zu still open at the end\n", count,
         refused, closed, socks.size());
  return 0;
}

//
// 'hold_connections()' - Accept every connection for some seconds and read
// nothing from any.
//

int
hold_connections(int  listener,  // I - Listening socket
                 long seconds)   // I - How long
{
  const auto       end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::vector<int> held;

  while (std::chrono::steady_clock::now() < end)
  {
    pollfd pfd{listener, POLLIN, 0};
    if (poll(&pfd, 1, 100) > 0)
      held.push_back(accept(listener, nullptr, nullptr));
  }
  for (int fd : held)
    close(fd);
  close(listener);
  printf("took 0 bytes\n");
  return 0;
}

//
// 'run_device()' - A faulty printer (see above).
//

int
run_device(int         port,   // I - Port on 127.0.0.1
           const char *mode,   // I - "drop", "stall" or "slow"
           long        value)  // I - Bytes to read, seconds to stall, or bytes a second
{
  const int   listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int   on       = 1;
  const bool  slow     = !strcmp(mode, "slow");
  sockaddr_in addr{};

  addr.sin_family      = AF_INET;
  addr.sin_port        = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  if (slow)
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &kSlowReceiveBuffer, sizeof(kSlowReceiveBuffer));
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) || listen(listener, 4))
  {
    perror("device");
    return 2;
  }
  printf("listening\n");
  fflush(stdout);
  if (!strcmp(mode, "stall"))
    return hold_connections(listener, value);

  pollfd pfd{listener, POLLIN, 0};
  if (poll(&pfd, 1, kLoadWaitSeconds * 1000) <= 0)
    return 4;
  const int fd = accept(listener, nullptr, nullptr);
  close(listener);

  // "drop" reads value bytes in all, "slow" value bytes each second.
  long taken = 0, budget = value;
  char buffer[4096];
  auto second = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (taken < budget)
  {
    pollfd in{fd, POLLIN, 0};
    if (poll(&in, 1, kLoadWaitSeconds * 1000) <= 0)
      break;
    const ssize_t n = read(fd, buffer, static_cast<size_t>(std::min<long>(budget - taken, sizeof(buffer))));
    if (n <= 0)
      break;
    taken += n;
    if (slow && taken == budget)
    {
      printf("read %ld\n", taken);
      fflush(stdout);
      std::this_thread::sleep_until(second);
      second += std::chrono::seconds(1);
      budget += value;
    }
  }
  close(fd);
  printf("took %ld bytes\n", taken);
  return 0;
}

//
// 'print_attrs()' - Print "NAME=VALUE" for each printer (or system)
// attribute.
//

int
print_attrs(http_t *http, const char *uri, const char *resource, const std::vector<const char *> &names)
{
  const bool system = std::string(resource).ends_with("/ipp/system");
  ipp_t     *request = ippNewRequest(system ? IPP_OP_GET_SYSTEM_ATTRIBUTES : IPP_OP_GET_PRINTER_ATTRIBUTES);

  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, system ? "system-uri" : "printer-uri", nullptr, uri);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "proof");
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", static_cast<int>(names.size()),
                nullptr, names.data());

  ipp_t *response = cupsDoRequest(http, request, resource);
  for (const char *name : names)
  {
    char text[8192] = "";
    if (ipp_attribute_t *attr = ippFindAttribute(response, name, IPP_TAG_ZERO))
      ippAttributeString(attr, text, sizeof(text));
    printf("%s=%s\n", name, text);
  }
  ippDelete(response);
  return response ? 0 : 1;
}

//
// 'set_attrs()' - Set-Printer-Attributes with NAME=VALUE pairs; 0 when
// taken, 3 when refused.
//

int
set_attrs(http_t *http, const char *uri, const char *resource, const std::vector<const char *> &pairs)
{
  static const std::set<std::string> texts = {"printer-location", "printer-organization", "printer-organizational-unit"};
  static const std::set<std::string> enums = {"orientation-requested-default", "print-quality-default"};
  ipp_t *request = ippNewRequest(IPP_OP_SET_PRINTER_ATTRIBUTES);

  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "proof");
  for (const char *pair : pairs)
  {
    const char *eq = strchr(pair, '=');
    if (!eq)
      continue;
    const std::string name(pair, eq), value(eq + 1);
    char             *end = nullptr;
    const long        n   = strtol(value.c_str(), &end, 10);
    if (texts.count(name))
      ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_TEXT, name.c_str(), nullptr, value.c_str());
    else if (!value.empty() && end && !*end)
      ippAddInteger(request, IPP_TAG_PRINTER, enums.count(name) ? IPP_TAG_ENUM : IPP_TAG_INTEGER, name.c_str(),
                    static_cast<int>(n));
    else
      ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, name.c_str(), nullptr, value.c_str());
  }
  ippDelete(cupsDoRequest(http, request, resource));
  if (cupsLastError() >= IPP_STATUS_REDIRECTION_OTHER_SITE)
  {
    printf("refused: %s %s\n", ippErrorString(cupsLastError()), cupsLastErrorString());
    return 3;
  }
  return 0;
}

} // namespace

//
// 'main()' - Run one command.
//

int
main(int  argc,    // I - Number of arguments
     char *argv[])  // I - Arguments
{
  if (argc < 3)
  {
    fputs("usage: app-proof-client submit|wait|cancel|attr|attrs|set|load|device|page|form|options|links ...\n", stderr);
    return 2;
  }
  const std::string command = argv[1];
  const char       *uri     = argv[2];

  if (command == "device" && argc == 5)
    return run_device(atoi(argv[2]), argv[3], atol(argv[4]));
  if (command == "flood" && argc == 5)
    return run_flood(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
  if (command == "load" && argc == 4)
    return run_load(uri, argv[3]);
  if (command == "page" && argc == 4)
    return run_page(uri, argv[3]);
  if (command == "form" && argc >= 4)
    return run_form(uri, argv[3], std::vector<const char *>(argv + 4, argv + argc));
  if (command == "options" && argc == 5)
    return run_options(uri, argv[3], argv[4]);
  if (command == "links" && argc >= 4)
    return run_links(uri, std::vector<const char *>(argv + 3, argv + argc));

  char    resource[1024];
  http_t *http = connect_to(uri, resource, sizeof(resource));
  if (!http)
    return 2;

  int status = 2;
  if (command == "submit" && argc >= 5)
  {
    std::string text;
    const int   id = submit(http, uri, resource, argv[3], argv[4], "proof",
                                  std::vector<const char *>(argv + 5, argv + argc), text);
    if (id)
      printf("%d%s%s\n", id, text.empty() ? "" : " ", text.c_str());
    else
      printf("refused: %s\n", text.c_str());
    status = id ? 0 : 3;
  }
  else if (command == "wait" && argc == 5)
  {
    std::string reasons, message;
    const int   state = wait_job(http, uri, resource, atoi(argv[3]), atoi(argv[4]), reasons, message);
    printf("%s %s | %s\n", state_name(state), reasons.c_str(), message.c_str());
    status = state == IPP_JSTATE_COMPLETED ? 0 : state >= IPP_JSTATE_CANCELED ? 1 : 4;
  }
  else if (command == "cancel" && argc == 4)
  {
    ipp_t *request = ippNewRequest(IPP_OP_CANCEL_JOB);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", atoi(argv[3]));
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "proof");
    ippDelete(cupsDoRequest(http, request, resource));
    status = cupsLastError() < IPP_STATUS_REDIRECTION_OTHER_SITE ? 0 : 1;
    if (status)
      printf("%s\n", cupsLastErrorString());
  }
  else if (command == "attr" && argc == 4)
    status = printer_attr(http, uri, resource, argv[3]);
  else if (command == "jobattr" && argc == 5)
    status = printer_attr(http, uri, resource, argv[4], atoi(argv[3]));
  else if (command == "attrs" && argc >= 4)
    status = print_attrs(http, uri, resource, std::vector<const char *>(argv + 3, argv + argc));
  else if (command == "set" && argc >= 4)
    status = set_attrs(http, uri, resource, std::vector<const char *>(argv + 3, argv + argc));
  httpClose(http);
  return status;
}
