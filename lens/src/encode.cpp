#include "lens/src/encode.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include <turbojpeg.h>

#include <QBuffer>
#include <QImage>
#include <QImageWriter>

#include "platform/files.h"

namespace tavrin::lens {

namespace {

constexpr double kMetresPerInch = 0.0254;

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

int DotsPerMetre(int dpi) {
  return static_cast<int>(std::lround(dpi / kMetresPerInch));
}

void PutLittle16(std::string& bytes, size_t at, uint32_t value) {
  bytes[at] = static_cast<char>(value & 0xFF);
  bytes[at + 1] = static_cast<char>((value >> 8) & 0xFF);
}

void PutLittle32(std::string& bytes, size_t at, uint32_t value) {
  PutLittle16(bytes, at, value & 0xFFFF);
  PutLittle16(bytes, at + 2, value >> 16);
}

// The JFIF header that the compressor writes says "no unit"; the density is
// patched into it, so the file carries the DPI without a second pass.
bool PatchJfifDensity(std::string& bytes, int dpiX, int dpiY) {
  static constexpr char kJfif[] = {'J', 'F', 'I', 'F', '\0'};
  if (bytes.size() < 20 || static_cast<unsigned char>(bytes[2]) != 0xFF ||
      static_cast<unsigned char>(bytes[3]) != 0xE0 || std::memcmp(&bytes[6], kJfif, 5) != 0) {
    return false;
  }
  const auto clamp = [](int dpi) { return static_cast<uint32_t>(std::clamp(dpi, 1, 65535)); };
  bytes[13] = 1;  // dots per inch
  bytes[14] = static_cast<char>(clamp(dpiX) >> 8);
  bytes[15] = static_cast<char>(clamp(dpiX) & 0xFF);
  bytes[16] = static_cast<char>(clamp(dpiY) >> 8);
  bytes[17] = static_cast<char>(clamp(dpiY) & 0xFF);
  return true;
}

bool EncodeJpeg(const cv::Mat& image, int dpiX, int dpiY, std::string& bytes, std::string* error) {
  tjhandle handle = tjInitCompress();
  if (handle == nullptr) {
    SetError(error, "cannot start the JPEG compressor");
    return false;
  }
  const bool grey = image.channels() == 1;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  const int status = tjCompress2(handle, image.data, image.cols, static_cast<int>(image.step),
                                 image.rows, grey ? TJPF_GRAY : TJPF_BGR, &buffer, &size,
                                 grey ? TJSAMP_GRAY : TJSAMP_420, kJpegQuality, 0);
  if (status != 0) {
    SetError(error, std::string("JPEG compression failed: ") + tjGetErrorStr2(handle));
    tjFree(buffer);
    tjDestroy(handle);
    return false;
  }
  bytes.assign(reinterpret_cast<const char*>(buffer), size);
  tjFree(buffer);
  tjDestroy(handle);
  if (dpiX > 0 && dpiY > 0 && !PatchJfifDensity(bytes, dpiX, dpiY)) {
    SetError(error, "JPEG stream without JFIF header");
    return false;
  }
  return true;
}

bool EncodeBmp(const cv::Mat& image, int dpiX, int dpiY, std::string& bytes, std::string* error) {
  const bool grey = image.channels() == 1;
  const uint32_t bytesPerPixel = grey ? 1 : 3;
  const uint64_t rowBytes = (static_cast<uint64_t>(image.cols) * bytesPerPixel + 3) & ~3ULL;
  const uint32_t paletteBytes = grey ? 256 * 4 : 0;
  const uint32_t headerBytes = 14 + 40 + paletteBytes;
  const uint64_t total = headerBytes + rowBytes * static_cast<uint64_t>(image.rows);
  if (total > 0xFFFFFFFFULL) {
    SetError(error, "image too large for BMP");
    return false;
  }
  bytes.assign(static_cast<size_t>(total), '\0');
  bytes[0] = 'B';
  bytes[1] = 'M';
  PutLittle32(bytes, 2, static_cast<uint32_t>(total));
  PutLittle32(bytes, 10, headerBytes);
  PutLittle32(bytes, 14, 40);
  PutLittle32(bytes, 18, static_cast<uint32_t>(image.cols));
  PutLittle32(bytes, 22, static_cast<uint32_t>(image.rows));  // bottom-up
  PutLittle16(bytes, 26, 1);
  PutLittle16(bytes, 28, bytesPerPixel * 8);
  PutLittle32(bytes, 34, static_cast<uint32_t>(rowBytes * image.rows));
  PutLittle32(bytes, 38, static_cast<uint32_t>(dpiX > 0 ? DotsPerMetre(dpiX) : 0));
  PutLittle32(bytes, 42, static_cast<uint32_t>(dpiY > 0 ? DotsPerMetre(dpiY) : 0));
  if (grey) {
    PutLittle32(bytes, 46, 256);
    for (uint32_t i = 0; i < 256; ++i) {
      PutLittle32(bytes, 54 + i * 4, (i << 16) | (i << 8) | i);
    }
  }
  for (int y = 0; y < image.rows; ++y) {
    const size_t at = headerBytes + static_cast<size_t>(rowBytes) * (image.rows - 1 - y);
    std::memcpy(&bytes[at], image.ptr(y), static_cast<size_t>(image.cols) * bytesPerPixel);
  }
  return true;
}

bool EncodePng(const cv::Mat& image, int dpiX, int dpiY, std::string& bytes, std::string* error) {
  const bool grey = image.channels() == 1;
  QImage view(image.data, image.cols, image.rows, static_cast<qsizetype>(image.step),
              grey ? QImage::Format_Grayscale8 : QImage::Format_BGR888);
  if (dpiX > 0 && dpiY > 0) {
    view.setDotsPerMeterX(DotsPerMetre(dpiX));
    view.setDotsPerMeterY(DotsPerMetre(dpiY));
  }
  QByteArray encoded;
  QBuffer buffer(&encoded);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "png");
  // zlib's fastest levels cost a few percent of size and save most of the
  // time on a multi-megapixel page.
  writer.setCompression(1);
  if (!writer.write(view)) {
    SetError(error, "PNG encoding failed: " + writer.errorString().toStdString());
    return false;
  }
  bytes.assign(encoded.constData(), static_cast<size_t>(encoded.size()));
  return true;
}

}  // namespace

ImageFormat FormatForPath(const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension.empty() || extension == ".jpg" || extension == ".jpeg") return ImageFormat::kJpeg;
  if (extension == ".png") return ImageFormat::kPng;
  if (extension == ".bmp") return ImageFormat::kBmp;
  return ImageFormat::kUnsupported;
}

bool EncodeImage(const cv::Mat& image, ImageFormat format, int dpiX, int dpiY, std::string& bytes,
                 std::string* error) {
  if (image.empty() || image.depth() != CV_8U || (image.channels() != 1 && image.channels() != 3)) {
    SetError(error, "not an 8-bit grey or BGR image");
    return false;
  }
  switch (format) {
    case ImageFormat::kJpeg:
      return EncodeJpeg(image, dpiX, dpiY, bytes, error);
    case ImageFormat::kPng:
      return EncodePng(image, dpiX, dpiY, bytes, error);
    case ImageFormat::kBmp:
      return EncodeBmp(image, dpiX, dpiY, bytes, error);
    case ImageFormat::kUnsupported:
      break;
  }
  SetError(error, "unsupported file extension");
  return false;
}

bool WriteImageFile(const std::string& path, const cv::Mat& image, int dpiX, int dpiY,
                    std::string* error) {
  std::string bytes;
  if (!EncodeImage(image, FormatForPath(path), dpiX, dpiY, bytes, error)) return false;
  return platform::ReplaceFileAtomically(path, bytes, error);
}

bool WriteImageFile(const std::string& path, const QImage& image, int dpiX, int dpiY,
                    std::string* error) {
  if (image.isNull()) {
    SetError(error, "empty image");
    return false;
  }
  const bool grey = image.format() == QImage::Format_Grayscale8;
  const QImage converted = grey ? image : image.convertToFormat(QImage::Format_BGR888);
  const cv::Mat view(converted.height(), converted.width(), grey ? CV_8UC1 : CV_8UC3,
                     const_cast<uchar*>(converted.constBits()),
                     static_cast<size_t>(converted.bytesPerLine()));
  return WriteImageFile(path, view, dpiX, dpiY, error);
}

}  // namespace tavrin::lens
