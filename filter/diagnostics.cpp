// SPDX-License-Identifier: Apache-2.0
//
// Diagnostics: with "PrintDebug" set to "ON", every page is converted as
// usual while the gray page, the 1-bit page and the page frame are kept as
// files in /tmp/pelna_printer:
//
//   page8bpp.bmp   the gray page as read, before halftoning (8-bit BMP)
//   page1bpp.bmp   the page after halftoning (1-bit BMP)
//   PageData.gz    the page frame, byte for byte as sent to the printer
//
// The folder lies in a world-writable directory, so it is used only when it
// is a real directory of the filter's own user that no one else can write
// to, and no symbolic link is ever followed to a dump file.
//

#include "pelna.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace pelna;

namespace {

constexpr mode_t kDumpMode = 0755;  // folder and files: rwxr-xr-x

// Why the folder is not used when it is not there at all; the failure to
// create it has been logged already.
constexpr const char *kFolderMissing = "it cannot be found";

// Sizes of the BMP records as stored.
constexpr DWORD kFileHeaderSize = 14;            // BITMAPFILEHEADER
constexpr DWORD kInfoHeaderSize = 40;            // BITMAPINFOHEADER
constexpr DWORD kGrayPaletteSize = 256 * 4;      // 256 RGBQUADs
constexpr DWORD kMonoPaletteSize = 2 * 4;        // 2 RGBQUADs
constexpr WORD  kBmpSignature    = 0x4D42;       // "BM"

struct FileClose
{
  void operator()(FILE *fp) const { fclose(fp); }
};

using File = std::unique_ptr<FILE, FileClose>;

//
// 'open_dump_file()' - Create or truncate a dump file for writing.
//
// Only a regular file is written: a symbolic link at the path is not
// followed, and a FIFO or device is refused without blocking.
//

File
open_dump_file(const TCHAR *path)  // I - File path
{
  struct stat info;  // What was opened
  int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kDumpMode);

  if (fd < 0)
    return nullptr;

  if (fstat(fd, &info) || !S_ISREG(info.st_mode) || ftruncate(fd, 0))
  {
    close(fd);
    return nullptr;
  }

  FILE *fp = fdopen(fd, "wb");
  if (!fp)
    close(fd);
  return File(fp);
}

//
// 'set_dump_mode()' - Give a dump file or folder mode 0755 through an open
// descriptor, never following a symbolic link.  Returns false on failure.
//

bool
set_dump_mode(const TCHAR *path,  // I - File or folder path
              bool         isDir) // I - Path is the dump folder
{
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (isDir ? O_DIRECTORY : 0);
  const int fd    = open(path, flags);

  if (fd < 0)
    return false;

  const bool done = fchmod(fd, kDumpMode) == 0;

  close(fd);
  return done;
}

//
// 'usable_dump_folder()' - See whether the dump folder may receive files.
//
// Returns NULL when it is a directory of our own user that no one else can
// write to, or else the reason it is not used.
//

const char *
usable_dump_folder(const TCHAR *path)  // I - Folder path
{
  struct stat info;  // The folder itself, not a link to it

  if (lstat(path, &info))
    return kFolderMissing;
  if (!S_ISDIR(info.st_mode))
    return "it is not a directory";
  if (info.st_uid != geteuid())
    return "it belongs to another user";
  if (info.st_mode & (S_IWGRP | S_IWOTH))
    return "other users can write to it";

  return nullptr;
}

//
// 'write_bmp_headers()' - Write the file header, info header and palette of
// an uncompressed bottom-up BMP.
//

void
write_bmp_headers(FILE  *fp,           // I - File
                  DWORD  width,        // I - Pixels per row
                  DWORD  height,       // I - Rows
                  WORD   bitCount,     // I - Bits per pixel, 8 or 1
                  DWORD  lineByte,     // I - Stored row length
                  const BYTE *palette, // I - Palette entries, 4 bytes each
                  DWORD  paletteSize)  // I - Palette bytes
{
  const DWORD offBits = kFileHeaderSize + kInfoHeaderSize + paletteSize;
  BYTE        fileHeader[kFileHeaderSize] = {};
  BYTE        infoHeader[kInfoHeaderSize] = {};

  put_le16(fileHeader + 0, kBmpSignature);                   // bfType
  put_le32(fileHeader + 2, offBits + lineByte * height);     // bfSize
  put_le32(fileHeader + 10, offBits);                        // bfOffBits

  put_le32(infoHeader + 0, kInfoHeaderSize);                 // biSize
  put_le32(infoHeader + 4, width);                           // biWidth
  put_le32(infoHeader + 8, height);                          // biHeight, bottom-up
  put_le16(infoHeader + 12, 1);                              // biPlanes
  put_le16(infoHeader + 14, bitCount);                       // biBitCount
  // biCompression, biSizeImage, resolutions and palette counts stay 0.

  fwrite(fileHeader, 1, sizeof(fileHeader), fp);
  fwrite(infoHeader, 1, sizeof(infoHeader), fp);
  fwrite(palette, 1, paletteSize, fp);
}

//
// 'write_bmp_rows()' - Write the rows last first, each padded with zeros to
// lineByte bytes and, for the 1-bit file, complemented.
//
// Returns false when the row buffer cannot be allocated; nothing is written
// then.
//

bool
write_bmp_rows(FILE       *fp,         // I - File
               const BYTE *imgBuf,     // I - Image, rowLen x height bytes
               DWORD       rowLen,     // I - Source row length
               DWORD       height,     // I - Rows
               DWORD       lineByte,   // I - Stored row length
               bool        complement) // I - Store every byte inverted
{
  std::unique_ptr<BYTE, decltype(&free)> line(
      static_cast<BYTE *>(malloc(lineByte ? lineByte : 1)), free);

  if (!line)
    return false;

  for (LONG i = static_cast<LONG>(height) - 1; i >= 0; i --)
  {
    memset(line.get(), 0, lineByte);
    if (rowLen > 0)
      memcpy(line.get(), imgBuf + static_cast<size_t>(i) * rowLen, rowLen);
    if (complement)
    {
      for (DWORD b = 0; b < lineByte; b ++)
        line.get()[b] = static_cast<BYTE>(~line.get()[b]);
    }
    fwrite(line.get(), 1, lineByte, fp);
  }

  return true;
}

} // namespace

//
// 'saveBmp8BPP()' - Write an 8-bit gray image as a BMP with a gray palette.
//
// Returns 1 once the file was opened (write errors are not reported), 0 when
// it cannot be opened or its row buffer cannot be allocated.
//

BOOL
saveBmp8BPP(const TCHAR *bmpName,  // I - File path
            const BYTE  *imgBuf,   // I - Image, width x height bytes, row 0 first
            DWORD        width,    // I - Pixels per row
            DWORD        height)   // I - Rows
{
  File fp = open_dump_file(bmpName);

  if (!fp)
    return 0;

  const DWORD lineByte = (width + 3) & ~DWORD{3};
  BYTE        palette[kGrayPaletteSize];

  for (DWORD i = 0; i < 256; i ++)
  {
    palette[i * 4 + 0] = static_cast<BYTE>(i);  // blue
    palette[i * 4 + 1] = static_cast<BYTE>(i);  // green
    palette[i * 4 + 2] = static_cast<BYTE>(i);  // red
    palette[i * 4 + 3] = 0;                     // reserved
  }

  write_bmp_headers(fp.get(), width, height, 8, lineByte, palette, sizeof(palette));
  return write_bmp_rows(fp.get(), imgBuf, width, height, lineByte, false) ? 1 : 0;
}

//
// 'saveBmp1BPP()' - Write a page of packed rows as a 1-bit BMP.
//
// Each byte is stored complemented so that a printed dot shows through
// palette entry 0, black.  A width of 0 gives rows of 0 bytes.  Returns as
// saveBmp8BPP does.
//

BOOL
saveBmp1BPP(const TCHAR *bmpName,  // I - File path
            const BYTE  *imgBuf,   // I - Packed rows, ceil(width / 8) x height bytes
            DWORD        width,    // I - Pixels per row
            DWORD        height)   // I - Rows
{
  File fp = open_dump_file(bmpName);

  if (!fp)
    return 0;

  const DWORD bytelen  = width ? ((width - 1) >> 3) + 1 : 0;
  const DWORD lineByte = (bytelen + 3) & ~DWORD{3};
  const BYTE  palette[kMonoPaletteSize] = {0, 0, 0, 0, 255, 255, 255, 0};

  write_bmp_headers(fp.get(), width, height, 1, lineByte, palette, sizeof(palette));
  return write_bmp_rows(fp.get(), imgBuf, bytelen, height, lineByte, true) ? 1 : 0;
}

//
// 'savePrintData()' - Write a byte buffer to a file unchanged.
//
// Returns 1 once the file was opened, 0 when it cannot be opened.
//

BOOL
savePrintData(const TCHAR *bmpName,  // I - File path
              const BYTE  *imgBuf,   // I - Data
              DWORD        size)     // I - Bytes
{
  File fp = open_dump_file(bmpName);

  if (!fp)
    return 0;

  fwrite(imgBuf, 1, size, fp.get());
  return 1;
}

//
// 'prepare_dump_folder()' - Create the dump folder when it is missing, see
// whether it may receive files, and name the three dump files.
//

DumpFolder
prepare_dump_folder()
{
  const TCHAR tmpPath[] = "/tmp";  // Base directory
  DumpFolder  folder    = {};
  TCHAR       dirPath[256] = {};   // The dump folder
  struct stat info;                // Whether the folder is there

  snprintf(dirPath, sizeof(dirPath), "%s/pelna_printer", tmpPath);

  if (lstat(dirPath, &info) && errno == ENOENT)
  {
    if (mkdir(dirPath, kDumpMode))
      pelna_log("ERROR", "creating %s directory", dirPath);
    if (!set_dump_mode(dirPath, true))
      pelna_log("ERROR", "chmod %s directory", dirPath);
  }

  const char *unusable = usable_dump_folder(dirPath);

  folder.keep = unusable == nullptr;
  if (unusable && unusable != kFolderMissing)
    pelna_log("ERROR", "No diagnostic files are kept in %s: %s.", dirPath, unusable);

  snprintf(folder.gray, sizeof(folder.gray), "%s/pelna_printer/page8bpp.bmp", tmpPath);
  snprintf(folder.packed, sizeof(folder.packed), "%s/pelna_printer/page1bpp.bmp", tmpPath);
  snprintf(folder.frame, sizeof(folder.frame), "%s/pelna_printer/PageData.gz", tmpPath);
  return folder;
}

//
// 'finish_dump()' - Give a dump file its mode, or log that it could not be
// kept ("chmod %s directory", also when it could not be written).
//

void
finish_dump(const DumpFolder &folder,  // I - The dump folder
            const TCHAR      *path)    // I - The dump file
{
  if (!folder.keep || !set_dump_mode(path, false))
    pelna_log("ERROR", "chmod %s directory", path);
}

//
// 'build_print_data_diagnostic()' - Convert the page as build_print_data
// does, keeping the gray page, the 1-bit page and the frame as files.
//
// No failure to keep a file changes what is printed.  Returns the frame's
// length, or 0 when a conversion stage could not run.
//

DWORD
build_print_data_diagnostic(ppd_file_t          *ppd,     // I  - Job's PPD
                            cups_page_header2_t *header,  // I  - Page header
                            PBYTE               *pdata)   // IO - 8-bit page in, frame out
{
  const DumpFolder folder   = prepare_dump_folder();
  DWORD            dataSize = 0;  // Length of the data in *pdata

  if (folder.keep)
    saveBmp8BPP(folder.gray, *pdata, header->cupsWidth, header->cupsHeight);
  finish_dump(folder, folder.gray);

  if (!image_Thresholding(ppd, header, pdata))
    return 0;

  if (folder.keep)
    saveBmp1BPP(folder.packed, *pdata, header->cupsWidth, header->cupsHeight);
  finish_dump(folder, folder.packed);

  dataSize = image_buildPrintData(ppd, header, pdata);
  if (!dataSize || !gzip_frame(pdata, &dataSize))
    return 0;

  if (folder.keep)
    savePrintData(folder.frame, *pdata, dataSize);
  finish_dump(folder, folder.frame);

  return dataSize;
}

namespace {

//
// 'dump_gray_page()' - Observer: keep the gray page as the job loop starts
// to halftone it (the page buffer holds it whole), and make room for the
// packed page.
//

void
dump_gray_page(void                    *ctx,     // I - DumpState
               int                      page,    // I - Page number (unused)
               const pelna::PageHeader &header)  // I - The page's numbers
{
  DumpState *state = static_cast<DumpState *>(ctx);

  (void)page;

  state->folder = prepare_dump_folder();
  state->width  = header.width;
  state->height = header.height;

  if (state->folder.keep)
    saveBmp8BPP(state->folder.gray, Buffer, header.width, header.height);
  finish_dump(state->folder, state->folder.gray);

  state->row_bytes = pelna::packed_row_bytes(header.width);
  state->packed.reset(static_cast<BYTE *>(malloc(state->row_bytes * header.height)));
}

//
// 'collect_packed_row()' - Observer: keep each packed row for the 1-bit dump.
//

void
collect_packed_row(void                    *ctx,  // I - DumpState
                   std::uint32_t            y,    // I - Row
                   std::span<const BYTE>    row)  // I - Packed row
{
  DumpState *state = static_cast<DumpState *>(ctx);

  if (state->packed && row.size() >= state->row_bytes)
    memcpy(state->packed.get() + y * state->row_bytes, row.data(), state->row_bytes);
}

//
// 'dump_packed_page()' - Observer: keep the 1-bit page once complete.
//

void
dump_packed_page(void *ctx)  // I - DumpState
{
  DumpState *state = static_cast<DumpState *>(ctx);

  if (state->folder.keep && state->packed)
    saveBmp1BPP(state->folder.packed, state->packed.get(), state->width, state->height);
  finish_dump(state->folder, state->folder.packed);
  state->packed.reset();
}

//
// 'dump_frame()' - Observer: keep the page frame.
//

void
dump_frame(void                 *ctx,    // I - DumpState
           std::span<const BYTE> frame)  // I - Page frame
{
  DumpState *state = static_cast<DumpState *>(ctx);

  if (state->folder.keep)
    savePrintData(state->folder.frame, frame.data(), static_cast<DWORD>(frame.size()));
  finish_dump(state->folder, state->folder.frame);
}

//
// 'release_dumps()' - Observer: free what a page left behind.
//

void
release_dumps(void *ctx)  // I - DumpState
{
  static_cast<DumpState *>(ctx)->packed.reset();
}

} // namespace

//
// 'diagnostic_observer()' - The dumps as an observer of the job loop.
//

pelna::PageObserver
diagnostic_observer(DumpState *state)  // I - Where the page's dumps are kept
{
  return {dump_gray_page, collect_packed_row, dump_packed_page, dump_frame, release_dumps, state};
}
