// Hands-free book capture: the virtual book's pages are turned by a hand
// while automatic continuous capture watches, and each shot it calls for
// (as the scan window takes one) is cropped as a book.
#include <QColor>
#include <QImage>
#include <QString>
#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/lens/lens_test_support.h"
#include "tests/support/book_page_number.h"

namespace tavrin::lens_test {
namespace {

using namespace std::chrono_literals;

Recorder& Progress() {
  static Recorder recorder;
  return recorder;
}
bool RecordProgress(int value) {
  Progress().Add(value);
  return true;
}

// Pixels of the hand's skin tone.
int SkinPixels(const QImage& image) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      count += std::abs(c.red() - 205) < 25 && std::abs(c.green() - 150) < 25 &&
               std::abs(c.blue() - 120) < 25;
    }
  }
  return count;
}

// The share of pixels that differ clearly between two pages brought to one
// size: different text makes many, the same page twice hardly any.
double Difference(const QImage& a, const QImage& b) {
  const QSize size(200, 280);
  const QImage ga = a.convertToFormat(QImage::Format_Grayscale8).scaled(size);
  const QImage gb = b.convertToFormat(QImage::Format_Grayscale8).scaled(size);
  int differ = 0;
  for (int y = 0; y < size.height(); ++y) {
    for (int x = 0; x < size.width(); ++x) {
      differ += std::abs(ga.constScanLine(y)[x] - gb.constScanLine(y)[x]) > 60;
    }
  }
  return static_cast<double>(differ) / (size.width() * size.height());
}

// Whether the page number at the page's foot sits on its left.
bool NumberOnTheLeft(const QImage& page) {
  const QImage grey = page.convertToFormat(QImage::Format_Grayscale8);
  int left = 0;
  int right = 0;
  for (int y = grey.height() * 93 / 100; y < grey.height(); ++y) {
    for (int x = 0; x < grey.width(); ++x) {
      if (grey.constScanLine(y)[x] < 128) (x < grey.width() / 2 ? left : right) += 1;
    }
  }
  return left > right;
}

// The files one capture wrote: the path it was given, or the list it
// rewrote that path into.
std::vector<std::string> CaptureFiles(CameraLibrary& lens, const std::string& path) {
  char buffer[kTavrinLensPathBuffer] = {};
  std::strncpy(buffer, path.c_str(), sizeof buffer - 1);
  if (lens.camCaptureImageFile(0, buffer) != 0) return {};
  std::vector<std::string> files;
  const std::string list(buffer);
  for (size_t start = 0;;) {
    const size_t stop = list.find(';', start);
    files.push_back(list.substr(start, stop - start));
    if (stop == std::string::npos) break;
    start = stop + 1;
  }
  return files;
}

TEST(LensBook, TenTurnsGiveTwentyPagesInOrderWithNoneTwiceAndNoneMissed) {
  // A reader who turns the page two seconds after the last turn, or once
  // the page has been shot if that takes longer: a slow machine slows the
  // run down but cannot make it miss a spread. Ten turns, then the last
  // spread stays.
  UseVirtualCameras("book?sizes=800x600&turn=2&wait=1&pages=11");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  ASSERT_EQ(loaded.lens.camOpenDev(0, 0, 800, 600), 0);
  ASSERT_EQ(loaded.lens.camSetImageAutoCrop(0, 4), 0);
  ScratchFolder scratch;
  Progress().Clear();
  ASSERT_EQ(loaded.lens.camStartAutoCapture(0, 0, 1, &RecordProgress), 0);
  std::vector<int> numbers;
  size_t seen = 0;
  int shots = 0;
  while (numbers.size() < 20) {
    ASSERT_TRUE(Progress().WaitForCount(seen + 1, 60s))
        << "no shot after pages " << ::testing::PrintToString(numbers);
    const auto values = Progress().Values();
    for (; seen < values.size(); ++seen) {
      if (values[seen] != 1) continue;
      const auto files =
          CaptureFiles(loaded.lens, scratch.File("spread" + std::to_string(shots++) + ".png"));
      ASSERT_EQ(files.size(), 2U) << "shot " << shots;
      for (const auto& file : files) {
        const QImage page(QString::fromStdString(file));
        ASSERT_FALSE(page.isNull()) << file;
        EXPECT_EQ(SkinPixels(page), 0) << file;
        numbers.push_back(test::BookPageNumber(page));
      }
    }
  }
  loaded.lens.camStopAutoCapture(0);
  std::vector<int> expected;
  for (int number = 3; number <= 22; ++number) expected.push_back(number);
  EXPECT_EQ(numbers, expected);
}

TEST(LensBook, EachPageTurnGivesTheSpreadOnceAsTwoPagesAndTheHandNothing) {
  // A spread every three seconds; the hand sweeps over the book for the
  // first 1.2 s of each, so the new spread lies still for 1.8 s. Three
  // turns, then the last spread stays.
  UseVirtualCameras("book?sizes=800x600&turn=3&pages=4");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  ASSERT_EQ(loaded.lens.camOpenDev(0, 0, 800, 600), 0);
  const auto opened = std::chrono::steady_clock::now();
  ScratchFolder scratch;
  Progress().Clear();
  ASSERT_EQ(loaded.lens.camStartAutoCapture(0, 0, 1, &RecordProgress), 0);
  // Half way through the first turn the hand is over the book.
  std::this_thread::sleep_until(opened + 3600ms);
  char handPath[kTavrinLensPathBuffer] = {};
  std::strncpy(handPath, scratch.File("hand.png").c_str(), sizeof handPath - 1);
  ASSERT_EQ(loaded.lens.camCaptureImageFile(0, handPath), 0);
  EXPECT_GT(SkinPixels(QImage(QString::fromStdString(handPath))), 10000);
  ASSERT_EQ(loaded.lens.camSetImageAutoCrop(0, 4), 0);
  // Turns at 3, 6 and 9 s; each new spread has lain still a second by
  // about 5.2, 8.2 and 11.2 s. A slow machine takes longer, so the run is
  // watched until there are three spreads, and for at least 14 s, long
  // enough for a spread shot twice to show.
  std::vector<std::vector<std::string>> spreads;
  size_t seen = 0;
  const auto giveUp = opened + 90s;
  while (std::chrono::steady_clock::now() < giveUp &&
         (spreads.size() < 3 || std::chrono::steady_clock::now() < opened + 14s)) {
    if (!Progress().WaitForCount(seen + 1, 100ms)) continue;
    const auto values = Progress().Values();
    for (; seen < values.size(); ++seen) {
      if (values[seen] != 1) continue;
      // The shot the window takes when the count reaches the interval.
      const auto files = CaptureFiles(
          loaded.lens, scratch.File("spread" + std::to_string(spreads.size()) + ".png"));
      ASSERT_FALSE(files.empty());
      spreads.push_back(files);
    }
  }
  loaded.lens.camStopAutoCapture(0);
  ASSERT_EQ(spreads.size(), 3U);
  std::vector<QImage> pages;
  for (const auto& files : spreads) {
    ASSERT_EQ(files.size(), 2U);
    for (size_t side = 0; side < 2; ++side) {
      const QImage page(QString::fromStdString(files[side]));
      ASSERT_FALSE(page.isNull()) << files[side];
      EXPECT_EQ(NumberOnTheLeft(page), side == 0) << files[side];
      EXPECT_EQ(SkinPixels(page), 0) << files[side];
      pages.push_back(page);
    }
  }
  // Six different pages: no spread twice.
  for (size_t a = 0; a < pages.size(); ++a) {
    for (size_t b = a + 1; b < pages.size(); ++b) {
      EXPECT_GT(Difference(pages[a], pages[b]), 0.03) << a << " and " << b;
    }
  }
}

}  // namespace
}  // namespace tavrin::lens_test
