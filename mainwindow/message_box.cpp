#include "mainwindow/message_box.h"

#include <QCoreApplication>
#include <QMessageBox>

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

}  // namespace tavrin
