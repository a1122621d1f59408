#include "lens/src/v4l2/decode.h"

#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include <opencv2/imgproc.hpp>

#include "lens/src/memory/large_picture.h"

namespace tavrin::lens::v4l2 {
namespace {

constexpr uint8_t kMarker = 0xff;
constexpr uint8_t kSoi = 0xd8;
constexpr uint8_t kDht = 0xc4;
constexpr uint8_t kSos = 0xda;
constexpr uint8_t kEoi = 0xd9;

// JPEG Annex K.3: bits (code counts per length 1..16) then values, for the
// luminance and chrominance DC and AC tables, each with its class/id byte.
constexpr uint8_t kDcLuminanceBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kDcChrominanceBits[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr uint8_t kDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t kAcLuminanceBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr uint8_t kAcLuminanceValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr uint8_t kAcChrominanceBits[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr uint8_t kAcChrominanceValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

constexpr int CountCodes(const uint8_t (&bits)[16]) {
  int total = 0;
  for (uint8_t count : bits) total += count;
  return total;
}
static_assert(CountCodes(kDcLuminanceBits) == 12 && CountCodes(kDcChrominanceBits) == 12);
static_assert(CountCodes(kAcLuminanceBits) == 162 && CountCodes(kAcChrominanceBits) == 162);

void AppendTable(std::string& segment, uint8_t classAndId, const uint8_t (&bits)[16],
                 const uint8_t* values, size_t count) {
  segment.push_back(static_cast<char>(classAndId));
  segment.append(reinterpret_cast<const char*>(bits), 16);
  segment.append(reinterpret_cast<const char*>(values), count);
}

const std::string& StandardDhtSegment() {
  static const std::string segment = [] {
    std::string tables;
    AppendTable(tables, 0x00, kDcLuminanceBits, kDcValues, sizeof(kDcValues));
    AppendTable(tables, 0x10, kAcLuminanceBits, kAcLuminanceValues, sizeof(kAcLuminanceValues));
    AppendTable(tables, 0x01, kDcChrominanceBits, kDcValues, sizeof(kDcValues));
    AppendTable(tables, 0x11, kAcChrominanceBits, kAcChrominanceValues,
                sizeof(kAcChrominanceValues));
    const size_t length = tables.size() + 2;
    std::string result = {static_cast<char>(kMarker), static_cast<char>(kDht),
                          static_cast<char>(length >> 8), static_cast<char>(length & 0xff)};
    return result + tables;
  }();
  return segment;
}

// Offset of the first SOS or DHT marker before any scan; npos when the
// stream is not a JPEG whose header can be walked.
struct HeaderScan {
  size_t sosOffset = std::string_view::npos;
  bool hasDht = false;
};

HeaderScan ScanHeader(std::string_view jpeg) {
  HeaderScan scan;
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(jpeg[i]); };
  if (jpeg.size() < 4 || byte(0) != kMarker || byte(1) != kSoi) return scan;
  size_t position = 2;
  while (position + 4 <= jpeg.size()) {
    if (byte(position) != kMarker) return scan;
    const uint8_t marker = byte(position + 1);
    if (marker == kMarker) {  // fill byte
      ++position;
      continue;
    }
    if (marker == kSos) {
      scan.sosOffset = position;
      return scan;
    }
    if (marker == kEoi) return scan;
    if (marker == kDht) scan.hasDht = true;
    const size_t length = (size_t{byte(position + 2)} << 8) | byte(position + 3);
    if (length < 2) return scan;
    position += 2 + length;
  }
  return scan;
}

}  // namespace

bool HasHuffmanTables(std::string_view jpeg) {
  return ScanHeader(jpeg).hasDht;
}

std::string WithStandardHuffmanTables(std::string_view jpeg) {
  const HeaderScan scan = ScanHeader(jpeg);
  if (scan.hasDht || scan.sosOffset == std::string_view::npos) return std::string(jpeg);
  std::string patched;
  patched.reserve(jpeg.size() + StandardDhtSegment().size());
  patched.append(jpeg.substr(0, scan.sosOffset));
  patched.append(StandardDhtSegment());
  patched.append(jpeg.substr(scan.sosOffset));
  return patched;
}

cv::Size FitInside(cv::Size frame, cv::Size box) {
  if (frame.width <= 0 || frame.height <= 0 || box.width <= 0 || box.height <= 0) return {0, 0};
  if (int64_t{frame.width} * box.height <= int64_t{box.width} * frame.height) {
    return {std::max(1, static_cast<int>(int64_t{frame.width} * box.height / frame.height)),
            box.height};
  }
  return {box.width,
          std::max(1, static_cast<int>(int64_t{frame.height} * box.width / frame.width))};
}

namespace {
std::atomic<uint64_t> jpegDecodes{0};

// How far from a frame's end its end marker is looked for.
constexpr size_t kEndSearchBytes = 64 * 1024;

// The libjpeg decoder, for what TurboJPEG's calls cannot do: skip rows and
// leave out columns. libjpeg reports an error by a jump back to the step
// that called it; each step below sets its own return point and holds
// nothing with a destructor, so the jump skips no clean-up.
class JpegReader {
 public:
  JpegReader() {
    info.err = jpeg_std_error(&errors_);
    errors_.error_exit = &Fail;
    errors_.emit_message = &Warn;
    info.client_data = this;
  }
  ~JpegReader() {
    if (created_) jpeg_destroy_decompress(&info);
  }
  JpegReader(const JpegReader&) = delete;
  JpegReader& operator=(const JpegReader&) = delete;

  std::string Message() const { return message_[0] != '\0' ? message_ : "unknown error"; }

  bool ReadHeader(const uint8_t* data, size_t bytes) {
    if (setjmp(jump_) != 0) return false;
    jpeg_create_decompress(&info);
    created_ = true;
    jpeg_mem_src(&info, data, static_cast<unsigned long>(bytes));
    return jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK;
  }

  bool Start(unsigned denominator) {
    if (setjmp(jump_) != 0) return false;
    info.out_color_space = JCS_EXT_BGR;
    info.scale_num = 1;
    info.scale_denom = denominator;
    return jpeg_start_decompress(&info) == TRUE;
  }

  // Widens the columns to the block grid; the output rows are then
  // info.output_width wide.
  bool Crop(JDIMENSION& firstColumn, JDIMENSION& columns) {
    if (setjmp(jump_) != 0) return false;
    jpeg_crop_scanline(&info, &firstColumn, &columns);
    return true;
  }

  bool Skip(JDIMENSION rows) {
    if (setjmp(jump_) != 0) return false;
    return rows == 0 || jpeg_skip_scanlines(&info, rows) == rows;
  }

  bool Read(uint8_t* first, size_t step, JDIMENSION rows) {
    if (setjmp(jump_) != 0) return false;
    for (JDIMENSION row = 0; row < rows;) {
      JSAMPROW line = first + row * step;
      const JDIMENSION read = jpeg_read_scanlines(&info, &line, 1);
      if (read == 0) return false;
      row += read;
    }
    return true;
  }

  jpeg_decompress_struct info{};

 private:
  [[noreturn]] static void Fail(j_common_ptr common) {
    auto* reader = static_cast<JpegReader*>(common->client_data);
    common->err->format_message(common, reader->message_);
    std::longjmp(reader->jump_, 1);
  }
  // A warning is corrupt data or a frame cut short (libjpeg would go on
  // with grey): as with whole frames, the picture is refused instead.
  static void Warn(j_common_ptr common, int level) {
    if (level < 0) Fail(common);
  }

  jpeg_error_mgr errors_{};
  std::jmp_buf jump_{};
  char message_[JMSG_LENGTH_MAX] = {};
  bool created_ = false;
};
// The denominator of the smallest halving (1/2, 1/4, 1/8) that still gives
// at least scale of the frame: these run the reduced IDCT in SIMD and cost
// less than resampling. The other factors (3/4, 5/8, ...) are plain C and
// slower than a full decode.
unsigned HalvingAbove(double scale) {
  unsigned denominator = 1;
  while (denominator < 8 && 1.0 / (denominator * 2) >= scale * (1.0 - 1e-9)) denominator *= 2;
  return denominator;
}

bool Fail(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

}  // namespace

FrameDecoder::FrameDecoder() : handle_(tjInitDecompress()) {}

uint64_t FrameDecoder::JpegDecodes() {
  return jpegDecodes.load(std::memory_order_relaxed);
}

FrameDecoder::~FrameDecoder() {
  if (handle_ != nullptr) tjDestroy(static_cast<tjhandle>(handle_));
}

// The header alone tells the frame size; it does not need the tables.
bool FrameDecoder::HeaderSize(const uint8_t* data, size_t bytes, int& width, int& height) {
  int subsampling = 0;
  int colorspace = 0;
  return tjDecompressHeader3(static_cast<tjhandle>(handle_), data,
                             static_cast<unsigned long>(bytes), &width, &height, &subsampling,
                             &colorspace) == 0;
}

// Many cameras leave out the Huffman tables that every frame would repeat;
// a frame without them gets the standard ones inserted.
bool FrameDecoder::Decodable(std::string_view& stream) {
  const HeaderScan scan = ScanHeader(stream);
  if (scan.sosOffset == std::string_view::npos) return false;
  if (!scan.hasDht) {
    patched_ = WithStandardHuffmanTables(stream);
    stream = patched_;
  }
  return true;
}

bool FrameDecoder::DecodeMjpeg(const uint8_t* data, size_t bytes, int expectedWidth,
                               int expectedHeight, Scale scale, cv::Mat& bgr, std::string* error) {
  if (handle_ == nullptr) return Fail(error, "TurboJPEG is not available");
  if (data == nullptr || bytes < 4) return Fail(error, "empty frame");
  std::string_view stream(reinterpret_cast<const char*>(data), bytes);
  if (!Decodable(stream)) return Fail(error, "not a JPEG frame");
  tjhandle handle = static_cast<tjhandle>(handle_);
  const auto* jpeg = reinterpret_cast<const unsigned char*>(stream.data());
  int width = 0;
  int height = 0;
  int subsampling = 0;
  int colorspace = 0;
  if (tjDecompressHeader3(handle, jpeg, static_cast<unsigned long>(stream.size()), &width, &height,
                          &subsampling, &colorspace) != 0)
    return Fail(error, std::string("bad JPEG header: ") + tjGetErrorStr2(handle));
  if (expectedWidth > 0 && (width != expectedWidth || height != expectedHeight))
    return Fail(error, "frame is " + std::to_string(width) + "x" + std::to_string(height) +
                           ", expected " + std::to_string(expectedWidth) + "x" +
                           std::to_string(expectedHeight));
  const tjscalingfactor factor{scale.numerator, scale.denominator};
  const int scaledWidth = TJSCALED(width, factor);
  const int scaledHeight = TJSCALED(height, factor);
  cv::Mat decoded = NewPicture(scaledHeight, scaledWidth, CV_8UC3, kLargeFrameBytes);
  jpegDecodes.fetch_add(1, std::memory_order_relaxed);
  // A frame cut short by the camera decodes with a warning; stopping on it
  // keeps a grey-bottomed picture out of the preview and the files.
  if (tjDecompress2(handle, jpeg, static_cast<unsigned long>(stream.size()), decoded.data,
                    scaledWidth, static_cast<int>(decoded.step), scaledHeight, TJPF_BGR,
                    TJFLAG_STOPONWARNING) != 0)
    return Fail(error, std::string("corrupt JPEG frame: ") + tjGetErrorStr2(handle));
  bgr = decoded;
  return true;
}

bool FrameDecoder::Decode(uint32_t pixelFormat, const uint8_t* data, size_t bytes, int width,
                          int height, int bytesPerLine, cv::Mat& bgr, std::string* error) {
  if (width <= 0 || height <= 0) return Fail(error, "no frame size");
  switch (pixelFormat) {
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
      return DecodeMjpeg(data, bytes, width, height, {1, 1}, bgr, error);
    case V4L2_PIX_FMT_YUYV: {
      const size_t stride = bytesPerLine > 0 ? size_t(bytesPerLine) : size_t(width) * 2;
      if (stride < size_t(width) * 2 || (width % 2) != 0) return Fail(error, "bad YUYV row length");
      if (data == nullptr || bytes < stride * (height - 1) + size_t(width) * 2)
        return Fail(error, "YUYV frame is " + std::to_string(bytes) + " bytes, too short");
      const cv::Mat packed(height, width, CV_8UC2, const_cast<uint8_t*>(data), stride);
      cv::Mat converted;
      cv::cvtColor(packed, converted, cv::COLOR_YUV2BGR_YUYV);
      bgr = converted;
      return true;
    }
    case V4L2_PIX_FMT_NV12: {
      const size_t stride = bytesPerLine > 0 ? size_t(bytesPerLine) : size_t(width);
      if (stride < size_t(width) || (width % 2) != 0 || (height % 2) != 0)
        return Fail(error, "bad NV12 layout");
      if (data == nullptr || bytes < stride * height * 3 / 2)
        return Fail(error, "NV12 frame is too short");
      cv::Mat planes;
      if (stride == size_t(width)) {
        planes = cv::Mat(height * 3 / 2, width, CV_8UC1, const_cast<uint8_t*>(data));
      } else {
        // OpenCV wants the two planes without row padding.
        planes.create(height * 3 / 2, width, CV_8UC1);
        for (int row = 0; row < height * 3 / 2; ++row)
          std::copy_n(data + row * stride, width, planes.ptr(row));
      }
      cv::Mat converted;
      cv::cvtColor(planes, converted, cv::COLOR_YUV2BGR_NV12);
      bgr = converted;
      return true;
    }
    default:
      return Fail(error, "pixel format not supported");
  }
}

bool FrameDecoder::CheckMjpeg(const uint8_t* data, size_t bytes, int width, int height,
                              std::string* error) {
  if (handle_ == nullptr) return Fail(error, "TurboJPEG is not available");
  if (data == nullptr || bytes < 4) return Fail(error, "empty frame");
  // Some cameras pad a frame to a whole transfer after its end marker. The
  // marker cannot occur inside the coded data (a 0xFF there is followed by
  // 0x00 or a restart marker), so one near the end means the frame is whole.
  const size_t searchFrom = bytes > kEndSearchBytes ? bytes - kEndSearchBytes : 0;
  bool ended = false;
  for (size_t at = bytes - 1; at > searchFrom && !ended; --at)
    ended = data[at - 1] == 0xFF && data[at] == 0xD9;
  if (!ended) return Fail(error, "JPEG frame cut short");
  int frameWidth = 0;
  int frameHeight = 0;
  if (!HeaderSize(data, bytes, frameWidth, frameHeight)) return Fail(error, "bad JPEG header");
  if (frameWidth != width || frameHeight != height)
    return Fail(error, "frame is " + std::to_string(frameWidth) + "x" +
                           std::to_string(frameHeight) + ", expected " + std::to_string(width) +
                           "x" + std::to_string(height));
  return true;
}

bool FrameDecoder::DecodeMjpegToFit(const uint8_t* data, size_t bytes, int maxWidth, int maxHeight,
                                    cv::Mat& bgr, std::string* error) {
  if (handle_ == nullptr || data == nullptr || bytes < 4 || maxWidth <= 0 || maxHeight <= 0)
    return Fail(error, "bad arguments");
  int width = 0;
  int height = 0;
  if (!HeaderSize(data, bytes, width, height)) return Fail(error, "bad JPEG header");
  const cv::Size target = FitInside({width, height}, {maxWidth, maxHeight});
  const unsigned denominator = HalvingAbove(std::max(static_cast<double>(target.width) / width,
                                                     static_cast<double>(target.height) / height));
  cv::Mat decoded;
  if (!DecodeMjpeg(data, bytes, width, height, {1, static_cast<int>(denominator)}, decoded, error))
    return false;
  if (decoded.size() == target) {
    bgr = decoded;
  } else {
    // What is left is less than a halving, where bilinear keeps the detail
    // and costs a fraction of area resampling.
    cv::resize(decoded, bgr, target, 0, 0, cv::INTER_LINEAR);
  }
  return true;
}

bool FrameDecoder::DecodeMjpegRegion(const uint8_t* data, size_t bytes, cv::Rect region,
                                     double scale, cv::Mat& bgr, cv::Rect& covered,
                                     std::string* error) {
  if (data == nullptr || bytes < 4) return Fail(error, "empty frame");
  if (!(scale > 0.0) || scale > 1.0 || region.empty()) return Fail(error, "bad arguments");
  std::string_view stream(reinterpret_cast<const char*>(data), bytes);
  if (!Decodable(stream)) return Fail(error, "not a JPEG frame");
  JpegReader reader;
  if (!reader.ReadHeader(reinterpret_cast<const uint8_t*>(stream.data()), stream.size()))
    return Fail(error, "bad JPEG header: " + reader.Message());
  const cv::Rect frame(0, 0, static_cast<int>(reader.info.image_width),
                       static_cast<int>(reader.info.image_height));
  region &= frame;
  if (region.empty()) return Fail(error, "region outside the frame");
  const unsigned denominator = HalvingAbove(scale);
  if (!reader.Start(denominator)) return Fail(error, "corrupt JPEG frame: " + reader.Message());
  // Decoded pixel i covers frame pixels [i * denominator, (i + 1) * denominator).
  const auto low = [&](int at) {
    return static_cast<JDIMENSION>(at / static_cast<int>(denominator));
  };
  const auto high = [&](int at) {
    return static_cast<JDIMENSION>((at + static_cast<int>(denominator) - 1) /
                                   static_cast<int>(denominator));
  };
  JDIMENSION firstColumn = low(region.x);
  JDIMENSION columns =
      std::min<JDIMENSION>(high(region.x + region.width), reader.info.output_width) - firstColumn;
  const JDIMENSION firstRow = low(region.y);
  const JDIMENSION rows =
      std::min<JDIMENSION>(high(region.y + region.height), reader.info.output_height) - firstRow;
  if (columns == 0 || rows == 0) return Fail(error, "region outside the frame");
  if (!reader.Crop(firstColumn, columns))
    return Fail(error, "corrupt JPEG frame: " + reader.Message());
  cv::Mat decoded(static_cast<int>(rows), static_cast<int>(reader.info.output_width), CV_8UC3);
  jpegDecodes.fetch_add(1, std::memory_order_relaxed);
  if (!reader.Skip(firstRow) || !reader.Read(decoded.data, decoded.step, rows))
    return Fail(error, "corrupt JPEG frame: " + reader.Message());
  const int d = static_cast<int>(denominator);
  covered.x = static_cast<int>(firstColumn) * d;
  covered.y = static_cast<int>(firstRow) * d;
  covered.width =
      std::min(frame.width, (static_cast<int>(firstColumn) + decoded.cols) * d) - covered.x;
  covered.height =
      std::min(frame.height, (static_cast<int>(firstRow) + decoded.rows) * d) - covered.y;
  const cv::Size target(std::max(1, static_cast<int>(std::lround(covered.width * scale))),
                        std::max(1, static_cast<int>(std::lround(covered.height * scale))));
  if (decoded.size() == target) {
    bgr = decoded;
  } else {
    cv::resize(decoded, bgr, target, 0, 0, cv::INTER_LINEAR);
  }
  return true;
}

}  // namespace tavrin::lens::v4l2
