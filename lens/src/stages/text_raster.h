// Text drawn without a GUI: fontconfig picks the font file, FreeType draws
// the glyphs. Host programs that load the library without a
// QGuiApplication (a script, a service) have no Qt font database, and the
// watermark must still be there.
// Threads: any; calls are serialised inside where fontconfig needs it.
#pragma once

#include <optional>
#include <string>

#include <opencv2/core.hpp>

namespace tavrin::lens {

struct TextStyle {
  std::string family;  // fontconfig falls back to a sans face when it is missing
  int pixelSize = 12;  // the em, as QFont::setPixelSize takes it
  bool bold = false;
  bool italic = false;
  bool underline = false;
};

// One line of text, upright, as coverage (CV_8UC1, 255 where fully inked).
struct RasterText {
  cv::Mat coverage;
  // Where the line's box starts in coverage: its left end at the start of
  // the first advance, its top at the ascent line. Italic overhang and the
  // underline may reach outside that box, hence the margin around it.
  cv::Point2d origin;
  double advance = 0.0;
  double ascent = 0.0;
  double descent = 0.0;
};

// The room either side of a line of lineHeight pixels for what leaves its
// box: italic overhang, accents, the underline below the descent.
cv::Point TextMargins(double lineHeight);

// Nothing when no font can be found or loaded; characters the matched font
// lacks make fontconfig look for one that has them.
std::optional<RasterText> RasterizeText(const std::string& utf8, const TextStyle& style);

}  // namespace tavrin::lens
