// SPDX-License-Identifier: Apache-2.0
//
// Picture jobs (PNG and JPEG): the app's readers turn the job's picture
// into gray within the system's limits; it is placed on the label by the
// job's print-scaling and orientation-requested as a PDF page is
// (placement.h), and its rows, turned and scaled there, go to the drivers'
// raster callbacks as one label.  A picture that cannot be read, or that
// would be less than one dot on the label, ends its job with the reason.
//

#include "app.h"

#include <cinttypes>
#include <cstdio>

namespace pelna_app {

namespace {

//
// 'job_refusal()' - End a picture job: the reason as the job's state
// message and in its log, and the job reason keyword PAPPL uses.
//

void
job_refusal(pappl_job_t *job,     // I - Job
            PictureFault fault,   // I - Why, as a kind
            const char  *reason)  // I - Why, in plain words
{
  papplJobSetReasons(job, fault == PictureFault::Damaged ? PAPPL_JREASON_DOCUMENT_FORMAT_ERROR
                                                         : PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                     PAPPL_JREASON_NONE);
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", reason);
  papplJobSetMessage(job, "%s", reason);
}

//
// 'load_picture()' - Read the job's picture file as gray within the
// system's limits; false with the job ended with the reason.
//

bool
load_picture(pappl_job_t  *job,      // I - Job
             PictureReader reader,   // I - Reader of the file's format
             GrayPicture  &picture)  // O - The picture
{
  PictureLimits   limits;
  pappl_system_t *system = papplPrinterGetSystem(papplJobGetPrinter(job));
  limits.max_bytes       = papplSystemGetMaxImageSize(system, &limits.max_width, &limits.max_height);

  const char *filename = papplJobGetFilename(job);
  std::FILE  *fp       = filename ? std::fopen(filename, "rbe") : nullptr;
  char        reason[320];

  if (!fp)
  {
    job_refusal(job, PictureFault::Damaged, "The job's picture cannot be opened.");
    return false;
  }

  const PictureFault fault = reader(fp, limits, picture, reason, sizeof(reason));
  std::fclose(fp);
  if (fault != PictureFault::None)
  {
    job_refusal(job, fault, reason);
    return false;
  }
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Picture: %" PRIu32 " x %" PRIu32 " pixels, %d pixels per inch.",
              picture.width, picture.height, picture.ppi);
  return true;
}

//
// 'print_placed()' - Print a placed picture as one label through the
// driver's raster callbacks; false when the job was canceled, a callback
// refused (it gave the reason) or the rows could not be made.
//

bool
print_placed(pappl_job_t        *job,       // I - Job
             pappl_device_t     *device,    // I - Device
             pappl_pr_options_t *options,   // I - Print options
             const GrayPicture  &picture,   // I - The picture
             const LabelArea    &label,     // I - The label
             const Placement    &place,     // I - Where the picture lands
             Sampling            sampling)  // I - How dots take their value
{
  pappl_pr_driver_data_t driver;

  papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
  papplJobSetImpressions(job, 1);
  if (!(driver.rstartjob_cb)(job, options, device))
    return false;

  const GrayView view{{picture.pixels.get(), std::size_t{picture.width} * picture.height}, picture.width,
                      picture.height};
  const LabelRowSink rows = [&](std::uint32_t y, std::span<const std::uint8_t> row) {
    return !papplJobIsCanceled(job) && (driver.rwriteline_cb)(job, options, device, y, row.data());
  };
  RowsEnd end = RowsEnd::Stopped;
  bool    ok  = (driver.rstartpage_cb)(job, options, device, 1);

  if (ok)
  {
    end = picture_rows(view, place, label, sampling, rows);
    ok  = end == RowsEnd::Done && (driver.rendpage_cb)(job, options, device, 1);
  }
  if (end == RowsEnd::NoMemory)
    job_refusal(job, PictureFault::NoMemory, "There is no memory to print the picture.");
  else if (end == RowsEnd::Mismatch)
    job_refusal(job, PictureFault::Damaged, "The picture cannot be printed: its pixels do not fill its size.");
  // The page counts as printed once the printer has taken it (rendjob).
  return (driver.rendjob_cb)(job, options, device) && ok;
}

//
// 'print_picture()' - Read the job's picture as gray, place it on the label
// and print it, unless it would be less than one dot there.
//

bool
print_picture(pappl_job_t    *job,       // I - Job
              pappl_device_t *device,    // I - Device
              PictureReader   reader,    // I - Reader of the file's format
              Sampling        sampling)  // I - How dots take their value
{
  GrayPicture picture;
  if (!load_picture(job, reader, picture))
    return false;

  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 1, false);
  if (!options)
  {
    job_refusal(job, PictureFault::NoMemory, "There is no memory to print the picture.");
    return false;
  }

  const LabelArea label = job_label(job, *options);
  Placement       place;
  bool            ok = place_content({static_cast<double>(picture.width), static_cast<double>(picture.height),
                                      static_cast<double>(picture.ppi)},
                                     label, place);
  if (!ok)
  {
    char at[48] = "", reason[320];
    if (picture.ppi > 0)
      snprintf(at, sizeof(at), " at %d pixels per inch", picture.ppi);
    snprintf(reason, sizeof(reason),
             "The picture is %" PRIu32 " x %" PRIu32 " pixels%s; placed on the label it would be less than "
             "one dot across or down.", picture.width, picture.height, at);
    job_refusal(job, PictureFault::TooLarge, reason);
  }
  else
  {
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Picture: turned %d quarter(s) right, %d x %d dots at (%d, %d) on a %" PRIu32
                " x %" PRIu32 " dot label.", place.quarter_turns, place.width, place.height, place.left, place.top,
                label.width, label.height);
    ok = print_placed(job, device, options, picture, label, place, sampling);
  }
  papplJobDeletePrintOptions(options);
  return ok;
}

//
// How the app prints one picture format.
//

struct PictureFormat
{
  const char   *type;      // MIME media type of the documents
  PictureReader reader;    // reader of the format
  Sampling      sampling;  // smoothed when scaled (photographs, as PAPPL's
                           // own JPEG filter does), else the nearest pixel
};

// The picture formats the app reads itself.
constexpr PictureFormat kPictureFormats[] = {
  {"image/png", read_png, Sampling::Nearest},
  {"image/jpeg", read_jpeg, Sampling::Smooth},
};

//
// 'print_picture_document()' - PAPPL's filter for picture documents.
//

bool
print_picture_document(pappl_job_t    *job,     // I - Job
                       pappl_device_t *device,  // I - Device
                       void           *data)    // I - The PictureFormat
{
  const auto *format = static_cast<const PictureFormat *>(data);

  return print_picture(job, device, format->reader, format->sampling);
}

} // namespace

//
// 'add_picture_filters()' - Let PAPPL print PNG and JPEG documents through
// the app's own readers, ahead of its own.
//

void
add_picture_filters(pappl_system_t *system)  // I - System
{
  for (const PictureFormat &format : kPictureFormats)
    papplSystemAddMIMEFilter(system, format.type, kDriverFormat, print_picture_document,
                             const_cast<PictureFormat *>(&format));  // PAPPL only hands it back
}

} // namespace pelna_app
