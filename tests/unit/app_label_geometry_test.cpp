// Status label placement, text centring, dialog font height and version tests (the window titles
// are checked under Wine).
#include <gtest/gtest.h>

#include <vector>

#include "app/label_geometry.h"
#include "app/os_version.h"

namespace {

TEST(LabelGeometry, FullWidthFortyHighJustBelowTheMiddleTextCentred) {
    struct Case {
        int width, height, left, top, labelWidth, labelHeight;
    };
    const std::vector<Case> cases = {
        {1280, 1024, 0, 502, 1280, 40}, {1024, 768, 0, 374, 1024, 40}, {800, 601, 0, 290, 800, 40},
        {640, 20, 0, 0, 640, 40},       {300, 9, 0, -5, 300, 40}, // (9 - 20) / 2 toward zero
    };
    for (const Case& c : cases) {
        LabelRect r = ComputeLabelRect(c.width, c.height);
        EXPECT_EQ(std::vector<int>({r.left, r.top, r.width, r.height}),
                  std::vector<int>({c.left, c.top, c.labelWidth, c.labelHeight}))
            << c.width << "x" << c.height;
    }
    EXPECT_EQ(ComputeLabelTextX(1280, 300), 490);
    EXPECT_EQ(ComputeLabelTextX(1281, 300), 490);
    EXPECT_EQ(ComputeLabelTextX(1280, 0), 640);
    EXPECT_EQ(ComputeLabelTextX(100, 100), 0);
    EXPECT_EQ(ComputeLabelTextX(100, 301), -100); // wider than the owner: truncated toward zero
}

TEST(DialogFont, SixteenPointsAtTheScreenResolution) {
    for (auto [dpi, height] : {std::pair{96, 21}, {120, 26}, {144, 32}, {72, 16}, {100, 22}})
        EXPECT_EQ(DialogFontHeight(dpi), height) << dpi;
}

TEST(OsVersionPredicates, Windows2000AndMajorVersion6) {
    struct Case {
        OsVersionFields version;
        bool windows2000, major6;
    };
    const std::vector<Case> cases = {
        {{2, 5, 0}, true, false},  {{2, 5, 1}, false, false}, {{1, 5, 0}, false, false},
        {{2, 6, 1}, false, true},  {{2, 6, 0}, false, true},  {{2, 10, 0}, false, false},
        {{2, 4, 0}, false, false},
    };
    for (const Case& c : cases) {
        OsVersion = c.version;
        SCOPED_TRACE(testing::Message()
                     << c.version.platformId << " " << c.version.major << "." << c.version.minor);
        EXPECT_EQ(IsWindows2000(), c.windows2000);
        EXPECT_EQ(IsOsMajorVersion6(), c.major6);
    }
    OsVersion = {0, 0, 0};
}

} // namespace
