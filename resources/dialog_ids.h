// Control ids of the option dialogs' templates, as the handlers and tests
// know them. Ids repeat between templates, so each has its own namespace.
#pragma once

namespace tavrin {

constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

// Application icon (window icon of every dialog).
constexpr int kIdrMainFrame = 128;

// Template numbers.
constexpr int kIddAbout = 100;
constexpr int kIddWaterMark = 130;
constexpr int kIddMergeOption = 131;
constexpr int kIddAutoCapture = 135;
constexpr int kIddMergePreview = 138;
constexpr int kIddProgress = 139;

namespace idd130 {
constexpr int kWmTextLabel = 1090;
constexpr int kTimeStamp = 1036;
constexpr int kWmText = 1037;
constexpr int kFontLabel = 1087;
constexpr int kFont = 1039;
constexpr int kFontSizeLabel = 1088;
constexpr int kFontSize = 1040;
constexpr int kFontColorLabel = 1076;
constexpr int kFontColor = 1041;
constexpr int kWeight = 1033;
constexpr int kItalic = 1034;
constexpr int kUnderline = 1035;
constexpr int kTransparencyLabel = 1089;
constexpr int kTransparency = 1042;
constexpr int kTransparencyValue = 1043;
constexpr int kAngleLabel = 1091;
constexpr int kAngle = 1044;
constexpr int kAngleValue = 1045;
constexpr int kPosLabel = 1096;
// Radio buttons of positions 0 to 8, row by row from the top left.
constexpr int kPos[9] = {1046, 1047, 1049, 1048, 1050, 1051, 1053, 1052, 1054};
}  // namespace idd130

namespace idd131 {
constexpr int kOutSide = 1068;
constexpr int kInSide = 1069;
// Radio buttons of mergeType 1 to 8 (outside, clockwise from the upper left
// side); index 0 is unused.
constexpr int kOutsidePlace[9] = {0, 1059, 1060, 1061, 1062, 1063, 1064, 1065, 1066};
// Radio buttons of mergePosition 0 to 4 (centre, top left, top right,
// bottom right, bottom left).
constexpr int kInsidePlace[5] = {1050, 1053, 1049, 1057, 1056};
}  // namespace idd131

namespace idd135 {
constexpr int kHiddenLabel = 1086;
constexpr int kShotCount = 1070;
constexpr int kProgress = 1047;
constexpr int kCountdown = 1085;
constexpr int kStart = 1048;
constexpr int kStop = 1049;
constexpr int kEnd = 1050;
// The run's seconds: the timed run's interval or the automatic run's
// stillness, and the label that says which.
constexpr int kSecondsLabel = 1087;
constexpr int kSeconds = 1088;
}  // namespace idd135

namespace idd138 {
constexpr int kFirstPicture = 1071;
constexpr int kSecondPicture = 1072;
}  // namespace idd138

namespace idd139 {
constexpr int kProcessText = 1100;
constexpr int kProgressBar = 66;  // created at run time
}  // namespace idd139

namespace idd100 {
constexpr int kIcon = 1107;
constexpr int kNameVersion = 1108;
constexpr int kCopyright = 1109;
}  // namespace idd100

}  // namespace tavrin
