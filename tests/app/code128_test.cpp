// SPDX-License-Identifier: Apache-2.0
//
// The Code 128 encoder of the test label, from the symbology's properties:
// symbols of 11 modules with an even number of bar modules each, all
// different; a known symbol row and check value; the quiet zones and the
// total width; text outside code set B refused.  That a scanner reads it is
// the Printer Application's end-to-end test (zbarimg on the printed label).
//

#include "code128.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

using namespace pelna_app;

namespace {

//
// 'bits()' - Modules as a string of 1 (bar) and 0 (space).
//

std::string
bits(const std::vector<bool> &modules)
{
  std::string out;

  for (const bool bar : modules)
    out += bar ? '1' : '0';
  return out;
}

} // namespace

// Symbol values and check value of the standard's worked example "PJJ123C"
// (check 54 after Start A, 103; Start B, 104, adds one), and "A" as modules:
// Start B, A, check 34, Stop between the quiet zones.
TEST(Code128, KnownEncodings)
{
  EXPECT_EQ(code128_values("PJJ123C"), (std::vector<std::uint8_t>{104, 48, 42, 42, 17, 18, 19, 35, 55, 106}));

  const std::string quiet(kCode128Quiet, '0');
  EXPECT_EQ(bits(code128_modules(code128_values("A"))),
            quiet + "11010010000" "10100011000" "10001011000" "1100011101011" + quiet);
}

// Every printable character: one symbol each, 11 modules starting with a
// bar and ending with a space, an even number of them bars, no two alike;
// the row is 11 modules a symbol and two more for Stop's last bar, plus
// the quiet zones.
TEST(Code128, EverySymbolOfCodeSetB)
{
  std::string text;
  for (char c = ' '; c <= '~'; c++)
    text += c;

  const std::vector<std::uint8_t> values = code128_values(text);
  ASSERT_EQ(values.size(), text.size() + 3);
  const std::string modules = bits(code128_modules(values));
  ASSERT_EQ(modules.size(), 2 * kCode128Quiet + 11 * values.size() + 2);

  std::set<std::string> symbols;
  for (std::size_t i = 0; i + 1 < values.size(); i++)  // Stop is the known one above
  {
    const std::string symbol = modules.substr(kCode128Quiet + 11 * i, 11);
    EXPECT_EQ(symbol.front(), '1') << i;
    EXPECT_EQ(symbol.back(), '0') << i;
    EXPECT_EQ(std::count(symbol.begin(), symbol.end(), '1') % 2, 0) << "value " << int{values[i]};
    symbols.insert(symbol);
  }
  EXPECT_EQ(symbols.size(), std::set<std::uint8_t>(values.begin(), values.end() - 1).size());
}

// Only printable ASCII is code set B; nothing at all is no symbol.
TEST(Code128, RefusesWhatCodeSetBCannotSay)
{
  for (const char *text : {"", "tab\there", "caf\xc3\xa9", "\x7f"})
    EXPECT_TRUE(code128_values(text).empty()) << text;
}
