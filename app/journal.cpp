// SPDX-License-Identifier: Apache-2.0
//
// The journal's file: appending whole lines, and flushing them to disk once
// for every thread waiting at the same time (see journal.h).
//

#include "journal.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelna_app {

//
// 'JournalFile::~JournalFile()' - Close the file.
//

JournalFile::~JournalFile()
{
  close();
}

//
// 'JournalFile::open()' - Start appending to a file that exists.
//

bool
JournalFile::open(const std::string &path)  // I - The file
{
  const int   fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  struct stat info;

  if (fd < 0)
    return false;
  if (fstat(fd, &info) != 0)
  {
    const int error = errno;
    ::close(fd);
    errno = error;
    return false;
  }

  std::unique_lock<std::mutex> hold(lock_);
  flushed_cv_.wait(hold, [this] { return !flushing_; });  // a flush uses the old one
  if (fd_ >= 0)
    ::close(fd_);
  fd_      = fd;
  file_   += 1;
  written_ = synced_ = static_cast<std::uint64_t>(info.st_size);
  error_   = 0;
  return true;
}

//
// 'JournalFile::close()' - Stop appending.
//

void
JournalFile::close()
{
  std::unique_lock<std::mutex> hold(lock_);
  flushed_cv_.wait(hold, [this] { return !flushing_; });
  if (fd_ >= 0)
    ::close(fd_);
  fd_    = -1;
  file_ += 1;  // the lines appended to it are waited for no more
}

//
// 'JournalFile::is_open()' - Whether a file is open.
//

bool
JournalFile::is_open() const
{
  const std::lock_guard<std::mutex> hold(lock_);
  return fd_ >= 0;
}

//
// 'JournalFile::size()' - Bytes the file holds.
//

std::uint64_t
JournalFile::size() const
{
  const std::lock_guard<std::mutex> hold(lock_);
  return written_;
}

//
// 'JournalFile::append()' - Append text whole; on failure the file is cut
// back to where it was.
//

bool
JournalFile::append(std::string_view text,  // I - Whole lines
                    JournalMark     &mark)  // O - Where they end
{
  const std::lock_guard<std::mutex> hold(lock_);

  if (fd_ < 0)
  {
    errno = EBADF;
    return false;
  }
  for (std::size_t done = 0; done < text.size();)
  {
    const ssize_t n = write(fd_, text.data() + done, text.size() - done);

    if (n > 0)
    {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;

    const int error = n == 0 ? EIO : errno;
    if (done > 0 && ftruncate(fd_, static_cast<off_t>(written_)) != 0)
      error_ = error;  // a cut line stays: nothing more may be trusted to it
    errno = error;
    return false;
  }
  written_ += text.size();
  mark      = {file_, written_};
  return true;
}

//
// 'JournalFile::flush()' - Wait until the text up to mark is on disk.
//

bool
JournalFile::flush(const JournalMark &mark)  // I - Where the caller's lines end
{
  std::unique_lock<std::mutex> hold(lock_);

  for (;;)
  {
    if (mark.file != file_)
      return true;  // saved whole with the file that replaced it
    if (error_)
    {
      errno = error_;
      return false;
    }
    if (synced_ >= mark.end)
      return true;
    if (!flushing_)
      break;
    flushed_cv_.wait(hold);
  }

  // This thread flushes for every line written so far: the lines appended
  // while it does wait for the next flush, made by one of their threads.
  const int           fd     = fd_;
  const std::uint64_t target = written_;

  flushing_ = true;
  hold.unlock();
  const bool ok    = fdatasync(fd) == 0;
  const int  error = errno;
  hold.lock();
  flushing_ = false;
  flushes_ += 1;
  if (ok)
    synced_ = target;
  else
    error_ = error;
  flushed_cv_.notify_all();
  if (!ok)
    errno = error;
  return ok;
}

//
// 'JournalFile::flushes()' - How many flushes have been made.
//

std::uint64_t
JournalFile::flushes() const
{
  const std::lock_guard<std::mutex> hold(lock_);
  return flushes_;
}

} // namespace pelna_app
