// The options a frontend sees: their descriptors, values and the checks of
// sane_control_option.
// Threads: the frontend's calling thread for one handle.
#pragma once

#include <sane/sane.h>

#include <array>
#include <string>

#include "datasource/sane/page_image.h"

namespace tavrin::sane {

enum OptionIndex {
  kOptCount = 0,
  kOptModeGroup,
  kOptMode,
  kOptResolution,
  kOptSource,
  kOptPreview,
  kOptGeometryGroup,
  kOptTopLeftX,
  kOptTopLeftY,
  kOptBottomRightX,
  kOptBottomRightY,
  kOptionCount
};

// The camera's field, which the geometry covers: A3 landscape with room
// round it, as a document camera at its usual height sees the desk.
constexpr double kFieldWidthMm = 420.0;
constexpr double kFieldHeightMm = 315.0;

extern const char kSourceCamera[];
extern const char kSourceInteractive[];

struct ScanChoice {
  PixelKind kind = PixelKind::kColor;
  int colorType = 2;  // the data source's colour types: 0 black and white, 1 grey, 2 colour
  int dpi = 300;
  bool interactive = false;
  bool preview = false;
};

class OptionSet {
 public:
  OptionSet();

  const SANE_Option_Descriptor* Descriptor(SANE_Int option) const;
  // action and value as sane_control_option takes them; info may be null.
  SANE_Status Control(SANE_Int option, SANE_Action action, void* value, SANE_Int* info);

  ScanChoice Choice() const;
  // Page size the geometry gives at the chosen resolution, before a page
  // was delivered.
  void EstimateSize(int& widthPx, int& heightPx) const;

 private:
  SANE_Status Set(SANE_Int option, void* value, SANE_Int* info);
  void Get(SANE_Int option, void* value) const;

  std::array<SANE_Option_Descriptor, kOptionCount> descriptors_{};
  std::string mode_;
  SANE_Word resolutionDpi_ = 300;
  std::string source_;
  SANE_Bool preview_ = SANE_FALSE;
  std::array<SANE_Fixed, 4> geometry_{};  // tl-x, tl-y, br-x, br-y
};

}  // namespace tavrin::sane
