// The backend's pure parts: decoding the files the window delivers, the
// option rules a frontend meets, and where tavrin.conf is looked for.
#include <gtest/gtest.h>
#include <png.h>
#include <sane/saneopts.h>
#include <turbojpeg.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "datasource/sane/backend_config.h"
#include "datasource/sane/backend_options.h"
#include "datasource/sane/camera_list.h"
#include "datasource/sane/page_image.h"
#include "platform/paths.h"

namespace tavrin::sane {
namespace {

// A picture whose every pixel differs from its neighbours in a known way.
std::vector<uint8_t> Gradient(int width, int height, int channels) {
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * channels);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < channels; ++c)
        pixels[(static_cast<size_t>(y) * width + x) * channels + c] =
            static_cast<uint8_t>((x * 255 / (width - 1) + c * 80 + y) % 256);
  return pixels;
}

std::string Jpeg(const std::vector<uint8_t>& pixels, int width, int height, bool grey) {
  tjhandle handle = tjInitCompress();
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(handle, pixels.data(), width, 0, height, grey ? TJPF_GRAY : TJPF_RGB,
                        &buffer, &size, grey ? TJSAMP_GRAY : TJSAMP_444, 100, 0),
            0);
  std::string bytes(reinterpret_cast<char*>(buffer), size);
  tjFree(buffer);
  tjDestroy(handle);
  return bytes;
}

std::string Png(const std::vector<uint8_t>& pixels, int width, int height, bool grey) {
  png_image image;
  std::memset(&image, 0, sizeof(image));
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = grey ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  EXPECT_TRUE(png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr));
  std::string bytes(size, '\0');
  EXPECT_TRUE(png_image_write_to_memory(&image, bytes.data(), &size, 0, pixels.data(), 0, nullptr));
  bytes.resize(size);
  return bytes;
}

void Put32(std::string& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}
void Put16(std::string& bytes, size_t at, uint16_t value) {
  bytes[at] = static_cast<char>(value & 0xFF);
  bytes[at + 1] = static_cast<char>(value >> 8);
}

// 24-bit bottom-up or 8-bit top-down with a grey palette, the two layouts
// the camera library writes (the second also as others do).
std::string Bmp(const std::vector<uint8_t>& rgb, int width, int height, int bits, bool topDown,
                uint32_t pixelsPerMetre) {
  const uint32_t rowBytes = (width * (bits / 8) + 3) & ~3u;
  const uint32_t palette = bits == 8 ? 1024 : 0;
  const uint32_t offset = 54 + palette;
  std::string bytes(offset + rowBytes * height, '\0');
  bytes[0] = 'B';
  bytes[1] = 'M';
  Put32(bytes, 2, static_cast<uint32_t>(bytes.size()));
  Put32(bytes, 10, offset);
  Put32(bytes, 14, 40);
  Put32(bytes, 18, width);
  Put32(bytes, 22, topDown ? static_cast<uint32_t>(-height) : height);
  Put16(bytes, 26, 1);
  Put16(bytes, 28, static_cast<uint16_t>(bits));
  Put32(bytes, 38, pixelsPerMetre);
  Put32(bytes, 42, pixelsPerMetre);
  if (bits == 8) {
    Put32(bytes, 46, 256);
    for (uint32_t i = 0; i < 256; ++i) Put32(bytes, 54 + i * 4, (i << 16) | (i << 8) | i);
  }
  for (int y = 0; y < height; ++y) {
    const size_t row = offset + static_cast<size_t>(rowBytes) * (topDown ? y : height - 1 - y);
    for (int x = 0; x < width; ++x) {
      const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      if (bits == 8) {
        bytes[row + x] = static_cast<char>(p[0]);
      } else {
        bytes[row + 3 * x] = static_cast<char>(p[2]);
        bytes[row + 3 * x + 1] = static_cast<char>(p[1]);
        bytes[row + 3 * x + 2] = static_cast<char>(p[0]);
      }
    }
  }
  return bytes;
}

int MaxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  EXPECT_EQ(a.size(), b.size());
  int most = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    most = std::max(most, std::abs(a[i] - b[i]));
  return most;
}

TEST(PageDecode, JpegPngAndBmpGiveTheirPixelsTopDown) {
  const int width = 37, height = 23;
  const std::vector<uint8_t> rgb = Gradient(width, height, 3);
  const std::vector<uint8_t> grey = Gradient(width, height, 1);
  Page page;
  std::string error;

  ASSERT_TRUE(DecodePage(Jpeg(rgb, width, height, false), PixelKind::kColor, page, error)) << error;
  EXPECT_EQ(page.widthPx, width);
  EXPECT_EQ(page.heightPx, height);
  EXPECT_EQ(page.bytesPerLine, width * 3);
  EXPECT_LE(MaxDifference(page.data, rgb), 8);

  ASSERT_TRUE(DecodePage(Jpeg(grey, width, height, true), PixelKind::kGray, page, error)) << error;
  EXPECT_EQ(page.bytesPerLine, width);
  EXPECT_LE(MaxDifference(page.data, grey), 4);

  ASSERT_TRUE(DecodePage(Png(rgb, width, height, false), PixelKind::kColor, page, error)) << error;
  EXPECT_EQ(page.data, rgb);
  ASSERT_TRUE(DecodePage(Png(grey, width, height, true), PixelKind::kGray, page, error)) << error;
  EXPECT_EQ(page.data, grey);

  // 11811 dots a metre is 300 DPI.
  ASSERT_TRUE(DecodePage(Bmp(rgb, width, height, 24, false, 11811), PixelKind::kColor, page, error))
      << error;
  EXPECT_EQ(page.data, rgb);
  EXPECT_EQ(page.dpiX, 300);
  std::vector<uint8_t> greyRgb(rgb.size());
  for (size_t i = 0; i < grey.size(); ++i)
    greyRgb[3 * i] = greyRgb[3 * i + 1] = greyRgb[3 * i + 2] = grey[i];
  ASSERT_TRUE(DecodePage(Bmp(greyRgb, width, height, 8, true, 3937), PixelKind::kGray, page, error))
      << error;
  EXPECT_EQ(page.data, grey);
  EXPECT_EQ(page.dpiY, 100);
}

TEST(PageDecode, ColourBecomesGreyWhenGreyIsAsked) {
  // Pure red, green and blue columns: the grey levels follow the eye's
  // weights, not an average.
  const std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255};
  Page page;
  std::string error;
  ASSERT_TRUE(DecodePage(Png(rgb, 3, 1, false), PixelKind::kGray, page, error)) << error;
  ASSERT_EQ(page.data.size(), 3u);
  EXPECT_GT(page.data[1], page.data[0]);
  EXPECT_GT(page.data[0], page.data[2]);
  ASSERT_TRUE(DecodePage(Bmp(rgb, 3, 1, 24, false, 0), PixelKind::kGray, page, error)) << error;
  EXPECT_GT(page.data[1], page.data[0]);
  EXPECT_GT(page.data[0], page.data[2]);
}

TEST(PageDecode, JfifDensityGivesTheDpi) {
  std::string jpeg = Jpeg(Gradient(16, 16, 1), 16, 16, true);
  ASSERT_EQ(jpeg.compare(6, 4, "JFIF"), 0);
  jpeg[13] = 1;  // dots per inch
  jpeg[14] = 600 >> 8;
  jpeg[15] = static_cast<char>(600 & 0xFF);
  jpeg[16] = 300 >> 8;
  jpeg[17] = static_cast<char>(300 & 0xFF);
  Page page;
  std::string error;
  ASSERT_TRUE(DecodePage(jpeg, PixelKind::kGray, page, error)) << error;
  EXPECT_EQ(page.dpiX, 600);
  EXPECT_EQ(page.dpiY, 300);
}

TEST(PageDecode, LineartPacksEightPixelsABlackBitSet) {
  // Ten pixels cross a byte: dark, light alternating, then two dark.
  const uint8_t row[10] = {0, 255, 10, 200, 127, 128, 0, 255, 30, 40};
  const std::vector<uint8_t> packed = PackLineart(row, 10, 1, 10);
  ASSERT_EQ(packed.size(), 2u);
  EXPECT_EQ(packed[0], 0b10101010);
  EXPECT_EQ(packed[1], 0b11000000);

  std::vector<uint8_t> grey(13 * 2, 255);
  grey[12] = 0;      // last pixel of the first row
  grey[13 + 0] = 0;  // first pixel of the second row
  Page page;
  std::string error;
  ASSERT_TRUE(DecodePage(Png(grey, 13, 2, true), PixelKind::kLineart, page, error)) << error;
  EXPECT_EQ(page.bytesPerLine, 2);
  EXPECT_EQ(page.data, (std::vector<uint8_t>{0x00, 0x08, 0x80, 0x00}));
}

TEST(PageDecode, BrokenFilesAreRefusedWithAReason) {
  const std::vector<uint8_t> rgb = Gradient(20, 20, 3);
  Page page;
  std::string error;

  EXPECT_FALSE(DecodePage("GIF89a....", PixelKind::kColor, page, error));
  EXPECT_EQ(error, "not a JPEG, PNG or BMP file");
  EXPECT_FALSE(DecodePage("", PixelKind::kColor, page, error));

  const std::string jpeg = Jpeg(rgb, 20, 20, false);
  EXPECT_FALSE(DecodePage(jpeg.substr(0, 40), PixelKind::kColor, page, error));
  EXPECT_NE(error.find("JPEG"), std::string::npos) << error;
  EXPECT_TRUE(page.data.empty());
  // Cut in the middle of its pixels: only a warning from the decoder.
  EXPECT_FALSE(DecodePage(jpeg.substr(0, jpeg.size() / 2), PixelKind::kColor, page, error));
  EXPECT_NE(error.find("JPEG"), std::string::npos) << error;

  const std::string png = Png(rgb, 20, 20, false);
  EXPECT_FALSE(DecodePage(png.substr(0, png.size() / 2), PixelKind::kColor, page, error));
  EXPECT_NE(error.find("PNG"), std::string::npos) << error;

  const std::string bmp = Bmp(rgb, 20, 20, 24, false, 0);
  EXPECT_FALSE(DecodePage(bmp.substr(0, bmp.size() - 1), PixelKind::kColor, page, error));
  EXPECT_NE(error.find("cut short"), std::string::npos) << error;
  std::string huge = bmp;
  Put32(huge, 18, 60000);
  Put32(huge, 22, 60000);
  EXPECT_FALSE(DecodePage(huge, PixelKind::kColor, page, error));
  EXPECT_NE(error.find("too large"), std::string::npos) << error;
  std::string compressed = bmp;
  Put32(compressed, 30, 1);
  EXPECT_FALSE(DecodePage(compressed, PixelKind::kColor, page, error));
  EXPECT_NE(error.find("unsupported BMP"), std::string::npos) << error;
}

SANE_Int Set(OptionSet& options, SANE_Int option, void* value, SANE_Status expected) {
  SANE_Int info = -1;
  EXPECT_EQ(options.Control(option, SANE_ACTION_SET_VALUE, value, &info), expected);
  return info;
}

int FindOption(const OptionSet& options, const char* name) {
  for (int i = 1; i < kOptionCount; ++i)
    if (std::strcmp(options.Descriptor(i)->name, name) == 0) return i;
  return -1;
}

TEST(Options, TheWellKnownOptionsWithTheirUnits) {
  OptionSet options;
  SANE_Word count = 0;
  ASSERT_EQ(options.Control(0, SANE_ACTION_GET_VALUE, &count, nullptr), SANE_STATUS_GOOD);
  EXPECT_EQ(count, kOptionCount);
  EXPECT_EQ(options.Descriptor(count), nullptr);
  EXPECT_EQ(options.Descriptor(-1), nullptr);

  const int resolution = FindOption(options, SANE_NAME_SCAN_RESOLUTION);
  ASSERT_GT(resolution, 0);
  EXPECT_EQ(options.Descriptor(resolution)->unit, SANE_UNIT_DPI);
  // A range, so that a frontend's 150 stays 150.
  ASSERT_EQ(options.Descriptor(resolution)->constraint_type, SANE_CONSTRAINT_RANGE);
  const SANE_Range* dpis = options.Descriptor(resolution)->constraint.range;
  EXPECT_EQ(dpis->min, 50);
  EXPECT_EQ(dpis->max, 600);
  EXPECT_EQ(dpis->quant, 1);
  for (const char* name :
       {SANE_NAME_SCAN_TL_X, SANE_NAME_SCAN_TL_Y, SANE_NAME_SCAN_BR_X, SANE_NAME_SCAN_BR_Y}) {
    const int option = FindOption(options, name);
    ASSERT_GT(option, 0) << name;
    EXPECT_EQ(options.Descriptor(option)->unit, SANE_UNIT_MM) << name;
    EXPECT_EQ(options.Descriptor(option)->type, SANE_TYPE_FIXED) << name;
  }
  EXPECT_EQ(options.Descriptor(FindOption(options, SANE_NAME_PREVIEW))->type, SANE_TYPE_BOOL);

  const SANE_String_Const* modes =
      options.Descriptor(FindOption(options, SANE_NAME_SCAN_MODE))->constraint.string_list;
  ASSERT_NE(modes, nullptr);
  EXPECT_STREQ(modes[0], "Color");
  EXPECT_STREQ(modes[1], "Gray");
  EXPECT_STREQ(modes[2], "Lineart");
  EXPECT_EQ(modes[3], nullptr);
  const SANE_String_Const* sources =
      options.Descriptor(FindOption(options, SANE_NAME_SCAN_SOURCE))->constraint.string_list;
  // The names by which frontends know a flatbed and a feeder.
  EXPECT_STREQ(sources[0], "Flatbed");
  EXPECT_STREQ(sources[1], "Automatic Document Feeder");
  EXPECT_STREQ(sources[2], "Camera (interactive)");
  EXPECT_EQ(sources[3], nullptr);
}

TEST(Options, ModeAndSourceBecomeWhatTheWindowIsAskedFor) {
  OptionSet options;
  EXPECT_EQ(options.Choice().colorType, 2);
  EXPECT_EQ(options.Choice().kind, PixelKind::kColor);
  EXPECT_EQ(options.Choice().source, SourceKind::kFlatbed);

  char gray[] = "Gray";
  EXPECT_EQ(Set(options, kOptMode, gray, SANE_STATUS_GOOD), SANE_INFO_RELOAD_PARAMS);
  EXPECT_EQ(options.Choice().colorType, 1);
  char lineart[] = "Lineart";
  Set(options, kOptMode, lineart, SANE_STATUS_GOOD);
  EXPECT_EQ(options.Choice().colorType, 0);
  EXPECT_EQ(options.Choice().kind, PixelKind::kLineart);

  // An unknown mode leaves the last good one.
  char halftone[] = "Halftone";
  Set(options, kOptMode, halftone, SANE_STATUS_INVAL);
  char read[16] = {};
  options.Control(kOptMode, SANE_ACTION_GET_VALUE, read, nullptr);
  EXPECT_STREQ(read, "Lineart");

  // The feeder's settings may be set whatever the source, in any order
  // (scanimage sets them in the order given); they apply to the feeder.
  SANE_Word wait = 4;
  Set(options, kOptFeederWait, &wait, SANE_STATUS_GOOD);
  SANE_Word on = SANE_TRUE;
  SANE_Word off = SANE_FALSE;
  Set(options, kOptBook, &on, SANE_STATUS_GOOD);
  EXPECT_FALSE(options.Choice().book) << "a flatbed scan is one picture";
  char feeder[] = "Automatic Document Feeder";
  EXPECT_EQ(Set(options, kOptSource, feeder, SANE_STATUS_GOOD), SANE_INFO_RELOAD_PARAMS);
  EXPECT_EQ(options.Choice().source, SourceKind::kFeeder);
  EXPECT_EQ(options.Choice().feederWaitSeconds, 4);
  EXPECT_FALSE(options.Choice().feederFirstPageLying);
  Set(options, kOptFeederFirstPage, &on, SANE_STATUS_GOOD);
  EXPECT_TRUE(options.Choice().feederFirstPageLying);

  // An open book's two pages come from the feeder with the page found.
  EXPECT_TRUE(options.Choice().book);
  EXPECT_EQ(Set(options, kOptFindPage, &off, SANE_STATUS_GOOD), SANE_INFO_RELOAD_PARAMS);
  EXPECT_FALSE(options.Choice().book);
  Set(options, kOptFindPage, &on, SANE_STATUS_GOOD);
  EXPECT_TRUE(options.Choice().book);
  for (int option = 1; option < kOptionCount; ++option)
    EXPECT_FALSE(options.Descriptor(option)->cap & SANE_CAP_INACTIVE) << option;

  char interactive[] = "Camera (interactive)";
  Set(options, kOptSource, interactive, SANE_STATUS_GOOD);
  EXPECT_EQ(options.Choice().source, SourceKind::kInteractive);
  // A preview is one quick shot of the whole field, never the window for a
  // person.
  SANE_Word yes = SANE_TRUE;
  EXPECT_EQ(Set(options, kOptPreview, &yes, SANE_STATUS_GOOD),
            SANE_INFO_RELOAD_PARAMS | SANE_INFO_RELOAD_OPTIONS);
  EXPECT_EQ(options.Choice().source, SourceKind::kFlatbed);
  EXPECT_FALSE(options.Choice().findPage);
  EXPECT_EQ(options.Choice().dpi, kPreviewDpi);
  int width = 0, height = 0;
  options.EstimateSize(width, height);
  EXPECT_EQ(width, PixelsOf(kFieldWidthMm, kPreviewDpi));
  EXPECT_EQ(height, -1);
  // The resolution reads as the preview's, which a frontend writes into its
  // file; one set meanwhile is kept for the scan after the preview.
  SANE_Word dpi = 0;
  options.Control(kOptResolution, SANE_ACTION_GET_VALUE, &dpi, nullptr);
  EXPECT_EQ(dpi, kPreviewDpi);
  EXPECT_EQ(Set(options, kOptResolution, &dpi, SANE_STATUS_GOOD), 0);
  dpi = 200;
  EXPECT_EQ(Set(options, kOptResolution, &dpi, SANE_STATUS_GOOD), SANE_INFO_INEXACT);
  EXPECT_EQ(dpi, kPreviewDpi);
  SANE_Word no = SANE_FALSE;
  Set(options, kOptPreview, &no, SANE_STATUS_GOOD);
  options.Control(kOptResolution, SANE_ACTION_GET_VALUE, &dpi, nullptr);
  EXPECT_EQ(dpi, 200);
  EXPECT_EQ(options.Choice().dpi, 200);
  Set(options, kOptPreview, &yes, SANE_STATUS_GOOD);
  SANE_Word two = 2;
  Set(options, kOptPreview, &two, SANE_STATUS_INVAL);

  // A string that fills its whole buffer without an end is refused.
  std::vector<char> unterminated(options.Descriptor(kOptSource)->size, 'C');
  Set(options, kOptSource, unterminated.data(), SANE_STATUS_INVAL);
  EXPECT_TRUE(options.Choice().preview);

  SANE_Word any = 0;
  EXPECT_EQ(options.Control(kOptMode, SANE_ACTION_SET_AUTO, &any, nullptr), SANE_STATUS_INVAL);
  EXPECT_EQ(options.Control(kOptCount, SANE_ACTION_SET_VALUE, &any, nullptr), SANE_STATUS_INVAL);
  EXPECT_EQ(options.Control(kOptModeGroup, SANE_ACTION_GET_VALUE, &any, nullptr),
            SANE_STATUS_INVAL);
  EXPECT_EQ(options.Control(kOptMode, SANE_ACTION_GET_VALUE, nullptr, nullptr), SANE_STATUS_INVAL);
}

TEST(Options, ResolutionAndGeometryKeepToTheirConstraints) {
  OptionSet options;
  SANE_Word dpi = 150;
  EXPECT_EQ(Set(options, kOptResolution, &dpi, SANE_STATUS_GOOD), SANE_INFO_RELOAD_PARAMS);
  EXPECT_EQ(options.Choice().dpi, 150);
  // Out of range: the nearest allowed value, written back for the caller.
  dpi = 5000;
  EXPECT_TRUE(Set(options, kOptResolution, &dpi, SANE_STATUS_GOOD) & SANE_INFO_INEXACT);
  EXPECT_EQ(dpi, 600);
  EXPECT_EQ(options.Choice().dpi, 600);
  dpi = 100;
  Set(options, kOptResolution, &dpi, SANE_STATUS_GOOD);

  // With the page found, its length is unknown before the first scan, and
  // then taken to be the last found page's.
  SANE_Word read = 0;
  int width = 0, height = 0;
  options.EstimateSize(width, height);
  EXPECT_EQ(height, -1);
  EXPECT_TRUE(options.Choice().findPage);
  options.EstimateSize(width, height, PageSizeMm{210.0, 297.0});
  EXPECT_EQ(width, PixelsOf(210.0, 100));
  EXPECT_EQ(height, PixelsOf(297.0, 100));

  // The area is always there to set. With the page finding on, the page
  // is looked for in it, so a page found there is no larger than it; the
  // window looks in whole percents of the field, rounded outward, and the
  // whole field up to rounding is no narrowed area.
  SANE_Word x = SANE_FIX(100.0);
  EXPECT_EQ(Set(options, kOptBottomRightX, &x, SANE_STATUS_GOOD), SANE_INFO_RELOAD_PARAMS);
  EXPECT_TRUE(options.Choice().findPage);
  EXPECT_EQ(options.Choice().area.rightMm, 100.0);
  options.EstimateSize(width, height, PageSizeMm{210.0, 297.0});
  EXPECT_EQ(width, PixelsOf(100.0, 100));
  EXPECT_EQ(height, PixelsOf(297.0, 100));
  EXPECT_EQ(SearchPercent(options.Choice().area), (std::array<int, 4>{0, 0, 24, 100}));
  EXPECT_EQ(SearchPercent({42.0, 31.6, 210.0, 300.0}), (std::array<int, 4>{10, 10, 50, 96}));
  // A page found in an area this wide could not be told from the field.
  x = SANE_FIX(410.0);
  Set(options, kOptBottomRightX, &x, SANE_STATUS_GOOD);
  EXPECT_FALSE(options.Choice().findPage);
  x = SANE_FIX(kFieldWidthMm - 0.2);
  Set(options, kOptBottomRightX, &x, SANE_STATUS_GOOD);
  EXPECT_TRUE(options.Choice().findPage);
  EXPECT_EQ(options.Choice().area.rightMm, kFieldWidthMm);
  EXPECT_EQ(SearchPercent(options.Choice().area), (std::array<int, 4>{}));
  SANE_Word off = SANE_FALSE;
  EXPECT_EQ(Set(options, kOptFindPage, &off, SANE_STATUS_GOOD), SANE_INFO_RELOAD_PARAMS);
  EXPECT_FALSE(options.Choice().findPage);

  x = SANE_FIX(1000.0);
  EXPECT_TRUE(Set(options, kOptBottomRightX, &x, SANE_STATUS_GOOD) & SANE_INFO_INEXACT);
  EXPECT_EQ(x, SANE_FIX(kFieldWidthMm));
  options.Control(kOptBottomRightX, SANE_ACTION_GET_VALUE, &read, nullptr);
  EXPECT_EQ(read, SANE_FIX(kFieldWidthMm));
  x = SANE_FIX(-5.0);
  EXPECT_TRUE(Set(options, kOptTopLeftX, &x, SANE_STATUS_GOOD) & SANE_INFO_INEXACT);
  EXPECT_EQ(x, 0);
  options.Control(kOptTopLeftX, SANE_ACTION_GET_VALUE, &read, nullptr);
  EXPECT_EQ(read, 0);

  // 254 mm at 100 DPI is 1000 pixels; corners given either way round.
  SANE_Word edge = SANE_FIX(254.0);
  Set(options, kOptBottomRightX, &edge, SANE_STATUS_GOOD);
  edge = SANE_FIX(127.0);
  Set(options, kOptTopLeftY, &edge, SANE_STATUS_GOOD);
  edge = 0;
  Set(options, kOptBottomRightY, &edge, SANE_STATUS_GOOD);
  options.EstimateSize(width, height);
  EXPECT_EQ(width, 1000);
  EXPECT_EQ(height, 500);
  EXPECT_EQ(options.Choice().area.topMm, 0.0);
  EXPECT_EQ(options.Choice().area.bottomMm, 127.0);
}

// A page the window wrote at one DPI, asked for at another.
TEST(PagePrepare, EveryPageHasThePixelSizeOfItsResolution) {
  const std::vector<uint8_t> grey(600 * 300, 200);
  std::string file = Png(grey, 600, 300, true);
  // A pHYs chunk of 300 DPI (11811 per metre) before the pixels.
  const std::string phys = std::string("\x00\x00\x00\x09pHYs", 8) +
                           std::string("\x00\x00\x2e\x23\x00\x00\x2e\x23\x01", 9);
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 4; i < phys.size(); ++i) {
    crc ^= static_cast<uint8_t>(phys[i]);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  crc ^= 0xFFFFFFFFu;
  std::string chunk = phys;
  for (int shift = 24; shift >= 0; shift -= 8) chunk += static_cast<char>((crc >> shift) & 0xFF);
  file.insert(33, chunk);  // after the signature and IHDR

  // 2 x 1 inches: 100 DPI gives 200 x 100, 150 DPI 300 x 150, 600 DPI 1200 x 600.
  for (const int dpi : {100, 150, 600}) {
    Page page;
    std::string error;
    PageRequest request;
    request.kind = PixelKind::kGray;
    request.dpi = dpi;
    bool guessed = true;
    ASSERT_TRUE(PreparePage(file, request, page, error, &guessed)) << error;
    EXPECT_FALSE(guessed);
    EXPECT_EQ(page.widthPx, 2 * dpi);
    EXPECT_EQ(page.heightPx, dpi);
    EXPECT_EQ(page.dpiX, dpi);
    ASSERT_EQ(page.data.size(), static_cast<size_t>(2 * dpi * dpi));
    // Resampling keeps a flat grey flat.
    EXPECT_EQ(page.data.front(), 200);
    EXPECT_EQ(page.data[page.data.size() / 2], 200);
  }

  // A scan area cut from the picture: 1 inch from the left, half an inch
  // down, 25.4 x 12.7 mm, at 200 DPI: 200 x 100 pixels, black and white.
  PageRequest area;
  area.kind = PixelKind::kLineart;
  area.dpi = 200;
  area.cut = true;
  area.leftMm = 25.4;
  area.topMm = 12.7;
  area.rightMm = 50.8;
  area.bottomMm = 25.4;
  Page page;
  std::string error;
  ASSERT_TRUE(PreparePage(file, area, page, error)) << error;
  EXPECT_EQ(page.widthPx, 200);
  EXPECT_EQ(page.heightPx, 100);
  EXPECT_EQ(page.bytesPerLine, 25);
  // Past the picture's edge the area is white, and the page keeps its size.
  area.kind = PixelKind::kGray;
  area.leftMm = 40;
  area.rightMm = 60;
  ASSERT_TRUE(PreparePage(file, area, page, error)) << error;
  ASSERT_EQ(page.widthPx, PixelsOf(20, 200));
  ASSERT_EQ(page.heightPx, 100);
  EXPECT_EQ(page.data[50 * page.bytesPerLine + 10], 200);
  EXPECT_EQ(page.data[50 * page.bytesPerLine + page.widthPx - 10], 255);

  // A page looked for in an area: when none lay wholly inside, the whole
  // field comes, its size a few percent off by its whole-number DPI, and
  // the area is cut from it; a picture no wider than the area is the page
  // found there, whole.
  PageRequest searched;
  searched.kind = PixelKind::kGray;
  searched.dpi = 100;
  searched.searchedFieldWidthMm = 50.8 * 1.025;
  searched.leftMm = 20;
  searched.topMm = 10;
  searched.rightMm = 40;
  searched.bottomMm = 20;
  ASSERT_TRUE(PreparePage(file, searched, page, error)) << error;
  EXPECT_EQ(page.widthPx, PixelsOf(20, 100));
  EXPECT_EQ(page.heightPx, PixelsOf(10, 100));
  searched.searchedFieldWidthMm = 200;
  searched.rightMm = 80;
  ASSERT_TRUE(PreparePage(file, searched, page, error)) << error;
  EXPECT_EQ(page.widthPx, 200);
  EXPECT_EQ(page.heightPx, 100);
}

// Brightness and contrast move the levels the frontend gets, and the
// threshold decides which grey becomes black in black and white.
TEST(PagePrepare, BrightnessContrastAndThresholdAsTheOptionsSetThem) {
  std::vector<uint8_t> levels = {0, 64, 100, 128, 200, 255};
  AdjustLevels(levels, 0, 0);
  EXPECT_EQ(levels, (std::vector<uint8_t>{0, 64, 100, 128, 200, 255}));
  AdjustLevels(levels, 50, 0);
  EXPECT_EQ(levels, (std::vector<uint8_t>{64, 128, 164, 192, 255, 255}));
  std::vector<uint8_t> steep = {64, 100, 128, 160, 200};
  AdjustLevels(steep, 0, 50);  // three times as steep about mid-grey
  EXPECT_EQ(steep, (std::vector<uint8_t>{0, 45, 129, 225, 255}));
  std::vector<uint8_t> flat = {0, 255};
  AdjustLevels(flat, 0, -100);
  EXPECT_EQ(flat, (std::vector<uint8_t>{128, 128}));

  // A page of grey 100: black under the usual threshold, white under 90,
  // and white too once made lighter.
  const std::string file = Png(std::vector<uint8_t>(16 * 8, 100), 16, 8, true);
  const auto firstByte = [&](int brightness, int threshold) {
    PageRequest request;
    request.kind = PixelKind::kLineart;
    request.dpi = 72;
    request.brightness = brightness;
    request.threshold = threshold;
    Page page;
    std::string error;
    EXPECT_TRUE(PreparePage(file, request, page, error)) << error;
    return page.data.empty() ? -1 : page.data[0];
  };
  EXPECT_EQ(firstByte(0, 128), 0xFF);
  EXPECT_EQ(firstByte(0, 90), 0x00);
  EXPECT_EQ(firstByte(30, 128), 0x00);

  OptionSet options;
  SANE_Word value = 300;
  EXPECT_EQ(Set(options, kOptThreshold, &value, SANE_STATUS_GOOD), SANE_INFO_INEXACT);
  EXPECT_EQ(options.Choice().threshold, 255);
  value = -40;
  EXPECT_EQ(Set(options, kOptBrightness, &value, SANE_STATUS_GOOD), 0);
  EXPECT_EQ(options.Choice().brightness, -40);
  EXPECT_EQ(options.Descriptor(kOptContrast)->unit, SANE_UNIT_PERCENT);
}

// The frontend reads the first rows while the later ones are made: a page
// made in small bands is the page made at once, in black and white (eight
// pixels a byte) as in grey.
TEST(PagePrepare, APageMadeInBandsIsThePageMadeAtOnce) {
  std::vector<uint8_t> rows(40 * 90);
  for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<uint8_t>((i / 40) * 2 + i % 40);
  const std::string file = Png(rows, 40, 90, true);
  for (const PixelKind kind : {PixelKind::kLineart, PixelKind::kGray}) {
    PageRequest request;
    request.kind = kind;
    request.dpi = 50;  // from 72: fewer rows, each from parts of two
    request.brightness = 10;
    std::string error;
    Page whole;
    ASSERT_TRUE(PreparePage(file, request, whole, error)) << error;
    Page banded;
    PageMaker maker;
    ASSERT_TRUE(maker.Begin(file, request, banded, error)) << error;
    ASSERT_EQ(banded.heightPx, whole.heightPx);
    ASSERT_EQ(banded.data.size(), whole.data.size());
    std::vector<int> bands;
    while (const int made = maker.MakeRows(banded, 7)) bands.push_back(made);
    EXPECT_EQ(maker.RowsMade(), whole.heightPx);
    EXPECT_EQ(bands.front(), 7);
    EXPECT_EQ(banded.data, whole.data);
    // Rows that differ, or the comparison above would prove little.
    EXPECT_NE(whole.data.front(), whole.data.back());
  }

  // A JPEG file is decoded as its rows are needed: the pixels of the file
  // decoded at once, and a file cut short fails instead of giving grey rows.
  const std::string jpeg = Jpeg(Gradient(64, 96, 3), 64, 96, false);
  std::string error;
  Page atOnce;
  ASSERT_TRUE(DecodePage(jpeg, PixelKind::kColor, atOnce, error)) << error;
  PageRequest asItIs;  // the file names no DPI: taken at the one asked for
  asItIs.dpi = 72;
  Page streamed;
  ASSERT_TRUE(PreparePage(jpeg, asItIs, streamed, error)) << error;
  EXPECT_EQ(streamed.data, atOnce.data);
  PageMaker cutShort;
  Page broken;
  ASSERT_TRUE(cutShort.Begin(jpeg.substr(0, jpeg.size() / 2), asItIs, broken, error)) << error;
  int made = 0;
  while ((made = cutShort.MakeRows(broken, 8)) > 0) {
  }
  EXPECT_EQ(made, -1);
  EXPECT_LT(cutShort.RowsMade(), broken.heightPx);
  EXPECT_NE(cutShort.Error().find("broken JPEG file"), std::string::npos) << cutShort.Error();
}

TEST(PagePrepare, ResamplingAveragesWhenItShrinksAndKeepsEdgesWhenItGrows) {
  // Columns alternately 0 and 255: halved, each pixel is their mean.
  std::vector<uint8_t> stripes(8 * 2);
  for (int i = 0; i < 16; ++i) stripes[i] = (i % 2) ? 255 : 0;
  const std::vector<uint8_t> half = Resample(stripes.data(), 8, 2, 1, 4, 1);
  EXPECT_EQ(half, (std::vector<uint8_t>{128, 128, 128, 128}));
  // Doubled, the dark left half stays dark and the bright right bright.
  const std::vector<uint8_t> step = {0, 0, 255, 255};
  const std::vector<uint8_t> twice = Resample(step.data(), 4, 1, 1, 8, 1);
  ASSERT_EQ(twice.size(), 8u);
  EXPECT_EQ(twice[0], 0);
  EXPECT_EQ(twice[7], 255);
  for (size_t i = 1; i < twice.size(); ++i) EXPECT_GE(twice[i], twice[i - 1]);
}

class ConfigFiles : public testing::Test {
 protected:
  void SetUp() override {
    saved = platform::Environment("SANE_CONFIG_DIR");
    hadValue = platform::HasEnvironment("SANE_CONFIG_DIR");
    root = std::filesystem::temp_directory_path() /
           ("tavrin-sane-config-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "a");
    std::filesystem::create_directories(root / "b");
  }
  void TearDown() override {
    if (hadValue)
      platform::SetEnvironment("SANE_CONFIG_DIR", saved);
    else
      platform::UnsetEnvironment("SANE_CONFIG_DIR");
    std::filesystem::remove_all(root);
  }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(root / name) << text;
  }

  std::filesystem::path root;
  std::string saved;
  bool hadValue = false;
};

TEST_F(ConfigFiles, SaneConfigDirListsTheFoldersAndATrailingColonAddsTheSystemOne) {
  platform::SetEnvironment("SANE_CONFIG_DIR", "/one:/two");
  EXPECT_EQ(ConfigFolders(), (std::vector<std::string>{"/one", "/two"}));
  platform::SetEnvironment("SANE_CONFIG_DIR", "/one::/two:");
  const std::vector<std::string> folders = ConfigFolders();
  ASSERT_EQ(folders.size(), 3u);
  EXPECT_EQ(folders[1], "/two");
  EXPECT_EQ(folders[2], "/etc/sane.d");
  platform::UnsetEnvironment("SANE_CONFIG_DIR");
  EXPECT_EQ(ConfigFolders(), (std::vector<std::string>{"/etc/sane.d"}));
}

TEST_F(ConfigFiles, TheFirstFileNamingAFolderWins) {
  EXPECT_EQ(ProgramFolderFromConfig("# comment\n\n  /opt/tavrin/  \r\n/other\n"), "/opt/tavrin");
  EXPECT_EQ(ProgramFolderFromConfig("# only a comment\n   \n"), "");

  Write("a/tavrin.conf", "# nothing here\n");
  Write("b/tavrin.conf", "/srv/tavrindesk\n");
  platform::SetEnvironment("SANE_CONFIG_DIR", (root / "a").string() + ":" + (root / "b").string());
  BackendConfig config = ReadBackendConfig();
  EXPECT_EQ(config.programFolder, "/srv/tavrindesk");
  EXPECT_EQ(config.source, (root / "b/tavrin.conf").string());

  platform::SetEnvironment("SANE_CONFIG_DIR", (root / "a").string());
  config = ReadBackendConfig();
  EXPECT_EQ(config.source, "built-in default");
  EXPECT_FALSE(config.programFolder.empty());
}

TEST(CameraList, OneNameALine) {
  EXPECT_EQ(ParseCameraList("Document camera\r\n\nWebcam 2\n"),
            (std::vector<std::string>{"Document camera", "Webcam 2"}));
  EXPECT_TRUE(ParseCameraList("").empty());
  // Each name may be followed by the width of the camera's largest picture.
  std::vector<int> widest;
  EXPECT_EQ(ParseCameraList("Document camera\t3264\nWebcam\t12x\nOld\n", &widest),
            (std::vector<std::string>{"Document camera", "Webcam", "Old"}));
  EXPECT_EQ(widest, (std::vector<int>{3264, 0, 0}));
  std::vector<std::string> names{"stale"};
  std::string error;
  EXPECT_FALSE(ListCameras("/nonexistent-tavrin-folder", names, error));
  EXPECT_TRUE(names.empty());
  EXPECT_NE(error.find("/nonexistent-tavrin-folder/tavrin-cameras"), std::string::npos) << error;
}

}  // namespace
}  // namespace tavrin::sane
