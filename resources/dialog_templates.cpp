#include "resources/dialog_templates.h"

#include "resources/dialog_ids.h"

namespace tavrin {

namespace {

using K = ControlKind;

constexpr DialogControl kRows100[] = {
    {idd100::kIcon, K::kIcon, 14, 14, 21, 20, "", kStyleNone},
    {idd100::kNameVersion, K::kStatic, 42, 14, 114, 8, "TavrinDesk", kStyleNone},
    {idd100::kCopyright, K::kStatic, 42, 26, 114, 8, "Copyright (C) 2026", kStyleNone},
    {kIdOk, K::kPushButton, 113, 41, 50, 14, "OK", kStyleDefault | kStyleGroup},
};

constexpr DialogControl kRows130[] = {
    {idd130::kWmTextLabel, K::kStatic, 6, 22, 56, 8, "Content", kStyleNone},
    {idd130::kTimeStamp, K::kCheckBox, 86, 21, 84, 10, "Time Stamp", kStyleNone},
    {idd130::kWmText, K::kEdit, 30, 36, 280, 38, "", kStyleBorder | kStyleAutoHScroll},
    {idd130::kFontLabel, K::kStatic, 11, 88, 39, 8, "Font", kStyleNone},
    {idd130::kFont, K::kFontList, 51, 84, 86, 69, "", kStyleNone},
    {idd130::kFontSizeLabel, K::kStatic, 140, 88, 36, 8, "Font Size", kStyleNone},
    {idd130::kFontSize, K::kDropDownCombo, 179, 86, 44, 62, "", kStyleNone},
    {idd130::kFontColorLabel, K::kStatic, 228, 88, 39, 8, "Color", kStyleNone},
    {idd130::kFontColor, K::kPlaceholder, 268, 86, 41, 12, "", kStyleNone},
    {idd130::kWeight, K::kCheckBox, 26, 124, 68, 10, "Weight", kStyleNone},
    {idd130::kItalic, K::kCheckBox, 99, 124, 68, 10, "Italic", kStyleNone},
    {idd130::kUnderline, K::kCheckBox, 173, 125, 68, 10, "Underline", kStyleNone},
    {idd130::kTransparencyLabel, K::kStatic, 26, 149, 55, 8, "Transparency", kStyleNone},
    {idd130::kTransparency, K::kSlider, 82, 147, 173, 14, "", kStyleNone},
    {idd130::kTransparencyValue, K::kStatic, 283, 149, 17, 8, "", kStyleNone},
    {idd130::kAngleLabel, K::kStatic, 26, 172, 55, 8, "Angle", kStyleNone},
    {idd130::kAngle, K::kSlider, 82, 170, 173, 14, "", kStyleNone},
    {idd130::kAngleValue, K::kStatic, 283, 172, 17, 8, "", kStyleNone},
    {idd130::kPosLabel, K::kStatic, 26, 205, 122, 8, "Postion", kStyleNone},
    {kIdcStatic, K::kGroupBox, 24, 215, 289, 96, "", kStyleNone},
    {1046, K::kRadioButton, 63, 227, 76, 10, "Left Top", kStyleGroup},
    {1047, K::kRadioButton, 147, 227, 76, 10, "Top", kStyleNone},
    {1048, K::kRadioButton, 63, 253, 76, 10, "Left", kStyleNone},
    {1049, K::kRadioButton, 233, 227, 76, 10, "Right Top", kStyleNone},
    {1050, K::kRadioButton, 148, 253, 76, 10, "Middle", kStyleNone},
    {1051, K::kRadioButton, 233, 253, 76, 10, "Right", kStyleNone},
    {1052, K::kRadioButton, 147, 282, 76, 10, "Bottom", kStyleNone},
    {1053, K::kRadioButton, 63, 282, 76, 10, "Left Bottom", kStyleNone},
    {1054, K::kRadioButton, 233, 282, 76, 10, "Right Bottom", kStyleNone},
    {kIdOk, K::kPushButton, 182, 317, 50, 14, "OK", kStyleDefault | kStyleGroup},
    {kIdCancel, K::kPushButton, 252, 317, 50, 14, "Cancel", kStyleNone},
};

constexpr DialogControl kRows131[] = {
    // One choice of two: radio buttons, not check boxes.
    {idd131::kOutSide, K::kRadioButton, 18, 18, 120, 10, "OutSide", kStyleGroup},
    {idd131::kInSide, K::kRadioButton, 167, 18, 126, 10, "InSide", kStyleNone},
    {kIdcStatic, K::kGroupBox, 16, 40, 122, 109, "", kStyleNone},
    {kIdcStatic, K::kStatic, 35, 58, 77, 74, "", kStyleBorder},
    {1059, K::kRadioButton, 16, 59, 16, 10, "", kStyleGroup},
    {1060, K::kRadioButton, 36, 46, 16, 10, "", kStyleNone},
    {1061, K::kRadioButton, 94, 46, 16, 10, "", kStyleNone},
    {1062, K::kRadioButton, 115, 59, 16, 10, "", kStyleNone},
    {1063, K::kRadioButton, 115, 121, 16, 10, "", kStyleNone},
    {1064, K::kRadioButton, 94, 135, 16, 10, "", kStyleNone},
    {1065, K::kRadioButton, 36, 135, 16, 10, "", kStyleNone},
    {1066, K::kRadioButton, 16, 121, 16, 10, "", kStyleNone},
    {kIdcStatic, K::kGroupBox, 168, 40, 122, 109, "", kStyleNone},
    // The inside places: the four corners and the centre of the frame.
    {1053, K::kRadioButton, 173, 44, 10, 10, "", kStyleGroup},
    {1049, K::kRadioButton, 277, 44, 10, 10, "", kStyleNone},
    {1050, K::kRadioButton, 224, 89, 10, 10, "", kStyleNone},
    {1056, K::kRadioButton, 173, 135, 10, 10, "", kStyleNone},
    {1057, K::kRadioButton, 277, 135, 10, 10, "", kStyleNone},
    {kIdOk, K::kPushButton, 207, 163, 50, 14, "OK", kStyleDefault | kStyleGroup},
    {kIdCancel, K::kPushButton, 261, 163, 50, 14, "Cancel", kStyleNone},
};

// Start and Stop are never shown; their enabled state follows the run.
constexpr DialogControl kRows135[] = {
    {idd135::kHiddenLabel, K::kStatic, 13, 19, 65, 8, "", kStyleHidden},
    {idd135::kShotCount, K::kStatic, 137, 18, 51, 8, "0", kStyleNone},
    {idd135::kProgress, K::kProgressBar, 79, 37, 166, 8, "", kStyleNone},
    {idd135::kCountdown, K::kStatic, 263, 37, 39, 8, "", kStyleNone},
    {idd135::kStart, K::kPushButton, 11, 55, 50, 14, "Start", kStyleHidden | kStyleDisabled},
    {idd135::kStop, K::kPushButton, 11, 72, 50, 14, "Stop", kStyleHidden | kStyleDisabled},
    {idd135::kSecondsLabel, K::kStatic, 11, 68, 60, 8, "", kStyleNone},
    {idd135::kSeconds, K::kSpinBox, 73, 65, 50, 14, "", kStyleNone},
    {idd135::kEnd, K::kPushButton, 138, 65, 50, 14, "End", kStyleNone},
};

// The merge preview's pictures are placed by SetLayout; these are the
// places of a side-by-side layout.
constexpr DialogControl kRows138[] = {
    {idd138::kFirstPicture, K::kPlaceholder, 6, 6, 125, 84, "", kStyleNone},
    {idd138::kSecondPicture, K::kPlaceholder, 141, 6, 125, 84, "", kStyleNone},
};

constexpr DialogControl kRows139[] = {
    {idd139::kProcessText, K::kStatic, 20, 12, 180, 8, "Processing...", kStyleNone},
};

}  // namespace

const DialogTemplate kTemplate100{kIddAbout,      170, 62,      "About TavrinDesk",
                                  "MS Shell Dlg", 9,   kRows100};
const DialogTemplate kTemplate130{kIddWaterMark,  341, 348,     "Watermark Settings",
                                  "MS Shell Dlg", 9,   kRows130};
const DialogTemplate kTemplate131{kIddMergeOption, 318, 184,     "Webcam Merge Setting",
                                  "MS Shell Dlg",  9,   kRows131};
const DialogTemplate kTemplate135{kIddAutoCapture, 324, 90, "Timing", "MS Shell Dlg", 9, kRows135};
const DialogTemplate kTemplate138{kIddMergePreview, 272, 96, "", "MS Shell Dlg", 9, kRows138};
const DialogTemplate kTemplate139{kIddProgress, 220, 56, "", "MS Shell Dlg", 9, kRows139};

}  // namespace tavrin
