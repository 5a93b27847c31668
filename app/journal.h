// SPDX-License-Identifier: Apache-2.0
//
// The journal: the end of the state file, to which each change is appended
// as a line, and flushed to disk once for all the requests that wait on it
// together (group commit).  No PAPPL in it.
//
// One writer appends at a time (the caller's lock); any number of threads
// may wait for their lines to be on disk at once: the first flushes, and
// every line written before its flush began is on disk when it ends.  The
// file is replaced whole when the state is saved (open again); lines
// written to the file it replaced were saved with the new one.
//

#ifndef PELNA_APP_JOURNAL_H
#define PELNA_APP_JOURNAL_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace pelna_app {

//
// Where an appended line ends: the file it went to, and the byte after it.
//

struct JournalMark
{
  std::uint64_t file = 0;  // the file's number (one more each time it is opened)
  std::uint64_t end  = 0;  // the line's end in it
};

//
// An open journal.
//

class JournalFile
{
public:
  JournalFile() = default;
  JournalFile(const JournalFile &) = delete;
  JournalFile &operator=(const JournalFile &) = delete;
  ~JournalFile();

  // Start appending to a file that exists, once any flush of the file
  // before it has ended; false with errno set when it cannot be opened
  // (the file before it is then still the one appended to).
  [[nodiscard]] bool open(const std::string &path);

  // Stop appending, once any flush has ended: the lines appended are then
  // taken as on disk (the state saved whole holds them, or the server ends).
  void close();

  // Whether a file is open.
  [[nodiscard]] bool is_open() const;

  // Bytes the file holds.
  [[nodiscard]] std::uint64_t size() const;

  // Append text whole; false with errno set when it fails, the file then as
  // it was (a line cut short would join the next).
  [[nodiscard]] bool append(std::string_view text, JournalMark &mark);

  // Wait until the text up to mark is on disk, flushing it unless another
  // thread's flush covers it; true at once for a file since replaced.
  // False with errno set when a flush of the file failed: the kernel may
  // then have dropped what it could not write, so every later flush of the
  // file fails too, until another is opened.
  [[nodiscard]] bool flush(const JournalMark &mark);

  // How many flushes have been made, for the tests.
  [[nodiscard]] std::uint64_t flushes() const;

private:
  mutable std::mutex      lock_;          // guards every member below
  std::condition_variable flushed_cv_;    // a flush has ended
  int                     fd_      = -1;  // the file, open for appending
  std::uint64_t           file_    = 0;   // its number
  std::uint64_t           written_ = 0;   // bytes appended to it
  std::uint64_t           synced_  = 0;   // bytes known to be on disk
  bool                    flushing_ = false;  // a thread is flushing it
  int                     error_   = 0;   // errno of a flush of it that failed
  std::uint64_t           flushes_ = 0;   // flushes made
};

} // namespace pelna_app

#endif // PELNA_APP_JOURNAL_H
