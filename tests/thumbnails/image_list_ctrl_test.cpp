#include "thumbnails/image_list_ctrl.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

QT_BEGIN_NAMESPACE
// Readable failure messages for paths.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << text.toStdString();
}
QT_END_NAMESPACE

namespace tavrin {
namespace {

bool IsNear(QRgb pixel, QColor expected) {
  return std::abs(qRed(pixel) - expected.red()) <= 8 &&
         std::abs(qGreen(pixel) - expected.green()) <= 8 &&
         std::abs(qBlue(pixel) - expected.blue()) <= 8;
}

class ImageListCtrlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.isValid());
    // A 160-pixel client area, as in the scan window's template.
    strip.resize(160 + 2 * strip.frameWidth(), 400);
    strip.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    strip.show();
    ASSERT_EQ(strip.viewport()->width(), 160);
    strip.Initialise();
    strip.SetFileOpener([this](const QString& path) {
      opened.push_back(path);
      return true;
    });
  }

  QString WriteImage(const QString& name, int w, int h, QColor colour, const char* format = "JPG") {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    const QString path = folder.filePath(name);
    EXPECT_TRUE(image.save(path, format));
    return path;
  }

  // A real double-click arrives as a click, then the double-click event.
  void DoubleClick(QPoint where) {
    QTest::mouseClick(strip.viewport(), Qt::LeftButton, {}, where);
    QTest::mouseDClick(strip.viewport(), Qt::LeftButton, {}, where);
  }

  // Lets the queued item insertions run.
  static void Settle() { QCoreApplication::processEvents(); }

  QStringList Labels() const {
    QStringList labels;
    for (int row = 0; row < strip.count(); ++row) labels << strip.item(row)->text();
    return labels;
  }

  QTemporaryDir folder;
  CImageListCtrl strip;
  std::vector<QString> opened;
};

TEST_F(ImageListCtrlTest, CellSizeComesFromTheClientWidth) {
  EXPECT_EQ(strip.CellWidthPx(), 100);
  EXPECT_EQ(strip.CellHeightPx(), 75);
  EXPECT_EQ(strip.iconSize(), QSize(100, 75));
}

TEST_F(ImageListCtrlTest, LandscapeImageFillsTheCell) {
  const QString path = WriteImage("wide.jpg", 4000, 3000, Qt::blue);
  const int index = strip.AddImage(path);
  ASSERT_EQ(index, 0);
  const QImage cell = strip.CellImage(index);
  ASSERT_EQ(cell.size(), QSize(100, 75));
  for (QPoint p : {QPoint(0, 0), QPoint(99, 0), QPoint(0, 74), QPoint(99, 74), QPoint(50, 37)})
    EXPECT_TRUE(IsNear(cell.pixel(p), Qt::blue)) << p.x() << "," << p.y();
  EXPECT_EQ(ThumbnailSize(4000, 3000, 100, 75), QSize(100, 75));
}

TEST_F(ImageListCtrlTest, PortraitImageIsCentredOnWhite) {
  EXPECT_EQ(ThumbnailSize(3000, 4000, 100, 75), QSize(56, 75));
  const QString path = WriteImage("tall.jpg", 3000, 4000, Qt::blue);
  const QImage cell = strip.CellImage(strip.AddImage(path));
  ASSERT_EQ(cell.size(), QSize(100, 75));
  for (int y : {0, 37, 74}) {
    // 22 white columns on each side of a 56-pixel picture.
    EXPECT_EQ(cell.pixel(0, y), qRgb(255, 255, 255));
    EXPECT_EQ(cell.pixel(21, y), qRgb(255, 255, 255));
    EXPECT_TRUE(IsNear(cell.pixel(22, y), Qt::blue));
    EXPECT_TRUE(IsNear(cell.pixel(77, y), Qt::blue));
    EXPECT_EQ(cell.pixel(78, y), qRgb(255, 255, 255));
    EXPECT_EQ(cell.pixel(99, y), qRgb(255, 255, 255));
  }
}

TEST_F(ImageListCtrlTest, TransparentPngShowsWhite) {
  QImage image(40, 30, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  const QString path = folder.filePath("clear.png");
  ASSERT_TRUE(image.save(path));
  const QImage cell = strip.CellImage(strip.AddImage(path));
  ASSERT_FALSE(cell.isNull());
  EXPECT_EQ(cell.pixel(50, 37), qRgb(255, 255, 255));
}

TEST_F(ImageListCtrlTest, MissingOrUndecodableFilesAddNothing) {
  EXPECT_EQ(strip.AddImage(folder.filePath("none.jpg")), -1);
  EXPECT_EQ(strip.AddImage(QString()), -1);
  EXPECT_EQ(strip.AddImage(folder.path()), -1);  // a folder is not an image
  QFile junk(folder.filePath("junk.jpg"));
  ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
  junk.write("not an image at all");
  junk.close();
  EXPECT_EQ(strip.AddImage(junk.fileName()), -1);
  Settle();
  EXPECT_EQ(strip.count(), 0);
  EXPECT_EQ(strip.ImageCount(), 0);
  EXPECT_TRUE(strip.Paths().empty());
  EXPECT_TRUE(QFile::exists(junk.fileName()));
}

TEST_F(ImageListCtrlTest, AddsFromOtherThreadsKeepTheirLabelsInOrder) {
  const QString first = WriteImage("1_100.jpg", 64, 48, Qt::red);
  const QString second = WriteImage("1_101.jpg", 64, 48, Qt::green);
  std::vector<int> indexes;
  std::thread capture([&] {
    indexes.push_back(strip.AddImage(first));
    indexes.push_back(strip.AddImage(second));
  });
  capture.join();
  EXPECT_EQ(strip.count(), 0);  // items wait for the GUI thread
  Settle();
  EXPECT_EQ(indexes, (std::vector<int>{0, 1}));
  EXPECT_EQ(Labels(), (QStringList{"1_100.jpg", "1_101.jpg"}));
  EXPECT_EQ(strip.Paths(), (std::vector<QString>{first, second}));

  // Two threads at once: every item arrives and each row's path is its label.
  std::vector<QString> paths;
  for (int i = 0; i < 8; ++i)
    paths.push_back(WriteImage(QString("2_%1.png").arg(i), 32, 24, Qt::gray, "PNG"));
  std::thread a([&] {
    for (int i = 0; i < 8; i += 2) strip.AddImage(paths[i]);
  });
  std::thread b([&] {
    for (int i = 1; i < 8; i += 2) strip.AddImage(paths[i]);
  });
  a.join();
  b.join();
  Settle();
  ASSERT_EQ(strip.count(), 10);
  ASSERT_EQ(strip.Paths().size(), 10u);
  for (int row = 0; row < strip.count(); ++row)
    EXPECT_EQ(strip.item(row)->text(), QFileInfo(strip.Paths()[row]).fileName());
}

TEST_F(ImageListCtrlTest, DeleteTakesOutTheLastSelectedItemUntilUndoAndDiscardDeletesTheFile) {
  std::vector<QString> paths;
  for (int i = 0; i < 3; ++i)
    paths.push_back(WriteImage(QString("d%1.jpg").arg(i), 64, 48, Qt::red));
  for (const QString& path : paths) strip.AddImage(path);
  Settle();
  strip.selectAll();
  EXPECT_EQ(strip.DeleteSelectedImage(), "d2.jpg");
  EXPECT_EQ(Labels(), (QStringList{"d0.jpg", "d1.jpg"}));
  EXPECT_EQ(strip.Paths(), (std::vector<QString>{paths[0], paths[1]}));
  // Not where the file list looks any more, but not lost either.
  EXPECT_FALSE(QFile::exists(paths[2]));
  EXPECT_TRUE(QFile::exists(paths[0]));
  EXPECT_TRUE(QFile::exists(paths[1]));

  // The middle one next; undo brings back the last taken out first, each to
  // its own row.
  strip.clearSelection();
  strip.item(0)->setSelected(true);
  EXPECT_EQ(strip.DeleteSelectedImage(), "d0.jpg");
  EXPECT_EQ(strip.UndoDelete(), "d0.jpg");
  EXPECT_EQ(strip.UndoDelete(), "d2.jpg");
  EXPECT_EQ(Labels(), (QStringList{"d0.jpg", "d1.jpg", "d2.jpg"}));
  EXPECT_EQ(strip.Paths(), paths);
  for (const QString& path : paths) EXPECT_TRUE(QFile::exists(path)) << path.toStdString();
  EXPECT_FALSE(strip.CanUndo());
  EXPECT_EQ(strip.UndoDelete(), "");

  // A selected item whose file is gone is skipped and stays.
  ASSERT_TRUE(QFile::remove(paths[2]));
  strip.selectAll();
  strip.DeleteSelectedImage();
  EXPECT_EQ(Labels(), (QStringList{"d0.jpg", "d2.jpg"}));
  strip.clearSelection();
  EXPECT_EQ(strip.DeleteSelectedImage(), "");
  EXPECT_EQ(strip.count(), 2);

  // The end of the session deletes what was taken out, and undo ends.
  ASSERT_TRUE(strip.CanUndo());
  strip.DiscardRemoved();
  EXPECT_FALSE(strip.CanUndo());
  EXPECT_FALSE(QFile::exists(paths[1]));
  EXPECT_TRUE(QDir(QFileInfo(paths[1]).dir().filePath(".removed")).isEmpty());
}

TEST_F(ImageListCtrlTest, AddAfterDeleteGoesLastAndOpensTheNewFile) {
  std::vector<QString> paths;
  for (int i = 0; i < 3; ++i)
    paths.push_back(WriteImage(QString("a%1.jpg").arg(i), 64, 48, Qt::red));
  for (const QString& path : paths) strip.AddImage(path);
  Settle();
  strip.clearSelection();
  strip.item(1)->setSelected(true);
  strip.DeleteSelectedImage();
  const QString added = WriteImage("new.jpg", 48, 64, Qt::blue);
  const int index = strip.AddImage(added);
  EXPECT_EQ(index, 3);  // images are never reused
  Settle();
  ASSERT_EQ(strip.count(), 3);
  EXPECT_EQ(strip.item(2)->text(), "new.jpg");
  EXPECT_EQ(strip.Paths()[2], added);
  const QImage shown = strip.item(2)->icon().pixmap(strip.iconSize()).toImage();
  EXPECT_TRUE(IsNear(shown.pixel(50, 37), Qt::blue));

  const QRect cellRect = strip.visualItemRect(strip.item(2));
  ASSERT_EQ(strip.itemAt(cellRect.center()), strip.item(2)) << cellRect.y();
  DoubleClick(cellRect.center());
  EXPECT_EQ(opened, std::vector<QString>{added});
}

TEST_F(ImageListCtrlTest, DoubleClickOnEmptySpaceOpensNothing) {
  strip.AddImage(WriteImage("x.jpg", 64, 48, Qt::red));
  Settle();
  DoubleClick(QPoint(150, 390));
  EXPECT_TRUE(opened.empty());
}

class ImageListMenuTest : public ImageListCtrlTest {
 protected:
  // Right-clicks at a viewport point and returns the menu that pops up.
  QMenu* RightClick(QPoint where) {
    QContextMenuEvent event(QContextMenuEvent::Mouse, where, strip.viewport()->mapToGlobal(where));
    QCoreApplication::sendEvent(strip.viewport(), &event);
    QMenu* menu = strip.findChild<QMenu*>();
    return menu;
  }

  static QStringList Entries(QMenu* menu) {
    QStringList names;
    for (QAction* action : menu->actions()) names << action->objectName() + " " + action->text();
    return names;
  }

  void TearDown() override {
    for (QMenu* menu : strip.findChildren<QMenu*>()) delete menu;
  }
};

TEST_F(ImageListMenuTest, ItemMenuDeletes) {
  const QString path = WriteImage("m.jpg", 64, 48, Qt::red);
  strip.AddImage(path);
  Settle();
  strip.item(0)->setSelected(true);
  CImageListCtrl::Texts texts;
  texts.remove = QStringLiteral("Löschen");
  strip.SetTexts(texts);
  QMenu* menu = RightClick(strip.visualItemRect(strip.item(0)).center());
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(Entries(menu), QStringList{QString::fromUtf8("671 Löschen")});
  menu->actions().front()->trigger();
  EXPECT_EQ(strip.count(), 0);
  EXPECT_FALSE(QFile::exists(path));
}

// Emptying the strip takes its pages out of what is delivered, once the
// person has agreed to the number.
TEST_F(ImageListMenuTest, EmptySpaceMenuOpensTheSelectionAndClearsThePagesAfterAsking) {
  const QString first = WriteImage("e0.jpg", 64, 48, Qt::red);
  const QString second = WriteImage("e1.jpg", 64, 48, Qt::red);
  strip.AddImage(first);
  strip.AddImage(second);
  Settle();
  strip.item(1)->setSelected(true);
  std::vector<QString> asked;
  bool answer = false;
  strip.SetConfirmer([&](const QString& question) {
    asked.push_back(question);
    return answer;
  });
  QMenu* menu = RightClick(QPoint(150, 390));
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(Entries(menu), (QStringList{"667 Open", "668 Clear"}));
  menu->findChild<QAction*>("667")->trigger();
  EXPECT_EQ(opened, std::vector<QString>{second});

  menu->findChild<QAction*>("668")->trigger();
  EXPECT_EQ(asked, std::vector<QString>{"Remove all 2 pages? They will not be delivered."});
  EXPECT_EQ(strip.count(), 2);  // "no" keeps everything
  EXPECT_TRUE(QFile::exists(first));

  answer = true;
  menu->findChild<QAction*>("668")->trigger();
  EXPECT_EQ(strip.count(), 0);
  EXPECT_TRUE(strip.Paths().empty());
  EXPECT_FALSE(QFile::exists(first));
  EXPECT_FALSE(QFile::exists(second));

  // An empty strip asks nothing; the strip goes on after being emptied.
  menu->findChild<QAction*>("668")->trigger();
  EXPECT_EQ(asked.size(), 2u);
  const QString third = WriteImage("e2.jpg", 64, 48, Qt::red);
  strip.AddImage(third);
  Settle();
  EXPECT_EQ(Labels(), QStringList{"e2.jpg"});
}

// Before it is first shown the strip's viewport has Qt's default size; the
// cells follow the frame's inside, then every resize.
TEST(ImageListCellSize, FollowsTheStripBeforeShowingAndAfterResizing) {
  QTemporaryDir folder;
  const QString path = folder.filePath("r.jpg");
  QImage image(400, 300, QImage::Format_RGB32);
  image.fill(Qt::blue);
  ASSERT_TRUE(image.save(path));
  QWidget parent;
  auto* strip = new CImageListCtrl(&parent);
  strip->setGeometry(0, 0, 170, 500);
  strip->Initialise();
  const int client = 170 - 2 * strip->frameWidth();
  EXPECT_EQ(strip->CellWidthPx(), client - 60);
  strip->AddImage(path);
  parent.show();
  QCoreApplication::processEvents();
  ASSERT_EQ(strip->count(), 1);
  EXPECT_EQ(strip->item(0)->icon().actualSize(QSize(1000, 1000)).width(), client - 60);

  strip->resize(270, 500);
  EXPECT_EQ(strip->CellWidthPx(), client + 40);
  EXPECT_EQ(strip->iconSize(), QSize(client + 40, (client + 40) / 4 * 3));
  QElapsedTimer timer;
  timer.start();
  while (strip->item(0)->icon().actualSize(QSize(1000, 1000)).width() != client + 40 &&
         timer.elapsed() < 3000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  const QImage shown = strip->item(0)->icon().pixmap(strip->iconSize()).toImage();
  EXPECT_EQ(shown.width(), client + 40);
  EXPECT_TRUE(IsNear(shown.pixel(shown.width() / 2, shown.height() / 2), Qt::blue));
}

}  // namespace
}  // namespace tavrin

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
