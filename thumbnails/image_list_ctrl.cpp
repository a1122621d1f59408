#include "thumbnails/image_list_ctrl.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QResizeEvent>
#include <QUrl>

#include <algorithm>

#include "platform/files.h"

namespace tavrin {

namespace {

constexpr int kCellMarginPx = 60;
constexpr int kRemakeDelayMs = 150;
// Beside the pages, so that setting one aside is a rename on the same disk.
const QString kSetAsideFolder = QStringLiteral(".removed");

bool FileExists(const QString& path) {
  return !path.isEmpty() && platform::PathExists(path.toStdString()) &&
         !platform::IsFolder(path.toStdString());
}

}  // namespace

QSize ThumbnailSize(unsigned imageWidth, unsigned imageHeight, int cellWidthPx, int cellHeightPx) {
  if (imageWidth == 0 || imageHeight == 0) return {};
  const unsigned cellWidth = static_cast<unsigned>(std::max(cellWidthPx, 1));
  const unsigned cellHeight = static_cast<unsigned>(std::max(cellHeightPx, 1));
  // 64-bit products: a tall strip and a huge image must not wrap around.
  unsigned long long width = 0;
  unsigned long long height = 0;
  if (imageHeight > imageWidth) {
    height = cellHeight;
    width = static_cast<unsigned long long>(cellHeight) * imageWidth / imageHeight;
  } else {
    width = cellWidth;
    height = static_cast<unsigned long long>(cellWidth) * imageHeight / imageWidth;
  }
  return QSize(static_cast<int>(std::max(width, 1ull)), static_cast<int>(std::max(height, 1ull)));
}

QImage MakeCellBitmap(const QImage& source, int cellWidthPx, int cellHeightPx, QColor background) {
  QImage cell(std::max(cellWidthPx, 1), std::max(cellHeightPx, 1), QImage::Format_RGB32);
  cell.fill(background);
  if (source.isNull()) return cell;
  const int w = source.width();
  const int h = source.height();
  const double scale =
      std::min(static_cast<double>(cell.height()) / h, static_cast<double>(cell.width()) / w);
  const int drawnWidth = static_cast<int>(scale * w);
  const int drawnHeight = static_cast<int>(scale * h);
  const QRect target((cell.width() - drawnWidth) / 2, (cell.height() - drawnHeight) / 2, drawnWidth,
                     drawnHeight);
  QPainter painter(&cell);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  // Transparent parts of the source show the background.
  painter.drawImage(target, source);
  return cell;
}

QImage MakeThumbnailCell(const QString& path, int cellWidthPx, int cellHeightPx) {
  QImageReader reader(path);
  reader.setAutoTransform(false);
  QSize imageSize = reader.size();
  QImage thumbnail;
  if (imageSize.isValid() && !imageSize.isEmpty()) {
    reader.setScaledSize(
        ThumbnailSize(imageSize.width(), imageSize.height(), cellWidthPx, cellHeightPx));
    thumbnail = reader.read();
  } else {
    // No size in the header: decode whole, then scale.
    const QImage full = reader.read();
    if (full.isNull()) return {};
    thumbnail = full.scaled(ThumbnailSize(full.width(), full.height(), cellWidthPx, cellHeightPx),
                            Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  }
  if (thumbnail.isNull()) return {};
  return MakeCellBitmap(thumbnail, cellWidthPx, cellHeightPx, Qt::white);
}

CImageListCtrl::CImageListCtrl(QWidget* parent) : QListWidget(parent) {
  setViewMode(QListView::IconMode);
  setMovement(QListView::Static);
  setResizeMode(QListView::Adjust);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setFrameShape(QFrame::StyledPanel);
  setWordWrap(false);
  setTextElideMode(Qt::ElideMiddle);
  setUniformItemSizes(true);
  connect(this, &QListWidget::itemDoubleClicked, this, &CImageListCtrl::OnItemDoubleClicked);
  remakeTimer.setSingleShot(true);
  remakeTimer.setInterval(kRemakeDelayMs);
  connect(&remakeTimer, &QTimer::timeout, this, &CImageListCtrl::RemakeIcons);
}

void CImageListCtrl::Initialise() {
  initialised = true;
  FollowClientWidth();
}

bool CImageListCtrl::FollowClientWidth() {
  // The frame's inside, not the viewport: before the strip is first shown
  // the viewport still has Qt's default size.
  const int clientWidthPx = contentsRect().width();
  // Keep at least one pixel so a very narrow strip still makes thumbnails.
  const int width = std::clamp(clientWidthPx - kCellMarginPx, 1, 32767);
  const int height = std::max(width / 4 * 3, 1);
  if (width == cellWidthPx && height == cellHeightPx) return false;
  cellWidthPx = width;
  cellHeightPx = height;
  setIconSize(QSize(width, height));
  return true;
}

void CImageListCtrl::resizeEvent(QResizeEvent* event) {
  QListWidget::resizeEvent(event);
  if (initialised && FollowClientWidth() && count() > 0) remakeTimer.start();
}

void CImageListCtrl::RemakeIcons() {
  const int width = cellWidthPx;
  const int height = cellHeightPx;
  for (int row = 0; row < count(); ++row) {
    QImage cell = MakeThumbnailCell(pathList[static_cast<size_t>(row)], width, height);
    // A file gone since keeps its picture, scaled.
    if (cell.isNull()) {
      cell =
          MakeCellBitmap(item(row)->icon().pixmap(iconSize()).toImage(), width, height, Qt::white);
    }
    item(row)->setIcon(QIcon(QPixmap::fromImage(cell)));
  }
}

int CImageListCtrl::AddImage(const QString& path) {
  if (!FileExists(path)) return -1;
  // The decoding runs on the caller's thread; only the item goes to the GUI
  // thread.
  QImage cell = MakeThumbnailCell(path, cellWidthPx, cellHeightPx);
  if (cell.isNull()) return -1;
  int imageIndex = -1;
  {
    std::lock_guard lock(imageListLock);
    imageIndex = static_cast<int>(imageList.size());
    imageList.push_back(std::move(cell));
    // Posting under the lock keeps the queue in image-index order when two
    // threads add at once.
    QMetaObject::invokeMethod(
        this, [this, imageIndex, path] { InsertAddedItem(imageIndex, path); },
        Qt::QueuedConnection);
  }
  return imageIndex;
}

void CImageListCtrl::InsertAddedItem(int imageIndex, const QString& path) {
  QImage cell = CellImage(imageIndex);
  // Made on another thread while the strip changed its width.
  if (cell.size() != iconSize()) {
    const QImage again = MakeThumbnailCell(path, cellWidthPx, cellHeightPx);
    if (!again.isNull()) cell = again;
  }
  // Images outlive deleted items, so an image index can lie past the last
  // row; the item then goes to the end.
  const int row = std::min(imageIndex, count());
  auto* item = new QListWidgetItem(QIcon(QPixmap::fromImage(cell)), QFileInfo(path).fileName());
  // A long name is shortened in the middle, where the numbers that tell
  // pages apart are kept; the whole name shows on hover.
  item->setToolTip(QFileInfo(path).fileName());
  insertItem(row, item);
  pathList.insert(pathList.begin() + row, path);
  EnsureItemVisible(row);
}

void CImageListCtrl::EnsureItemVisible(int row) {
  if (QListWidgetItem* target = item(row)) scrollToItem(target, QAbstractItemView::EnsureVisible);
}

QImage CImageListCtrl::CellImage(int imageIndex) const {
  std::lock_guard lock(imageListLock);
  if (imageIndex < 0 || imageIndex >= static_cast<int>(imageList.size())) return {};
  return imageList[static_cast<size_t>(imageIndex)];
}

int CImageListCtrl::ImageCount() const {
  std::lock_guard lock(imageListLock);
  return static_cast<int>(imageList.size());
}

CImageListCtrl::~CImageListCtrl() {
  for (RemovedPage& page : removed) delete page.item;
}

QString CImageListCtrl::DeleteSelectedImage() {
  for (int row = count() - 1; row >= 0; --row) {
    if (!item(row)->isSelected()) continue;
    const QString path = pathList[static_cast<size_t>(row)];
    if (!FileExists(path)) continue;
    const QFileInfo file(path);
    const QDir folder = file.dir();
    if (!folder.mkpath(kSetAsideFolder)) continue;
    // A later page of the same name may be set aside too: each keeps its own.
    QString held = folder.filePath(kSetAsideFolder + QLatin1Char('/') + file.fileName());
    for (int n = 2; QFileInfo::exists(held); ++n) {
      held = folder.filePath(
          QStringLiteral("%1/%2-%3").arg(kSetAsideFolder).arg(n).arg(file.fileName()));
    }
    if (!QFile::rename(path, held)) continue;
    removed.push_back({row, path, held, takeItem(row)});
    pathList.erase(pathList.begin() + row);
    if (removalListener) removalListener(true, file.fileName());
    return file.fileName();
  }
  return {};
}

QString CImageListCtrl::UndoDelete() {
  while (!removed.empty()) {
    RemovedPage page = removed.back();
    removed.pop_back();
    // A page whose file cannot come back stays out, and the next one is
    // tried; it is never shown without its file.
    if (FileExists(page.path) || !QFile::rename(page.heldPath, page.path)) {
      delete page.item;
      continue;
    }
    const int row = std::min(page.row, count());
    insertItem(row, page.item);
    pathList.insert(pathList.begin() + row, page.path);
    clearSelection();
    setCurrentItem(page.item);
    EnsureItemVisible(row);
    const QString name = QFileInfo(page.path).fileName();
    if (removalListener) removalListener(false, name);
    return name;
  }
  return {};
}

void CImageListCtrl::DiscardRemoved() {
  for (RemovedPage& page : removed) {
    platform::DeleteFilePath(page.heldPath.toStdString());
    delete page.item;
  }
  removed.clear();
}

void CImageListCtrl::OnItemDoubleClicked(QListWidgetItem* clicked) {
  const int row = this->row(clicked);
  if (row >= 0 && row < static_cast<int>(pathList.size()))
    OpenPath(pathList[static_cast<size_t>(row)]);
}

void CImageListCtrl::OpenPath(const QString& path) {
  if (fileOpener) {
    fileOpener(path);
  } else {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
  }
}

void CImageListCtrl::Clear() {
  if (count() == 0) return;
  const QString question = texts.clearQuestion.contains(QStringLiteral("%1"))
                               ? texts.clearQuestion.arg(count())
                               : texts.clearQuestion;
  const bool yes = confirmer ? confirmer(question)
                             : QMessageBox::question(this, QCoreApplication::applicationName(),
                                                     question) == QMessageBox::Yes;
  if (!yes) return;
  // The strip shows what the application gets: a page taken out of it
  // goes, and the file list passes over files that are gone.
  for (const QString& path : pathList) {
    if (FileExists(path)) platform::DeleteFilePath(path.toStdString());
  }
  clear();
  pathList.clear();
}

void CImageListCtrl::OnCommand(int commandId) {
  switch (commandId) {
    case kIdmDelete:
      DeleteSelectedImage();
      break;
    case kIdmOpen: {
      const QList<QListWidgetItem*> selected = selectedItems();
      if (!selected.isEmpty()) OnItemDoubleClicked(selected.back());
      break;
    }
    case kIdmOpenSelectionMark:
      if (QListWidgetItem* mark = currentItem()) OnItemDoubleClicked(mark);
      break;
    case kIdmClear:
      Clear();
      break;
    case kIdmUndo:
      UndoDelete();
      break;
    default:
      break;
  }
}

QMenu* CImageListCtrl::MakeMenu(bool onItem) {
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  const auto addEntry = [this, menu](int commandId, const QString& text) {
    QAction* action = menu->addAction(text);
    action->setObjectName(QString::number(commandId));
    connect(action, &QAction::triggered, this, [this, commandId] { OnCommand(commandId); });
  };
  if (onItem) {
    addEntry(kIdmDelete, texts.remove);
  } else {
    addEntry(kIdmOpen, texts.open);
    addEntry(kIdmClear, texts.clear);
  }
  if (CanUndo()) addEntry(kIdmUndo, texts.undo);
  return menu;
}

void CImageListCtrl::contextMenuEvent(QContextMenuEvent* event) {
  // Scroll areas deliver this event in viewport coordinates.
  const QModelIndex hit = indexAt(event->pos());
  QMenu* menu = MakeMenu(hit.isValid());
  menu->popup(event->globalPos());
  event->accept();
}

}  // namespace tavrin
