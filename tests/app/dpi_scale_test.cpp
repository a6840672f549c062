#include "app/dpi_scale.h"

#include <gtest/gtest.h>

namespace {

struct ScaleCase {
  int value, numerator, denominator, want;
};

// The system's MulDiv: nearest, halves away from zero, whatever the signs.
const ScaleCase kScaleCases[] = {
    {250, 120, 96, 313},  // 312.5
    {234, 120, 96, 293},  // 292.5
    {250, 168, 96, 438},  // 437.5
    {234, 144, 96, 351},  {7, 1, 3, 2},   {8, 1, 3, 3},    {-5, 1, 2, -3},
    {5, -1, 2, -3},       {5, 1, -2, -3}, {-5, -1, -2, -3}, {-7, 1, 3, -2},
    {0, 144, 96, 0},      {1, 1, 0, 0},
    // A product past 32 bits still comes out right.
    {2000000000, 3, 4, 1500000000},
};

TEST(ScaleRounded, RoundsAsMulDiv) {
  for (const auto& c : kScaleCases) {
    SCOPED_TRACE(&c - kScaleCases);
    EXPECT_EQ(c.want, ScaleRounded(c.value, c.numerator, c.denominator));
  }
}

TEST(FileListColumnWidth, FollowsTheDpiFromTheWidthsAt96) {
  struct {
    int dpi, name, status;
  } const cases[] = {
      {96, 250, 234}, {120, 313, 293}, {144, 375, 351}, {168, 438, 410}, {192, 500, 468},
      // A DPI the system could not report lays out as at 96.
      {0, 250, 234},  {-1, 250, 234},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dpi);
    EXPECT_EQ(c.name, FileListColumnWidth(0, c.dpi));
    EXPECT_EQ(c.status, FileListColumnWidth(1, c.dpi));
  }
  EXPECT_EQ(0, FileListColumnWidth(2, 96));
  EXPECT_EQ(0, FileListColumnWidth(-1, 96));
}

TEST(IconSideForDpi, PrefersTheSystemsSizeForTheDpiThenItsOwnSizeCarriedOver) {
  // The system knows the size for the window's DPI.
  EXPECT_EQ(48, IconSideForDpi(48, 32, 96, 32, 144));
  // Windows 7: no per-DPI metric; a system-aware window at the system's DPI
  // gets the system's size as it is, whatever the system made of it.
  EXPECT_EQ(40, IconSideForDpi(0, 40, 120, 32, 120));
  EXPECT_EQ(24, IconSideForDpi(0, 24, 144, 16, 144));
  // A window at another DPI than the system's.
  EXPECT_EQ(32, IconSideForDpi(0, 48, 144, 32, 96));
  EXPECT_EQ(64, IconSideForDpi(0, 32, 96, 32, 192));
  // Neither answers: the 96-DPI size, scaled.
  EXPECT_EQ(24, IconSideForDpi(0, 0, 0, 16, 144));
  EXPECT_EQ(40, IconSideForDpi(0, 0, 144, 32, 120));
  // No system DPI: its metric counts as one at 96.
  EXPECT_EQ(48, IconSideForDpi(0, 32, 0, 32, 144));
}

}  // namespace
