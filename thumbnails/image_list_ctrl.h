// CImageListCtrl: the strip of thumbnails of the captured files.
// Threads: AddImage from any thread (capture, continuous capture, data-source
// requests); everything else on the GUI thread.
#pragma once

#include <QImage>
#include <QListWidget>
#include <QSize>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class QContextMenuEvent;
class QMenu;
class QResizeEvent;

namespace tavrin {

// Menu commands of the strip.
constexpr int kIdmOpen = 667;
constexpr int kIdmClear = 668;
constexpr int kIdmOpenSelectionMark = 669;
constexpr int kIdmDelete = 671;
constexpr int kIdmUndo = 672;

// The thumbnail size for an image of w x h pixels in a cell of
// cellWidth x cellHeight: the cell height for upright images, else the cell
// width, the other side in proportion (never below one pixel).
QSize ThumbnailSize(unsigned imageWidth, unsigned imageHeight, int cellWidthPx, int cellHeightPx);

// The source drawn centred on a cell of the given size, filled with
// background around it.
QImage MakeCellBitmap(const QImage& source, int cellWidthPx, int cellHeightPx, QColor background);

// Decodes path straight to the size ThumbnailSize gives (JPEG scales while
// it decodes) and returns its cell; a null image when it cannot be decoded.
QImage MakeThumbnailCell(const QString& path, int cellWidthPx, int cellHeightPx);

class CImageListCtrl : public QListWidget {
 public:
  // Opens a file with the program the desktop associates with it.
  using FileOpener = std::function<bool(const QString& path)>;
  // Asks the person a yes/no question; true for yes.
  using Confirmer = std::function<bool(const QString& question)>;
  // Told of a page taken out (removed true) or brought back, by file name.
  using RemovalListener = std::function<void(bool removed, const QString& name)>;

  // The menu entries' texts; clearQuestion holds %1 for the number of pages.
  struct Texts {
    QString open = QStringLiteral("Open");
    QString clear = QStringLiteral("Clear");
    QString remove = QStringLiteral("Delete");
    QString undo = QStringLiteral("Undo");
    QString clearQuestion = QStringLiteral("Remove all %1 pages? They will not be delivered.");
  };

  explicit CImageListCtrl(QWidget* parent = nullptr);
  ~CImageListCtrl() override;

  // Takes the cell size from the width of the client area (its width
  // without the frame). The strip follows its own resizes after this.
  void Initialise();

  // Makes the thumbnail of path and queues its item (inserted on the GUI
  // thread in the order of the calls). The image index, or -1 when no file
  // exists at path or it cannot be decoded; nothing changes then.
  int AddImage(const QString& path);

  // Takes the selected item with the highest row whose file still exists
  // out of the strip, one per call. Its file is set aside, so it is not
  // delivered, and comes back with UndoDelete; it is deleted only by
  // DiscardRemoved, when the session ends. The removed file's name, or
  // empty when nothing was taken out.
  QString DeleteSelectedImage();
  // Puts the page taken out last back where it was; its name, or empty
  // when there is nothing to bring back.
  QString UndoDelete();
  bool CanUndo() const { return !removed.empty(); }
  // Deletes the files set aside; undo ends there.
  void DiscardRemoved();

  // Runs a menu command of the strip.
  void OnCommand(int commandId);

  // Scrolls so that the item at row is fully visible.
  void EnsureItemVisible(int row);

  int CellWidthPx() const { return cellWidthPx; }
  int CellHeightPx() const { return cellHeightPx; }
  // The paths of the items, in row order.
  const std::vector<QString>& Paths() const { return pathList; }
  // The thumbnail made for image index; null when there is none.
  QImage CellImage(int imageIndex) const;
  int ImageCount() const;

  void SetFileOpener(FileOpener opener) { fileOpener = std::move(opener); }
  void SetConfirmer(Confirmer confirm) { confirmer = std::move(confirm); }
  void SetRemovalListener(RemovalListener listener) { removalListener = std::move(listener); }
  void SetTexts(const Texts& newTexts) { texts = newTexts; }

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void InsertAddedItem(int imageIndex, const QString& path);
  void OnItemDoubleClicked(QListWidgetItem* item);
  void OpenPath(const QString& path);
  void Clear();
  QMenu* MakeMenu(bool onItem);
  // The cell size for the client width now; true when it changed.
  bool FollowClientWidth();
  // Makes the items' icons again at the cell size now.
  void RemakeIcons();

  // Read by AddImage on any thread.
  std::atomic<int> cellWidthPx = 0;
  std::atomic<int> cellHeightPx = 0;
  bool initialised = false;
  // Growing the window resizes the strip many times; the icons are made
  // again once it has come to rest.
  QTimer remakeTimer;
  Texts texts;
  Confirmer confirmer;
  RemovalListener removalListener;
  // Thumbnails by image index; appended by any thread, never removed.
  mutable std::mutex imageListLock;
  std::vector<QImage> imageList;
  // One path per item, in row order; GUI thread only. A path joins the list
  // when its item is inserted, so the two never disagree.
  std::vector<QString> pathList;
  // Pages taken out, last on top: where they were, and where their files
  // wait.
  struct RemovedPage {
    int row = 0;
    QString path;
    QString heldPath;
    QListWidgetItem* item = nullptr;
  };
  std::vector<RemovedPage> removed;
  FileOpener fileOpener;
};

}  // namespace tavrin
