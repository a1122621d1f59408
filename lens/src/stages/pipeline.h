// The processing stages applied to a captured frame, in order: custom crop,
// automatic crop, DPI resampling, evened-out light, colour mode, rotation,
// watermark. Pure
// functions on images; no device, no files.
// Threads: any; nothing here keeps state between calls.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tavrin::lens {

struct CropPercent {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  bool Enabled() const { return right > left && bottom > top; }
  bool operator==(const CropPercent&) const = default;
};

struct WatermarkOptions {
  bool enable = false;
  std::string text;   // UTF-8
  int position = 0;   // one of the nine places
  int fontSize = 36;  // points
  std::string fontName = "Arial";
  bool italic = false;
  bool underline = false;
  bool bold = false;
  float angleDegrees = 0.0F;         // counter-clockwise
  float transparencyPercent = 0.0F;  // 0 opaque, 100 invisible
  int red = 0;
  int green = 0;
  int blue = 0;
};

struct ProcessingOptions {
  CropPercent customCrop;
  // Percent of the part kept: a crop takes only pages lying wholly inside
  // it (off when not Enabled). Without such a page the picture is as if
  // it were not set.
  CropPercent searchArea;
  int autoCrop = 0;  // 0 none, 1 single, 2 multiple, 3 edge restore, 4 book
  int dpiX = 0;      // 0, 0: keep the camera's own DPI
  int dpiY = 0;
  int colorMode = 0;  // 0 colour, 1 b/w documents, 3 grey, 4 b/w Otsu
  int rotate = 0;     // 0 none, 1 left, 2 180, 3 right
  // A page found by the crop comes out as under a flatbed's light in
  // colour and grey; no crop keeps the scene's own light.
  bool evenLight = true;
  WatermarkOptions watermark;
};

struct ProcessedImage {
  cv::Mat image;  // CV_8UC3 (BGR) or CV_8UC1
  int dpiX = 0;
  int dpiY = 0;
};

// Why RunPipeline gave no picture.
enum class PipelineFailure {
  kNone,
  kBadInput,          // an empty frame, or one of another type
  kTooLarge,          // the DPI asks for more memory than is sensible, or allocation failed
  kWatermarkNoFonts,  // a watermark was asked for and no font could draw it
};

// frame is CV_8UC3 BGR; cameraDpi its own resolution (0: unknown, taken as
// 96); it is never written, and must stay unchanged while the results are
// used: an image the stages leave as it is (no crop, colour, DPI or
// rotation) shares the frame's pixels. Returns one image, or several for a
// multiple crop, never empty. A crop that finds no page keeps the whole frame.
// The list is empty only for an empty frame of another type, a DPI that
// would need an absurd amount of memory, a failed allocation, or a
// watermark that no font can draw (a picture without the mark it was asked
// to carry is never handed on): the caller reports a failed capture and
// writes nothing, and failure, when given, says which.
std::vector<ProcessedImage> RunPipeline(const cv::Mat& frame, int cameraDpi,
                                        const ProcessingOptions& options,
                                        PipelineFailure* failure = nullptr);

}  // namespace tavrin::lens
