#include "datasource/sane/page_image.h"

#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>

namespace tavrin::sane {

namespace {

// A 600 DPI colour A3 page is about 210 MB; the bound stops a broken or
// hostile file from asking for gigabytes.
constexpr uint64_t kMaxPageBytes = 512ull << 20;
constexpr double kInchesPerMetre = 1 / 0.0254;
constexpr double kMmPerInch = 25.4;
// How far a picture's size may be off by its DPI, a whole number: 39 for
// a 640 pixel picture of a 420 mm field is 1.3 % off.
constexpr double kDpiSlack = 0.03;

uint32_t Big32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint32_t Little32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
uint16_t Little16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

int DpiOfPerMetre(uint32_t perMetre) {
  return static_cast<int>(perMetre / kInchesPerMetre + 0.5);
}

uint8_t GreyOf(uint8_t red, uint8_t green, uint8_t blue) {
  return static_cast<uint8_t>((77 * red + 150 * green + 29 * blue + 128) >> 8);
}

bool CheckSize(uint64_t widthPx, uint64_t heightPx, int channels, std::string& error) {
  if (widthPx == 0 || heightPx == 0) {
    error = "image without pixels";
    return false;
  }
  if (widthPx > 65535 || heightPx > 65535 || widthPx * heightPx * channels > kMaxPageBytes) {
    error = "image too large: " + std::to_string(widthPx) + " x " + std::to_string(heightPx);
    return false;
  }
  return true;
}

// The JFIF header's density, when it is in dots per inch or per cm.
void ReadJfifDensity(const uint8_t* p, size_t size, Page& page) {
  if (size < 18 || p[2] != 0xFF || p[3] != 0xE0 || std::memcmp(p + 6, "JFIF", 5) != 0) return;
  const int units = p[13];
  const int x = (p[14] << 8) | p[15];
  const int y = (p[16] << 8) | p[17];
  if (units == 1) {
    page.dpiX = x;
    page.dpiY = y;
  } else if (units == 2) {
    page.dpiX = static_cast<int>(x * 2.54 + 0.5);
    page.dpiY = static_cast<int>(y * 2.54 + 0.5);
  }
}

bool DecodeJpeg(std::string_view bytes, bool grey, Page& page, std::string& error) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitDecompress(), tjDestroy);
  if (handle == nullptr) {
    error = "cannot start the JPEG decoder";
    return false;
  }
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(handle.get(), p, bytes.size(), &width, &height, &subsampling,
                          &colorspace) != 0) {
    error = std::string("broken JPEG file: ") + tjGetErrorStr2(handle.get());
    return false;
  }
  if (width <= 0 || height <= 0) {
    error = "broken JPEG file: no image size";
    return false;
  }
  const int channels = grey ? 1 : 3;
  if (!CheckSize(width, height, channels, error)) return false;
  page.widthPx = width;
  page.heightPx = height;
  page.bytesPerLine = width * channels;
  page.data.assign(static_cast<size_t>(page.bytesPerLine) * height, 0);
  if (tjDecompress2(handle.get(), p, bytes.size(), page.data.data(), width, page.bytesPerLine,
                    height, grey ? TJPF_GRAY : TJPF_RGB, 0) != 0) {
    // Even a warning is refused: a file cut short only warns, and its
    // missing rows would come out grey as if they were the page.
    error = std::string("broken JPEG file: ") + tjGetErrorStr2(handle.get());
    return false;
  }
  ReadJfifDensity(p, bytes.size(), page);
  return true;
}

void ReadPngDensity(const uint8_t* p, size_t size, Page& page) {
  size_t at = 8;
  while (at + 12 <= size) {
    const uint32_t length = Big32(p + at);
    if (length > size - at - 12) return;
    if (std::memcmp(p + at + 4, "pHYs", 4) == 0 && length == 9) {
      const uint8_t* data = p + at + 8;
      if (data[8] == 1) {
        page.dpiX = DpiOfPerMetre(Big32(data));
        page.dpiY = DpiOfPerMetre(Big32(data + 4));
      }
      return;
    }
    if (std::memcmp(p + at + 4, "IDAT", 4) == 0) return;
    at += 12 + length;
  }
}

bool DecodePng(std::string_view bytes, bool grey, Page& page, std::string& error) {
  png_image image;
  std::memset(&image, 0, sizeof(image));
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
    error = std::string("broken PNG file: ") + image.message;
    return false;
  }
  image.format = grey ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
  const int channels = grey ? 1 : 3;
  if (!CheckSize(image.width, image.height, channels, error)) {
    png_image_free(&image);
    return false;
  }
  page.widthPx = static_cast<int>(image.width);
  page.heightPx = static_cast<int>(image.height);
  page.bytesPerLine = page.widthPx * channels;
  page.data.assign(static_cast<size_t>(page.bytesPerLine) * page.heightPx, 0);
  if (!png_image_finish_read(&image, nullptr, page.data.data(), page.bytesPerLine, nullptr)) {
    error = std::string("broken PNG file: ") + image.message;
    png_image_free(&image);
    return false;
  }
  ReadPngDensity(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), page);
  return true;
}

// Uncompressed 1-bit and 8-bit (palette) and 24-bit files, as the camera
// library writes them.
bool DecodeBmp(std::string_view bytes, bool grey, Page& page, std::string& error) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t size = bytes.size();
  if (size < 54 || Little32(p + 14) < 40) {
    error = "broken BMP file: header cut short";
    return false;
  }
  const uint32_t offset = Little32(p + 10);
  const uint32_t headerBytes = Little32(p + 14);
  const int32_t width = static_cast<int32_t>(Little32(p + 18));
  const int32_t signedHeight = static_cast<int32_t>(Little32(p + 22));
  const int bitsPerPixel = Little16(p + 28);
  const uint32_t compression = Little32(p + 30);
  if (compression != 0 || (bitsPerPixel != 1 && bitsPerPixel != 8 && bitsPerPixel != 24)) {
    error = "unsupported BMP file: " + std::to_string(bitsPerPixel) + " bits, compression " +
            std::to_string(compression);
    return false;
  }
  if (width <= 0 || signedHeight == 0 || signedHeight == INT32_MIN) {
    error = "broken BMP file: bad size";
    return false;
  }
  const bool topDown = signedHeight < 0;
  const uint32_t height = topDown ? static_cast<uint32_t>(-signedHeight) : signedHeight;
  const int channels = grey ? 1 : 3;
  if (!CheckSize(static_cast<uint32_t>(width), height, channels, error)) return false;
  const uint64_t rowBytes = ((static_cast<uint64_t>(width) * bitsPerPixel + 7) / 8 + 3) & ~3ull;
  if (offset > size || rowBytes * height > size - offset) {
    error = "broken BMP file: pixels cut short";
    return false;
  }
  uint8_t palette[256][3] = {};
  if (bitsPerPixel <= 8) {
    const uint32_t most = 1U << bitsPerPixel;
    uint32_t colours = Little32(p + 46);
    if (colours == 0 || colours > most) colours = most;
    const uint64_t paletteAt = 14 + uint64_t{headerBytes};
    if (paletteAt + colours * 4 > offset) {
      error = "broken BMP file: palette cut short";
      return false;
    }
    for (uint32_t i = 0; i < colours; ++i) {
      const uint8_t* entry = p + paletteAt + i * 4;
      palette[i][0] = entry[2];
      palette[i][1] = entry[1];
      palette[i][2] = entry[0];
    }
  }
  page.widthPx = width;
  page.heightPx = static_cast<int>(height);
  page.bytesPerLine = width * channels;
  page.data.assign(static_cast<size_t>(page.bytesPerLine) * height, 0);
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = p + offset + rowBytes * (topDown ? y : height - 1 - y);
    uint8_t* out = page.data.data() + static_cast<size_t>(page.bytesPerLine) * y;
    for (int x = 0; x < width; ++x) {
      uint8_t red, green, blue;
      if (bitsPerPixel <= 8) {
        const uint8_t index =
            bitsPerPixel == 8 ? row[x] : static_cast<uint8_t>((row[x >> 3] >> (7 - (x & 7))) & 1);
        red = palette[index][0];
        green = palette[index][1];
        blue = palette[index][2];
      } else {
        blue = row[3 * x];
        green = row[3 * x + 1];
        red = row[3 * x + 2];
      }
      if (grey) {
        out[x] = GreyOf(red, green, blue);
      } else {
        out[3 * x] = red;
        out[3 * x + 1] = green;
        out[3 * x + 2] = blue;
      }
    }
  }
  page.dpiX = DpiOfPerMetre(Little32(p + 38));
  page.dpiY = DpiOfPerMetre(Little32(p + 42));
  return true;
}

}  // namespace

std::vector<uint8_t> PackLineart(const uint8_t* grey, int widthPx, int heightPx, int strideBytes,
                                 int threshold) {
  const size_t lineBytes = (static_cast<size_t>(widthPx) + 7) / 8;
  std::vector<uint8_t> packed(lineBytes * heightPx, 0);
  for (int y = 0; y < heightPx; ++y) {
    const uint8_t* in = grey + static_cast<size_t>(strideBytes) * y;
    uint8_t* out = packed.data() + lineBytes * y;
    for (int x = 0; x < widthPx; ++x) {
      if (in[x] < threshold) out[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    }
  }
  return packed;
}

namespace {

// For one axis: where each output sample starts in the input and its weights.
struct Taps {
  std::vector<int> first;
  std::vector<int> count;
  std::vector<float> weights;  // count[i] of them for output i, in order
};

Taps MakeTaps(int in, int out) {
  Taps taps;
  taps.first.resize(out);
  taps.count.resize(out);
  const double scale = static_cast<double>(in) / out;
  for (int i = 0; i < out; ++i) {
    if (scale > 1.0) {
      // The input span this output pixel covers, each sample by its share.
      const double from = i * scale;
      const double to = std::min<double>(in, from + scale);
      const int j0 = static_cast<int>(from);
      const int j1 = std::min(in - 1, static_cast<int>(std::ceil(to)) - 1);
      taps.first[i] = j0;
      taps.count[i] = j1 - j0 + 1;
      for (int j = j0; j <= j1; ++j) {
        const double overlap = std::min<double>(to, j + 1) - std::max<double>(from, j);
        taps.weights.push_back(static_cast<float>(std::max(0.0, overlap) / (to - from)));
      }
    } else {
      const double centre = std::max(0.0, (i + 0.5) * scale - 0.5);
      const int j0 = std::min(in - 1, static_cast<int>(centre));
      const int j1 = std::min(in - 1, j0 + 1);
      const float t = static_cast<float>(centre - j0);
      taps.first[i] = j0;
      taps.count[i] = j1 == j0 ? 1 : 2;
      if (j1 == j0) {
        taps.weights.push_back(1.0f);
      } else {
        taps.weights.push_back(1.0f - t);
        taps.weights.push_back(t);
      }
    }
  }
  return taps;
}

uint8_t ToByte(float value) {
  return static_cast<uint8_t>(std::clamp(value + 0.5f, 0.0f, 255.0f));
}

}  // namespace

std::vector<uint8_t> Resample(const uint8_t* pixels, int widthPx, int heightPx, int channels,
                              int newWidthPx, int newHeightPx) {
  if (newWidthPx == widthPx && newHeightPx == heightPx)
    return {pixels, pixels + static_cast<size_t>(widthPx) * heightPx * channels};
  // Across first, into floats, then down.
  const Taps across = MakeTaps(widthPx, newWidthPx);
  std::vector<float> wide(static_cast<size_t>(newWidthPx) * heightPx * channels);
  for (int y = 0; y < heightPx; ++y) {
    const uint8_t* in = pixels + static_cast<size_t>(y) * widthPx * channels;
    float* out = wide.data() + static_cast<size_t>(y) * newWidthPx * channels;
    size_t w = 0;
    for (int x = 0; x < newWidthPx; ++x) {
      for (int c = 0; c < channels; ++c) {
        float sum = 0;
        for (int k = 0; k < across.count[x]; ++k)
          sum += across.weights[w + k] * in[(across.first[x] + k) * channels + c];
        out[x * channels + c] = sum;
      }
      w += across.count[x];
    }
  }
  const Taps down = MakeTaps(heightPx, newHeightPx);
  const size_t rowValues = static_cast<size_t>(newWidthPx) * channels;
  std::vector<uint8_t> result(rowValues * newHeightPx);
  std::vector<float> row(rowValues);
  size_t w = 0;
  for (int y = 0; y < newHeightPx; ++y) {
    std::fill(row.begin(), row.end(), 0.0f);
    for (int k = 0; k < down.count[y]; ++k) {
      const float weight = down.weights[w + k];
      const float* in = wide.data() + (down.first[y] + k) * rowValues;
      for (size_t i = 0; i < rowValues; ++i) row[i] += weight * in[i];
    }
    w += down.count[y];
    uint8_t* out = result.data() + rowValues * y;
    for (size_t i = 0; i < rowValues; ++i) out[i] = ToByte(row[i]);
  }
  return result;
}

int PixelsOf(double mm, double dpi) {
  return static_cast<int>(std::lround(mm * dpi / kMmPerInch));
}

bool PreparePage(std::string_view bytes, const PageRequest& request, Page& page, std::string& error,
                 bool* dpiGuessed) {
  if (dpiGuessed != nullptr) *dpiGuessed = false;
  if (request.dpi <= 0) {
    error = "no resolution asked for";
    return false;
  }
  // Black and white is thresholded after resampling, so it is grey till then.
  const PixelKind decodeAs = request.kind == PixelKind::kLineart ? PixelKind::kGray : request.kind;
  if (!DecodePage(bytes, decodeAs, page, error)) return false;
  const int channels = request.kind == PixelKind::kColor ? 3 : 1;
  double dpiX = page.dpiX;
  double dpiY = page.dpiY;
  if (dpiX <= 0 || dpiY <= 0) {
    if (dpiGuessed != nullptr) *dpiGuessed = true;
    dpiX = dpiY = request.dpi;
  }
  int cutWidth = page.widthPx;
  int cutHeight = page.heightPx;
  int newWidth = std::max(1, static_cast<int>(std::lround(cutWidth * request.dpi / dpiX)));
  int newHeight = std::max(1, static_cast<int>(std::lround(cutHeight * request.dpi / dpiY)));
  bool cut = request.cut;
  if (request.searchedFieldWidthMm > 0) {
    // The whole field is about its width (the camera's DPI is a whole
    // number, so a few percent off); a page found in the narrower area is
    // no wider than the area.
    const double widthMm = page.widthPx * kMmPerInch / dpiX;
    const double areaWidthMm = request.rightMm - request.leftMm;
    cut = widthMm > (areaWidthMm + (1 - kDpiSlack) * request.searchedFieldWidthMm) / 2;
  }
  if (cut) {
    // The area's size alone sets the page's, as the frontend computed it;
    // where the area reaches past the picture, the page is white, as a
    // scanner's glass outside the sheet.
    const int x0 = PixelsOf(request.leftMm, dpiX);
    const int y0 = PixelsOf(request.topMm, dpiY);
    cutWidth = std::max(1, PixelsOf(request.rightMm, dpiX) - x0);
    cutHeight = std::max(1, PixelsOf(request.bottomMm, dpiY) - y0);
    newWidth = std::max(1, PixelsOf(request.rightMm - request.leftMm, request.dpi));
    newHeight = std::max(1, PixelsOf(request.bottomMm - request.topMm, request.dpi));
    if (!CheckSize(cutWidth, cutHeight, channels, error)) {
      page = Page{};
      return false;
    }
    std::vector<uint8_t> cut(static_cast<size_t>(cutWidth) * cutHeight * channels, 255);
    const int fromX = std::clamp(x0, 0, page.widthPx);
    const int toX = std::clamp(x0 + cutWidth, 0, page.widthPx);
    for (int y = std::max(0, y0); y < std::min(page.heightPx, y0 + cutHeight); ++y) {
      if (toX <= fromX) break;
      std::memcpy(cut.data() + (static_cast<size_t>(y - y0) * cutWidth + (fromX - x0)) * channels,
                  page.data.data() + static_cast<size_t>(y) * page.bytesPerLine +
                      static_cast<size_t>(fromX) * channels,
                  static_cast<size_t>(toX - fromX) * channels);
    }
    page.data = std::move(cut);
  }
  if (!CheckSize(newWidth, newHeight, channels, error)) {
    page = Page{};
    return false;
  }
  // The window writes the page at the asked resolution already, so this is
  // mostly the page as it is: a copy of it would only cost time and memory.
  if (newWidth != cutWidth || newHeight != cutHeight)
    page.data = Resample(page.data.data(), cutWidth, cutHeight, channels, newWidth, newHeight);
  page.widthPx = newWidth;
  page.heightPx = newHeight;
  page.bytesPerLine = newWidth * channels;
  page.dpiX = page.dpiY = request.dpi;
  page.kind = request.kind;
  AdjustLevels(page.data, request.brightness, request.contrast);
  if (request.kind == PixelKind::kLineart) {
    page.data = PackLineart(page.data.data(), page.widthPx, page.heightPx, page.bytesPerLine,
                            request.threshold);
    page.bytesPerLine = (page.widthPx + 7) / 8;
  }
  return true;
}

void AdjustLevels(std::vector<uint8_t>& levels, int brightness, int contrast) {
  if (brightness == 0 && contrast == 0) return;
  // Contrast turns about mid-grey: at 100 % it is a hard step, at -100 %
  // all mid-grey; brightness then moves every level by up to half the scale.
  const double c = std::clamp(contrast, -100, 99) / 100.0;
  const double factor = (1.0 + c) / (1.0 - c);
  const double shift = std::clamp(brightness, -100, 100) * 1.275;
  std::array<uint8_t, 256> table{};
  for (int level = 0; level < 256; ++level)
    table[static_cast<size_t>(level)] = static_cast<uint8_t>(
        std::clamp(std::lround((level - 127.5) * factor + 127.5 + shift), 0L, 255L));
  for (uint8_t& level : levels) level = table[level];
}

bool DecodePage(std::string_view bytes, PixelKind kind, Page& page, std::string& error) {
  page = Page{};
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const bool grey = kind != PixelKind::kColor;
  bool decoded = false;
  if (bytes.size() >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) {
    decoded = DecodeJpeg(bytes, grey, page, error);
  } else if (bytes.size() >= 8 && std::memcmp(p, "\x89PNG\r\n\x1a\n", 8) == 0) {
    decoded = DecodePng(bytes, grey, page, error);
  } else if (bytes.size() >= 2 && p[0] == 'B' && p[1] == 'M') {
    decoded = DecodeBmp(bytes, grey, page, error);
  } else {
    error = "not a JPEG, PNG or BMP file";
  }
  if (!decoded) {
    page = Page{};
    return false;
  }
  page.kind = kind;
  if (kind == PixelKind::kLineart) {
    page.data = PackLineart(page.data.data(), page.widthPx, page.heightPx, page.bytesPerLine);
    page.bytesPerLine = (page.widthPx + 7) / 8;
  }
  return true;
}

}  // namespace tavrin::sane
