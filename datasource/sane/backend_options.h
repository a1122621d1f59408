// The options a frontend sees: their descriptors, values and the checks of
// sane_control_option.
// Threads: the frontend's calling thread for one handle.
#pragma once

#include <sane/sane.h>

#include <array>
#include <string>

#include "datasource/include/TavrinSource.h"
#include "datasource/sane/page_image.h"

namespace tavrin::sane {

enum OptionIndex {
  kOptCount = 0,
  kOptModeGroup,
  kOptMode,
  kOptResolution,
  kOptSource,
  kOptFeederWait,
  kOptFeederFirstPage,
  kOptPreview,
  kOptEnhancementGroup,
  kOptBrightness,
  kOptContrast,
  kOptThreshold,
  kOptEvenLight,
  kOptGeometryGroup,
  kOptFindPage,
  kOptBook,
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
constexpr int kMinDpi = 50;
constexpr int kMaxDpi = 600;
constexpr int kPreviewDpi = 75;
constexpr int kDefaultFeederWaitSeconds = 10;
// The first page of a feeder batch: the person has just pressed Scan and
// has yet to lay it down.
constexpr int kFeederFirstPageSeconds = 30;

// The names most frontends recognise a flatbed and a feeder by.
extern const char kSourceFlatbed[];
extern const char kSourceFeeder[];
extern const char kSourceInteractive[];

enum class SourceKind { kFlatbed, kFeeder, kInteractive };

struct ScanArea {
  double leftMm = 0;
  double topMm = 0;
  double rightMm = kFieldWidthMm;
  double bottomMm = kFieldHeightMm;
};

// A page's size in mm, as the last found page had it.
struct PageSizeMm {
  double widthMm = 0;
  double heightMm = 0;
};

struct ScanChoice {
  PixelKind kind = PixelKind::kColor;
  int colorType = TS_PIXEL_RGB;  // the data source's colour type
  int dpi = 300;
  SourceKind source = SourceKind::kFlatbed;
  bool preview = false;
  // The window finds the page in the area (the whole field unless
  // narrowed); otherwise it delivers the whole field and the area is cut
  // from it.
  bool findPage = true;
  // The feeder takes an open book: each spread comes as its left and then
  // its right page, flattened.
  bool book = false;
  ScanArea area;
  int feederWaitSeconds = kDefaultFeederWaitSeconds;
  // The feeder takes the page already lying there as its first page.
  bool feederFirstPageLying = false;
  int brightness = 0;  // percent, -100 to 100
  int contrast = 0;    // percent, -100 to 100
  int threshold = 128;
  // Uneven light across a found page (a lamp on one side, the camera's
  // own shadow) is evened out in colour and grey.
  bool evenLight = true;
};

// Whether area is the camera's whole field.
bool IsWholeField(const ScanArea& area);

// A page is looked for in an area up to this wide: a page found in a wider
// one could not be told from the whole field, which comes when none lies
// wholly inside.
constexpr double kWidestSearchedAreaMm = 400.0;
bool Searchable(const ScanArea& area);

// Where the window looks for a page in a narrowed area: whole percents of
// the field (left, top, right, bottom), rounded outward; all 0 for the
// whole field or an area too wide to search.
std::array<int, 4> SearchPercent(const ScanArea& area);

class OptionSet {
 public:
  OptionSet();
  // A descriptor points into its own set.
  OptionSet(const OptionSet&) = delete;
  OptionSet& operator=(const OptionSet&) = delete;

  const SANE_Option_Descriptor* Descriptor(SANE_Int option) const;
  // action and value as sane_control_option takes them; info may be null.
  // A value that is adjusted to its constraint is written back into value.
  SANE_Status Control(SANE_Int option, SANE_Action action, void* value, SANE_Int* info);

  // The camera's optical resolution over the field, for the resolution's
  // description; 0 when unknown.
  void SetOpticalDpi(int dpi);

  ScanChoice Choice() const;
  // The page size the options give before a page is there. A page still
  // to be found is taken to be as large as the last one found (lastFound,
  // when it has a size); before any, its length is unknown: heightPx -1.
  void EstimateSize(int& widthPx, int& heightPx, const PageSizeMm& lastFound = {}) const;

 private:
  SANE_Status Set(SANE_Int option, void* value, SANE_Int* info);
  void Get(SANE_Int option, void* value) const;

  std::array<SANE_Option_Descriptor, kOptionCount> descriptors_{};
  std::string resolutionDesc_;  // the resolution's descriptor points into it
  std::string mode_;
  SANE_Word resolutionDpi_ = 300;
  std::string source_;
  SANE_Word feederWaitSeconds_ = kDefaultFeederWaitSeconds;
  SANE_Bool feederFirstPage_ = SANE_FALSE;
  SANE_Word brightness_ = 0;
  SANE_Word contrast_ = 0;
  SANE_Word threshold_ = 128;
  SANE_Bool preview_ = SANE_FALSE;
  SANE_Bool findPage_ = SANE_TRUE;
  SANE_Bool book_ = SANE_FALSE;
  SANE_Bool evenLight_ = SANE_TRUE;
  std::array<SANE_Fixed, 4> geometry_{};  // tl-x, tl-y, br-x, br-y
};

}  // namespace tavrin::sane
