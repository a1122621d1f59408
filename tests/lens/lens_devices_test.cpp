// Device list, names, formats and sizes, open/close, the library's life, and
// calls with indexes that are not open or not listed.
#include <cstring>
#include <set>
#include <thread>

#include "tests/lens/lens_test_support.h"

namespace tavrin::lens_test {
namespace {

struct Size {
  int width;
  int height;
};

std::vector<Size> Sizes(CameraLibrary& lens, int dev, int mediaType) {
  int count = 0;
  lens.camGetResolutionCount(dev, mediaType, &count);
  std::vector<Size> sizes;
  for (int i = 0; i < count; ++i) {
    Size size{0, 0};
    EXPECT_EQ(lens.camGetResolution(dev, mediaType, i, &size.width, &size.height), 0);
    sizes.push_back(size);
  }
  return sizes;
}

bool Has(const std::vector<Size>& sizes, int width, int height) {
  for (const auto& size : sizes) {
    if (size.width == width && size.height == height) return true;
  }
  return false;
}

TEST(LensDevices, ListsTheVirtualCamerasInOrderWithDistinctNames) {
  UseVirtualCameras("document, webcam,book;pages,document?fail=1,unknown,document");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  int count = -1;
  EXPECT_EQ(loaded.lens.camGetDevCount(&count), 0);
  ASSERT_EQ(count, 6);  // the unknown scene is left out
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    const char* name = loaded.lens.camGetDevName(i);
    ASSERT_NE(name, nullptr);
    names.emplace_back(name);
  }
  EXPECT_EQ(names[0], "Virtual Document Camera");
  EXPECT_EQ(names[1], "Virtual Webcam");
  EXPECT_EQ(names[2], "Virtual Book Camera");
  EXPECT_EQ(names[3], "Virtual Pages Camera");
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
  // A name stays readable after other calls with other cameras.
  const char* first = loaded.lens.camGetDevName(0);
  loaded.lens.camGetDevName(1);
  loaded.lens.camOpenDev(1, 0, 320, 240);
  EXPECT_STREQ(first, "Virtual Document Camera");
}

TEST(LensDevices, DocumentCameraOffersBothMediaTypesAndTheNamedSizes) {
  UseVirtualCameras("document,webcam");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  auto& lens = loaded.lens;
  int types = 0;
  lens.camGetMediaTypeCount(0, &types);
  ASSERT_EQ(types, 2);
  EXPECT_STREQ(lens.camGetMediaTypeName(0, 0), "MJPG");
  EXPECT_STREQ(lens.camGetMediaTypeName(0, 1), "YUY2");
  EXPECT_EQ(lens.camGetMediaTypeName(0, 2), nullptr);
  const auto mjpg = Sizes(lens, 0, 0);
  EXPECT_TRUE(Has(mjpg, 4912, 3680));
  EXPECT_TRUE(Has(mjpg, 3264, 2448));
  EXPECT_TRUE(Has(mjpg, 1920, 1080));
  EXPECT_TRUE(Has(mjpg, 1024, 600));
  EXPECT_TRUE(Has(mjpg, 640, 480));
  EXPECT_FALSE(Sizes(lens, 0, 1).empty());

  const auto webcam = Sizes(lens, 1, 0);
  ASSERT_EQ(webcam.size(), 3U);
  EXPECT_TRUE(Has(webcam, 1280, 720) && Has(webcam, 640, 480) && Has(webcam, 320, 240));
}

TEST(LensDevices, OwnDpiFollowsTheFieldWidthOrTheDpiOption) {
  UseVirtualCameras(
      "document?sizes=3264x2448+1632x1224,webcam,document?dpi=300&sizes=2000x1500+1000x750");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  auto& lens = loaded.lens;
  int dpiX = 0;
  int dpiY = 0;
  ASSERT_EQ(lens.camOpenDev(0, 0, 3264, 2448), 0);
  lens.camGetImageDPI(0, &dpiX, &dpiY);
  EXPECT_EQ(dpiX, 197);  // 3264 pixels over 420 mm
  EXPECT_EQ(dpiY, 197);
  ASSERT_EQ(lens.camSetResolution(0, 1632, 1224), 0);
  lens.camGetImageDPI(0, &dpiX, &dpiY);
  EXPECT_EQ(dpiX, 99);

  ASSERT_EQ(lens.camOpenDev(1, 0, 640, 480), 0);
  lens.camGetImageDPI(1, &dpiX, &dpiY);
  EXPECT_EQ(dpiX, 96);

  ASSERT_EQ(lens.camOpenDev(2, 0, 1000, 750), 0);
  lens.camGetImageDPI(2, &dpiX, &dpiY);
  EXPECT_EQ(dpiX, 150);  // 300 at the first size, half as wide
  // Setting a DPI for the file does not change what the camera reports.
  lens.camSetImageDPI(2, 600, 600);
  lens.camGetImageDPI(2, &dpiX, &dpiY);
  EXPECT_EQ(dpiX, 150);
}

TEST(LensDevices, SizesOptionReplacesTheList) {
  UseVirtualCameras("document?sizes=3264x2448+1920x1080+1024x600&fail=2");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  for (int mediaType = 0; mediaType < 2; ++mediaType) {
    const auto sizes = Sizes(loaded.lens, 0, mediaType);
    ASSERT_EQ(sizes.size(), 3U);
    EXPECT_EQ(sizes[0].width, 3264);
    EXPECT_EQ(sizes[1].height, 1080);
    EXPECT_EQ(sizes[2].width, 1024);
  }
}

TEST(LensDevices, OpenCloseAndReopenAtEachSize) {
  UseVirtualCameras("document?sizes=1280x720+640x480+320x240,webcam");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  auto& lens = loaded.lens;
  int mediaType = 0;
  int width = 0;
  int height = 0;
  EXPECT_EQ(lens.camGetCurResolution(0, &mediaType, &width, &height), 0);
  EXPECT_EQ(mediaType, -1);
  for (int type = 0; type < 2; ++type) {
    for (const auto& size : Sizes(lens, 0, type)) {
      ASSERT_EQ(lens.camOpenDev(0, type, size.width, size.height), 0);
      lens.camGetCurResolution(0, &mediaType, &width, &height);
      EXPECT_EQ(mediaType, type);
      EXPECT_EQ(width, size.width);
      EXPECT_EQ(height, size.height);
      EXPECT_EQ(lens.camCloseDev(0), 0);
      lens.camGetCurResolution(0, &mediaType, &width, &height);
      EXPECT_EQ(mediaType, -1);
      EXPECT_EQ(width, 0);
    }
  }
  // Reopening an open camera at another size switches it.
  ASSERT_EQ(lens.camOpenDev(0, 0, 640, 480), 0);
  ASSERT_EQ(lens.camOpenDev(0, 1, 320, 240), 0);
  lens.camGetCurResolution(0, &mediaType, &width, &height);
  EXPECT_EQ(mediaType, 1);
  EXPECT_EQ(width, 320);
}

TEST(LensDevices, RefusesSizesAndMediaTypesTheCameraLacks) {
  UseVirtualCameras("webcam");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  auto& lens = loaded.lens;
  EXPECT_NE(lens.camOpenDev(0, 0, 3264, 2448), 0);
  EXPECT_NE(lens.camOpenDev(0, 0, 0, 0), 0);
  EXPECT_NE(lens.camOpenDev(0, 7, 640, 480), 0);
  int mediaType = 0;
  int width = 0;
  int height = 0;
  lens.camGetCurResolution(0, &mediaType, &width, &height);
  EXPECT_EQ(mediaType, -1);  // a refused open leaves the camera closed

  ASSERT_EQ(lens.camOpenDev(0, 0, 640, 480), 0);
  EXPECT_NE(lens.camSetResolution(0, 1024, 768), 0);
  lens.camGetCurResolution(0, &mediaType, &width, &height);
  EXPECT_EQ(width, 640);  // still running at the old size
  EXPECT_NE(lens.camSetMediaType(0, 5), 0);
  EXPECT_EQ(lens.camSetMediaType(0, 1), 0);
  lens.camGetCurResolution(0, &mediaType, &width, &height);
  EXPECT_EQ(mediaType, 1);
  EXPECT_EQ(width, 640);
}

TEST(LensDevices, MediaTypeWithoutTheCurrentSizeFallsBackToItsFirstSize) {
  UseVirtualCameras("document");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  auto& lens = loaded.lens;
  ASSERT_EQ(lens.camOpenDev(0, 0, 4912, 3680), 0);
  ASSERT_EQ(lens.camSetMediaType(0, 1), 0);
  const auto yuy2 = Sizes(lens, 0, 1);
  ASSERT_FALSE(Has(yuy2, 4912, 3680));
  int mediaType = 0;
  int width = 0;
  int height = 0;
  lens.camGetCurResolution(0, &mediaType, &width, &height);
  EXPECT_EQ(width, yuy2.front().width);
  EXPECT_EQ(height, yuy2.front().height);
}

TEST(LensDevices, BadCameraIndexesFailEverywhereWithoutCrashing) {
  UseVirtualCameras("document?sizes=640x480");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  auto& lens = loaded.lens;
  char path[1024] = "/nonexistent/x.jpg";
  int a = 7;
  int b = 7;
  int c = 7;
  for (const int dev : {-1, 1, 99, -1000}) {
    SCOPED_TRACE(dev);
    EXPECT_EQ(lens.camGetDevName(dev), nullptr);
    EXPECT_NE(lens.camOpenDev(dev, 0, 640, 480), 0);
    EXPECT_NE(lens.camCloseDev(dev), 0);
    EXPECT_NE(lens.camGetMediaTypeCount(dev, &a), 0);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(lens.camGetMediaTypeName(dev, 0), nullptr);
    EXPECT_NE(lens.camGetResolutionCount(dev, 0, &a), 0);
    EXPECT_NE(lens.camGetResolution(dev, 0, 0, &a, &b), 0);
    EXPECT_NE(lens.camSetMediaType(dev, 0), 0);
    EXPECT_NE(lens.camSetResolution(dev, 640, 480), 0);
    EXPECT_NE(lens.camGetCurResolution(dev, &a, &b, &c), 0);
    EXPECT_EQ(a, -1);
    EXPECT_NE(lens.camSetPreviewWindow(dev, nullptr), 0);
    EXPECT_NE(lens.camZooIn(dev), 0);
    EXPECT_NE(lens.camZoomOut(dev), 0);
    EXPECT_NE(lens.camOptimalPreview(dev), 0);
    EXPECT_NE(lens.camOriginalPreview(dev), 0);
    EXPECT_NE(lens.camShowImageSettingWindow(dev), 0);
    EXPECT_NE(lens.camShowDevSettingWindow(dev), 0);
    EXPECT_NE(lens.camSetImageAutoCrop(dev, 1), 0);
    EXPECT_NE(lens.camSetImageRotateMode(dev, 1), 0);
    EXPECT_NE(lens.camSetImageCusCropRect(dev, 0, 0, 100, 100), 0);
    EXPECT_NE(lens.camSetImageAdjust(dev, 3), 0);
    EXPECT_NE(lens.camSetImageDPI(dev, 300, 300), 0);
    EXPECT_NE(lens.camGetImageDPI(dev, &a, &b), 0);
    EXPECT_NE(lens.camSetImageWaterMark(dev, "x", 0, 10, "Arial", 0, 0, 0, 0, 0, 0, 0, 0, 1), 0);
    EXPECT_NE(lens.camCaptureImageFile(dev, path), 0);
    EXPECT_NE(lens.camStartAutoCapture(dev, 1, 5, [](int) { return true; }), 0);
    EXPECT_NE(lens.camStopAutoCapture(dev), 0);
  }
  // Listed but not open: the calls that need a running camera fail too.
  EXPECT_NE(lens.camCaptureImageFile(0, path), 0);
  EXPECT_NE(lens.camSetResolution(0, 640, 480), 0);
  EXPECT_NE(lens.camSetMediaType(0, 0), 0);
  EXPECT_NE(lens.camStartAutoCapture(0, 1, 5, [](int) { return true; }), 0);
  // Null outputs and out-of-range settings are refused.
  EXPECT_NE(lens.camGetDevCount(nullptr), 0);
  EXPECT_NE(lens.camGetImageDPI(0, nullptr, &b), 0);
  EXPECT_NE(lens.camSetImageRotateMode(0, 4), 0);
  EXPECT_NE(lens.camSetImageAutoCrop(0, -1), 0);
  EXPECT_NE(lens.camSetImageAdjust(0, 2), 0);
  EXPECT_NE(lens.camSetImageCusCropRect(0, 50, 0, 40, 100), 0);
  EXPECT_EQ(lens.camSetImageCusCropRect(0, 0, 0, 0, 0), 0);
}

TEST(LensDevices, CallsBeforeInitialisingOrAfterUninitialisingFail) {
  UseVirtualCameras("document");
  CameraLibrary lens;
  ASSERT_TRUE(lens.LoadFromFolder(ProgramFolder())) << lens.LastError();
  int count = 5;
  EXPECT_NE(lens.camGetDevCount(&count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_NE(lens.camOpenDev(0, 0, 640, 480), 0);
  ASSERT_EQ(lens.camInitCameraLib(), 0);
  EXPECT_EQ(lens.camInitCameraLib(), 0);  // a second initialisation is harmless
  ASSERT_EQ(lens.camOpenDev(0, 0, 640, 480), 0);
  EXPECT_EQ(lens.camUnInitCameraLib(), 0);
  EXPECT_NE(lens.camOpenDev(0, 0, 640, 480), 0);
  EXPECT_EQ(lens.camUnInitCameraLib(), 0);
  EXPECT_EQ(lens.camStopCameraLib(), 1);  // not initialised
  EXPECT_TRUE(lens.UnloadModule());
}

TEST(LensDevices, CreateDirectoryMakesTheWholePathAndAcceptsAnExistingOne) {
  ScratchFolder scratch;
  CameraLibrary lens;
  ASSERT_TRUE(lens.LoadFromFolder(ProgramFolder()));
  const std::string deep = scratch.File("a/b/c/Tavrin");
  EXPECT_EQ(lens.camCreateDirectory(deep.c_str()), 0);
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_EQ(lens.camCreateDirectory(deep.c_str()), 0);
  WriteText(scratch.File("plain"), "x");
  EXPECT_NE(lens.camCreateDirectory(scratch.File("plain").c_str()), 0);
  EXPECT_NE(lens.camCreateDirectory(""), 0);
  EXPECT_NE(lens.camCreateDirectory(nullptr), 0);
}

TEST(LensDevices, StopClosesEveryCameraAndUpdateKeepsTheList) {
  UseVirtualCameras("document?sizes=640x480,webcam");
  LoadedLens loaded;
  ASSERT_TRUE(loaded.Ready());
  auto& lens = loaded.lens;
  ASSERT_EQ(lens.camOpenDev(0, 0, 640, 480), 0);
  ASSERT_EQ(lens.camOpenDev(1, 0, 320, 240), 0);
  EXPECT_EQ(lens.camStopCameraLib(), 0);
  int mediaType = 0;
  int width = 0;
  int height = 0;
  lens.camGetCurResolution(0, &mediaType, &width, &height);
  EXPECT_EQ(mediaType, -1);
  lens.camGetCurResolution(1, &mediaType, &width, &height);
  EXPECT_EQ(mediaType, -1);
  EXPECT_EQ(lens.camUpdateCameraLib(), 0);
  int count = 0;
  lens.camGetDevCount(&count);
  EXPECT_EQ(count, 2);
}

}  // namespace
}  // namespace tavrin::lens_test
