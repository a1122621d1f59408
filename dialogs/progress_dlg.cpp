#include "dialogs/progress_dlg.h"

#include <QLabel>
#include <QProgressBar>

#include "dialogs/ui_text.h"
#include "resources/app_icon.h"
#include "resources/dialog_ids.h"
#include "resources/dialog_templates.h"

namespace tavrin {

namespace {
constexpr int kBarHeightPx = 20;
}  // namespace

CProgressDlg::CProgressDlg(QWidget* parent) : QDialog(parent) {
  controls = BuildDialog(*this, kTemplate139);
  KeepDialogPlain(*this);
  setWindowIcon(AppIcon());
}

void CProgressDlg::showEvent(QShowEvent* event) {
  OnInitDialog();
  QDialog::showEvent(event);
}

void CProgressDlg::OnInitDialog() {
  // The text is read at every opening, so a language chosen since shows.
  controls.Get<QLabel>(idd139::kProcessText)->setText(UiText(&UiTextTable::Process));
  if (bar != nullptr) return;
  const QRect client = rect();
  const int cw = client.width();
  const int ch = client.height();
  const int left = client.left() + cw / 9;
  const int top = client.top() + ch / 2;
  const int right = client.left() + cw - cw / 9;
  bar = new QProgressBar(this);
  bar->setObjectName(ControlName(idd139::kProgressBar));
  bar->setTextVisible(false);
  // A range of 0..0 is the marquee: the style animates it on its own.
  bar->setRange(0, 0);
  bar->setGeometry(left, top, right - left, kBarHeightPx);
  bar->show();
}

}  // namespace tavrin
