#pragma once

#include <QString>

// What a message box shows and answers, as the pack run and the dialogs ask
// for one: its icon-and-buttons code and the button pressed, and the titles
// the program's boxes carry.
namespace msgbox {

constexpr int vbExclamation = 48;       // exclamation, OK
constexpr int vbQuestionOKCancel = 33;  // question, OK and Cancel
constexpr int vbInformation = 64;       // information, OK
constexpr int vbQuestionYesNo = 36;     // question, Yes and No (No the default)
constexpr int vbOK = 1;
constexpr int vbCancel = 2;
constexpr int vbYes = 6;
constexpr int vbNo = 7;

// The application's title, on every box that names none of its own.
inline const QString AppTitle = QStringLiteral("Quillfold");
// The title of the boxes that refuse to start a run.
inline const QString ErrorTitle = QStringLiteral("ข้อผิดพลาด");

}  // namespace msgbox
