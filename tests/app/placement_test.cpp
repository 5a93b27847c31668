// SPDX-License-Identifier: Apache-2.0
//
// Where a PDF page or a picture lands on the label, and a picture's rows
// made there: each print-scaling keeps its promise (fit keeps the whole,
// fill covers the label, none keeps the size), each orientation turns as
// asked, landscape content on a portrait label is turned clockwise to fill
// it, a mark in a picture's top-left corner lands where the turn puts it,
// and dots at the printer's resolution are the picture's very pixels.
//

#include "placement.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

using namespace pelna_app;

namespace {

using Rows = std::vector<std::vector<std::uint8_t>>;

// A 4 x 6 in label at 203 dpi without margins.
LabelArea
label_4x6(Scaling scaling = Scaling::Auto, Turn turn = Turn::Auto)
{
  LabelArea label;

  label.width   = 812;
  label.height  = 1218;
  label.xdpi    = label.ydpi = 203;
  label.scaling = scaling;
  label.turn    = turn;
  return label;
}

// A gray picture: white with a black square, a fifth of its height, at its
// top left; or noise, every pixel unlike its neighbours.
struct TestPicture
{
  std::uint32_t             width, height;  // pixels
  std::vector<std::uint8_t> pixels;         // row after row

  TestPicture(std::uint32_t w, std::uint32_t h, bool noise = false) : width(w), height(h), pixels(std::size_t{w} * h)
  {
    for (std::uint32_t y = 0; y < h; y++)
      for (std::uint32_t x = 0; x < w; x++)
        pixels[std::size_t{y} * w + x] = noise ? static_cast<std::uint8_t>((x * 7919u + y * 104729u) % 251)
                                         : x < h / 5 && y < h / 5 ? 0 : 255;
  }
  std::uint8_t at(std::uint32_t x, std::uint32_t y) const { return pixels[std::size_t{y} * width + x]; }
};

// Every label row picture_rows hands over, each once, top first, as wide
// as the label.
Rows
label_rows(const TestPicture &picture, const Placement &place, const LabelArea &label, Sampling sampling)
{
  Rows rows;
  EXPECT_EQ(picture_rows({picture.pixels, picture.width, picture.height}, place, label, sampling,
                         [&](std::uint32_t y, std::span<const std::uint8_t> row) {
                           EXPECT_EQ(y, rows.size());
                           EXPECT_EQ(row.size(), label.width);
                           rows.emplace_back(row.begin(), row.end());
                           return true;
                         }),
            RowsEnd::Done);
  EXPECT_EQ(rows.size(), label.height);
  return rows;
}

} // namespace

//
// Each print-scaling and orientation puts a PDF page where it says: the
// part rendered lies inside the rendered page and inside the label,
// centred.
//

TEST(Placement, ScalingAndOrientationPlaceThePage)
{
  struct Case
  {
    const char *name;
    ContentSize page;          // points
    Scaling     scaling;
    Turn        turn;
    int         turns;         // quarter turns clockwise
    double      xres;          // rendering resolution
    int         x, y, w, h;    // part of the rendered page drawn
    int         dest_x, dest_y;
  };
  const Case cases[] = {
    {"4x6 as drawn", {288, 432, 72}, Scaling::Auto, Turn::Auto, 0, 203, 0, 0, 812, 1218, 0, 0},
    {"6x4 turned to fit", {432, 288, 72}, Scaling::Auto, Turn::Auto, 1, 203, 0, 0, 812, 1218, 0, 0},
    {"6x4 portrait, shrunk", {432, 288, 72}, Scaling::Auto, Turn::Portrait, 0, 203 * 812.0 / 1218, 0, 0, 812, 541,
     0, 338},
    {"letter fit", {612, 792, 72}, Scaling::Fit, Turn::Auto, 0, 203 * 812.0 / 1725.5, 0, 0, 812, 1051, 0, 84},
    {"letter auto, shrunk to fit", {612, 792, 72}, Scaling::Auto, Turn::Auto, 0, 203 * 812.0 / 1725.5, 0, 0, 812,
     1051, 0, 84},
    {"letter fill", {612, 792, 72}, Scaling::Fill, Turn::Auto, 0, 203 * 1218.0 / 2233, 64, 0, 812, 1218, 0, 0},
    {"letter none", {612, 792, 72}, Scaling::None, Turn::Auto, 0, 203, 457, 508, 812, 1218, 0, 0},
    {"2x1 none", {144, 72, 72}, Scaling::None, Turn::Portrait, 0, 203, 0, 0, 406, 203, 203, 508},
    {"2x1 auto-fit", {144, 72, 72}, Scaling::AutoFit, Turn::Portrait, 0, 203, 0, 0, 406, 203, 203, 508},
    {"2x1 turned, as drawn", {144, 72, 72}, Scaling::Auto, Turn::Auto, 1, 203, 0, 0, 203, 406, 305, 406},
    {"landscape", {288, 432, 72}, Scaling::Fit, Turn::Landscape, 3, 203 * 812.0 / 1218, 0, 0, 812, 541, 0, 338},
    {"reverse landscape", {288, 432, 72}, Scaling::Fit, Turn::ReverseLandscape, 1, 203 * 812.0 / 1218, 0, 0, 812,
     541, 0, 338},
    {"reverse portrait", {288, 432, 72}, Scaling::Auto, Turn::ReversePortrait, 2, 203, 0, 0, 812, 1218, 0, 0},
  };

  for (const Case &c : cases)
  {
    SCOPED_TRACE(c.name);
    Placement place;

    ASSERT_TRUE(place_content(c.page, label_4x6(c.scaling, c.turn), place));
    EXPECT_EQ(place.quarter_turns, c.turns);
    EXPECT_NEAR(place.xscale * 72, c.xres, 0.01);
    EXPECT_DOUBLE_EQ(place.xscale, place.yscale);
    EXPECT_NEAR(place.dest_x - place.left, c.x, 1);
    EXPECT_NEAR(place.dest_y - place.top, c.y, 1);
    EXPECT_NEAR(place.w, c.w, 1);
    EXPECT_NEAR(place.h, c.h, 1);
    EXPECT_NEAR(place.dest_x, c.dest_x, 1);
    EXPECT_NEAR(place.dest_y, c.dest_y, 1);
    EXPECT_LE(place.dest_x + place.w, 812);
    EXPECT_LE(place.dest_y + place.h, 1218);
  }

  // A page that would be less than one dot is not placed.
  Placement place;
  EXPECT_FALSE(place_content({14400, 1, 72}, label_4x6(Scaling::Fit, Turn::Portrait), place));
  EXPECT_FALSE(place_content({0, 432, 72}, label_4x6(), place));
}

//
// Whatever the content's size and shape, fit keeps all of it inside the
// printable area and as large as that allows, fill covers the whole label,
// none keeps its size (200 pixels per inch for a picture that names none),
// auto is none when that fits and else fit, or fill on borderless media;
// the content keeps its shape.
//

TEST(Placement, ScalingKeepsItsPromise)
{
  const ContentSize contents[] = {{72, 72, 72},    {144, 72, 72},  {288, 432, 72},   {612, 792, 72},
                                  {1440, 216, 72}, {36, 720, 72},  {1218, 812, 0},   {300, 200, 100}};

  for (const ContentSize &c : contents)
    for (const Scaling scaling : {Scaling::Fit, Scaling::Fill, Scaling::None, Scaling::Auto})
      for (const bool borderless : {false, true})
      {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " at " << c.per_inch << ", scaling "
                                        << static_cast<int>(scaling) << ", borderless " << borderless);
        LabelArea label  = label_4x6(scaling, Turn::Portrait);
        label.borderless = borderless;
        label.left = label.top = label.right = label.bottom = borderless ? 0 : 20;

        const double own   = 203 / (c.per_inch > 0 ? c.per_inch : kDefaultPerInch);  // dots per unit, as drawn
        const int    aw    = 812 - 2 * static_cast<int>(label.left), ah = 1218 - 2 * static_cast<int>(label.top);
        const bool   fits  = c.per_inch > 0 && c.width * own <= aw && c.height * own <= ah;
        const bool   fill  = scaling == Scaling::Fill || (scaling == Scaling::Auto && !fits && borderless);
        const bool   fit   = scaling == Scaling::Fit || (scaling == Scaling::Auto && !fits && !borderless);
        Placement    place;

        ASSERT_TRUE(place_content(c, label, place));
        EXPECT_NEAR(place.width, c.width * place.xscale, 0.5);
        EXPECT_NEAR(place.height, c.height * place.yscale, 0.5);
        EXPECT_DOUBLE_EQ(place.xscale, place.yscale) << "the shape is kept";
        if (fill)
          EXPECT_TRUE(place.left <= 0 && place.top <= 0 && place.left + place.width >= 812 &&
                      place.top + place.height >= 1218 && (place.width == 812 || place.height == 1218));
        else if (fit)
          EXPECT_TRUE(place.left >= static_cast<int>(label.left) && place.top >= static_cast<int>(label.top) &&
                      place.left + place.width <= 812 - static_cast<int>(label.right) &&
                      place.top + place.height <= 1218 - static_cast<int>(label.bottom) &&
                      (place.width == aw || place.height == ah));
        else
          EXPECT_DOUBLE_EQ(place.xscale, own);
        EXPECT_TRUE(place.dest_x >= 0 && place.dest_y >= 0 && place.dest_x + place.w <= 812 &&
                    place.dest_y + place.h <= 1218) << "the covered part lies on the label";
      }
}

//
// With no orientation asked for, landscape content on a portrait label, or
// portrait content on a landscape one, is turned a quarter right, and
// nothing else is; a 6 x 4 in landscape label, as a page, as a picture at
// the printer's resolution or naming none, then fills a 4 x 6 in label
// exactly.
//

TEST(Placement, TurnsToSuitTheLabel)
{
  LabelArea wide = label_4x6();
  std::swap(wide.width, wide.height);
  const struct
  {
    ContentSize content;
    LabelArea   label;
    int         turns;
  } cases[] = {{{432, 288, 72}, label_4x6(), 1}, {{288, 432, 72}, label_4x6(), 0}, {{72, 72, 72}, label_4x6(), 0},
               {{288, 432, 72}, wide, 1},        {{432, 288, 72}, wide, 0}};
  Placement place;

  for (const auto &c : cases)
  {
    ASSERT_TRUE(place_content(c.content, c.label, place));
    EXPECT_EQ(place.quarter_turns, c.turns) << c.content.width << " x " << c.content.height << " on "
                                            << c.label.width << " x " << c.label.height;
  }
  for (const ContentSize c : {ContentSize{432, 288, 72}, ContentSize{1218, 812, 203}, ContentSize{1218, 812, 0}})
  {
    ASSERT_TRUE(place_content(c, label_4x6(), place));
    EXPECT_EQ(place.quarter_turns, kAutoQuarterTurns);
    EXPECT_EQ((std::array{place.left, place.top, place.width, place.height}), (std::array{0, 0, 812, 1218}));
  }
}

//
// A black mark at a picture's top left lands at the corner of the placed
// picture that orientation-requested puts it (landscape a quarter left,
// reverse-landscape and no orientation a quarter right), whichever way it
// is sampled, and nothing is printed around the picture.
//

TEST(PictureRows, AMarkInTheTopLeftCornerLandsWhereTheTurnPutsIt)
{
  const TestPicture picture(300, 200);  // landscape, a 40-pixel mark
  enum Corner { TopLeft, TopRight, BottomLeft, BottomRight };
  const std::pair<Turn, Corner> cases[] = {{Turn::Auto, TopRight},        {Turn::Portrait, TopLeft},
                                           {Turn::Landscape, BottomLeft}, {Turn::ReverseLandscape, TopRight},
                                           {Turn::ReversePortrait, BottomRight}};

  for (const auto &[turn, corner] : cases)
    for (const Sampling sampling : {Sampling::Nearest, Sampling::Smooth})
    {
      SCOPED_TRACE(testing::Message() << "turn " << static_cast<int>(turn) << ", sampling "
                                      << static_cast<int>(sampling));
      const LabelArea label = label_4x6(Scaling::Fit, turn);
      Placement       place;
      ASSERT_TRUE(place_content({300, 200, 0}, label, place));
      const Rows rows = label_rows(picture, place, label, sampling);
      ASSERT_EQ(rows.size(), label.height);

      // Black dots in a square inside the mark's size at each corner of
      // the placed picture, and around it.
      const int          side = std::min(place.w, place.h) / 6;
      std::array<int, 4> black{};
      int                outside = 0;
      for (int y = 0; y < 1218; y++)
        for (int x = 0; x < 812; x++)
        {
          const int  u = x - place.dest_x, v = y - place.dest_y;
          const bool on = u >= 0 && v >= 0 && u < place.w && v < place.h;
          outside += !on && rows[y][x] != 255;
          if (on && (u < side || u >= place.w - side) && (v < side || v >= place.h - side))
            black[(u >= side) + 2 * (v >= side)] += rows[y][x] < 128;
        }
      for (int c = 0; c < 4; c++)
        EXPECT_EQ(black[c], c == corner ? side * side : 0) << "corner " << c;
      EXPECT_EQ(outside, 0);
    }
}

//
// At the printer's resolution the dots are the picture's very pixels,
// turned each way, whether picked or smoothed.
//

TEST(PictureRows, DotsAreThePicturesPixels)
{
  const TestPicture picture(120, 90, true);
  const Turn        turns[] = {Turn::Portrait, Turn::ReverseLandscape, Turn::ReversePortrait, Turn::Landscape};

  for (int q = 0; q < 4; q++)
    for (const Sampling sampling : {Sampling::Nearest, Sampling::Smooth})
    {
      SCOPED_TRACE(testing::Message() << q << " quarter turns right, sampling " << static_cast<int>(sampling));
      const LabelArea label = label_4x6(Scaling::Auto, turns[q]);
      Placement       place;
      ASSERT_TRUE(place_content({120, 90, 203}, label, place));
      ASSERT_EQ(place.w, q % 2 ? 90 : 120);
      const Rows rows = label_rows(picture, place, label, sampling);

      // Label dot (u, v) of the placed picture, turned back to the left.
      for (int v = 0; v < place.h; v++)
        for (int u = 0; u < place.w; u++)
        {
          const std::array<std::array<int, 2>, 4> at = {{{u, v}, {v, 89 - u}, {119 - u, 89 - v}, {119 - v, u}}};
          ASSERT_EQ(rows[place.dest_y + v][place.dest_x + u], picture.at(at[q][0], at[q][1])) << u << ", " << v;
        }
    }
}
