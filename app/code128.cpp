// SPDX-License-Identifier: Apache-2.0
//
// The Code 128 encoder (see code128.h): the standard's table of bar and
// space widths, code set B and the check symbol.
//

#include "code128.h"

#include <array>

namespace pelna_app {

namespace {

// Widths of bar, space, bar, space, bar, space in modules, by symbol value
// 0 to 105; Stop (106) has a seventh element, a bar.
constexpr std::array<const char *, 107> kPatterns = {
  "212222", "222122", "222221", "121223", "121322", "131222", "122213", "122312", "132212", "221213",  //   0
  "221312", "231212", "112232", "122132", "122231", "113222", "123122", "123221", "223211", "221132",  //  10
  "221231", "213212", "223112", "312131", "311222", "321122", "321221", "312212", "322112", "322211",  //  20
  "212123", "212321", "232121", "111323", "131123", "131321", "112313", "132113", "132311", "211313",  //  30
  "231113", "231311", "112133", "112331", "132131", "113123", "113321", "133121", "313121", "211331",  //  40
  "231131", "213113", "213311", "213131", "311123", "311321", "331121", "312113", "312311", "332111",  //  50
  "314111", "221411", "431111", "111224", "111422", "121124", "121421", "141122", "141221", "112214",  //  60
  "112412", "122114", "122411", "142112", "142211", "241211", "221114", "413111", "241112", "134111",  //  70
  "111242", "121142", "121241", "114212", "124112", "124211", "411212", "421112", "421211", "212141",  //  80
  "214121", "412121", "111143", "111341", "131141", "114113", "114311", "411113", "411311", "113141",  //  90
  "114131", "311141", "411131", "211412", "211214", "211232", "2331112",                              // 100
};

// The check value is taken modulo this.
constexpr unsigned kCheckModulus = 103;

} // namespace

//
// 'code128_values()' - The symbol values of text in code set B.
//

std::vector<std::uint8_t>
code128_values(std::string_view text)  // I - Printable ASCII
{
  std::vector<std::uint8_t> values{static_cast<std::uint8_t>(kCode128StartB)};
  unsigned                  check = kCode128StartB;

  if (text.empty())
    return {};
  for (std::size_t i = 0; i < text.size(); i++)
  {
    const auto c = static_cast<unsigned char>(text[i]);

    if (c < ' ' || c > '~')
      return {};
    values.push_back(static_cast<std::uint8_t>(c - ' '));
    check += static_cast<unsigned>((i + 1) % kCheckModulus) * (c - ' ');
  }
  values.push_back(static_cast<std::uint8_t>(check % kCheckModulus));
  values.push_back(static_cast<std::uint8_t>(kCode128Stop));
  return values;
}

//
// 'code128_modules()' - The modules of symbol values with quiet zones.
//

std::vector<bool>
code128_modules(std::span<const std::uint8_t> values)  // I - Symbol values, 0 to 106
{
  std::vector<bool> modules(kCode128Quiet, false);

  for (const std::uint8_t value : values)
  {
    bool bar = true;

    if (value >= kPatterns.size())
      continue;  // no symbol
    for (const char *width = kPatterns[value]; *width; width++, bar = !bar)
      modules.insert(modules.end(), static_cast<std::size_t>(*width - '0'), bar);
  }
  modules.insert(modules.end(), kCode128Quiet, false);
  return modules;
}

} // namespace pelna_app
