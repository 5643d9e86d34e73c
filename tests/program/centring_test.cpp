// The centring arithmetic: where a window of a given size lands over a
// centre rectangle inside a work area.
#include <gtest/gtest.h>

#include "app/centring.h"

namespace {

struct CentringCase {
  const char* name;
  RECT window;
  RECT centre;
  RECT area;
  POINT expected;
};

const CentringCase kCases[] = {
    {"centred on the work area",
     {0, 0, 200, 100},
     {0, 0, 1000, 800},
     {0, 0, 1000, 800},
     {400, 350}},
    {"window position does not matter",
     {-50, 70, 150, 170},
     {0, 0, 1000, 800},
     {0, 0, 1000, 800},
     {400, 350}},
    {"odd sizes truncate", {0, 0, 201, 101}, {0, 0, 1001, 801}, {0, 0, 1001, 801}, {400, 350}},
    {"centred on an owner", {0, 0, 100, 50}, {300, 200, 500, 400}, {0, 0, 1000, 800}, {350, 275}},
    {"pulled back from the right edge",
     {0, 0, 200, 100},
     {900, 300, 1000, 400},
     {0, 0, 1000, 800},
     {800, 300}},
    {"pulled back from the bottom edge",
     {0, 0, 200, 100},
     {400, 760, 600, 800},
     {0, 0, 1000, 800},
     {400, 700}},
    {"pulled back from the left and top",
     {0, 0, 200, 100},
     {-300, -300, -100, -100},
     {0, 0, 1000, 800},
     {0, 0}},
    {"larger than the area sits at its top-left",
     {0, 0, 1200, 900},
     {0, 0, 1000, 800},
     {0, 0, 1000, 800},
     {0, 0}},
    {"larger than an offset area",
     {0, 0, 1200, 900},
     {100, 50, 1100, 850},
     {100, 50, 1100, 850},
     {100, 50}},
    {"second monitor left of the primary",
     {0, 0, 600, 400},
     {-1920, 0, 0, 1040},
     {-1920, 0, 0, 1040},
     {-1260, 320}},
    {"second monitor above the primary",
     {0, 0, 600, 400},
     {0, -1080, 1920, -40},
     {0, -1080, 1920, -40},
     {660, -760}},
    {"negative halves truncate toward zero",
     {0, 0, 2, 2},
     {-5, -5, 0, 0},
     {-100, -100, 100, 100},
     {-3, -3}},
    {"negative odd width truncates toward zero",
     {0, 0, 3, 3},
     {-10, -10, -1, -1},
     {-100, -100, 100, 100},
     {-6, -6}},
};

TEST(CentringTest, ComputesPositionsFromTable) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const POINT p = ComputeCentredPosition(c.window, c.centre, c.area);
    EXPECT_EQ(p.x, c.expected.x);
    EXPECT_EQ(p.y, c.expected.y);
  }
}

}  // namespace
