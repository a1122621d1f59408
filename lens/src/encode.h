// Writing captured and combined images to files. The format follows the
// extension (.bmp, .jpg or .jpeg at quality 90, .png; no extension means
// JPEG), the DPI is written into the file (JFIF density, PNG pHYs, BMP
// pixels per metre), and a file appears under its name only once it is
// complete: it is written to a temporary name in the same folder, flushed
// and renamed.
// Threads: any; nothing here keeps state between calls.
#pragma once

#include <string>

#include <opencv2/core.hpp>

class QImage;

namespace tavrin::lens {

enum class ImageFormat { kJpeg, kPng, kBmp, kUnsupported };

// By the extension of the file name (case-insensitive); a dot in a folder
// name does not count.
ImageFormat FormatForPath(const std::string& path);

inline constexpr int kJpegQuality = 90;

// image is CV_8UC3 (BGR) or CV_8UC1. dpiX, dpiY above 0 are written into the
// file; 0 leaves the density unset. False with error set on failure.
bool EncodeImage(const cv::Mat& image, ImageFormat format, int dpiX, int dpiY, std::string& bytes,
                 std::string* error = nullptr);

// Encodes by the extension of path and replaces path atomically. On failure
// nothing is left under path or under a temporary name, and an older file of
// that name stays whole.
bool WriteImageFile(const std::string& path, const cv::Mat& image, int dpiX, int dpiY,
                    std::string* error = nullptr);
// The same for a QImage of any format (converted to BGR, or kept grey).
bool WriteImageFile(const std::string& path, const QImage& image, int dpiX, int dpiY,
                    std::string* error = nullptr);

}  // namespace tavrin::lens
