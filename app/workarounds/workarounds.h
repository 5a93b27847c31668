// SPDX-License-Identifier: Apache-2.0
//
// What the rest of the Printer Application asks of the workarounds for
// PAPPL 1.3.1 (README.md in this folder lists each fault).  Nothing here
// includes or calls the rest of app/: the app hands over what a workaround
// needs (a format name, a function to call) when it sets the system up.
//

#ifndef PELNA_APP_WORKAROUNDS_H
#define PELNA_APP_WORKAROUNDS_H

#include <pappl/pappl.h>

#include <string>

namespace pelna_workarounds {

//
// spool_every_document.cpp
//

// Have PAPPL spool PWG and Apple raster documents like every other
// document, as the given type (the drivers' own format, whose print-file
// callback reads them from the spool file), and refuse at once, with
// client-error-document-format-not-supported, a document of a type the
// printer does not list in document-format-supported.
void spool_every_document(const char *spool_format);

//
// save_before_reply.cpp
//

// Called once PAPPL has handled an IPP request and before the reply goes
// out; it may change the reply (papplClientGetResponse).
using BeforeReply = void (*)(pappl_client_t *client);

// Call before_reply for every IPP reply PAPPL sends.
void set_before_reply(BeforeReply before_reply);

//
// job_start_gate.cpp
//

// Whether PAPPL's job threads go through the gate (PAPPL's job function was
// found): one per printer at a time, the printer's oldest waiting job.
[[nodiscard]] bool job_start_gate_ready();

// Forget a printer that is being deleted.
void forget_printer_jobs(pappl_printer_t *printer);

// Start the jobs read back from the state file once the system runs
// (PAPPL 1.3.1 leaves them waiting until another job comes).
void start_loaded_jobs(pappl_system_t *system);


//
// job_history.cpp
//

// Keep the newest `keep` finished jobs per printer, and any that ended in
// the last `grace` seconds (PAPPL 1.3.1 keeps them all).
void set_job_history(int keep, int grace);

// Learn a new printer's job lists (from the printer creation callback).
void remember_job_lists(pappl_printer_t *printer);

// Forget a printer that is being deleted.
void forget_job_lists(pappl_printer_t *printer);

//
// job_settings_files.cpp
//

// Put the jobs' settings files PAPPL wrote while saving its state in place
// of the old ones (keep), each whole and flushed, or drop them (the save
// failed); false with errno set when one could not be put in place (that
// job's old file is kept).  renamed names a file renamed into place, whose
// folder the caller flushes, or is empty.
[[nodiscard]] bool commit_job_settings(bool keep, std::string &renamed);

//
// device_schemes.cpp
//

// Add a device URI scheme of the app's own that takes the place of one of
// PAPPL's (socket): PAPPL keeps the first scheme of a name and adds its own
// only while none is known, so this adds the app's, then PAPPL's others.
void replace_device_scheme(const char *scheme, pappl_devtype_t type, pappl_devopen_cb_t open_cb,
                           pappl_devclose_cb_t close_cb, pappl_devread_cb_t read_cb,
                           pappl_devwrite_cb_t write_cb);

//
// tls_credentials.cpp
//

// Keep the server's TLS key and certificate in a folder (which the caller
// has made, mode 0700), its keys mode 0600.
void set_tls_folder(const char *path);

//
// submit_copies.cpp
//

// Make the submit sub-command's -n COPIES option ask for copies (PAPPL
// 1.3.1 sends no copies attribute for it): rewrites argv in place.
void submit_copies_option(int argc, char *argv[]);

} // namespace pelna_workarounds

#endif // PELNA_APP_WORKAROUNDS_H
