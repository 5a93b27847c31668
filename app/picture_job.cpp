// SPDX-License-Identifier: Apache-2.0
//
// Picture jobs (PNG and JPEG): the app's readers turn the job's picture
// into gray within the system's limits, then PAPPL's papplJobFilterImage
// places and scales it on the label, as every picture is placed, and hands
// its rows to the drivers' raster callbacks.  A picture that cannot be
// read, or that would be less than one dot on the label, ends its job with
// the reason.
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
// 'placed_size_ok()' - Whether the picture keeps at least one dot across
// and down where PAPPL's placement puts it on the label: at its own
// resolution when it fits ("auto" with a resolution, or "none"), else
// scaled to fit or to fill the printable area, turned for landscape.  A
// picture that would shrink to nothing there (a thin line scaled to fit, a
// few pixels at a fine resolution) leaves that placement dividing by zero,
// which ends the whole server; it is refused instead.
//

bool
placed_size_ok(const pappl_pr_options_t &o,    // I - Print options of the job
               std::uint32_t             w,    // I - Picture width
               std::uint32_t             h,    // I - Picture height
               int                       ppi)  // I - Its resolution, 0 when not known
{
  const std::int64_t xres = o.printer_resolution[0], yres = o.printer_resolution[1];
  pappl_scaling_t    scaling = o.print_scaling;
  std::int64_t       iw = o.header.cupsWidth, ih = o.header.cupsHeight, p = ppi;

  if (scaling != PAPPL_SCALING_FILL)
  {
    iw -= (o.media.left_margin + o.media.right_margin) * xres / 2540;
    ih -= (o.media.top_margin + o.media.bottom_margin) * yres / 2540;
  }
  if (iw <= 0 || ih <= 0 || xres <= 0 || yres <= 0)
    return true;  // PAPPL refuses such media itself

  const ipp_orient_t turn   = o.orientation_requested;
  const bool         turned = turn == IPP_ORIENT_LANDSCAPE || turn == IPP_ORIENT_REVERSE_LANDSCAPE ||
                      (turn == IPP_ORIENT_NONE && w > h && o.header.cupsWidth < o.header.cupsHeight);
  const std::int64_t across = turned ? h : w, down = turned ? w : h;

  if (scaling == PAPPL_SCALING_AUTO || scaling == PAPPL_SCALING_AUTO_FIT)
  {
    const bool fits = p > 0 && across * xres / p <= iw && down * yres / p <= ih;
    const bool borderless = !o.media.left_margin && !o.media.right_margin && !o.media.top_margin &&
                            !o.media.bottom_margin;

    scaling = fits ? PAPPL_SCALING_NONE
                   : scaling == PAPPL_SCALING_AUTO && borderless ? PAPPL_SCALING_FILL : PAPPL_SCALING_FIT;
  }
  else if (scaling == PAPPL_SCALING_NONE && p <= 0)
    p = 200;  // PAPPL's resolution for a picture that names none
  if (scaling == PAPPL_SCALING_NONE)
    return across * xres / p >= 1 && down * yres / p >= 1;

  std::int64_t xsize = iw, ysize = xsize * down / across;
  if ((ysize > ih && scaling == PAPPL_SCALING_FIT) || (ysize < ih && scaling == PAPPL_SCALING_FILL))
  {
    ysize = ih;
    xsize = ysize * across / down;
  }
  return xsize >= 1 && ysize >= 1;
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
// 'print_picture()' - Read the job's picture as gray and print it through
// PAPPL's picture placement and the raster callbacks, unless it would be
// less than one dot on the label.
//

bool
print_picture(pappl_job_t    *job,        // I - Job
              pappl_device_t *device,     // I - Device
              PictureReader   reader,     // I - Reader of the file's format
              bool            smoothing)  // I - Interpolate when scaling
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

  if (!placed_size_ok(*options, picture.width, picture.height, picture.ppi))
  {
    char at[48] = "", reason[320];
    if (picture.ppi > 0)
      snprintf(at, sizeof(at), " at %d pixels per inch", picture.ppi);
    snprintf(reason, sizeof(reason),
             "The picture is %" PRIu32 " x %" PRIu32 " pixels%s; placed on the label it would be less than "
             "one dot across or down.", picture.width, picture.height, at);
    papplJobDeletePrintOptions(options);
    job_refusal(job, PictureFault::TooLarge, reason);
    return false;
  }

  // One copy is placed: the driver sends the job's printer data once per
  // copy.
  options->copies = 1;
  const bool ok = papplJobFilterImage(job, device, options, picture.pixels.get(), static_cast<int>(picture.width),
                                      static_cast<int>(picture.height), 1, picture.ppi, smoothing);
  papplJobDeletePrintOptions(options);
  return ok;
}

//
// How the app prints one picture format.
//

struct PictureFormat
{
  const char   *type;       // MIME media type of the documents
  PictureReader reader;     // reader of the format
  bool          smoothing;  // interpolate when scaling (as PAPPL's own JPEG
                            // filter does), else the nearest pixel
};

// The picture formats the app reads itself.
constexpr PictureFormat kPictureFormats[] = {
  {"image/png", read_png, false},
  {"image/jpeg", read_jpeg, true},
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

  return print_picture(job, device, format->reader, format->smoothing);
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
