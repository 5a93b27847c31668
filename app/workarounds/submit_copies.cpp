// SPDX-License-Identifier: Apache-2.0
//
// Copies from the submit sub-command.
//
// PAPPL 1.3.1's submit sub-command reads -n COPIES into an option named
// num-copies, which it never turns into the job's copies attribute: the
// job prints once.  Its -o copies=N option is sent.  Before papplMainloop
// reads the command line, a -n COPIES pair of the submit sub-command is
// rewritten as -o copies=COPIES.
//

#include "workarounds.h"

#include <cstring>
#include <string>

namespace pelna_workarounds {

//
// 'submit_copies_option()' - Rewrite submit's -n COPIES as -o copies=COPIES.
//

void
submit_copies_option(int   argc,    // I  - Number of arguments
                     char *argv[])  // IO - Arguments
{
  // The rewritten values live as long as the program.
  static std::string values[8];
  std::size_t        used = 0;

  if (argc < 2 || strcmp(argv[1], "submit") != 0)
    return;
  for (int i = 2; i + 1 < argc && used < std::size(values); i++)
  {
    if (!strcmp(argv[i], "--"))
      break;
    if (strcmp(argv[i], "-n") != 0)
      continue;
    values[used] = std::string("copies=") + argv[i + 1];
    argv[i]      = const_cast<char *>("-o");
    argv[i + 1]  = values[used++].data();
    i++;
  }
}

} // namespace pelna_workarounds
