// The scan window as a person meets it on a desktop: keys that must not end
// the session, texts that show whole in every language, a window that grows
// and remembers its size, thumbnails of a useful size, and choices the
// window could not apply saved as they were read.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFontComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "dialogs/merge_option_dlg.h"
#include "dialogs/water_mark_dlg.h"
#include "mainwindow/auto_capture_dlg.h"
#include "mainwindow/scan_window_template.h"
#include "platform/text.h"
#include "resources/dialog_ids.h"
#include "settings/scan_settings.h"
#include "settings/ui_text_table.h"
#include "tests/mainwindow/private_program_folder.h"
#include "tests/mainwindow/window_fixture.h"
#include "thumbnails/image_list_ctrl.h"

namespace tavrin {
namespace {

using test::WaitFor;
namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The room a control's style gives its text, and the text it must show
// whole there (for a list, its widest item). Empty when it shows none.
struct TextRoom {
  QString text;
  int widthPx = 0;
  int roomPx = 0;
};

TextRoom RoomOf(QWidget* widget) {
  TextRoom room;
  const QFontMetrics metrics(widget->font());
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    room.text = label->text();
    room.roomPx = label->contentsRect().width();
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    room.text = button->text();
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    QStyle::SubElement element = QStyle::SE_PushButtonContents;
    if (qobject_cast<QCheckBox*>(button)) element = QStyle::SE_CheckBoxContents;
    if (qobject_cast<QRadioButton*>(button)) element = QStyle::SE_RadioButtonContents;
    room.roomPx = button->style()->subElementRect(element, &option, button).width();
  } else if (auto* combo = qobject_cast<QComboBox*>(widget);
             combo != nullptr && qobject_cast<QFontComboBox*>(combo) == nullptr) {
    for (int i = 0; i < combo->count(); ++i) {
      if (metrics.horizontalAdvance(combo->itemText(i)) > metrics.horizontalAdvance(room.text)) {
        room.text = combo->itemText(i);
      }
    }
    QStyleOptionComboBox option;
    option.initFrom(combo);
    option.editable = combo->isEditable();
    option.frame = combo->hasFrame();
    room.roomPx =
        combo->style()
            ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo)
            .width();
  }
  room.widthPx = room.text.isEmpty() ? 0 : metrics.horizontalAdvance(room.text);
  return room;
}

// Every control of a dialog built from a template: its text shows whole in
// its content rectangle, its font is the dialog's or larger, it lies inside
// the dialog, and two controls of the same band that were apart in the
// template do not run into each other.
void ExpectTextsShowWhole(QWidget& dialog, const DialogControls& controls,
                          const std::string& where) {
  SCOPED_TRACE(where);
  const QRect inside = dialog.rect();
  const std::vector<QWidget*>& all = controls.All();
  for (size_t i = 0; i < all.size(); ++i) {
    QWidget* widget = all[i];
    if (controls.HiddenByTemplate(i) && widget->isHidden()) continue;
    const std::string name = widget->objectName().toStdString();
    EXPECT_GE(widget->font().pointSizeF(), dialog.font().pointSizeF()) << name;
    const TextRoom room = RoomOf(widget);
    if (!room.text.isEmpty()) {
      EXPECT_LE(room.widthPx, room.roomPx) << name << " \"" << room.text.toStdString() << "\"";
    }
    if (qobject_cast<QGroupBox*>(widget) == nullptr) {
      EXPECT_TRUE(inside.contains(widget->geometry())) << name;
    }
    for (size_t j = 0; j < all.size(); ++j) {
      if (i == j || controls.Places()[i].intersects(controls.Places()[j])) continue;
      if (qobject_cast<QGroupBox*>(all[j]) != nullptr || all[j]->isHidden()) continue;
      if (widget->isHidden()) continue;
      EXPECT_FALSE(widget->geometry().intersects(all[j]->geometry()))
          << name << " runs into " << all[j]->objectName().toStdString();
    }
  }
}

class DesktopUseTest : public test::WindowFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::InPrivateFolder());
    ResetWindowState();
    SetCameras("document");
  }

  template <class T>
  T* Get(int id) const {
    return qobject_cast<T*>(window->Control(id));
  }
  void Choose(int id, int item) {
    auto* combo = Get<QComboBox>(id);
    combo->setCurrentIndex(item);
    emit combo->activated(item);
  }
  QRect Place(int id) const { return window->Control(id)->geometry(); }
};

TEST_F(DesktopUseTest, EnterAndEscapeLeaveTheSessionOpen) {
  ASSERT_TRUE(Start());
  bool finished = false;
  QObject::connect(window.get(), &QDialog::finished, [&] { finished = true; });
  // After choosing a list item, as a person does, and on the window.
  Choose(kIdColorCombo, kColorItemGrey);
  for (QWidget* target : {window->Control(kIdColorCombo), static_cast<QWidget*>(window.get())}) {
    target->setFocus();
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
      QTest::keyClick(target, key);
      QApplication::processEvents();
      EXPECT_TRUE(window->isVisible()) << key;
      EXPECT_FALSE(finished) << key;
    }
  }
  EXPECT_FALSE(Get<QPushButton>(kIdExitButton)->isDefault());
  // Exit still ends it.
  Get<QPushButton>(kIdExitButton)->click();
  EXPECT_TRUE(finished);
}

TEST_F(DesktopUseTest, TextsShowWholeAtTheDialogFontInEveryLanguage) {
  ScanSettings settings;
  ASSERT_TRUE(Start(settings));
  ASSERT_EQ(g_languageList.size(), 6u);
  auto* languages = Get<QComboBox>(kIdLanguageCombo);
  const int templateWidth = window->minimumWidth();
  for (int language = 0; language < languages->count(); ++language) {
    Choose(kIdLanguageCombo, language);
    const std::string code = platform::Utf16ToUtf8(g_languageList[language].code);
    // The scan window (template 102), at its smallest and grown.
    window->resize(window->minimumSize());
    QApplication::processEvents();
    // Texts that the camera and the library give are whole too.
    EXPECT_EQ(Get<QComboBox>(kIdDeviceCombo)->currentText(), "Virtual Document Camera");
    // The template's fields fill a real window: it keeps a sensible size.
    EXPECT_LE(window->minimumWidth(), templateWidth * 3 / 2) << code;
    // Templates 130, 131 and 135 in the same language.
    CWaterMarkDlg watermark(window.get());
    watermark.show();
    QApplication::processEvents();
    CMergeOptionDlg merge(window.get());
    merge.show();
    QApplication::processEvents();
    CAutoCaptureDlg capture(window.get());
    capture.SetRun(0, 100);
    capture.UpdateTexts();

    // "Font Size" keeps clear of its box.
    QWidget* sizeLabel = watermark.Controls().Control(idd130::kFontSizeLabel);
    const int textEnd =
        sizeLabel->x() +
        QFontMetrics(sizeLabel->font()).horizontalAdvance(qobject_cast<QLabel*>(sizeLabel)->text());
    EXPECT_GE(watermark.Controls().Control(idd130::kFontSize)->x() - textEnd, 3) << code;

    ExpectTextsShowWhole(*window, Probe().Controls(), code + " scan window");
    ExpectTextsShowWhole(watermark, watermark.Controls(), code + " watermark");
    ExpectTextsShowWhole(merge, merge.Controls(), code + " merge options");
    ExpectTextsShowWhole(capture, capture.Controls(), code + " continuous capture");
    watermark.hide();
    merge.hide();
  }
}

TEST_F(DesktopUseTest, AListRefilledLaterStillShowsItsValuesWhole) {
  ASSERT_TRUE(Start());
  auto* sizes = Get<QComboBox>(kIdResolutionCombo);
  sizes->addItem(QStringLiteral("10000x7500(75MP, the whole sensor)"));
  EXPECT_TRUE(WaitFor([&] {
    const TextRoom room = RoomOf(sizes);
    return room.widthPx <= room.roomPx;
  }));
  ExpectTextsShowWhole(*window, Probe().Controls(), "after the refill");
}

// The five inside places of the merge options sit at the corners and the
// centre of their frame, as far from each edge as from the opposite one.
TEST_F(DesktopUseTest, InsidePlacesSitEvenlyInTheirFrame) {
  CMergeOptionDlg merge;
  merge.show();
  QApplication::processEvents();
  const auto indicator = [&](int id) {
    auto* radio = merge.Controls().Get<QRadioButton>(id);
    QStyleOptionButton option;
    option.initFrom(radio);
    const QRect mark =
        radio->style()->subElementRect(QStyle::SE_RadioButtonIndicator, &option, radio);
    return mark.translated(radio->pos());
  };
  // The group box that holds them (the second frame of the template).
  QRect frame;
  for (QWidget* widget : merge.Controls().All()) {
    if (qobject_cast<QGroupBox*>(widget) != nullptr) frame = widget->geometry();
  }
  const QRect topLeft = indicator(idd131::kInsidePlace[kInsideTopLeft]);
  const QRect topRight = indicator(idd131::kInsidePlace[kInsideTopRight]);
  const QRect centre = indicator(idd131::kInsidePlace[kInsideCentre]);
  const QRect bottomLeft = indicator(idd131::kInsidePlace[kInsideBottomLeft]);
  const QRect bottomRight = indicator(idd131::kInsidePlace[kInsideBottomRight]);
  ASSERT_TRUE(frame.contains(topLeft) && frame.contains(bottomRight));
  const int leftGap = topLeft.left() - frame.left();
  const int rightGap = frame.right() - topRight.right();
  EXPECT_NEAR(leftGap, rightGap, 3);
  EXPECT_EQ(topLeft.left(), bottomLeft.left());
  EXPECT_EQ(topRight.left(), bottomRight.left());
  EXPECT_EQ(topLeft.top(), topRight.top());
  EXPECT_EQ(bottomLeft.top(), bottomRight.top());
  EXPECT_NEAR(centre.center().x(), frame.center().x(), 3);
  EXPECT_NEAR(centre.center().y(), (topLeft.center().y() + bottomLeft.center().y()) / 2, 3);
}

TEST_F(DesktopUseTest, CaptionsThatWereChineseOnlyFollowTheLanguage) {
  ASSERT_TRUE(Start());
  for (int language = 0; language < static_cast<int>(g_languageList.size()); ++language) {
    if (g_languageList[language].code == u"DE") Choose(kIdLanguageCombo, language);
  }
  EXPECT_EQ(Get<QPushButton>(kIdWebcamCaptureButton)->text(), "Webcam-Aufnahme");
  // The strip's menu on empty space.
  CImageListCtrl* strip = window->Thumbnails();
  const QPoint empty(5, strip->viewport()->height() - 5);
  QContextMenuEvent click(QContextMenuEvent::Mouse, empty, strip->viewport()->mapToGlobal(empty));
  QCoreApplication::sendEvent(strip->viewport(), &click);
  QMenu* menu = strip->findChild<QMenu*>();
  ASSERT_NE(menu, nullptr);
  QStringList entries;
  for (QAction* action : menu->actions()) entries << action->text();
  EXPECT_EQ(entries, (QStringList{QString::fromUtf8("Öffnen"), "Leeren"}));
  delete menu;
  CAutoCaptureDlg capture(window.get());
  capture.SetRun(0, 100);
  capture.UpdateTexts();
  // The run's button stops the run; it is not the window's "Exit".
  EXPECT_EQ(capture.Controls().Get<QPushButton>(idd135::kEnd)->text(), "Stopp");
  EXPECT_EQ(capture.Controls().Get<QLabel>(idd135::kHiddenLabel)->text(),
            "Warte, bis eine neue Seite ruhig liegt");
  EXPECT_TRUE(capture.Controls().Get<QLabel>(idd135::kHiddenLabel)->isVisibleTo(&capture));
}

TEST_F(DesktopUseTest, WindowGrowsAndTheSizeIsRememberedWithTheSettings) {
  ASSERT_TRUE(Start());
  const QSize smallest = window->minimumSize();
  EXPECT_GE(smallest.width(), Probe().Controls().TemplateSize().width());
  EXPECT_LT(window->minimumWidth(), window->maximumWidth());
  const QRect preview = Place(kIdPreviewArea);
  const QRect strip = Place(kIdThumbnailList);
  const QRect colour = Place(kIdColorCombo);
  const QRect exit = Place(kIdExitButton);
  const QRect device = Place(kIdDeviceCombo);
  const QRect capture = Place(kIdCaptureButton);
  // The camera's long name pushes the row under the strip to the right;
  // the strip still reaches as far as that row.
  EXPECT_EQ(strip.right(), exit.right());

  window->resize(smallest.width() + 500, smallest.height() + 150);
  QApplication::processEvents();
  // The preview takes most of the width and all the height; the strip
  // the rest.
  EXPECT_EQ(Place(kIdPreviewArea).width(), preview.width() + 400);
  EXPECT_EQ(Place(kIdPreviewArea).height(), preview.height() + 150);
  EXPECT_EQ(window->PreviewHost()->geometry(), Place(kIdPreviewArea));
  EXPECT_EQ(Place(kIdThumbnailList).left(), strip.left() + 400);
  EXPECT_EQ(Place(kIdThumbnailList).width(), strip.width() + 100);
  // Controls keep their places relative to their side.
  EXPECT_EQ(Place(kIdColorCombo), colour);
  EXPECT_EQ(Place(kIdExitButton), exit.translated(500, 150));
  EXPECT_EQ(Place(kIdDeviceCombo), device.translated(0, 150));
  EXPECT_EQ(Place(kIdCaptureButton), capture.translated(400, 150));
  EXPECT_EQ(Probe().StatusBar()->geometry().bottom(), window->height() - 1);
  // The strip's cells follow its new width.
  EXPECT_EQ(window->Thumbnails()->CellWidthPx(), window->Thumbnails()->contentsRect().width() - 60);

  const QSize left = window->size();
  window->reject();
  const std::string saved = ReadText(LastSettingsPath());
  EXPECT_NE(saved.find("<Width>" + std::to_string(left.width()) + "</Width>"), std::string::npos)
      << saved;
  window.reset();
  ScanSettings remembered;
  ASSERT_TRUE(LoadLastSettings(LastSettingsPath(), remembered));
  ResetWindowState();
  ASSERT_TRUE(Start(remembered));
  // As large as the screen lets it be (this platform's screen is small;
  // the X-server lane sees the whole size come back).
  const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
  EXPECT_EQ(window->size(), left.boundedTo(screen).expandedTo(smallest));

  // An older file without the size opens at the template size.
  window.reset();
  ResetWindowState();
  ASSERT_TRUE(Start());
  EXPECT_EQ(window->size(), smallest);
}

TEST_F(DesktopUseTest, ThumbnailsAreAsWideAsTheStripAllows) {
  ASSERT_TRUE(Start());
  Get<QPushButton>(kIdCaptureButton)->click();
  ASSERT_TRUE(WaitFor([&] { return window->Thumbnails()->count() == 1; }));
  QListWidgetItem* first = window->Thumbnails()->item(0);
  const QSize icon = first->icon().actualSize(QSize(1000, 1000));
  EXPECT_GE(icon.width(), 100);

  EXPECT_GE(window->Thumbnails()->visualItemRect(first).width(), 100);
  EXPECT_EQ(icon.width(), window->Thumbnails()->contentsRect().width() - 60);
}

TEST_F(DesktopUseTest, ClearAsksAndTakesThePagesOutOfTheDelivery) {
  ASSERT_TRUE(Start());
  for (int press = 0; press < 2; ++press) Get<QPushButton>(kIdCaptureButton)->click();
  ASSERT_TRUE(WaitFor([&] { return window->Thumbnails()->count() == 2; }));
  ASSERT_EQ(Probe().Twain().FileList().size(), 2u);
  messages.clear();
  window->Thumbnails()->OnCommand(kIdmClear);
  EXPECT_EQ(messages, std::vector<QString>{"Remove all 2 pages? They will not be delivered."});
  EXPECT_EQ(window->Thumbnails()->count(), 0);
  // What the list still names is gone, so the file list leaves it out.
  for (const std::u16string& path : Probe().Twain().FileList()) {
    EXPECT_FALSE(fs::exists(platform::Utf16ToUtf8(path))) << platform::Utf16ToUtf8(path);
  }
}

TEST_F(DesktopUseTest, KeysCaptureTakeOutAndBringBackAndTheStatusLineFollows) {
  ASSERT_TRUE(Start());
  window->show();
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  CImageListCtrl* strip = window->Thumbnails();
  const auto pages = [&] { return window->findChild<QLabel*>("pages")->text(); };
  EXPECT_EQ(pages(), "Pages: 0");
  // F5 captures wherever the keyboard is, even in a list.
  Get<QComboBox>(kIdColorCombo)->setFocus();
  QTest::keyClick(window.get(), Qt::Key_F5);
  QTest::keyClick(window.get(), Qt::Key_F5);
  ASSERT_TRUE(WaitFor([&] { return strip->count() == 2; }));
  EXPECT_EQ(pages(), "Pages: 2");
  EXPECT_EQ(window->findChild<QLabel*>("lastFile")->text(), "Last: " + strip->item(1)->text());
  const std::string second = platform::Utf16ToUtf8(Probe().Twain().FileList().at(1));

  // Delete in the strip takes the selected page out of the delivery; Ctrl+Z
  // and the status line's Undo bring it back.
  strip->setFocus();
  strip->setCurrentRow(1);
  QTest::keyClick(strip, Qt::Key_Delete);
  EXPECT_EQ(strip->count(), 1);
  EXPECT_FALSE(fs::exists(second));
  EXPECT_EQ(pages(), "Pages: 1");
  auto* undo = window->findChild<QPushButton*>("undo");
  EXPECT_TRUE(undo->isVisible());
  QTest::keyClick(window.get(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(strip->count(), 2);
  EXPECT_TRUE(fs::exists(second));
  EXPECT_FALSE(undo->isVisible());
  strip->setCurrentRow(1);
  QTest::keyClick(strip, Qt::Key_Delete);
  undo->click();
  EXPECT_EQ(strip->count(), 2);

  // Out again, and the session ends: only then is the file deleted.
  strip->setCurrentRow(1);
  QTest::keyClick(strip, Qt::Key_Delete);
  EXPECT_FALSE(fs::exists(second));
  window->reject();
  EXPECT_TRUE(fs::is_empty(fs::path(second).parent_path() / ".removed"));
}

TEST_F(DesktopUseTest, EveryControlHasANameAndEveryListItsLabel) {
  ASSERT_TRUE(Start());
  std::set<QString> buttonNames;
  for (QWidget* widget : Probe().Controls().All()) {
    const int id = widget->objectName().toInt();
    if (widget->isHidden()) continue;
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
      // Named by its label, not by the item it shows.
      QLabel* label = nullptr;
      for (QLabel* candidate : window->findChildren<QLabel*>()) {
        if (candidate->buddy() == combo) label = candidate;
      }
      ASSERT_NE(label, nullptr) << id;
      QString text = label->text().remove('&');
      EXPECT_EQ(combo->accessibleName(), text) << id;
      continue;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      const QString name =
          button->accessibleName().isEmpty() ? button->text() : button->accessibleName();
      EXPECT_FALSE(name.isEmpty()) << id;
      if (qobject_cast<QPushButton*>(button) != nullptr) {
        EXPECT_TRUE(buttonNames.insert(name).second) << "two buttons named " << name.toStdString();
      }
      continue;
    }
    if (qobject_cast<QLabel*>(widget) != nullptr && id != kIdPreviewArea) continue;
    EXPECT_FALSE(widget->accessibleName().isEmpty()) << id;
  }
  EXPECT_EQ(Get<QPushButton>(kIdZoomInButton)->accessibleName(), "Zoom in");
  EXPECT_TRUE(Get<QPushButton>(kIdCaptureButton)->accessibleDescription().contains("F5"));
  // The main labels carry a letter for Alt, each its own.
  std::set<QChar> letters;
  for (int id : {kIdColorLabel, kIdCropLabel, kIdFormatLabel, kIdRotateLabel, kIdDeviceLabel,
                 kIdResolutionLabel, kIdLanguageLabel}) {
    const QString text = Get<QLabel>(id)->text();
    const qsizetype at = text.indexOf('&');
    ASSERT_GE(at, 0) << text.toStdString();
    EXPECT_TRUE(letters.insert(text[at + 1].toLower()).second) << text.toStdString();
  }
}

TEST_F(DesktopUseTest, DeviceSettingsOfARecordedCameraOfferExposureFocusAndPanTilt) {
  SetCameras("");
  ::setenv("TAVRIN_LENS_V4L2", "1", 1);
  ::setenv("TAVRIN_LENS_V4L2_REPLAY", TAVRIN_V4L2_DATA "/doccam_8mp.rec", 1);
  const bool started = Start();
  ::setenv("TAVRIN_LENS_V4L2", "0", 1);
  ::unsetenv("TAVRIN_LENS_V4L2_REPLAY");
  ASSERT_TRUE(started);
  ASSERT_EQ(Get<QComboBox>(kIdDeviceCombo)->count(), 1);
  auto* button = Get<QPushButton>(kIdDeviceSettingsButton);
  ASSERT_TRUE(button->isVisibleTo(window.get()));
  ASSERT_TRUE(button->isEnabled());
  QStringList rows;
  QTimer::singleShot(0, [&] {
    QWidget* dialog = nullptr;
    WaitFor([&] {
      for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top->objectName() == "TavrinLensDeviceSettings" && top->isVisible()) dialog = top;
      }
      return dialog != nullptr;
    });
    if (dialog == nullptr) return;
    for (const QLabel* label : dialog->findChildren<QLabel*>()) rows << label->text();
    qobject_cast<QDialog*>(dialog)->reject();
  });
  button->click();
  for (const char* control : {"Auto Exposure", "Exposure Time, Absolute", "Focus, Absolute",
                              "Pan, Absolute", "Tilt, Absolute"}) {
    EXPECT_TRUE(rows.contains(control)) << control << " not in " << rows.join(" | ").toStdString();
  }
}

TEST_F(DesktopUseTest, ChoicesTheWindowCouldNotApplyAreSavedAsTheyWereRead) {
  ScanSettings settings;
  settings.Language = "XX";
  settings.Webcam.isEnable = 1;
  ASSERT_TRUE(Start(settings));
  // Nothing matches "XX": nothing is selected, and English stays.
  EXPECT_EQ(Get<QComboBox>(kIdLanguageCombo)->currentIndex(), -1);
  // One camera: the webcam box cannot be ticked.
  EXPECT_FALSE(Get<QCheckBox>(kIdWebcamCheck)->isChecked());
  window->reject();
  const std::string saved = ReadText(LastSettingsPath());
  EXPECT_NE(saved.find("<Language>XX</Language>"), std::string::npos) << saved;
  EXPECT_NE(saved.find("<Webcam>\n        <isEnable>1</isEnable>"), std::string::npos) << saved;
}

}  // namespace
}  // namespace tavrin
