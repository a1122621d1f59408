// The library's own widgets: the live preview laid over a host widget and the
// settings windows of a camera.
// Threads: the GUI thread only; OnGuiThread tells a caller whether it is on
// it (there is none without a QApplication).
#pragma once

#include <memory>

#include "lens/src/camera.h"

namespace tavrin::lens {

bool OnGuiThread();

// window: QWidget::winId() of the host. One preview per camera and per host:
// an earlier one of either is removed. Returns a LensStatus.
int AttachPreview(const std::shared_ptr<CameraView>& view, void* window);
void DetachPreview(const std::shared_ptr<CameraView>& view);
void DestroyAllPreviews();

// A modal window with the camera's controls of that group (sliders, check
// boxes and lists, greyed while an automatic mode owns them); each change
// applies at once. Returns when it closes: OK keeps the values, Cancel puts
// the old ones back; either way the camera keeps them for its next opening.
int ShowSettingsWindow(Camera& camera, ControlGroup group);

}  // namespace tavrin::lens
