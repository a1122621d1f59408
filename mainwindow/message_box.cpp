#include "mainwindow/message_box.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

#include <utility>

namespace tavrin {

namespace {

MessageBoxObserver& Observer() {
  static MessageBoxObserver observer;
  return observer;
}

}  // namespace

void SetMessageBoxObserver(MessageBoxObserver observer) {
  Observer() = std::move(observer);
}

void ShowMessageBox(QWidget* parent, const QString& text) {
  if (Observer()) {
    Observer()(text);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok,
                  parent);
  box.exec();
}

bool AskQuestion(QWidget* parent, const QString& text) {
  if (Observer()) {
    Observer()(text);
    return true;
  }
  QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(), text,
                  QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

int AskChoice(QWidget* parent, const QString& text, const QStringList& buttons, int fallback) {
  if (Observer()) {
    Observer()(text);
    return fallback;
  }
  QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(), text,
                  QMessageBox::NoButton, parent);
  QList<QAbstractButton*> added;
  for (const QString& label : buttons)
    added.push_back(box.addButton(label, QMessageBox::ActionRole));
  if (fallback >= 0 && fallback < added.size()) {
    box.setDefaultButton(qobject_cast<QPushButton*>(added[fallback]));
    box.setEscapeButton(added[fallback]);
  }
  box.exec();
  const int chosen = static_cast<int>(added.indexOf(box.clickedButton()));
  return chosen >= 0 ? chosen : fallback;
}

}  // namespace tavrin
