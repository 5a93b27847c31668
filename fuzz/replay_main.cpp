// SPDX-License-Identifier: Apache-2.0
//
// Replays fuzz inputs without a fuzzer: every file named on the command
// line, and every file in every folder named there, goes once through
// LLVMFuzzerTestOneInput.  A broken property aborts, as it does under the
// fuzzer; otherwise the count of inputs is printed and the exit status is
// 0.  Built with the project's usual compiler, so the corpora run as
// ordinary tests in every build.
//

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

//
// 'replay_file()' - Feed one file to the target.  Returns false when it
// cannot be read.
//

bool
replay_file(const std::filesystem::path &path)  // I - Input file
{
  std::ifstream in(path, std::ios::binary);

  if (!in)
    return false;

  // Named first, so that an input that aborts can be found.
  fprintf(stderr, "%s\n", path.c_str());

  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());

  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
  return true;
}

} // namespace

//
// 'main()' - Replay every input named, folders in name order.
//

int
main(int  argc,    // I - Number of arguments
     char *argv[]) // I - Files and folders
{
  std::size_t count = 0;  // Inputs replayed

  for (int i = 1; i < argc; i ++)
  {
    std::vector<std::filesystem::path> files;
    std::error_code                    error;

    if (std::filesystem::is_directory(argv[i], error))
    {
      for (const auto &entry : std::filesystem::directory_iterator(argv[i], error))
        if (entry.is_regular_file())
          files.push_back(entry.path());
      std::sort(files.begin(), files.end());
    }
    else
      files.push_back(argv[i]);

    if (error || files.empty())
    {
      fprintf(stderr, "%s: no inputs in %s\n", argv[0], argv[i]);
      return 1;
    }

    for (const auto &file : files)
    {
      if (!replay_file(file))
      {
        fprintf(stderr, "%s: cannot read %s\n", argv[0], file.c_str());
        return 1;
      }
      count ++;
    }
  }

  printf("%zu inputs replayed clean\n", count);
  return count > 0 ? 0 : 1;
}
