#pragma once

#include "credentials/Credentials.h"

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <optional>

// The pack run that the main window's Run button starts: checks, credentials,
// confirmation, then one package per listed workbook, each added to the
// destination archive, and at the end "finished " with the date and time.
namespace packing {

// The window's controls that the run switches.
enum class Control { imgOn, imgHold, imgOff, cmdBrowseSrc, cmdBrowseDest, cmdRun, cmdExit };

// What the run needs of the main window.
class PackRunWindow {
public:
    virtual ~PackRunWindow() = default;

    virtual int ListCount() const = 0;
    virtual QString ListItem(int index) const = 0;
    virtual void ClearList() = 0;
    virtual QString Text1() const = 0;
    virtual void SetText1(const QString& text) = 0;
    virtual QString Text2() const = 0;
    virtual void SetText2(const QString& text) = 0;
    virtual QString Label3() const = 0;
    virtual void SetLabel3(const QString& caption) = 0;
    virtual void SetVisible(Control control, bool visible) = 0;
    virtual void SetEnabled(Control control, bool enabled) = 0;
    // A run's progress: `done` of `total` (bytes of workbooks), on workbook
    // `k` of `n`. Shown only while a run lasts; HideProgress at its end.
    virtual void SetProgress(qint64 done, qint64 total, int k, int n) = 0;
    virtual void HideProgress() = 0;

    // The credentials dialog, modal and owned by the window; returns when it
    // is hidden or closed, with the credentials it accepted, or nothing
    // (Cancel, or closed with its close box: never an earlier run's).
    virtual std::optional<credentials::Stored> ShowLogin() = 0;
    // A message box owned by the window, with a code of msgbox's; returns
    // msgbox::vbOK or msgbox::vbCancel.
    virtual int MsgBox(const QString& prompt, int buttons, const QString& title) = 0;
};

// One pack run over the window's selection. Never throws. A destination that
// cannot take the archive is refused before the credentials are asked for. A
// failure after the confirmation is reported in a message box (in Thai first,
// then the technical detail), the incomplete archive and this run's package
// files are removed, an old archive stays as it was, and the window is
// unlocked with the idle lamp, keeping the selection.
void PackRun(PackRunWindow& window);

// The date and time as the regional settings print them: the short date, one
// blank, the long time (without a time zone); within the first second of the
// day the date alone.
QString DateTimeText(const QDateTime& moment, const QLocale& locale = QLocale::system());

}  // namespace packing
