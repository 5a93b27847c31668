// SPDX-License-Identifier: Apache-2.0
//
// A job's printer data to its device, every copy of it whole: to a network
// printer through the app's socket device (socket_device.cpp), which waits
// until the printer has taken it; to any other device (USB, a file)
// through PAPPL's device functions.
//

#include "app.h"

#include <cerrno>
#include <cstring>

namespace pelna_app {

namespace {

//
// 'write_to_device()' - Write every copy through PAPPL's device functions;
// false when the device refused it or the job was cancelled.
//

bool
write_to_device(pappl_job_t      *job,     // I - Job
                pappl_device_t   *device,  // I - Device
                const FrameStore &frames,  // I - The job's printer data
                int               copies)  // I - Copies
{
  std::vector<std::uint8_t> buffer;

  for (int copy = 0; copy < copies && !papplJobIsCanceled(job); copy++)
  {
    for (std::uint64_t offset = 0; offset < frames_size(frames);)
    {
      const auto piece = frames_at(frames, offset, buffer);
      if (piece.empty())
      {
        job_error(job, (std::string("The job's printer data cannot be read back: ") + strerror(errno) + ".").c_str());
        return false;
      }
      if (copy + 1 == copies && offset + piece.size() == frames_size(frames))
        note_job(job, JobEvent::Sending);
      if (papplDeviceWrite(device, piece.data(), piece.size()) < 0)
      {
        note_job(job, JobEvent::Unprinted);
        job_error(job, "The printer did not take the data.");
        return false;
      }
      offset += piece.size();
    }
  }
  papplDeviceFlush(device);
  if (papplJobIsCanceled(job))
    return false;
  note_job(job, JobEvent::Printed);
  return true;
}

} // namespace

//
// 'deliver_job()' - Send a job's printer data to its device, every copy
// whole; false when the device did not take it all.
//

bool
deliver_job(pappl_job_t      *job,     // I - Job
            pappl_device_t   *device,  // I - Device
            const FrameStore &frames,  // I - The job's printer data
            int               copies)  // I - Copies
{
  if (is_socket_device(device))
    return deliver_to_socket(job, device, frames, copies);
  return write_to_device(job, device, frames, copies);
}

} // namespace pelna_app
