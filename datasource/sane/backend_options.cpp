#include "datasource/sane/backend_options.h"

#include <sane/saneopts.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tavrin::sane {

const char kSourceCamera[] = "Camera";
const char kSourceInteractive[] = "Camera (interactive)";

namespace {

constexpr int kPreviewDpi = 100;
constexpr double kMmPerInch = 25.4;

const SANE_String_Const kModes[] = {SANE_VALUE_SCAN_MODE_COLOR, SANE_VALUE_SCAN_MODE_GRAY,
                                    SANE_VALUE_SCAN_MODE_LINEART, nullptr};
const SANE_String_Const kSources[] = {kSourceCamera, kSourceInteractive, nullptr};
// The word list starts with its length.
const SANE_Word kResolutions[] = {4, 100, 200, 300, 600};
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

SANE_Word NearestResolution(SANE_Word dpi) {
  SANE_Word best = kResolutions[1];
  for (int i = 1; i <= kResolutions[0]; ++i) {
    if (std::abs(kResolutions[i] - dpi) < std::abs(best - dpi)) best = kResolutions[i];
  }
  return best;
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

SANE_Option_Descriptor Coordinate(const char* name, const char* title, const char* desc,
                                  const SANE_Range* range) {
  SANE_Option_Descriptor d{};
  d.name = name;
  d.title = title;
  d.desc = desc;
  d.type = SANE_TYPE_FIXED;
  d.unit = SANE_UNIT_MM;
  d.size = sizeof(SANE_Word);
  d.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
  d.constraint_type = SANE_CONSTRAINT_RANGE;
  d.constraint.range = range;
  return d;
}

}  // namespace

OptionSet::OptionSet()
    : mode_(SANE_VALUE_SCAN_MODE_COLOR),
      source_(kSourceCamera),
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

  auto& mode = descriptors_[kOptMode];
  mode.name = SANE_NAME_SCAN_MODE;
  mode.title = SANE_TITLE_SCAN_MODE;
  mode.desc = SANE_DESC_SCAN_MODE;
  mode.type = SANE_TYPE_STRING;
  mode.unit = SANE_UNIT_NONE;
  mode.size = LongestString(kModes);
  mode.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
  mode.constraint_type = SANE_CONSTRAINT_STRING_LIST;
  mode.constraint.string_list = kModes;

  auto& resolution = descriptors_[kOptResolution];
  resolution.name = SANE_NAME_SCAN_RESOLUTION;
  resolution.title = SANE_TITLE_SCAN_RESOLUTION;
  resolution.desc = SANE_DESC_SCAN_RESOLUTION;
  resolution.type = SANE_TYPE_INT;
  resolution.unit = SANE_UNIT_DPI;
  resolution.size = sizeof(SANE_Word);
  resolution.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
  resolution.constraint_type = SANE_CONSTRAINT_WORD_LIST;
  resolution.constraint.word_list = kResolutions;

  auto& source = descriptors_[kOptSource];
  source.name = SANE_NAME_SCAN_SOURCE;
  source.title = SANE_TITLE_SCAN_SOURCE;
  source.desc =
      "Camera: one page per scan, taken at once with the window hidden. "
      "Camera (interactive): the window shows; capture the pages, then close it, "
      "and they arrive one scan at a time as from a document feeder.";
  source.type = SANE_TYPE_STRING;
  source.unit = SANE_UNIT_NONE;
  source.size = LongestString(kSources);
  source.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
  source.constraint_type = SANE_CONSTRAINT_STRING_LIST;
  source.constraint.string_list = kSources;

  auto& preview = descriptors_[kOptPreview];
  preview.name = SANE_NAME_PREVIEW;
  preview.title = SANE_TITLE_PREVIEW;
  preview.desc = SANE_DESC_PREVIEW;
  preview.type = SANE_TYPE_BOOL;
  preview.unit = SANE_UNIT_NONE;
  preview.size = sizeof(SANE_Word);
  preview.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
  preview.constraint_type = SANE_CONSTRAINT_NONE;

  descriptors_[kOptGeometryGroup] = Group(SANE_TITLE_GEOMETRY);
  // The automatic crop finds the page; the area is what the camera sees.
  descriptors_[kOptTopLeftX] =
      Coordinate(SANE_NAME_SCAN_TL_X, SANE_TITLE_SCAN_TL_X, SANE_DESC_SCAN_TL_X, &kRangeX);
  descriptors_[kOptTopLeftY] =
      Coordinate(SANE_NAME_SCAN_TL_Y, SANE_TITLE_SCAN_TL_Y, SANE_DESC_SCAN_TL_Y, &kRangeY);
  descriptors_[kOptBottomRightX] =
      Coordinate(SANE_NAME_SCAN_BR_X, SANE_TITLE_SCAN_BR_X, SANE_DESC_SCAN_BR_X, &kRangeX);
  descriptors_[kOptBottomRightY] =
      Coordinate(SANE_NAME_SCAN_BR_Y, SANE_TITLE_SCAN_BR_Y, SANE_DESC_SCAN_BR_Y, &kRangeY);
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
      if (option == kOptCount) return SANE_STATUS_INVAL;
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
      *word = resolutionDpi_;
      break;
    case kOptSource:
      std::strcpy(static_cast<char*>(value), source_.c_str());
      break;
    case kOptPreview:
      *word = preview_;
      break;
    default:
      *word = geometry_[option - kOptTopLeftX];
      break;
  }
}

SANE_Status OptionSet::Set(SANE_Int option, void* value, SANE_Int* info) {
  SANE_Int flags = 0;
  const SANE_Word word = *static_cast<SANE_Word*>(value);
  switch (option) {
    case kOptMode:
    case kOptSource: {
      // Frontends pass a buffer of the option's size; never read past it.
      const auto* text = static_cast<const char*>(value);
      const size_t size = static_cast<size_t>(descriptors_[option].size);
      const std::string chosen(text, strnlen(text, size));
      const SANE_String_Const* list = option == kOptMode ? kModes : kSources;
      if (chosen.size() == size || !InList(list, chosen.c_str())) return SANE_STATUS_INVAL;
      (option == kOptMode ? mode_ : source_) = chosen;
      flags = SANE_INFO_RELOAD_PARAMS;
      break;
    }
    case kOptResolution: {
      const SANE_Word nearest = NearestResolution(word);
      if (nearest != word) flags |= SANE_INFO_INEXACT;
      resolutionDpi_ = nearest;
      flags |= SANE_INFO_RELOAD_PARAMS;
      break;
    }
    case kOptPreview:
      if (word != SANE_FALSE && word != SANE_TRUE) return SANE_STATUS_INVAL;
      preview_ = word;
      flags = SANE_INFO_RELOAD_PARAMS;
      break;
    default: {
      const SANE_Range* range = descriptors_[option].constraint.range;
      SANE_Word clamped = std::clamp(word, range->min, range->max);
      if (clamped != word) flags |= SANE_INFO_INEXACT;
      geometry_[option - kOptTopLeftX] = clamped;
      flags |= SANE_INFO_RELOAD_PARAMS;
      break;
    }
  }
  if (info != nullptr) *info = flags;
  return SANE_STATUS_GOOD;
}

ScanChoice OptionSet::Choice() const {
  ScanChoice choice;
  if (mode_ == SANE_VALUE_SCAN_MODE_GRAY) {
    choice.kind = PixelKind::kGray;
    choice.colorType = 1;
  } else if (mode_ == SANE_VALUE_SCAN_MODE_LINEART) {
    choice.kind = PixelKind::kLineart;
    choice.colorType = 0;
  }
  choice.preview = preview_ == SANE_TRUE;
  // A preview is one quick shot, whatever the source.
  choice.interactive = source_ == kSourceInteractive && !choice.preview;
  choice.dpi = choice.preview ? kPreviewDpi : resolutionDpi_;
  return choice;
}

void OptionSet::EstimateSize(int& widthPx, int& heightPx) const {
  const ScanChoice choice = Choice();
  const double widthMm = std::abs(SANE_UNFIX(geometry_[2]) - SANE_UNFIX(geometry_[0]));
  const double heightMm = std::abs(SANE_UNFIX(geometry_[3]) - SANE_UNFIX(geometry_[1]));
  widthPx = static_cast<int>(std::lround(widthMm * choice.dpi / kMmPerInch));
  heightPx = static_cast<int>(std::lround(heightMm * choice.dpi / kMmPerInch));
}

}  // namespace tavrin::sane
