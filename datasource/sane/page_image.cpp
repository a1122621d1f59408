#include "datasource/sane/page_image.h"

#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

// After <cstdio>: it uses FILE.
#include <jpeglib.h>

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

// A JPEG file's rows, decoded as they are read. libjpeg reports a broken
// file by a long jump, so no C++ object with a destructor lives in the
// frames it jumps over.
class JpegRows {
 public:
  JpegRows() = default;
  ~JpegRows() {
    if (created_) jpeg_destroy_decompress(&info_);
  }
  JpegRows(const JpegRows&) = delete;
  JpegRows& operator=(const JpegRows&) = delete;

  // Reads the header; bytes must stay until the last Read.
  bool Open(std::string_view bytes, bool grey, std::string& error) {
    info_.err = jpeg_std_error(&failure_.manager);
    failure_.manager.error_exit = Exit;
    failure_.manager.emit_message = Note;
    if (setjmp(failure_.jump) != 0) return Failed(error);
    Start(bytes, grey);
    if (failure_.manager.num_warnings != 0) return Failed(error);
    return true;
  }
  int Width() const { return static_cast<int>(info_.output_width); }
  int Height() const { return static_cast<int>(info_.output_height); }

  // The next rows, stride bytes apart. Even a warning is refused: a file
  // cut short only warns, and its missing rows would come out grey as if
  // they were the page.
  bool Read(uint8_t* out, size_t stride, int rows, std::string& error) {
    if (setjmp(failure_.jump) != 0) return Failed(error);
    if (!ReadRows(out, stride, rows)) {
      std::snprintf(failure_.message, sizeof(failure_.message), "rows missing");
      return Failed(error);
    }
    if (failure_.manager.num_warnings != 0) return Failed(error);
    return true;
  }

 private:
  // The calls that may jump back, in frames of their own: nothing that
  // changes between the setjmp and the jump lives in the frame it returns to.
  __attribute__((noinline)) void Start(std::string_view bytes, bool grey) {
    jpeg_create_decompress(&info_);
    created_ = true;
    jpeg_mem_src(&info_, reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info_, TRUE);
    info_.out_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&info_);
  }
  __attribute__((noinline)) bool ReadRows(uint8_t* out, size_t stride, int rows) {
    for (int row = 0; row < rows; ++row) {
      JSAMPROW line = out + stride * row;
      if (jpeg_read_scanlines(&info_, &line, 1) != 1) return false;
    }
    return true;
  }

  struct Failure {
    jpeg_error_mgr manager;  // first: libjpeg's pointer to it is one to this
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = "";
  };
  static void Exit(j_common_ptr info) {
    auto* failure = reinterpret_cast<Failure*>(info->err);
    (*info->err->format_message)(info, failure->message);
    std::longjmp(failure->jump, 1);
  }
  static void Note(j_common_ptr info, int level) {
    if (level >= 0) return;  // trace messages
    auto* failure = reinterpret_cast<Failure*>(info->err);
    if (info->err->num_warnings++ == 0) (*info->err->format_message)(info, failure->message);
  }
  bool Failed(std::string& error) const {
    error = std::string("broken JPEG file: ") + failure_.message;
    return false;
  }

  jpeg_decompress_struct info_{};
  Failure failure_{};
  bool created_ = false;
};

struct BandResampler::State {
  const uint8_t* pixels = nullptr;
  int widthPx = 0;
  int heightPx = 0;
  int channels = 1;
  int newWidthPx = 0;
  int newHeightPx = 0;
  bool same = false;  // nothing to resample: rows are copied
  Taps across;
  Taps down;
  // The rows resampled across, into floats, as far as the rows made so
  // far reached down into the picture.
  std::vector<float> wide;
  int wideRows = 0;
  int nextRow = 0;
  size_t downWeight = 0;  // where nextRow's weights start in down.weights
  std::vector<float> row;
  RowsNeeded rowsNeeded;

  bool Have(int rows) const { return !rowsNeeded || rowsNeeded(rows); }

  bool WidenTo(int rows) {
    if (rows > wideRows && !Have(rows)) return false;
    const size_t rowValues = static_cast<size_t>(newWidthPx) * channels;
    for (; wideRows < rows; ++wideRows) {
      const uint8_t* in = pixels + static_cast<size_t>(wideRows) * widthPx * channels;
      float* out = wide.data() + static_cast<size_t>(wideRows) * rowValues;
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
    return true;
  }
};

BandResampler::BandResampler(const uint8_t* pixels, int widthPx, int heightPx, int channels,
                             int newWidthPx, int newHeightPx, RowsNeeded rowsNeeded)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.rowsNeeded = std::move(rowsNeeded);
  s.pixels = pixels;
  s.widthPx = widthPx;
  s.heightPx = heightPx;
  s.channels = channels;
  s.newWidthPx = newWidthPx;
  s.newHeightPx = newHeightPx;
  s.same = newWidthPx == widthPx && newHeightPx == heightPx;
  if (s.same) return;
  // Across first, into floats, then down.
  s.across = MakeTaps(widthPx, newWidthPx);
  s.down = MakeTaps(heightPx, newHeightPx);
  s.wide.resize(static_cast<size_t>(newWidthPx) * heightPx * channels);
  s.row.resize(static_cast<size_t>(newWidthPx) * channels);
}

BandResampler::~BandResampler() = default;
BandResampler::BandResampler(BandResampler&&) noexcept = default;
BandResampler& BandResampler::operator=(BandResampler&&) noexcept = default;

int BandResampler::NextRows(int rows, uint8_t* out) {
  State& s = *state_;
  const int count = std::clamp(s.newHeightPx - s.nextRow, 0, std::max(rows, 0));
  const size_t rowValues = static_cast<size_t>(s.newWidthPx) * s.channels;
  if (s.same) {
    if (!s.Have(s.nextRow + count)) return -1;
    std::memcpy(out, s.pixels + rowValues * s.nextRow, rowValues * count);
    s.nextRow += count;
    return count;
  }
  for (int i = 0; i < count; ++i, ++s.nextRow) {
    const int y = s.nextRow;
    if (!s.WidenTo(s.down.first[y] + s.down.count[y])) return -1;
    std::fill(s.row.begin(), s.row.end(), 0.0f);
    for (int k = 0; k < s.down.count[y]; ++k) {
      const float weight = s.down.weights[s.downWeight + k];
      const float* in = s.wide.data() + (s.down.first[y] + k) * rowValues;
      for (size_t v = 0; v < rowValues; ++v) s.row[v] += weight * in[v];
    }
    s.downWeight += s.down.count[y];
    uint8_t* to = out + rowValues * i;
    for (size_t v = 0; v < rowValues; ++v) to[v] = ToByte(s.row[v]);
  }
  return count;
}

std::vector<uint8_t> Resample(const uint8_t* pixels, int widthPx, int heightPx, int channels,
                              int newWidthPx, int newHeightPx) {
  std::vector<uint8_t> result(static_cast<size_t>(newWidthPx) * newHeightPx * channels);
  BandResampler(pixels, widthPx, heightPx, channels, newWidthPx, newHeightPx)
      .NextRows(newHeightPx, result.data());
  return result;
}

int PixelsOf(double mm, double dpi) {
  return static_cast<int>(std::lround(mm * dpi / kMmPerInch));
}

PageMaker::PageMaker() = default;
PageMaker::~PageMaker() = default;

void PageMaker::Clear() {
  resampler_.reset();
  jpeg_.reset();
  file_ = {};
  decodedWhole_ = {};
  decodedLater_.reset();
  decoded_ = nullptr;
  cutPixels_.reset();
  greyBand_ = {};
  decodedWidth_ = decodedHeight_ = decodedRows_ = 0;
  cut_ = false;
  cutX_ = cutY_ = cutWidth_ = cutHeight_ = cutRows_ = 0;
  rowsMade_ = 0;
  error_.clear();
}

bool PageMaker::Begin(std::string_view bytes, const PageRequest& request, Page& page,
                      std::string& error, bool* dpiGuessed) {
  Clear();
  request_ = request;
  page = Page{};
  if (dpiGuessed != nullptr) *dpiGuessed = false;
  if (request.dpi <= 0) {
    error = "no resolution asked for";
    return false;
  }
  // Black and white is thresholded after resampling, so it is grey till then.
  const PixelKind decodeAs = request.kind == PixelKind::kLineart ? PixelKind::kGray : request.kind;
  channels_ = decodeAs == PixelKind::kColor ? 3 : 1;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  if (bytes.size() >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) {
    file_.assign(bytes);
    jpeg_ = std::make_unique<JpegRows>();
    if (!jpeg_->Open(file_, channels_ == 1, error)) {
      Clear();
      return false;
    }
    if (!CheckSize(jpeg_->Width(), jpeg_->Height(), channels_, error)) {
      Clear();
      return false;
    }
    page.widthPx = jpeg_->Width();
    page.heightPx = jpeg_->Height();
    ReadJfifDensity(p, bytes.size(), page);
    decodedLater_ = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(page.widthPx) *
                                                              page.heightPx * channels_);
    decoded_ = decodedLater_.get();
  } else {
    if (!DecodePage(bytes, decodeAs, page, error)) return false;
    decodedWhole_ = std::move(page.data);
    decoded_ = decodedWhole_.data();
    decodedRows_ = page.heightPx;
  }
  decodedWidth_ = page.widthPx;
  decodedHeight_ = page.heightPx;
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
    cutX_ = PixelsOf(request.leftMm, dpiX);
    cutY_ = PixelsOf(request.topMm, dpiY);
    cutWidth = std::max(1, PixelsOf(request.rightMm, dpiX) - cutX_);
    cutHeight = std::max(1, PixelsOf(request.bottomMm, dpiY) - cutY_);
    newWidth = std::max(1, PixelsOf(request.rightMm - request.leftMm, request.dpi));
    newHeight = std::max(1, PixelsOf(request.bottomMm - request.topMm, request.dpi));
    if (!CheckSize(cutWidth, cutHeight, channels_, error)) {
      Clear();
      page = Page{};
      return false;
    }
    cut_ = true;
    cutWidth_ = cutWidth;
    cutHeight_ = cutHeight;
    cutPixels_ = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(cutWidth) *
                                                           cutHeight * channels_);
  }
  if (!CheckSize(newWidth, newHeight, channels_, error)) {
    Clear();
    page = Page{};
    return false;
  }
  resampler_.emplace(cut_ ? cutPixels_.get() : decoded_, cutWidth, cutHeight, channels_, newWidth,
                     newHeight, [this](int rows) { return NeedRows(rows); });
  page.widthPx = newWidth;
  page.heightPx = newHeight;
  page.bytesPerLine =
      request.kind == PixelKind::kLineart ? (newWidth + 7) / 8 : newWidth * channels_;
  page.dpiX = page.dpiY = request.dpi;
  page.kind = request.kind;
  page.data.assign(static_cast<size_t>(page.bytesPerLine) * newHeight, 0);
  return true;
}

bool PageMaker::NeedRows(int rows) {
  const int decodedNeeded =
      cut_ ? std::clamp(cutY_ + rows, 0, decodedHeight_) : std::min(rows, decodedHeight_);
  if (decodedRows_ < decodedNeeded) {
    const size_t stride = static_cast<size_t>(decodedWidth_) * channels_;
    if (jpeg_ == nullptr || !jpeg_->Read(decoded_ + stride * decodedRows_, stride,
                                         decodedNeeded - decodedRows_, error_))
      return false;
    decodedRows_ = decodedNeeded;
    // All read: the file is no longer needed.
    if (decodedRows_ == decodedHeight_) {
      jpeg_.reset();
      file_ = {};
    }
  }
  if (!cut_) return true;
  const int fromX = std::clamp(cutX_, 0, decodedWidth_);
  const int toX = std::clamp(cutX_ + cutWidth_, 0, decodedWidth_);
  const size_t rowBytes = static_cast<size_t>(cutWidth_) * channels_;
  for (; cutRows_ < std::min(rows, cutHeight_); ++cutRows_) {
    uint8_t* row = cutPixels_.get() + rowBytes * cutRows_;
    const int y = cutY_ + cutRows_;
    if (y < 0 || y >= decodedHeight_ || toX <= fromX) {
      std::memset(row, 255, rowBytes);
      continue;
    }
    const size_t left = static_cast<size_t>(fromX - cutX_) * channels_;
    const size_t inside = static_cast<size_t>(toX - fromX) * channels_;
    std::memset(row, 255, left);
    std::memcpy(row + left, decoded_ + (static_cast<size_t>(y) * decodedWidth_ + fromX) * channels_,
                inside);
    std::memset(row + left + inside, 255, rowBytes - left - inside);
  }
  return true;
}

int PageMaker::MakeRows(Page& page, int rows) {
  if (!resampler_) return error_.empty() ? 0 : -1;
  const int rowValues = page.widthPx * channels_;
  const bool lineart = request_.kind == PixelKind::kLineart;
  uint8_t* out = page.data.data() + static_cast<size_t>(page.bytesPerLine) * rowsMade_;
  if (lineart) greyBand_.resize(static_cast<size_t>(rowValues) * std::max(rows, 0));
  const int made = resampler_->NextRows(rows, lineart ? greyBand_.data() : out);
  if (made < 0) {
    // What it was made from is broken: nothing more comes of it.
    const std::string error = error_.empty() ? "the picture's rows did not come" : error_;
    Clear();
    error_ = error;
    return -1;
  }
  AdjustLevels(lineart ? greyBand_.data() : out, static_cast<size_t>(rowValues) * made,
               request_.brightness, request_.contrast);
  if (lineart) {
    const std::vector<uint8_t> packed =
        PackLineart(greyBand_.data(), page.widthPx, made, rowValues, request_.threshold);
    std::copy(packed.begin(), packed.end(), out);
  }
  rowsMade_ += made;
  if (rowsMade_ == page.heightPx) {
    // Done: what it was made from is no longer needed.
    const int rowsMade = rowsMade_;
    Clear();
    rowsMade_ = rowsMade;
  }
  return made;
}

bool PreparePage(std::string_view bytes, const PageRequest& request, Page& page, std::string& error,
                 bool* dpiGuessed) {
  PageMaker maker;
  if (!maker.Begin(bytes, request, page, error, dpiGuessed)) return false;
  for (;;) {
    const int made = maker.MakeRows(page, page.heightPx);
    if (made == 0) return true;
    if (made < 0) {
      error = maker.Error();
      page = Page{};
      return false;
    }
  }
}

void AdjustLevels(std::vector<uint8_t>& levels, int brightness, int contrast) {
  AdjustLevels(levels.data(), levels.size(), brightness, contrast);
}

void AdjustLevels(uint8_t* levels, size_t count, int brightness, int contrast) {
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
  for (size_t i = 0; i < count; ++i) levels[i] = table[levels[i]];
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
