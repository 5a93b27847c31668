// SPDX-License-Identifier: Apache-2.0
//
// Messages of the core: composed here, filed by the front end's sink.
//

#include "messages.h"

#include <cstdarg>
#include <cstdio>
#include <iterator>

namespace pelna {

//
// 'level_word()' - The word a log line starts with for a level.
//

const char *
level_word(Level level)  // I - Message level
{
  // By Level, in the enumeration's order.
  constexpr const char *kWords[] = {"DEBUG", "INFO", "ERROR"};
  const auto            index    = static_cast<std::size_t>(level);

  return index < std::size(kWords) ? kWords[index] : "ERROR";
}

//
// 'say()' - Compose a message and hand it to the sink.
//
// Messages longer than the line buffer are cut; every message of the core
// is far shorter.
//

void
say(const MessageSink &sink,    // I - Where messages go
    Level              level,   // I - Message level
    const char        *format,  // I - printf format
    ...)                        // I - Arguments
{
  if (!sink.write)
    return;

  char    text[1024];  // The composed message
  va_list args;        // Arguments of the format

  va_start(args, format);
  // clang-analyzer 14 loses track of va_start in this C++ variadic function.
  vsnprintf(text, sizeof(text), format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
  va_end(args);

  sink.write(sink.ctx, level, text);
}

} // namespace pelna
