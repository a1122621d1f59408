// What the scenes, the frames and the scores share: the page, the camera's
// field and the text the page carries.
#pragma once

#include <filesystem>
#include <iterator>

#include <opencv2/core.hpp>

namespace tavrin::quality {

namespace fs = std::filesystem;

inline const cv::Size kFrame(3264, 2448);
constexpr double kFieldWidthMm = 480.0;  // what the camera sees across, at the page
constexpr double kPageWidthMm = 210.0;
constexpr double kPageHeightMm = 297.0;
constexpr double kPageDpi = 300.0;
constexpr double kMarkInsetMm = 12.0;  // registration mark centres from the page's edges
constexpr double kMarkRadiusMm = 3.0;
constexpr double kMarginMm = 25.0;

// Our own text: plain sentences, as a letter or a report would have them.
inline const char* const kParagraphs[] = {
    "The camera looks down at the desk from a short arm and sees the page a little from the "
    "side, so its edges run towards each other and the far lines of text are smaller than the "
    "near ones.",
    "A lamp on the left lights that side of the paper more than the other, and the hand that "
    "holds the page flat throws a soft shadow across the middle of it.",
    "Every picture must come out square, with the page cut cleanly from the desk, the words "
    "sharp enough to read, and the blank paper white in the black and white modes.",
    "These numbers help to check the reading: 42 pages, 7 folders, 1985 copies and 360 "
    "degrees. Names such as Oslo, Brno and Quito should be read as they are written.",
    "When the light is dim the sensor adds noise, and the small file that the camera sends "
    "loses fine detail to compression; the words should still be clear.",
};

struct Scene {
  const char* name;
  const char* desk;  // dark-wood, light-grey, white, checks, cork
  cv::Scalar paper;  // BGR
  double tiltX = 0;  // degrees, the camera's axis against the desk's normal
  double tiltY = 0;
  double turn = 0;    // the page turned on the desk
  double lamp = 0;    // light at the far side: 1 - lamp of the near side
  double shadow = 0;  // depth of a soft shadow across the page, 0 none
  double dim = 1.0;   // overall light
  // Round two: what an evening lamp and a glossy sheet do.
  double warm = 0;      // a warm lamp: blue loses this share, green half of it
  double corner = 0;    // light falling towards the far (top right) corner: 1 - corner there
  double vignette = 0;  // the lens's fall-off, this share lost at the frame's corners
  double grain = 1.0;   // sensor noise, times the usual
  double gloss = 0;     // a glossy highlight's added light on the page, share of full white
  cv::Size2d pageMm{kPageWidthMm, kPageHeightMm};
  // A crease across the page's middle, where it was folded in half and
  // flattened again: its lit and its shaded flank, this share of the light.
  double fold = 0;
};

// How the page's text is set.
struct PageStyle {
  int ink = 28;  // grey level of the print
  const char* family = "Liberation Serif";
  double points = 12;
  double marginMm = kMarginMm;
};

struct Capture {
  int crop;
  int colour;
};

}  // namespace tavrin::quality
