// Message boxes of the program: modal, centred on the screen, one OK button,
// captioned with the application title.
#pragma once

#include <QString>

#include <string>

class QDialog;
class QWidget;

// Places a top-level window at the centre of the screen it belongs to (the
// primary screen when it has none yet).
void CenterOnScreen(QWidget* window);

// Shows `dialog` modally and returns its result. The window that was active
// before becomes active again afterwards, as Windows does for the owner of a
// modal dialog.
int ShowModal(QDialog* dialog);

// The text as a message box shows it: a carriage return, alone or before a
// line feed, breaks the line as it does in a Windows message box.
QString MessageBoxText(const std::string& text);

// Shows `text` with an OK button and waits until it is closed. The box's
// object name is "MessageBox".
void ShowMessage(const std::string& text);

// Asks `text` with Yes and No buttons (No being the default and the answer
// of Esc and the close box); true for Yes. Captioned like ShowMessage.
bool AskYesNo(const std::string& text);

// The program-wide error box: the caption, an error icon and the text.
void ShowErrorBox(const std::string& caption, const std::string& text);
