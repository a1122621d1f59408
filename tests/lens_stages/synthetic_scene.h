// Synthetic captures for the processing stages' tests, benchmark and
// screenshots: bright pages with lines of text on a darker desk, with the
// page geometry they were drawn with.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

namespace tavrin::lens::synthetic {

inline const cv::Scalar kDeskColour(70, 88, 104);  // BGR, a brownish desk
inline const cv::Scalar kPageColour(236, 238, 240);
inline const cv::Scalar kInkColour(40, 40, 40);

struct DrawnPage {
  cv::Point2f centre;
  cv::Size2f size;            // width, height in pixels
  float angleDegrees = 0.0F;  // counter-clockwise on screen
  cv::Scalar colour = kPageColour;
  bool text = true;
  // Cut the top-left corner off along a line through these parts of the
  // top and left sides (0: no cut), as a dog-eared page looks.
  float cutCorner = 0.0F;
  // Where the page's corners land in the frame when a camera sees it
  // under perspective; centre and angle are then ignored, size is the
  // page's own (upright) size.
  std::optional<std::array<cv::Point2f, 4>> projected;
};

struct Desk {
  cv::Scalar colour = kDeskColour;
  // A lamp near the top left corner: the light there is this much
  // stronger than far away, on desk and paper alike.
  double lamp = 0.0;
};

// The four corners of a drawn page: top left, top right, bottom right,
// bottom left of the page itself.
std::array<cv::Point2f, 4> PageCorners(const DrawnPage& page);

// A desk of size with a gentle light gradient and sensor noise (seeded, so
// the same every run), and the pages drawn on it in order.
cv::Mat DrawScene(cv::Size size, const std::vector<DrawnPage>& pages, unsigned noiseSeed = 7,
                  const Desk& desk = {});

// One page, slightly turned, covering about half of the frame: what the
// document camera sees.
DrawnPage DocumentPage(cv::Size frameSize, float angleDegrees = 4.0F);
// Three separate cards of distinct tints.
std::vector<DrawnPage> ThreeCards(cv::Size frameSize);
// An open book: two pages meeting at a shaded gutter.
std::vector<DrawnPage> BookSpread(cv::Size frameSize);
// The book spread drawn on the desk, with the gutter's shadow.
cv::Mat DrawBookScene(cv::Size size);

// Multiplies the image by a light falling off from the left edge to
// darkest at the right, as a lamp at one side gives.
void ApplyUnevenLight(cv::Mat& image, double darkestFactor);

}  // namespace tavrin::lens::synthetic
