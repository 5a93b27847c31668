// SPDX-License-Identifier: Apache-2.0
//
// pelna-printer-app: an IPP Printer Application for Pelna label printers.
// PAPPL's main loop provides the sub-commands (server, add, submit, ...).
//

#include "app.h"
#include "pdf_reader.h"

#include <cstring>

//
// 'main()' - Run the sub-command given on the command line.
//

int
main(int  argc,    // I - Number of arguments
     char *argv[])  // I - Arguments
{
  // The server starts its own program for each PDF job.
  if (argc > 1 && !strcmp(argv[1], pelna_app::kPdfWorkerArg))
    return pelna_app::pdf_worker_main(argc, argv);

  // Only the server sub-command runs the system it creates.
  pelna_app::SystemRole role = argc > 1 && !strcmp(argv[1], "server") ? pelna_app::SystemRole::Server
                                                                        : pelna_app::SystemRole::DriverList;

  return papplMainloop(argc, argv, pelna_app::kAppVersion, pelna_app::kFooterHtml,
                       static_cast<int>(std::size(pelna_app::kDrivers)), pelna_app::kDrivers,
                       pelna_app::autoadd_callback, pelna_app::driver_callback, nullptr, nullptr, pelna_app::system_callback,
                       nullptr, &role);
}
