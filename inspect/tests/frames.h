// SPDX-License-Identifier: Apache-2.0
//
// Helpers of the pelna-inspect tests: pages of random dots, command streams
// and page frames made by hand (with zlib's deflate, apart from both the
// filter and the decoder), and the same made by the filter's own functions.
//

#ifndef PELNA_INSPECT_FRAMES_H
#define PELNA_INSPECT_FRAMES_H

#include "decoder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace inspect_test {

using Bytes = std::vector<std::uint8_t>;

// Packed rows of a page of random dots, padding bits 0.
Bytes random_page(unsigned width, unsigned rows, unsigned seed);

// Row bytes of a width, by the packed-row rule.
std::size_t row_bytes(unsigned width);

// Set dots within the width of a packed page.
std::uint64_t black_dots(const Bytes &packed, unsigned width);

// A command stream laid out by hand: width command, one row command per
// row, page-mark command, trailer.
Bytes make_stream(std::uint16_t width, const Bytes &packed, unsigned rows,
                  std::uint8_t mark);

// Raw pieces of a stream, for streams that break the rules.
void put_width(Bytes &stream, std::uint16_t width);
void put_row(Bytes &stream, const Bytes &row);
void put_mark(Bytes &stream, std::uint8_t mark);
void put_trailer(Bytes &stream);

// A page frame around a stream, with zlib's raw deflate at level 6.
Bytes make_frame(const Bytes &stream);

// A page frame around an arbitrary body (both CRCs computed as usual over
// the given stream bytes).
Bytes frame_around_body(const Bytes &body, const Bytes &stream);

// Recompute the frame CRC after a change inside the frame.
void fix_frame_crc(Bytes &frame);

// Frames made by the filter: image_buildPrintData and gzip_frame.  mark is
// the PageMark choice keyword to mark, or nullptr for none.
Bytes filter_frame(unsigned width, unsigned rows, const Bytes &packed,
                   const char *mark);

// Little-endian 32-bit access.
std::uint32_t get_le32(const Bytes &data, std::size_t at);
void          set_le32(Bytes &data, std::size_t at, std::uint32_t value);

// Decode with the default options, dots and commands kept.
inspect::Result decode(const Bytes &data, std::uint64_t maxStream = inspect::kDefaultMaxStream);

// A fresh temporary folder; its path.
std::string temp_dir();
void        remove_tree(const std::string &path);
std::string read_file(const std::string &path);

} // namespace inspect_test

#endif // PELNA_INSPECT_FRAMES_H
