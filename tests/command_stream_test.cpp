// SPDX-License-Identifier: Apache-2.0
//
// The command stream of a page: layout, lengths and the page mark.
//

#include "pelna.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

using namespace pelna_test;

namespace {

// Runs the stream builder on a copy of the packed rows, with the log going
// to a temporary file so the messages can be checked.
struct StreamResult
{
  Bytes       stream;  // the command stream
  std::string log;     // what was logged
};

StreamResult
build_stream(ppd_file_t *ppd, unsigned width, unsigned height, const Bytes &packed)
{
  StreamResult        result;
  cups_page_header2_t header;
  PBYTE               data = static_cast<PBYTE>(malloc(packed.size() ? packed.size() : 1));

  memset(&header, 0, sizeof(header));
  header.cupsWidth  = width;
  header.cupsHeight = height;
  if (!packed.empty())
    memcpy(data, packed.data(), packed.size());

  start_log_capture();
  const PBYTE before = data;
  const DWORD length = image_buildPrintData(ppd, &header, &data);

  EXPECT_NE(data, before) << "the packed page must be replaced by the stream";
  result.stream.assign(data, data + length);
  free(data);

  result.log = end_log_capture();

  return result;
}

ppd_file_t *
ppd_with_page_mark(const char *choice)
{
  ppd_file_t *ppd = ppdOpenFile(test_ppd().c_str());

  EXPECT_NE(ppd, nullptr);
  if (choice)
    ppdMarkOption(ppd, "PageMark", choice);
  return ppd;
}

} // namespace

TEST(CommandStream, WorkedExampleTenByTwo)
{
  ppd_file_t  *ppd    = ppd_with_page_mark("PageMarkLabel");
  StreamResult result = build_stream(ppd, 10, 2, {0xFF, 0xC0, 0x00, 0x00});
  const Bytes  expected = {0x1F, 0x19, 0x03, 0x00, 0x07, 0x0A, 0x00,
                           0x1F, 0x10, 0x02, 0x00, 0xFF, 0xC0,
                           0x1F, 0x10, 0x02, 0x00, 0x00, 0x00,
                           0x1F, 0x19, 0x02, 0x00, 0x08, 0x01,
                           0x1D, 0x98};

  EXPECT_EQ(result.stream, expected);
  EXPECT_EQ(result.log, "INFO: PageMark=PageMarkLabel\n");
  ppdClose(ppd);
}

TEST(CommandStream, RowLengthsFollowTheWidth)
{
  ppd_file_t *ppd = ppd_with_page_mark("PageMarkBlack");

  // width, row bytes, width low byte, width high byte
  const unsigned cases[][4] = {{1, 1, 0x01, 0x00},   {8, 1, 0x08, 0x00},
                               {9, 2, 0x09, 0x00},   {576, 72, 0x40, 0x02},
                               {65535, 8192, 0xFF, 0xFF}};

  for (const auto &c : cases)
  {
    const unsigned width = c[0], rowBytes = c[1], height = 3;
    Bytes          packed(static_cast<size_t>(rowBytes) * height);

    for (size_t i = 0; i < packed.size(); i ++)
      packed[i] = static_cast<std::uint8_t>(i * 7 + 1);

    const Bytes stream = build_stream(ppd, width, height, packed).stream;

    SCOPED_TRACE("width " + std::to_string(width));
    ASSERT_EQ(stream.size(), height * (rowBytes + 4) + 15);
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 7),
              (Bytes{0x1F, 0x19, 0x03, 0x00, 0x07, static_cast<std::uint8_t>(c[2]),
                     static_cast<std::uint8_t>(c[3])}));
    for (unsigned y = 0; y < height; y ++)
    {
      const std::uint8_t *row = stream.data() + 7 + y * (rowBytes + 4);

      EXPECT_EQ(row[0], 0x1F);
      EXPECT_EQ(row[1], 0x10);
      EXPECT_EQ(row[2] | (row[3] << 8), static_cast<int>(rowBytes)) << "row " << y;
      EXPECT_EQ(memcmp(row + 4, packed.data() + y * rowBytes, rowBytes), 0) << "row " << y;
    }
    EXPECT_EQ(Bytes(stream.end() - 8, stream.end()),
              (Bytes{0x1F, 0x19, 0x02, 0x00, 0x08, 0x02, 0x1D, 0x98}));
  }
  ppdClose(ppd);
}

TEST(CommandStream, PageWithoutRowsIsFifteenBytes)
{
  ppd_file_t *ppd    = ppd_with_page_mark("PageMarkLabel");
  const Bytes stream = build_stream(ppd, 300, 0, {}).stream;

  EXPECT_EQ(stream, (Bytes{0x1F, 0x19, 0x03, 0x00, 0x07, 0x2C, 0x01, 0x1F, 0x19, 0x02,
                           0x00, 0x08, 0x01, 0x1D, 0x98}));
  ppdClose(ppd);
}

TEST(CommandStream, PageMarkChoices)
{
  struct Case
  {
    const char  *choice;    // marked choice, or null for none
    const char  *ppdName;   // PPD to use
    std::uint8_t value;     // expected page mark
    const char  *log;       // expected log
  };
  const Case cases[] = {
      {"PageMarkLabel", "pelna-test.ppd", 1, "INFO: PageMark=PageMarkLabel\n"},
      {"PageMarkBlack", "pelna-test.ppd", 2, "INFO: PageMark=PageMarkBlack\n"},
      {"PageMarkNone", "pelna-test.ppd", 0, "INFO: PageMark=PageMarkNone\n"},
      {"pagemarklabel", "pelna-lowercase.ppd", 0, "INFO: PageMark=pagemarklabel\n"},
      {nullptr, "pelna-test.ppd", 0, ""},  // nothing marked
      {nullptr, "pelna-bare.ppd", 0, ""},  // no such option
  };

  for (const Case &c : cases)
  {
    ppd_file_t *ppd = ppdOpenFile(test_ppd(c.ppdName).c_str());

    ASSERT_NE(ppd, nullptr);
    if (c.choice)
      ppdMarkOption(ppd, "PageMark", c.choice);

    const StreamResult result = build_stream(ppd, 8, 1, {0x81});

    SCOPED_TRACE(c.choice ? c.choice : "(none)");
    ASSERT_EQ(result.stream.size(), 20u);
    EXPECT_EQ(result.stream[7 + 5 + 5], c.value);
    EXPECT_EQ(result.log, c.log);
    ppdClose(ppd);
  }

  // No PPD at all behaves like an option without a marked choice.
  EXPECT_EQ(build_stream(nullptr, 8, 1, {0x81}).stream[17], 0);
}

TEST(CommandStream, PagesOutsideTheFormatAreRefusedUntouched)
{
  for (unsigned width : {0u, 65536u, 70000u})
  {
    cups_page_header2_t header;
    PBYTE               data = static_cast<PBYTE>(malloc(16));
    const PBYTE         before = data;

    memset(&header, 0, sizeof(header));
    header.cupsWidth  = width;
    header.cupsHeight = 1;
    EXPECT_EQ(image_buildPrintData(nullptr, &header, &data), 0u) << "width " << width;
    EXPECT_EQ(data, before) << "a refused page keeps its buffer";
    free(data);
  }
}

TEST(CommandStream, CommandWritersReturnTheirLength)
{
  BYTE       out[16];
  const BYTE param[3] = {0xAA, 0xBB, 0xCC};

  EXPECT_EQ(build_cmd(out, 0x1F10, param, 3), 7);
  EXPECT_EQ(Bytes(out, out + 7), (Bytes{0x1F, 0x10, 0x03, 0x00, 0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(build_cmd_subcmd(out, 0x1F19, 0x07, param, 2), 7);
  EXPECT_EQ(Bytes(out, out + 7), (Bytes{0x1F, 0x19, 0x03, 0x00, 0x07, 0xAA, 0xBB}));
}
