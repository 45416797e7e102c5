#pragma once
// A pack run window that records everything the run does to it.

#include "base/MessageBox.h"
#include "credentials/var.h"
#include "packing/PackRun.h"

#include <QList>
#include <QMap>
#include <QStringList>

#include <functional>

namespace fakewindow {
using packing::Control;

inline QString Name(Control control)
{
    static const char* names[] = {"imgOn", "imgHold", "imgOff", "cmdBrowseSrc", "cmdBrowseDest", "cmdRun", "cmdExit"};
    return QString::fromLatin1(names[int(control)]);
}

// What the credentials dialog stores when it is accepted.
inline void Accept(const QByteArray& userID, const QByteArray& password)
{
    var::LoginAccepted = true;
    var::LoginUserID = userID;
    var::LoginPassword = password;
}

struct Message {
    QString prompt;
    int buttons;
    QString title;
};

// Records everything the run does to the window.
class FakeWindow : public packing::PackRunWindow {
public:
    QStringList list;
    QString text1, text2, label3;
    QMap<Control, bool> visible, enabled;
    QStringList log;  // lamp and button changes, the dialog, message boxes, in order
    QList<Message> messages;
    QList<int> answers;  // for message boxes, in turn; OK when none is left
    std::function<void()> login = [] {};  // the credentials dialog
    void LogInAs(const QByteArray& userID, const QByteArray& password)
    {
        login = [userID, password] { Accept(userID, password); };
    }
    QStringList lockedWhileProcessing;  // "processing ..." captions seen with the window locked
    struct Step {
        qint64 done, total;
        int k, n;
    };
    QList<Step> progress;  // as shown, in order
    bool progressShown = false;

    int ListCount() const override { return int(list.size()); }
    QString ListItem(int index) const override { return list.at(index); }
    void ClearList() override { list.clear(); }
    QString Text1() const override { return text1; }
    void SetText1(const QString& text) override { text1 = text; }
    QString Text2() const override { return text2; }
    void SetText2(const QString& text) override { text2 = text; }
    QString Label3() const override { return label3; }
    void SetLabel3(const QString& caption) override
    {
        label3 = caption;
        if (caption.startsWith("processing ") && visible.value(Control::imgHold) && !enabled.value(Control::cmdRun, true))
            lockedWhileProcessing << caption;
    }
    void SetVisible(Control control, bool on) override
    {
        visible[control] = on;
        log << Name(control) + (on ? " shown" : " hidden");
    }
    void SetEnabled(Control control, bool on) override
    {
        enabled[control] = on;
        log << Name(control) + (on ? " enabled" : " disabled");
    }
    void SetProgress(qint64 done, qint64 total, int k, int n) override
    {
        progress << Step{done, total, k, n};
        progressShown = true;
    }
    void HideProgress() override { progressShown = false; }
    std::optional<credentials::Stored> ShowLogin() override
    {
        log << "login";
        var::LoginAccepted = false;  // as the window does before it shows the dialog
        login();
        if (!var::LoginAccepted)
            return std::nullopt;
        return credentials::Stored{var::LoginUserID, var::LoginPassword};
    }
    int MsgBox(const QString& prompt, int buttons, const QString& title) override
    {
        log << "message";
        messages << Message{prompt, buttons, title};
        return answers.isEmpty() ? msgbox::vbOK : answers.takeFirst();
    }
};

}  // namespace fakewindow
