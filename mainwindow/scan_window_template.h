// Template 102, the scan window: its control ids and its table in dialog
// units, as the resource script lays them out.
#pragma once

#include "resources/dialog_template.h"

namespace tavrin {

inline constexpr int kScanWindowTemplateId = 102;

// Control ids, in template order.
inline constexpr int kIdColorLabel = 1076;
inline constexpr int kIdColorCombo = 1004;
inline constexpr int kIdCropLabel = 1083;
inline constexpr int kIdCropCombo = 1005;
inline constexpr int kIdFormatLabel = 1079;
inline constexpr int kIdFormatCombo = 1006;
inline constexpr int kIdMergeCheck = 1007;
inline constexpr int kIdHorizontalRadio = 1008;
inline constexpr int kIdVerticalRadio = 1009;
inline constexpr int kIdWatermarkCheck = 1010;
inline constexpr int kIdWatermarkSettingsButton = 1011;
inline constexpr int kIdDeviceSettingsButton = 1012;
inline constexpr int kIdImageSettingsButton = 1013;
inline constexpr int kIdWebcamCheck = 1014;
inline constexpr int kIdWebcamDeviceLabel = 1092;
inline constexpr int kIdWebcamDeviceCombo = 1015;
inline constexpr int kIdMergeSettingsButton = 1017;
inline constexpr int kIdPreviewArea = 1031;
inline constexpr int kIdZoomInButton = 1018;
inline constexpr int kIdZoomOutButton = 1023;
inline constexpr int kIdOriginalSizeButton = 1024;
inline constexpr int kIdBestFitButton = 1025;
inline constexpr int kIdRotateLabel = 1081;
inline constexpr int kIdRotateCombo = 1026;
inline constexpr int kIdExitButton = 1030;
inline constexpr int kIdDeviceLabel = 1077;
inline constexpr int kIdDeviceCombo = 1019;
inline constexpr int kIdMediaTypeLabel = 1078;
inline constexpr int kIdMediaTypeCombo = 1020;
inline constexpr int kIdResolutionLabel = 1080;
inline constexpr int kIdResolutionCombo = 1021;
inline constexpr int kIdUnitLabel = 1084;
inline constexpr int kIdCaptureButton = 1027;
inline constexpr int kIdAutoCaptureButton = 1028;
inline constexpr int kIdThumbnailList = 1029;
inline constexpr int kIdWebcamMergeCheck = 1073;
inline constexpr int kIdSaveButton = 1075;
inline constexpr int kIdWebcamResolutionLabel = 1093;
inline constexpr int kIdWebcamResolutionCombo = 1016;
inline constexpr int kIdMergeGroup = 1103;
inline constexpr int kIdWatermarkGroup = 1104;
inline constexpr int kIdWebcamGroup = 1105;
inline constexpr int kIdSettingsGroup = 1106;
inline constexpr int kIdAutoCaptureModeCombo = 1095;
inline constexpr int kIdAutoCaptureModeLabel = 1097;
inline constexpr int kIdUnitCombo = 1098;
inline constexpr int kIdLanguageCombo = 1099;
inline constexpr int kIdLanguageLabel = 1082;
inline constexpr int kIdHandCutCheck = 1101;
inline constexpr int kIdWebcamCaptureButton = 1102;
// Added after the resource script's own controls.
inline constexpr int kIdEvenLightCheck = 1110;

// Template 136 (preview host) and 137 (webcam preview) are empty dialogs.
inline constexpr int kPreviewHostTemplateId = 136;
inline constexpr int kWebcamPreviewTemplateId = 137;

// The about entry of the window menu; its text is the UI text "About".
inline constexpr int kIdmAboutBox = 16;

const DialogTemplate& ScanWindowTemplate();

}  // namespace tavrin
