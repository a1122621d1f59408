// The one way the windows tell the user something: a modal box with the
// application's title and an OK button. GUI thread only.
#pragma once

#include <QString>

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

}  // namespace tavrin
