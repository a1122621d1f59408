#include "lens/src/gui.h"

#include <algorithm>
#include <vector>

#include <QApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QThread>

#include "lens/src/errors.h"
#include "lens/src/preview_widget.h"

namespace tavrin::lens {

namespace {

// Touched on the GUI thread only.
std::vector<QPointer<PreviewWidget>>& Previews() {
  static std::vector<QPointer<PreviewWidget>> previews;
  return previews;
}

void RemovePreviews(const std::shared_ptr<CameraView>* view, const QWidget* host) {
  auto& previews = Previews();
  for (auto& preview : previews) {
    if (preview && (view == nullptr || preview->View() == *view ||
                    (host != nullptr && preview->Host() == host))) {
      delete preview.data();
    }
  }
  std::erase_if(previews, [](const QPointer<PreviewWidget>& preview) { return preview.isNull(); });
}

}  // namespace

bool OnGuiThread() {
  const auto* application = qobject_cast<QApplication*>(QCoreApplication::instance());
  return application != nullptr && QThread::currentThread() == application->thread();
}

int AttachPreview(const std::shared_ptr<CameraView>& view, void* window) {
  QWidget* host = QWidget::find(static_cast<WId>(reinterpret_cast<quintptr>(window)));
  if (host == nullptr) return kErrBadArgument;
  RemovePreviews(&view, host);
  // On Wayland a child with a window of its own is drawn into its top-level
  // window's surface, but Qt marks only the child's own coordinates there as
  // changed, so the compositor shows the picture cut and stale. The preview
  // then lies over the host as a plain child of the top-level window.
  QWidget* parent = host;
  if (QGuiApplication::platformName().startsWith(QStringLiteral("wayland")) && !host->isWindow())
    parent = host->window();
  auto* preview = new PreviewWidget(host, parent, view);
  Previews().push_back(preview);
  if (parent == host) {
    preview->show();
    preview->raise();
  }
  return kOk;
}

void DetachPreview(const std::shared_ptr<CameraView>& view) {
  RemovePreviews(&view, nullptr);
}

void DestroyAllPreviews() {
  RemovePreviews(nullptr, nullptr);
}

}  // namespace tavrin::lens
