#include "lens/src/stages/pipeline.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "lens/include/TavrinLens.h"

#include "lens/src/memory/large_picture.h"
#include "lens/src/stages/book.h"
#include "lens/src/stages/color.h"
#include "lens/src/stages/even_light.h"
#include "lens/src/stages/geometry.h"
#include "lens/src/stages/page_detect.h"
#include "lens/src/stages/watermark.h"

namespace tavrin::lens {

namespace {

// A DPI request that would make an image larger than this is refused
// rather than exhausting memory: a 600 DPI A3 page is about 70 MP.
constexpr double kMaxOutputPixels = 256.0 * 1000 * 1000;

// What the page edge's blur costs: the detection image's pixel and one
// frame pixel more, so no desk shows in the border rows.
double EdgeInsetFramePixels(const PageQuad& quad) {
  return 1.0 / quad.detectionScale + 1.0;
}

// Whether a corner of quad lies on the edge of an image of size: the page
// goes on beyond it, and what was found is only the part of it inside.
bool CutByTheEdge(const PageQuad& quad, cv::Size size) {
  // A few detection pixels: the outline found follows the edge that closely.
  const double margin = 3.0 / quad.detectionScale + 1.0;
  for (const cv::Point2f& corner : quad.corners) {
    if (corner.x < margin || corner.y < margin || corner.x > size.width - margin ||
        corner.y > size.height - margin)
      return true;
  }
  return false;
}

// The grey copy of colour that the pages' warp reads: only the part the
// quads cover, and a few pixels about it for the interpolation, is worked
// out; the desk around it is never read. Pages of a book are flattened
// from beyond their outline, and take the whole.
cv::Mat GreyUnder(const cv::Mat& colour, const std::vector<PageQuad>& quads, bool whole) {
  if (whole || quads.empty()) return ToGrey(colour);
  constexpr int kReadMargin = 8;
  std::vector<cv::Point2f> corners;
  for (const PageQuad& quad : quads)
    corners.insert(corners.end(), quad.corners.begin(), quad.corners.end());
  const cv::Rect2f bounds = cv::boundingRect(corners);
  const cv::Point first(cvFloor(bounds.x) - kReadMargin, cvFloor(bounds.y) - kReadMargin);
  const cv::Point last(cvCeil(bounds.br().x) + kReadMargin, cvCeil(bounds.br().y) + kReadMargin);
  const cv::Rect read = cv::Rect(first, last) & cv::Rect(cv::Point(0, 0), colour.size());
  cv::Mat grey = NewPicture(colour.size(), CV_8UC1);
  if (!read.empty()) {
    cv::Mat into = grey(read);
    cv::cvtColor(colour(read), into, cv::COLOR_BGR2GRAY);
  }
  return grey;
}

// The pages are searched for on the frame as the camera gave it (seen, the
// colour keeps cream paper apart from a white desk), and the frame or, for
// grey, its grey copy is what is cut: every colour mode cuts the same
// region. Within a search area only pages lying wholly inside it count, not
// one the area's edge cuts through. pagesFound tells whether the pieces are
// pages or the whole frame.
std::vector<cv::Mat> CropAndResample(const cv::Mat& seen, bool grey, const PageCamera& camera,
                                     int autoCrop, const CropPercent& searchArea, double scaleX,
                                     double scaleY, bool& pagesFound) {
  std::vector<cv::Mat> pieces;
  const auto search = SearchForCrop(autoCrop);
  if (search) {
    cv::Mat seenPart = seen;
    PageCamera partCamera = camera;
    if (searchArea.Enabled()) {
      const cv::Rect part = CustomCropRect(seen.size(), searchArea);
      seenPart = seen(part);
      partCamera.principalPoint -= cv::Point2d(part.x, part.y);
    }
    std::vector<PageQuad> quads = FindPages(seenPart, *search, partCamera);
    if (searchArea.Enabled()) {
      std::erase_if(quads,
                    [&](const PageQuad& quad) { return CutByTheEdge(quad, seenPart.size()); });
    }
    // Grey commutes with the warp and the resampling, and a third of the
    // data makes both three times cheaper.
    const cv::Mat imagePart =
        grey ? GreyUnder(seenPart, quads, *search == PageSearch::kBook) : seenPart;
    for (const PageQuad& quad : quads) {
      // A book's two pages together are about its spread's size, so the
      // one bound covers them as well as a single page.
      const cv::Size2d sides = PageSideLengths(quad);
      if (sides.width * scaleX * sides.height * scaleY > kMaxOutputPixels) return {};
      if (*search == PageSearch::kBook) {
        BookRequest book;
        book.scaleX = scaleX;
        book.scaleY = scaleY;
        book.insetPixels = EdgeInsetFramePixels(quad) * std::min(scaleX, scaleY);
        auto flat = FlattenBookSpread(imagePart, quad, partCamera, book);
        if (!flat.empty()) {
          for (cv::Mat& page : flat) pieces.push_back(std::move(page));
          continue;
        }
      }
      WarpRequest request;
      request.scaleX = scaleX;
      request.scaleY = scaleY;
      // A page partly under another gets that part painted as its own
      // paper, not a corner of the other page's print.
      request.restoreEdges = autoCrop == kTavrinCropEdgeRestore || quad.underAnother;
      // Edge restore paints over the rim instead of cutting it away.
      request.insetPixels =
          request.restoreEdges ? 0.0 : EdgeInsetFramePixels(quad) * std::min(scaleX, scaleY);
      pieces.push_back(WarpPage(imagePart, quad, request));
    }
  }
  pagesFound = !pieces.empty();
  if (pieces.empty()) {
    if (static_cast<double>(seen.total()) * scaleX * scaleY > kMaxOutputPixels) return {};
    pieces.push_back(Resample(grey ? ToGrey(seen) : seen, scaleX, scaleY));
  }
  return pieces;
}

std::vector<ProcessedImage> Run(const cv::Mat& frame, int cameraDpi,
                                const ProcessingOptions& options, PipelineFailure& failure) {
  const int ownDpi = cameraDpi > 0 ? cameraDpi : kDefaultCameraDpi;
  const bool resample = options.dpiX > 0 && options.dpiY > 0;
  const int dpiX = resample ? options.dpiX : ownDpi;
  const int dpiY = resample ? options.dpiY : ownDpi;
  const int colorMode = NormalizeColorMode(options.colorMode);

  const cv::Rect kept = CustomCropRect(frame.size(), options.customCrop);
  cv::Mat source = frame(kept);
  // The camera looks at the middle of the whole frame, not of the part kept.
  PageCamera camera;
  camera.principalPoint = cv::Point2d(frame.cols / 2.0 - kept.x, frame.rows / 2.0 - kept.y);
  camera.focalPixels = DefaultFocalPixels(frame.cols);
  std::vector<ProcessedImage> result;
  bool pages = false;
  std::vector<cv::Mat> pieces =
      CropAndResample(source, IsSingleChannelMode(colorMode), camera, options.autoCrop,
                      options.searchArea, DpiScale(ownDpi, dpiX), DpiScale(ownDpi, dpiY), pages);
  // Colour and grey pages get the light evened out when asked; one global
  // threshold needs it always, or a lamp's fall-off and a glossy highlight
  // take whole lines of a page to black or to white.
  const bool evenLight =
      pages &&
      (colorMode == kColorModeOtsu ||
       (options.evenLight && (colorMode == kColorModeColor || colorMode == kColorModeGrey)));
  for (cv::Mat& piece : pieces) {
    // A page cut from the frame is a picture of its own, which the light
    // is evened out over; never the frame itself.
    if (evenLight)
      piece = piece.datastart != frame.datastart ? EvenOutLightOver(piece) : EvenOutLight(piece);
    ProcessedImage processed;
    processed.image = Rotate(ApplyColorMode(piece, colorMode), options.rotate);
    processed.dpiX = dpiX;
    processed.dpiY = dpiY;
    if (SwapsAxes(options.rotate)) std::swap(processed.dpiX, processed.dpiY);
    // A stage that leaves the picture as it is hands back a view of the
    // frame, which is never written: a copy costs a full-size buffer for
    // nothing, except where the watermark is about to draw into it.
    if (options.watermark.enable && processed.image.datastart == frame.datastart) {
      processed.image = CopyPicture(processed.image);
    }
    // After the colour stage, so a black-and-white threshold cannot wipe a
    // light or transparent mark away; the dot pattern keeps such a page
    // two-level.
    const bool twoLevel = colorMode == kColorModeDocument || colorMode == kColorModeOtsu;
    if (DrawWatermark(processed.image, options.watermark, processed.dpiX, processed.dpiY,
                      twoLevel ? WatermarkInk::kHalftoneBlack : WatermarkInk::kColour) ==
        WatermarkResult::kNoFonts) {
      failure = PipelineFailure::kWatermarkNoFonts;
      return {};
    }
    result.push_back(std::move(processed));
  }
  return result;
}

}  // namespace

std::vector<ProcessedImage> RunPipeline(const cv::Mat& frame, int cameraDpi,
                                        const ProcessingOptions& options,
                                        PipelineFailure* failure) {
  PipelineFailure ignored = PipelineFailure::kNone;
  PipelineFailure& why = failure != nullptr ? *failure : ignored;
  why = PipelineFailure::kNone;
  if (frame.empty() || frame.type() != CV_8UC3) {
    why = PipelineFailure::kBadInput;
    return {};
  }
  try {
    auto result = Run(frame, cameraDpi, options, why);
    if (result.empty() && why == PipelineFailure::kNone) why = PipelineFailure::kTooLarge;
    return result;
  } catch (const cv::Exception&) {
    why = PipelineFailure::kTooLarge;
    return {};
  } catch (const std::bad_alloc&) {
    why = PipelineFailure::kTooLarge;
    return {};
  }
}

}  // namespace tavrin::lens
