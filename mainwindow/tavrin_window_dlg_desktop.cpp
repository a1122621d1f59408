// The window on a desktop: the keys that must not end a session, texts
// that show whole, and a window that grows with the screen.
#include <QComboBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMetaObject>
#include <QResizeEvent>
#include <QScreen>
#include <QStatusBar>

#include <algorithm>

#include "mainwindow/auto_capture_dlg.h"
#include "mainwindow/scan_window_template.h"
#include "mainwindow/tavrin_window_dlg.h"
#include "settings/scan_settings.h"
#include "thumbnails/image_list_ctrl.h"

namespace tavrin {

namespace {

constexpr int kStatusBarHeightPx = 20;
// The strip's share of the width the window grows by, in fifths; the
// preview takes the rest.
constexpr int kStripShareFifths = 1;
// Room left for the window's frame, which is not known before the window
// manager has taken the window.
constexpr int kFrameAllowancePx = 8;
// The least space kept between two controls of a row when the window is
// narrower than its fitted size.
constexpr int kNarrowGapPx = 6;

}  // namespace

void CTavrinWindowDlg::keyPressEvent(QKeyEvent* event) {
  // A plain dialog closes on Escape and presses its default button on
  // Enter; a scanning session ends only by Exit, the title bar or the
  // data source, so both keys are taken here and do nothing.
  switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      event->accept();
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}

void CTavrinWindowDlg::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  PlaceControls();
  // After the controls: the merge preview's size follows the picture area.
  PlaceCompanions();
}

void CTavrinWindowDlg::FitTexts() {
  // A window no wider than its texts needed follows them back when they
  // get shorter (another language), instead of keeping the widest width.
  const bool atFittedWidth =
      !fittedPlaces.empty() && width() == fittedSize.width() && !isMaximized();
  const QSize needed = FitControlsToTexts(controls);
  fittedPlaces.clear();
  for (QWidget* widget : controls.All()) fittedPlaces.push_back(widget->geometry());
  fittedSize = needed;
  // The template's size and no less (but on a narrow screen): the controls
  // keep their places relative to their side, and the preview and the
  // strip take the rest.
  narrowing = NarrowingForScreen(needed.width());
  const QSize smallest(needed.width() - narrowing, needed.height());
  setMinimumSize(smallest);
  setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  if (atFittedWidth && needed.width() < width()) resize(needed.width(), height());
  QSize wanted = size().expandedTo(smallest);
  // It opens no wider than the screen: what lay beyond its edge were the
  // strip and Exit. Once shown, the size is the person's.
  if (!isVisible() && wanted.width() > ScreenRoomWidth())
    wanted.setWidth(std::max(smallest.width(), ScreenRoomWidth()));
  if (wanted != size()) {
    const QPoint centre = geometry().center();
    resize(wanted);
    // Start-up placed the window by its centre; it stays there.
    if (!isVisible()) move(pos() + centre - geometry().center());
  }
  PlaceControls();
}

QRect CTavrinWindowDlg::TemplatePlace(int id) const {
  const std::vector<QWidget*>& all = controls.All();
  return controls.Places()[static_cast<size_t>(
      std::find(all.begin(), all.end(), controls.Control(id)) - all.begin())];
}

int CTavrinWindowDlg::ScreenRoomWidth() const {
  const QScreen* shown = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
  if (shown == nullptr) return QWIDGETSIZE_MAX;
  // A window not yet taken by the window manager has no frame yet.
  const int frame = std::max(kFrameAllowancePx, frameGeometry().width() - width());
  return shown->availableGeometry().width() - frame;
}

int CTavrinWindowDlg::NarrowingForScreen(int fittedWidth) const {
  const int over = fittedWidth - ScreenRoomWidth();
  if (over <= 0) return 0;
  // The picture gives up the width; the strip and the controls under it
  // move left with its edge, into the space before them in their row.
  // The controls under the picture stay where they are.
  const std::vector<QWidget*>& all = controls.All();
  const std::vector<QRect>& places = controls.Places();
  if (fittedPlaces.size() != all.size() || places.size() != all.size()) return 0;
  const QRect preview = TemplatePlace(kIdPreviewArea);
  const QRect strip = TemplatePlace(kIdThumbnailList);
  const auto movesLeft = [&](size_t i) {
    return places[i].top() >= preview.top() + preview.height() && places[i].left() >= strip.left();
  };
  int room = preview.width() / 4;
  for (size_t i = 0; i < all.size(); ++i) {
    if (!movesLeft(i) || all[i]->isHidden()) continue;
    const QRect& moving = fittedPlaces[i];
    for (size_t j = 0; j < all.size(); ++j) {
      const QRect& still = fittedPlaces[j];
      if (movesLeft(j) || all[j]->isHidden() || still.right() >= moving.left() ||
          still.bottom() < moving.top() || still.top() > moving.bottom()) {
        continue;
      }
      room = std::min(room, moving.left() - still.right() - kNarrowGapPx);
    }
  }
  return over <= room ? over : 0;
}

void CTavrinWindowDlg::WatchListsForFit() {
  const auto queueFit = [this] {
    if (fitQueued) return;
    fitQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          fitQueued = false;
          // Not before start-up has fitted them once.
          if (!fittedPlaces.empty()) FitTexts();
        },
        Qt::QueuedConnection);
  };
  for (QWidget* widget : controls.All()) {
    auto* combo = qobject_cast<QComboBox*>(widget);
    if (combo == nullptr) continue;
    connect(combo->model(), &QAbstractItemModel::rowsInserted, this, queueFit);
    connect(combo->model(), &QAbstractItemModel::modelReset, this, queueFit);
  }
}

void CTavrinWindowDlg::PlaceControls() {
  if (statusBar != nullptr) {
    statusBar->setGeometry(0, height() - kStatusBarHeightPx, width(), kStatusBarHeightPx);
  }
  const std::vector<QWidget*>& all = controls.All();
  const std::vector<QRect>& places = controls.Places();
  if (fittedPlaces.size() != all.size() || places.size() != all.size()) return;
  // Below the fitted width only on a narrow screen: then the picture alone
  // gives up the difference.
  const int dx = std::max(-narrowing, width() - fittedSize.width());
  const int dy = std::max(0, height() - fittedSize.height());
  const int stripGrowth = std::max(0, dx) * kStripShareFifths / 5;
  const int previewGrowth = dx - stripGrowth;

  // Sides are told by the template's places, whatever the texts did.
  const QRect preview = TemplatePlace(kIdPreviewArea);
  const QRect strip = TemplatePlace(kIdThumbnailList);
  const int previewBottom = preview.top() + preview.height();
  const int middle = controls.TemplateSize().width() / 2;
  // The strip reaches as far right as the rows under it, which a long text
  // may push further than the strip itself.
  int fittedRight = 0;
  for (size_t i = 0; i < all.size(); ++i)
    if (!all[i]->isHidden()) fittedRight = std::max(fittedRight, fittedPlaces[i].right());

  for (size_t i = 0; i < all.size(); ++i) {
    QRect place = fittedPlaces[i];
    const QRect& origin = places[i];
    const int id = all[i]->objectName().toInt();
    if (id == kIdPreviewArea) {
      place.setWidth(place.width() + previewGrowth);
      place.setHeight(place.height() + dy - TimingPanelHeight());
    } else if (id == kIdThumbnailList) {
      place.translate(previewGrowth, 0);
      place.setWidth(place.width() + stripGrowth);
      place.setRight(std::max(place.right(), fittedRight + dx));
      place.setHeight(place.height() + dy);
    } else if (origin.top() >= previewBottom) {
      // The rows under the preview: the left half stays, the right half
      // follows the preview's right edge or, under the strip, the window's.
      place.translate(0, dy);
      if (origin.center().x() > middle)
        place.translate(origin.left() >= strip.left() ? dx : std::max(0, previewGrowth), 0);
    }
    all[i]->setGeometry(place);
  }

  // The live pictures follow the grown picture area.
  if (previewHost != nullptr) PlacePreviews();
  if (TimingPanelHeight() > 0) PlaceAutoCapture();
}

bool CTavrinWindowDlg::eventFilter(QObject* watched, QEvent* event) {
  // A panel inside the window (see PanelsInside) came or went.
  if (watched == static_cast<QObject*>(autoCapture) &&
      (event->type() == QEvent::Show || event->type() == QEvent::Hide ||
       event->type() == QEvent::Resize)) {
    QMetaObject::invokeMethod(this, &CTavrinWindowDlg::PlaceControls, Qt::QueuedConnection);
  }
  return QDialog::eventFilter(watched, event);
}

void CTavrinWindowDlg::RestoreWindowSize() {
  const auto& saved = g_scanSettings.Window;
  QSize wanted(std::max(saved.Width, width()), std::max(saved.Height, height()));
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    wanted = wanted.boundedTo(screen->availableGeometry().size()).expandedTo(minimumSize());
  }
  setMinimumSize(size());
  setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  resize(wanted);
  if (saved.isMaximized != 0) setWindowState(windowState() | Qt::WindowMaximized);
}

void CTavrinWindowDlg::RememberWindowSize() {
  const QRect normal =
      (isMaximized() && normalGeometry().isValid()) ? normalGeometry() : geometry();
  g_scanSettings.Window.Width = normal.width();
  g_scanSettings.Window.Height = normal.height();
  g_scanSettings.Window.isMaximized = isMaximized() ? 1 : 0;
}

}  // namespace tavrin
