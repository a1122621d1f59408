#include "datasource/sane/backend_options.h"

#include <sane/saneopts.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tavrin::sane {

const char kSourceFlatbed[] = "Flatbed";
const char kSourceFeeder[] = "Automatic Document Feeder";
const char kSourceInteractive[] = "Camera (interactive)";

namespace {

constexpr int kMaxFeederWaitSeconds = 600;

const SANE_String_Const kModes[] = {SANE_VALUE_SCAN_MODE_COLOR, SANE_VALUE_SCAN_MODE_GRAY,
                                    SANE_VALUE_SCAN_MODE_LINEART, nullptr};
const SANE_String_Const kSources[] = {kSourceFlatbed, kSourceFeeder, kSourceInteractive, nullptr};
// Pages are resampled to whatever is set, so any whole number will do.
const SANE_Range kResolutionRange = {kMinDpi, kMaxDpi, 1};
const SANE_Range kFeederWaitRange = {1, kMaxFeederWaitSeconds, 1};
const SANE_Range kPercentRange = {-100, 100, 1};
const SANE_Range kThresholdRange = {0, 255, 1};
const SANE_Range kRangeX = {SANE_FIX(0.0), SANE_FIX(kFieldWidthMm), 0};
const SANE_Range kRangeY = {SANE_FIX(0.0), SANE_FIX(kFieldHeightMm), 0};

SANE_Int LongestString(const SANE_String_Const* list) {
  size_t longest = 0;
  for (; *list != nullptr; ++list) longest = std::max(longest, std::strlen(*list));
  return static_cast<SANE_Int>(longest + 1);
}

bool InList(const SANE_String_Const* list, const char* text) {
  for (; *list != nullptr; ++list) {
    if (std::strcmp(*list, text) == 0) return true;
  }
  return false;
}

SANE_Option_Descriptor Group(const char* title) {
  SANE_Option_Descriptor d{};
  d.name = "";
  d.title = title;
  d.desc = "";
  d.type = SANE_TYPE_GROUP;
  d.cap = 0;
  d.size = 0;
  d.constraint_type = SANE_CONSTRAINT_NONE;
  return d;
}

SANE_Option_Descriptor Plain(const char* name, const char* title, const char* desc,
                             SANE_Value_Type type, SANE_Unit unit) {
  SANE_Option_Descriptor d{};
  d.name = name;
  d.title = title;
  d.desc = desc;
  d.type = type;
  d.unit = unit;
  d.size = sizeof(SANE_Word);
  d.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
  d.constraint_type = SANE_CONSTRAINT_NONE;
  return d;
}

SANE_Option_Descriptor Ranged(const char* name, const char* title, const char* desc,
                              SANE_Value_Type type, SANE_Unit unit, const SANE_Range* range) {
  SANE_Option_Descriptor d = Plain(name, title, desc, type, unit);
  d.constraint_type = SANE_CONSTRAINT_RANGE;
  d.constraint.range = range;
  return d;
}

SANE_Option_Descriptor Listed(const char* name, const char* title, const char* desc,
                              const SANE_String_Const* list) {
  SANE_Option_Descriptor d = Plain(name, title, desc, SANE_TYPE_STRING, SANE_UNIT_NONE);
  d.size = LongestString(list);
  d.constraint_type = SANE_CONSTRAINT_STRING_LIST;
  d.constraint.string_list = list;
  return d;
}

// The nearest value the range allows: inside it, on a step of its quantum.
SANE_Word ToRange(SANE_Word value, const SANE_Range& range) {
  SANE_Word fitted = std::clamp(value, range.min, range.max);
  if (range.quant > 1) {
    const SANE_Word steps = (fitted - range.min + range.quant / 2) / range.quant;
    fitted = std::min(range.max, range.min + steps * range.quant);
  }
  return fitted;
}

// A corner within this of the field's edge is on it: frontends round the
// field's size through their own units.
constexpr double kEdgeToleranceMm = 0.5;

}  // namespace

bool IsWholeField(const ScanArea& area) {
  return area.leftMm <= kEdgeToleranceMm && area.topMm <= kEdgeToleranceMm &&
         area.rightMm >= kFieldWidthMm - kEdgeToleranceMm &&
         area.bottomMm >= kFieldHeightMm - kEdgeToleranceMm;
}

bool Searchable(const ScanArea& area) {
  return area.rightMm - area.leftMm <= kWidestSearchedAreaMm;
}

std::array<int, 4> SearchPercent(const ScanArea& area) {
  if (IsWholeField(area) || !Searchable(area)) return {};
  const auto percent = [](double mm, double field, bool up) {
    const double exact = mm * 100.0 / field;
    // A hair over a whole percent is that percent, not the next.
    const double rounded = up ? std::ceil(exact - 1e-6) : std::floor(exact + 1e-6);
    return std::clamp(static_cast<int>(rounded), 0, 100);
  };
  std::array<int, 4> result = {
      percent(area.leftMm, kFieldWidthMm, false), percent(area.topMm, kFieldHeightMm, false),
      percent(area.rightMm, kFieldWidthMm, true), percent(area.bottomMm, kFieldHeightMm, true)};
  result[2] = std::max(result[2], result[0] + 1);
  result[3] = std::max(result[3], result[1] + 1);
  if (result[2] > 100) result[0] = (result[2] = 100) - 1;
  if (result[3] > 100) result[1] = (result[3] = 100) - 1;
  return result;
}

OptionSet::OptionSet()
    : mode_(SANE_VALUE_SCAN_MODE_COLOR),
      source_(kSourceFlatbed),
      geometry_{SANE_FIX(0.0), SANE_FIX(0.0), SANE_FIX(kFieldWidthMm), SANE_FIX(kFieldHeightMm)} {
  auto& count = descriptors_[kOptCount];
  count.name = "";
  count.title = SANE_TITLE_NUM_OPTIONS;
  count.desc = SANE_DESC_NUM_OPTIONS;
  count.type = SANE_TYPE_INT;
  count.unit = SANE_UNIT_NONE;
  count.size = sizeof(SANE_Word);
  count.cap = SANE_CAP_SOFT_DETECT;
  count.constraint_type = SANE_CONSTRAINT_NONE;

  descriptors_[kOptModeGroup] = Group(SANE_TITLE_SCAN_MODE);
  descriptors_[kOptMode] =
      Listed(SANE_NAME_SCAN_MODE, SANE_TITLE_SCAN_MODE, SANE_DESC_SCAN_MODE, kModes);
  descriptors_[kOptResolution] = Ranged(SANE_NAME_SCAN_RESOLUTION, SANE_TITLE_SCAN_RESOLUTION, "",
                                        SANE_TYPE_INT, SANE_UNIT_DPI, &kResolutionRange);
  SetOpticalDpi(0);
  descriptors_[kOptSource] = Listed(
      SANE_NAME_SCAN_SOURCE, SANE_TITLE_SCAN_SOURCE,
      "Flatbed: one page per scan, taken at once with the window hidden. "
      "Automatic Document Feeder: hands-free; the window shows the camera, and each page laid "
      "down and left still is the next page; the batch ends when no new page comes within the "
      "feeder wait, or when you end it in the window. "
      "Camera (interactive): the window shows; capture the pages, then close it, "
      "and they arrive one scan at a time.",
      kSources);
  // Both apply when the feeder is the source, and may be set before it is
  // chosen: scanimage sets options in the order it is given them.
  descriptors_[kOptFeederWait] =
      Ranged("feeder-wait", "Feeder wait (seconds)",
             "Document feeder: seconds it waits for the next new page before the batch ends. "
             "The first page may take 30 seconds, or this wait if it is longer.",
             SANE_TYPE_INT, SANE_UNIT_NONE, &kFeederWaitRange);
  descriptors_[kOptFeederFirstPage] =
      Plain("feeder-page-lying", "Take the page lying there",
            "Document feeder: the page already lying under the camera when the batch starts is "
            "its first page. Off (the default): only pages laid down after the start are taken, "
            "so start the batch, then lay the first page.",
            SANE_TYPE_BOOL, SANE_UNIT_NONE);
  descriptors_[kOptPreview] =
      Plain(SANE_NAME_PREVIEW, SANE_TITLE_PREVIEW,
            "A quick picture of the camera's whole field at low resolution, to choose the scan "
            "area on.",
            SANE_TYPE_BOOL, SANE_UNIT_NONE);

  descriptors_[kOptEnhancementGroup] = Group("Enhancement");
  descriptors_[kOptBrightness] =
      Ranged(SANE_NAME_BRIGHTNESS, SANE_TITLE_BRIGHTNESS, SANE_DESC_BRIGHTNESS, SANE_TYPE_INT,
             SANE_UNIT_PERCENT, &kPercentRange);
  descriptors_[kOptContrast] = Ranged(SANE_NAME_CONTRAST, SANE_TITLE_CONTRAST, SANE_DESC_CONTRAST,
                                      SANE_TYPE_INT, SANE_UNIT_PERCENT, &kPercentRange);
  descriptors_[kOptThreshold] =
      Ranged(SANE_NAME_THRESHOLD, SANE_TITLE_THRESHOLD,
             "Lineart: a grey level (0 black to 255 white) below this becomes black.",
             SANE_TYPE_INT, SANE_UNIT_NONE, &kThresholdRange);
  descriptors_[kOptEvenLight] =
      Plain("even-light", "Even out light",
            "Evens out light that falls unevenly across the page (a lamp to one side, the "
            "shadow of the camera), so that the paper comes out as one even white. Applies to "
            "colour and grey pages when the page is found (find-page); on by default.",
            SANE_TYPE_BOOL, SANE_UNIT_NONE);

  descriptors_[kOptGeometryGroup] = Group(SANE_TITLE_GEOMETRY);
  descriptors_[kOptFindPage] =
      Plain("find-page", "Find the page",
            "The page is found in the scan area (the camera's whole field by default), "
            "straightened and cut out, whatever its size. In a smaller scan area only a page "
            "lying wholly inside it counts; without one, with an area wider than 400 mm, and "
            "with this option off, the scan area is cut from the field as it is.",
            SANE_TYPE_BOOL, SANE_UNIT_NONE);
  descriptors_[kOptBook] =
      Plain("book", "Book",
            "For an open book under the camera: each spread comes as two pages, the left one "
            "and then the right one, each flattened. Applies to the document feeder with the page "
            "found; turn the page once both have come.",
            SANE_TYPE_BOOL, SANE_UNIT_NONE);
  descriptors_[kOptTopLeftX] = Ranged(SANE_NAME_SCAN_TL_X, SANE_TITLE_SCAN_TL_X,
                                      SANE_DESC_SCAN_TL_X, SANE_TYPE_FIXED, SANE_UNIT_MM, &kRangeX);
  descriptors_[kOptTopLeftY] = Ranged(SANE_NAME_SCAN_TL_Y, SANE_TITLE_SCAN_TL_Y,
                                      SANE_DESC_SCAN_TL_Y, SANE_TYPE_FIXED, SANE_UNIT_MM, &kRangeY);
  descriptors_[kOptBottomRightX] =
      Ranged(SANE_NAME_SCAN_BR_X, SANE_TITLE_SCAN_BR_X, SANE_DESC_SCAN_BR_X, SANE_TYPE_FIXED,
             SANE_UNIT_MM, &kRangeX);
  descriptors_[kOptBottomRightY] =
      Ranged(SANE_NAME_SCAN_BR_Y, SANE_TITLE_SCAN_BR_Y, SANE_DESC_SCAN_BR_Y, SANE_TYPE_FIXED,
             SANE_UNIT_MM, &kRangeY);
}

void OptionSet::SetOpticalDpi(int dpi) {
  resolutionDesc_ =
      "Sets the resolution of the scanned image. The page is resampled to exactly this from "
      "its real size";
  if (dpi > 0)
    resolutionDesc_ += "; the camera's optical resolution across its " +
                       std::to_string(static_cast<int>(kFieldWidthMm)) + " mm field is about " +
                       std::to_string(dpi) + " DPI, and above it the pixels are interpolated";
  resolutionDesc_ += ". A preview is always 75 DPI, and this option reads so while it is on.";
  descriptors_[kOptResolution].desc = resolutionDesc_.c_str();
}

const SANE_Option_Descriptor* OptionSet::Descriptor(SANE_Int option) const {
  if (option < 0 || option >= kOptionCount) return nullptr;
  return &descriptors_[option];
}

SANE_Status OptionSet::Control(SANE_Int option, SANE_Action action, void* value, SANE_Int* info) {
  if (info != nullptr) *info = 0;
  if (option < 0 || option >= kOptionCount || descriptors_[option].type == SANE_TYPE_GROUP)
    return SANE_STATUS_INVAL;
  if (value == nullptr) return SANE_STATUS_INVAL;
  switch (action) {
    case SANE_ACTION_GET_VALUE:
      Get(option, value);
      return SANE_STATUS_GOOD;
    case SANE_ACTION_SET_VALUE:
      if (!SANE_OPTION_IS_SETTABLE(descriptors_[option].cap)) return SANE_STATUS_INVAL;
      return Set(option, value, info);
    default:
      // No option has an automatic value.
      return SANE_STATUS_INVAL;
  }
}

void OptionSet::Get(SANE_Int option, void* value) const {
  auto* word = static_cast<SANE_Word*>(value);
  switch (option) {
    case kOptCount:
      *word = kOptionCount;
      break;
    case kOptMode:
      std::strcpy(static_cast<char*>(value), mode_.c_str());
      break;
    case kOptResolution:
      // What the picture will have: a frontend labels its file with this.
      *word = preview_ == SANE_TRUE ? kPreviewDpi : resolutionDpi_;
      break;
    case kOptSource:
      std::strcpy(static_cast<char*>(value), source_.c_str());
      break;
    case kOptFeederWait:
      *word = feederWaitSeconds_;
      break;
    case kOptPreview:
      *word = preview_;
      break;
    case kOptFindPage:
      *word = findPage_;
      break;
    case kOptBook:
      *word = book_;
      break;
    case kOptEvenLight:
      *word = evenLight_;
      break;
    case kOptFeederFirstPage:
      *word = feederFirstPage_;
      break;
    case kOptBrightness:
      *word = brightness_;
      break;
    case kOptContrast:
      *word = contrast_;
      break;
    case kOptThreshold:
      *word = threshold_;
      break;
    default:
      *word = geometry_[option - kOptTopLeftX];
      break;
  }
}

SANE_Status OptionSet::Set(SANE_Int option, void* value, SANE_Int* info) {
  SANE_Int flags = 0;
  auto* word = static_cast<SANE_Word*>(value);
  const SANE_Option_Descriptor& d = descriptors_[option];
  if (d.type == SANE_TYPE_STRING) {
    // Frontends pass a buffer of the option's size; never read past it.
    const auto* text = static_cast<const char*>(value);
    const size_t size = static_cast<size_t>(d.size);
    const std::string chosen(text, strnlen(text, size));
    if (chosen.size() == size || !InList(d.constraint.string_list, chosen.c_str()))
      return SANE_STATUS_INVAL;
    std::string& target = option == kOptMode ? mode_ : source_;
    if (target != chosen) {
      target = chosen;
      flags |= SANE_INFO_RELOAD_PARAMS;
    }
  } else if (d.type == SANE_TYPE_BOOL) {
    if (*word != SANE_FALSE && *word != SANE_TRUE) return SANE_STATUS_INVAL;
    SANE_Bool& target = option == kOptPreview           ? preview_
                        : option == kOptBook            ? book_
                        : option == kOptFeederFirstPage ? feederFirstPage_
                        : option == kOptEvenLight       ? evenLight_
                                                        : findPage_;
    if (target != *word) {
      target = *word;
      // The light changes the page's pixels, never its size.
      if (option != kOptFeederFirstPage && option != kOptEvenLight)
        flags |= SANE_INFO_RELOAD_PARAMS;
      // The preview changes the resolution that reads back.
      if (option == kOptPreview) flags |= SANE_INFO_RELOAD_OPTIONS;
    }
  } else {
    // During a preview the resolution reads as the preview's own; the one
    // set then is kept for the scan after it, and the one read changes
    // nothing (a frontend may set every value it read back again).
    if (option == kOptResolution && preview_ == SANE_TRUE) {
      if (*word == kPreviewDpi) return SANE_STATUS_GOOD;
      resolutionDpi_ = ToRange(*word, *d.constraint.range);
      *word = kPreviewDpi;
      if (info != nullptr) *info = SANE_INFO_INEXACT;
      return SANE_STATUS_GOOD;
    }
    // A value outside its range is set to the nearest allowed one, which
    // the caller reads back from its own buffer.
    const SANE_Word fitted = ToRange(*word, *d.constraint.range);
    if (fitted != *word) {
      *word = fitted;
      flags |= SANE_INFO_INEXACT;
    }
    SANE_Word& target = option == kOptResolution   ? resolutionDpi_
                        : option == kOptFeederWait ? feederWaitSeconds_
                        : option == kOptBrightness ? brightness_
                        : option == kOptContrast   ? contrast_
                        : option == kOptThreshold  ? threshold_
                                                   : geometry_[option - kOptTopLeftX];
    if (target != fitted) {
      target = fitted;
      // Only the resolution and the area change the page's size.
      if (option == kOptResolution || option >= kOptTopLeftX) flags |= SANE_INFO_RELOAD_PARAMS;
    }
  }
  if (info != nullptr) *info = flags;
  return SANE_STATUS_GOOD;
}

ScanChoice OptionSet::Choice() const {
  ScanChoice choice;
  if (mode_ == SANE_VALUE_SCAN_MODE_GRAY) {
    choice.kind = PixelKind::kGray;
    choice.colorType = TS_PIXEL_GREY;
  } else if (mode_ == SANE_VALUE_SCAN_MODE_LINEART) {
    choice.kind = PixelKind::kLineart;
    choice.colorType = TS_PIXEL_BW;
  }
  choice.preview = preview_ == SANE_TRUE;
  choice.source = source_ == kSourceFeeder        ? SourceKind::kFeeder
                  : source_ == kSourceInteractive ? SourceKind::kInteractive
                                                  : SourceKind::kFlatbed;
  // A preview is one quick shot of the whole field, whatever the source.
  if (choice.preview) choice.source = SourceKind::kFlatbed;
  choice.dpi = choice.preview ? kPreviewDpi : resolutionDpi_;
  if (!choice.preview) {
    // A frontend may give the corners either way round.
    const double x0 = SANE_UNFIX(geometry_[0]);
    const double y0 = SANE_UNFIX(geometry_[1]);
    const double x1 = SANE_UNFIX(geometry_[2]);
    const double y1 = SANE_UNFIX(geometry_[3]);
    choice.area = {std::min(x0, x1), std::min(y0, y1), std::max(x0, x1), std::max(y0, y1)};
  }
  const bool whole = IsWholeField(choice.area);
  choice.findPage = !choice.preview && findPage_ == SANE_TRUE && (whole || Searchable(choice.area));
  if (choice.findPage && whole) choice.area = ScanArea{};
  choice.feederWaitSeconds = feederWaitSeconds_;
  choice.feederFirstPageLying = feederFirstPage_ == SANE_TRUE;
  choice.evenLight = evenLight_ == SANE_TRUE;
  choice.brightness = brightness_;
  choice.contrast = contrast_;
  choice.threshold = threshold_;
  choice.book = choice.source == SourceKind::kFeeder && choice.findPage && book_ == SANE_TRUE;
  return choice;
}

void OptionSet::EstimateSize(int& widthPx, int& heightPx, const PageSizeMm& lastFound) const {
  const ScanChoice choice = Choice();
  const double areaWidthMm = choice.area.rightMm - choice.area.leftMm;
  const double areaHeightMm = choice.area.bottomMm - choice.area.topMm;
  // A page found in a narrowed area is no larger than the area.
  if (choice.findPage && lastFound.widthMm > 0 && lastFound.heightMm > 0) {
    widthPx = std::max(1, PixelsOf(std::min(lastFound.widthMm, areaWidthMm), choice.dpi));
    heightPx = std::max(1, PixelsOf(std::min(lastFound.heightMm, areaHeightMm), choice.dpi));
    return;
  }
  widthPx = std::max(1, PixelsOf(areaWidthMm, choice.dpi));
  heightPx = std::max(1, PixelsOf(areaHeightMm, choice.dpi));
  // A found page's size, and the height of the camera's picture, which
  // follows its shape, are known once the picture is there.
  if (choice.findPage || choice.preview) heightPx = -1;
}

}  // namespace tavrin::sane
