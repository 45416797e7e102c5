// A whole hand-over through the real window, for the round trip between
// systems: chooses the workbooks and the destination as the file dialogs
// would, logs in, confirms, and waits for the end. Prints the last message;
// exits 0 once it says "finished". Arguments: the folder, the destination, the
// user ID, the password, then the workbooks' names. It starts as the window's
// program does.
#include "PressRun.h"
#include "widgets/Program.h"
#include "widgets/MsgBox.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 6)
        return 2;
    gui::PrepareProgram(QStringLiteral("Quillfold"), QStringLiteral("test"));
    frmMain window;
    window.show();
    int code = 1;
    gui::SetMsgBoxHandler([&](QWidget*, const QString& prompt, int buttons, const QString&) {
        if (buttons == 33)  // the confirmation
            return 1;
        std::printf("%s\n", prompt.toUtf8().constData());
        code = prompt.startsWith(QStringLiteral("finished ")) ? 0 : 1;
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
        return 1;
    });
    ChooseThroughDialogs(window, arguments[1], arguments.mid(5), arguments[2]);
    PressRunAndLogIn(window, arguments[3], arguments[4]);
    app.exec();
    return code;
}
