// SPDX-License-Identifier: Apache-2.0
//
// Messages of the core, through a sink that the front end supplies: the
// filter writes them to its log file, the Printer Application to its job
// log.  The core composes every line; the sink only files it.
//

#ifndef PELNA_CORE_MESSAGES_H
#define PELNA_CORE_MESSAGES_H

namespace pelna {

enum class Level
{
  Debug,  // details for whoever looks into a job
  Info,   // the course of a job
  Error   // what went wrong, and with which page
};

//
// Where messages go.  A sink without a function drops every message.
//

struct MessageSink
{
  void (*write)(void *ctx, Level level, const char *text) = nullptr;
                          // files one message, text without a newline
  void *ctx = nullptr;    // handed to write
};

// The level word the filter's log shows: "DEBUG", "INFO" or "ERROR".
[[nodiscard]] const char *level_word(Level level);

// Compose a message with a printf format and hand it to the sink.
void say(const MessageSink &sink, Level level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

} // namespace pelna

#endif // PELNA_CORE_MESSAGES_H
