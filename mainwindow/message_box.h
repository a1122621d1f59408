// The one way the windows tell the user something: a modal box with the
// application's title and an OK button. GUI thread only.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

namespace tavrin {

// Tests install an observer that receives each text instead of a box, so
// that nothing waits for a click. An empty function restores the box.
using MessageBoxObserver = std::function<void(const QString& text)>;
void SetMessageBoxObserver(MessageBoxObserver observer);

// Shows text modally over parent (or centred on the screen without one).
void ShowMessageBox(QWidget* parent, const QString& text);

// Asks a yes/no question the same way; true for yes. With an observer the
// question goes to it and the answer is yes.
bool AskQuestion(QWidget* parent, const QString& text);

// Asks the person to choose one of buttons; the index of the choice. With
// an observer, or when the box is closed without a choice, the answer is
// fallback.
int AskChoice(QWidget* parent, const QString& text, const QStringList& buttons, int fallback);

}  // namespace tavrin
