// SPDX-License-Identifier: Apache-2.0
//
// Every document through the queue.
//
// PAPPL 1.3.1 prints a PWG or Apple raster document while it arrives, in
// the client's own thread, and only when no job is printing (otherwise it
// answers server-error-busy): such a document never waits in the queue, so
// it passes jobs queued before it and prints on a paused printer.  PAPPL
// streams a document when the job's format is one of those two types, and
// the job's format is the request's document-format-detected attribute when
// it has one.  PAPPL checks a request's document attributes in
// _papplJobValidateDocumentAttributes before it creates the job (Print-Job,
// Validate-Job, Create-Job, Send-Document); the program's definition below
// calls PAPPL's and then names such a document's format for spooling, as if
// PAPPL had detected it: the drivers' own format, whose print-file callback
// reads the spool file.  The client's document-format stays as sent.
//
// PAPPL 1.3.1 also looks for document-format-supported among the printer's
// fixed attributes, where it never is, so it accepts every document type
// and aborts the job later.  The definition below refuses a type the
// printer does not list, and a typeless document whose type PAPPL could not
// detect, with client-error-document-format-not-supported.
//

#include "workarounds.h"

#include <cstring>
#include <dlfcn.h>

namespace {

// The format spooled raster documents take (the drivers' own); null until
// the app asks for spooling.
const char *g_spool_format = nullptr;

// The two formats PAPPL streams instead of spooling.
constexpr const char *kStreamed[] = {"image/pwg-raster", "image/urf"};

// A document PAPPL types from its first bytes.
constexpr const char *kUntyped = "application/octet-stream";

//
// 'streamed_format()' - Whether PAPPL would stream documents of a format.
//

bool
streamed_format(const char *format)  // I - MIME media type
{
  for (const char *streamed : kStreamed)
  {
    if (!strcmp(format, streamed))
      return true;
  }
  return false;
}

//
// 'carries_document()' - Whether an operation brings its document with it.
//

bool
carries_document(ipp_op_t op)  // I - Operation
{
  return op == IPP_OP_PRINT_JOB || op == IPP_OP_SEND_DOCUMENT;
}

//
// 'printer_reads()' - Whether the printer lists a format in its
// document-format-supported.
//

bool
printer_reads(pappl_printer_t *printer,  // I - Printer
              const char      *format)   // I - MIME media type
{
  ipp_t *attrs = papplPrinterGetDriverAttributes(printer);
  const bool found =
      ippContainsString(ippFindAttribute(attrs, "document-format-supported", IPP_TAG_MIMETYPE), format) != 0;

  ippDelete(attrs);
  return found;
}

//
// 'refuse_format()' - Answer client-error-document-format-not-supported,
// with the document-format attribute among the unsupported ones.
//

void
refuse_format(pappl_client_t  *client,  // I - Client
              ipp_attribute_t *attr,    // I - document-format attribute
              const char      *why)     // I - Status message
{
  ipp_t *response = papplClientRespondIPP(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED, "%s", why);

  if (attr)
  {
    ipp_attribute_t *copy = ippCopyAttribute(response, attr, 0);
    ippSetGroupTag(response, &copy, IPP_TAG_UNSUPPORTED_GROUP);
  }
}

//
// 'check_format()' - Refuse a document of a type the printer does not read;
// name a raster document's format for spooling.  False when refused.
//

bool
check_format(pappl_client_t *client)  // I - Client, request validated by PAPPL
{
  ipp_t           *request  = papplClientGetRequest(client);
  ipp_attribute_t *declared = ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE);
  ipp_attribute_t *detected = ippFindAttribute(request, "document-format-detected", IPP_TAG_MIMETYPE);
  const char      *format   = ippGetString(detected ? detected : declared, 0, nullptr);

  if (!format)
    return true;  // PAPPL gives every request a document-format
  if (!detected && !strcmp(format, kUntyped) && carries_document(ippGetOperation(request)))
  {
    refuse_format(client, declared, "The document is of no type the printer reads.");
    return false;
  }
  if (!printer_reads(papplClientGetPrinter(client), format))
  {
    refuse_format(client, declared, "The printer does not read documents of this type.");
    return false;
  }
  if (g_spool_format && streamed_format(format) && carries_document(ippGetOperation(request)))
  {
    if (detected)
      ippSetString(request, &detected, 0, g_spool_format);
    else
      ippAddString(request, IPP_TAG_JOB, IPP_TAG_MIMETYPE, "document-format-detected", nullptr, g_spool_format);
  }
  return true;
}

} // namespace

//
// '_papplJobValidateDocumentAttributes()' - PAPPL's check of a request's
// document attributes, then the document type's (see above).
//

extern "C" bool
_papplJobValidateDocumentAttributes(pappl_client_t *client)  // I - Client
{
  using Validate = bool (*)(pappl_client_t *);
  static const auto real = reinterpret_cast<Validate>(dlsym(RTLD_NEXT, "_papplJobValidateDocumentAttributes"));

  if (!real)
  {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "PAPPL's document check was not found.");
    return false;
  }
  return real(client) && check_format(client);
}

namespace pelna_workarounds {

//
// 'spool_every_document()' - Spool raster documents as spool_format, and
// refuse types the printer does not read.
//

void
spool_every_document(const char *spool_format)  // I - Format of spooled raster
{
  g_spool_format = spool_format;
}

} // namespace pelna_workarounds
