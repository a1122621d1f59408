// Capture to files without a QApplication: formats by extension, the DPI in
// the file, rotation, injected faults, the path buffer and write failures.
#include <unistd.h>
#include <QImage>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/lens/lens_test_support.h"

namespace tavrin::lens_test {
namespace {

class LensCapture : public ::testing::Test {
 protected:
  void Open(const std::string& cameras, int width, int height) {
    UseVirtualCameras(cameras);
    loaded = std::make_unique<LoadedLens>();
    ASSERT_TRUE(loaded->Ready());
    ASSERT_EQ(loaded->lens.camOpenDev(0, 0, width, height), 0);
  }
  int Capture(const std::string& path) {
    char buffer[1024] = {};
    std::strncpy(buffer, path.c_str(), sizeof buffer - 1);
    return loaded->lens.camCaptureImageFile(0, buffer);
  }
  // No temporary file may be left beside the captured ones.
  std::vector<std::string> FolderEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(scratch.Path())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  ScratchFolder scratch;
  std::unique_ptr<LoadedLens> loaded;
};

TEST_F(LensCapture, WritesEachFormatAtFullSizeWithTheCameraDpi) {
  Open("document", 3264, 2448);
  struct Case {
    const char* name;
    const char* format;
  };
  for (const Case& c :
       {Case{"1_100.jpg", "jpeg"}, Case{"1_101.png", "png"}, Case{"1_102.bmp", "bmp"},
        Case{"1_103", "jpeg"}, Case{"1_104.JPG", "jpeg"}}) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Capture(scratch.File(c.name)), 0);
    const FileFacts facts = ReadFileFacts(scratch.File(c.name));
    EXPECT_EQ(facts.format, c.format);
    EXPECT_EQ(facts.width, 3264);
    EXPECT_EQ(facts.height, 2448);
    EXPECT_EQ(facts.dpiX, 197);
    EXPECT_EQ(facts.dpiY, 197);
  }
  EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"1_100.jpg", "1_101.png", "1_102.bmp",
                                                       "1_103", "1_104.JPG"}));
  // The pictures decode, and show a light page on a darker desk.
  QImage png(QString::fromStdString(scratch.File("1_101.png")));
  ASSERT_FALSE(png.isNull());
  const int page = qGray(png.pixel(png.width() / 2, png.height() / 4));
  const int desk = qGray(png.pixel(png.width() / 40, png.height() / 40));
  EXPECT_GT(page, 200);
  EXPECT_LT(desk, 110);
  QImage bmp(QString::fromStdString(scratch.File("1_102.bmp")));
  ASSERT_FALSE(bmp.isNull());
  EXPECT_EQ(bmp.pixel(bmp.width() / 2, bmp.height() / 4),
            png.pixel(png.width() / 2, png.height() / 4))
      << "BMP and PNG are lossless and come from frames of the same scene";
}

TEST_F(LensCapture, SetDpiResamplesAndIsWrittenIntoTheFile) {
  Open("document?sizes=1280x960", 1280, 960);
  const int ownDpi = 77;  // 1280 pixels over 420 mm
  int dpiX = 0;
  int dpiY = 0;
  loaded->lens.camGetImageDPI(0, &dpiX, &dpiY);
  ASSERT_EQ(dpiX, ownDpi);
  ASSERT_EQ(loaded->lens.camSetImageDPI(0, 154, 154), 0);
  ASSERT_EQ(Capture(scratch.File("a.png")), 0);
  FileFacts facts = ReadFileFacts(scratch.File("a.png"));
  EXPECT_EQ(facts.dpiX, 154);
  EXPECT_NEAR(facts.width, 2560, 40);
  ASSERT_EQ(loaded->lens.camSetImageDPI(0, 0, 0), 0);
  ASSERT_EQ(Capture(scratch.File("b.bmp")), 0);
  facts = ReadFileFacts(scratch.File("b.bmp"));
  EXPECT_EQ(facts.dpiX, ownDpi);
  EXPECT_EQ(facts.width, 1280);
}

TEST_F(LensCapture, RotationTurnsThePictureAndKeepsTheDpiPerAxis) {
  Open("document?sizes=640x480&dpi=100", 640, 480);
  ASSERT_EQ(loaded->lens.camSetImageDPI(0, 200, 100), 0);
  ASSERT_EQ(loaded->lens.camSetImageRotateMode(0, 3), 0);
  ASSERT_EQ(Capture(scratch.File("r.png")), 0);
  const FileFacts facts = ReadFileFacts(scratch.File("r.png"));
  EXPECT_EQ(facts.width, 480);
  EXPECT_EQ(facts.height, 1280);
  EXPECT_EQ(facts.dpiX, 100);
  EXPECT_EQ(facts.dpiY, 200);
}

TEST_F(LensCapture, GreyModeWritesGreyPixels) {
  Open("webcam", 320, 240);
  ASSERT_EQ(loaded->lens.camSetImageAdjust(0, 3), 0);
  ASSERT_EQ(Capture(scratch.File("g.png")), 0);
  QImage image(QString::fromStdString(scratch.File("g.png")));
  ASSERT_FALSE(image.isNull());
  EXPECT_TRUE(image.isGrayscale());
}

TEST_F(LensCapture, FirstCapturesFailAsTheFailOptionSays) {
  Open("document?fail=3&sizes=640x480", 640, 480);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(Capture(scratch.File("f" + std::to_string(i) + ".jpg")), 0) << i;
  }
  EXPECT_TRUE(FolderEntries().empty());
  EXPECT_EQ(Capture(scratch.File("ok.jpg")), 0);
  EXPECT_EQ(ReadFileFacts(scratch.File("ok.jpg")).width, 640);
}

TEST_F(LensCapture, AFailedWriteLeavesNoFileAndKeepsAnOlderOne) {
  Open("webcam", 320, 240);
  EXPECT_EQ(Capture(scratch.File("missing/x.jpg")), 9);
  EXPECT_FALSE(std::filesystem::exists(scratch.File("missing")));
  WriteText(scratch.File("old.tif"), "old");
  EXPECT_EQ(Capture(scratch.File("old.tif")), 4);  // no encoder for that name
  EXPECT_EQ(ReadBytes(scratch.File("old.tif")), "old");
  if (::geteuid() != 0) {
    std::filesystem::create_directory(scratch.File("locked"));
    WriteText(scratch.File("locked/keep.jpg"), "older picture");
    std::filesystem::permissions(scratch.File("locked"), std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_exec);
    EXPECT_NE(Capture(scratch.File("locked/keep.jpg")), 0);
    std::filesystem::permissions(scratch.File("locked"), std::filesystem::perms::owner_all);
    EXPECT_EQ(ReadBytes(scratch.File("locked/keep.jpg")), "older picture");
  }
}

TEST_F(LensCapture, PathBufferIsNeverReadOrWrittenPastItsEnd) {
  Open("pages?sizes=1600x1200", 1600, 1200);
  // An unterminated buffer is refused, not read past its end.
  char full[1024];
  std::memset(full, 'a', sizeof full);
  EXPECT_EQ(loaded->lens.camCaptureImageFile(0, full), 4);
  EXPECT_EQ(loaded->lens.camCaptureImageFile(0, nullptr), 4);

  // Several cards rewrite the buffer to a list of files, each of them there.
  ASSERT_EQ(loaded->lens.camSetImageAutoCrop(0, 2), 0);
  char path[1024] = {};
  std::strcpy(path, scratch.File("1_5.jpg").c_str());
  ASSERT_EQ(loaded->lens.camCaptureImageFile(0, path), 0);
  std::vector<std::string> pieces;
  std::string list(path);
  for (size_t cut; (cut = list.find(';')) != std::string::npos; list.erase(0, cut + 1)) {
    pieces.push_back(list.substr(0, cut));
  }
  pieces.push_back(list);
  EXPECT_EQ(pieces.size(), 3U);
  for (const auto& piece : pieces) {
    EXPECT_EQ(ReadFileFacts(piece).format, "jpeg") << piece;
  }

  // A list that would not fit is refused, and nothing is left behind.
  const std::string longFolder = scratch.File(std::string(250, 'd'));
  std::filesystem::create_directories(longFolder + "/" + std::string(250, 'e') + "/" +
                                      std::string(250, 'f'));
  const std::string longPath =
      longFolder + "/" + std::string(250, 'e') + "/" + std::string(250, 'f') + "/1_6.jpg";
  ASSERT_LT(longPath.size(), 1023U);
  char tight[1024 + 16];
  std::memset(tight, '#', sizeof tight);
  std::memcpy(tight, longPath.c_str(), longPath.size() + 1);
  EXPECT_EQ(loaded->lens.camCaptureImageFile(0, tight), 12);
  EXPECT_EQ(std::string(tight), longPath);
  for (size_t i = 1024; i < sizeof tight; ++i) EXPECT_EQ(tight[i], '#');
  EXPECT_TRUE(std::filesystem::is_empty(std::filesystem::path(longPath).parent_path()));
}

TEST_F(LensCapture, CaptureAfterASizeChangeUsesTheNewSize) {
  Open("document?sizes=1280x720+640x480", 1280, 720);
  ASSERT_EQ(Capture(scratch.File("big.bmp")), 0);
  ASSERT_EQ(loaded->lens.camSetResolution(0, 640, 480), 0);
  ASSERT_EQ(Capture(scratch.File("small.bmp")), 0);
  EXPECT_EQ(ReadFileFacts(scratch.File("big.bmp")).width, 1280);
  EXPECT_EQ(ReadFileFacts(scratch.File("small.bmp")).width, 640);
}

TEST_F(LensCapture, SettingsSurviveARescanOfTheSameCamera) {
  Open("webcam", 320, 240);
  ASSERT_EQ(loaded->lens.camSetImageRotateMode(0, 1), 0);
  ASSERT_EQ(loaded->lens.camUpdateCameraLib(), 0);
  ASSERT_EQ(loaded->lens.camOpenDev(0, 0, 320, 240), 0);
  ASSERT_EQ(Capture(scratch.File("turned.bmp")), 0);
  EXPECT_EQ(ReadFileFacts(scratch.File("turned.bmp")).width, 240);
}

TEST_F(LensCapture, CombineWritesTheOutput) {
  Open("document?sizes=640x480,webcam", 640, 480);
  ASSERT_EQ(loaded->lens.camOpenDev(1, 0, 320, 240), 0);
  ASSERT_EQ(Capture(scratch.File("1.png")), 0);
  char second[1024] = {};
  std::strcpy(second, scratch.File("2.png").c_str());
  ASSERT_EQ(loaded->lens.camCaptureImageFile(1, second), 0);
  EXPECT_EQ(loaded->lens.camCombineImage(scratch.File("1.png").c_str(), second,
                                         scratch.File("m.png").c_str(), 0, 10, 10, 160, 120),
            0);
  const FileFacts facts = ReadFileFacts(scratch.File("m.png"));
  EXPECT_EQ(facts.width, 640);
  EXPECT_EQ(facts.height, 480);
  EXPECT_NE(
      loaded->lens.camCombineImage(nullptr, second, scratch.File("n.png").c_str(), 0, 0, 0, 1, 1),
      0);
}

}  // namespace
}  // namespace tavrin::lens_test

namespace tavrin::lens_test {
namespace {

// Pixels of a 24-bit bottom-up BMP as the library writes it that are
// plainly red; -1 when the file is not such a BMP.
int RedPixelsInBmp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto u32 = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
  };
  if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M' ||
      static_cast<unsigned char>(bytes[28]) != 24) {
    return -1;
  }
  const uint32_t offset = u32(10);
  const auto width = static_cast<int32_t>(u32(18));
  const auto height = static_cast<int32_t>(u32(22));
  const size_t stride = (static_cast<size_t>(width) * 3 + 3) / 4 * 4;
  if (width <= 0 || height == 0 || offset + stride * std::abs(height) > bytes.size()) return -1;
  int red = 0;
  for (int y = 0; y < std::abs(height); ++y) {
    for (int x = 0; x < width; ++x) {
      const size_t at = offset + y * stride + static_cast<size_t>(x) * 3;
      const auto b = static_cast<unsigned char>(bytes[at]);
      const auto g = static_cast<unsigned char>(bytes[at + 1]);
      const auto r = static_cast<unsigned char>(bytes[at + 2]);
      if (r > 200 && g < 60 && b < 60) ++red;
    }
  }
  return red;
}

TEST_F(LensCapture, WatermarkedCaptureSucceedsWithoutAnApplicationObject) {
  Open("document?sizes=640x480", 640, 480);
  ASSERT_EQ(Capture(scratch.File("plain.bmp")), 0);
  ASSERT_EQ(loaded->lens.camSetImageWaterMark(0, "TAVRIN 2026", 4, 40, "Arial", 0, 0, 1, 0.0F, 0.0F,
                                              255, 0, 0, 1),
            0);
  ASSERT_EQ(Capture(scratch.File("marked.bmp")), 0);
  // Without a GUI application the text is drawn through FreeType: the
  // picture comes out whole and carries the red mark.
  const FileFacts facts = ReadFileFacts(scratch.File("marked.bmp"));
  EXPECT_EQ(facts.width, 640);
  EXPECT_EQ(facts.height, 480);
  EXPECT_EQ(RedPixelsInBmp(scratch.File("plain.bmp")), 0);
  EXPECT_GT(RedPixelsInBmp(scratch.File("marked.bmp")), 300);
}

}  // namespace
}  // namespace tavrin::lens_test
