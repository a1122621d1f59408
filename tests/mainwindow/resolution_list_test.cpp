#include "mainwindow/resolution_list.h"

#include <gtest/gtest.h>

#include <vector>

namespace tavrin {
namespace {

std::vector<ResolutionEntry> Sizes(std::initializer_list<std::pair<int, int>> sizes) {
  std::vector<ResolutionEntry> entries;
  int index = 0;
  for (auto [w, h] : sizes) {
    ResolutionEntry entry;
    entry.width = w;
    entry.height = h;
    entry.resolutionIndex = index++;
    entries.push_back(entry);
  }
  return entries;
}

TEST(NamingTable, KeepsSeventeenRowsWithRepeatedLabelsInOrder) {
  const auto table = MakeNamingTable();
  ASSERT_EQ(table.size(), 17u);
  EXPECT_EQ(table[0].label, u"18MP");
  EXPECT_EQ(table[0].width, 4912);
  EXPECT_EQ(table[0].height, 3680);
  EXPECT_EQ(table[3].label, u"10MP");
  EXPECT_EQ(table[4].label, u"10MP");
  EXPECT_EQ(table[3].width, 3856);
  EXPECT_EQ(table[4].width, 3664);
  EXPECT_EQ(table[14].label, u"SVGA");
  EXPECT_EQ(table[14].width, 1024);
  EXPECT_EQ(table[15].label, u"SVGA");
  EXPECT_EQ(table[15].width, 800);
  EXPECT_EQ(table[16].label, u"VGA");
  for (const auto& row : table) {
    EXPECT_EQ(row.resolutionIndex, 0);
    EXPECT_EQ(row.mediaTypeIndex, 0);
    EXPECT_EQ(row.dpi, 0);
  }
  EXPECT_EQ(MakeDpiChoices(), (std::vector<int>{600, 300, 260, 250, 200, 100}));
}

TEST(FilterAndLabel, NamesKnownSizesDropsSmallUnknownOnesKeepsHugeOnes) {
  auto entries = Sizes({{5000, 4000}, {3264, 2448}, {4912, 3000}, {1920, 1080}, {1024, 600}});
  FilterAndLabel(entries, MakeNamingTable());
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(ResolutionItemText(entries[0]), u"5000x4000()");
  EXPECT_EQ(ResolutionItemText(entries[1]), u"3264x2448(8MP)");
  EXPECT_EQ(ResolutionItemText(entries[2]), u"1920x1080(HD-1080)");
  // The camera's own positions survive the filter.
  EXPECT_EQ(entries[1].resolutionIndex, 1);
  EXPECT_EQ(entries[2].resolutionIndex, 3);
}

TEST(FilterAndLabel, RepeatedSizeTakesTheFirstMatchingRow) {
  auto entries = Sizes({{1024, 768}, {1024, 768}});
  FilterAndLabel(entries, MakeNamingTable());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].label, u"SVGA");
  EXPECT_EQ(entries[1].label, u"SVGA");
}

TEST(DpiOfSize, ScalesTheOwnDpiAndRefusesAnUnknownWidth) {
  const CameraInfo camera{.width = 2000, .height = 1500, .dpiX = 300, .dpiY = 300};
  EXPECT_EQ(DpiOfSize(camera, 4000), 600);
  EXPECT_EQ(DpiOfSize(camera, 1999), 299);  // truncated, not rounded
  EXPECT_EQ(DpiOfSize(CameraInfo{}, 4000), 0);
}

TEST(BuildDpiList, WalksTheSizesWithACursorOnTheItems) {
  // Own DPI 100 at 1000 px: sizes give 400, 300, 250 and 120 DPI.
  const CameraInfo camera{.width = 1000, .height = 750, .dpiX = 100, .dpiY = 100};
  const auto sizes = Sizes({{4000, 3000}, {3000, 2250}, {2500, 1875}, {1200, 900}});
  const auto items = BuildDpiList(sizes, {600, 300, 260, 250, 200, 100}, camera);
  ASSERT_EQ(items.size(), 6u);
  std::vector<int> dpis;
  for (const auto& item : items) dpis.push_back(item.dpi);
  EXPECT_EQ(dpis, (std::vector<int>{600, 300, 260, 250, 200, 100}));
  // 400 < 600 moves the cursor to 300 without offering itself to it.
  EXPECT_EQ(items[0].width, 4000);  // passed over: keeps the first size
  // 300 >= 300 is taken by item 300; 250 < 300 moves on to 260.
  EXPECT_EQ(items[1].width, 3000);
  EXPECT_EQ(items[1].resolutionIndex, 1);
  // 120 < 260 moves on to 250, and the walk ends: the items from the cursor
  // on take the camera's last size.
  EXPECT_EQ(items[2].width, 4000);
  EXPECT_EQ(items[3].width, 1200);
  EXPECT_EQ(items[4].width, 1200);
  EXPECT_EQ(items[5].width, 1200);
  EXPECT_EQ(items[5].resolutionIndex, 3);
  EXPECT_EQ(DpiItemText(items[1]), u"300");
}

TEST(BuildDpiList, LaterSizeReplacesEarlierOneForTheSameItem) {
  const CameraInfo camera{.width = 1000, .height = 750, .dpiX = 100, .dpiY = 100};
  const auto sizes = Sizes({{7000, 5250}, {6500, 4875}, {1000, 750}});
  const auto items = BuildDpiList(sizes, {600, 100}, camera);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].width, 6500);
  EXPECT_EQ(items[1].width, 1000);  // 100 < 600 moved the cursor; then left over
}

TEST(BuildDpiList, NoSizesGiveNoItems) {
  EXPECT_TRUE(BuildDpiList({}, MakeDpiChoices(), CameraInfo{}).empty());
}

}  // namespace
}  // namespace tavrin
