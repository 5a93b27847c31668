// SPDX-License-Identifier: Apache-2.0
//
// A Code 128 encoder (ISO/IEC 15417) for the test label's barcode: printable
// ASCII in code set B, between Start B and the check symbol and Stop, with
// quiet zones.  A symbol is 11 modules, three bars and three spaces of 1 to
// 4 modules each; Stop is 13, its last bar 2 modules wide.
//

#ifndef PELNA_APP_CODE128_H
#define PELNA_APP_CODE128_H

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace pelna_app {

constexpr unsigned kCode128StartB = 104;  // symbol value of Start B
constexpr unsigned kCode128Stop   = 106;  // symbol value of Stop
constexpr unsigned kCode128Quiet  = 10;   // white modules on either side

// The symbol values of text in code set B: Start B, one value per character
// (its ASCII code less 32), the check value (Start B plus each value times
// its position, from 1, modulo 103) and Stop.  Empty when text is empty or
// has a character outside printable ASCII.
[[nodiscard]] std::vector<std::uint8_t> code128_values(std::string_view text);

// The modules of a row of symbol values (values above 106 are left out),
// the quiet zones included: true a bar module, false a space module.
[[nodiscard]] std::vector<bool> code128_modules(std::span<const std::uint8_t> values);

} // namespace pelna_app

#endif // PELNA_APP_CODE128_H
