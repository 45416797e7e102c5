// Packs through the real window with a zip that takes its time, and ends the
// program from File > Exit ("exit"), the close box ("close") or SIGTERM
// ("signal"), or is killed ("kill"), once the new archive holds its first package; or
// presses the close box and answers no ("close-no"), lets the run finish and then
// quits. Arguments: how, the
// source folder, the destination archive, the program folder of the slow zip.
#include "PressRun.h"
#include "base/Ending.h"
#include "base/MessageBox.h"
#include "packing/zip.h"
#include "widgets/MsgBox.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <csignal>
#include <cstdio>
#ifdef Q_OS_WIN
#include <windows.h>
#endif

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 5)
        return 2;
    ending::EndOnSignals();
    const QString how = QString::fromLocal8Bit(argv[1]);
    const QString destination = QString::fromLocal8Bit(argv[3]);
    zip::SetProgramFolder(QString::fromLocal8Bit(argv[4]));

    frmMain window;
    window.show();
    gui::SetMsgBoxHandler([&](QWidget*, const QString& prompt, int buttons, const QString&) {
        std::printf("message: %s\n", prompt.toUtf8().constData());
        std::fflush(stdout);
        if (buttons == msgbox::vbQuestionYesNo)
            return how == "close-no" ? msgbox::vbNo : msgbox::vbYes;
        if (buttons == msgbox::vbInformation && how == "close-no")
            QTimer::singleShot(0, &app, [] { QCoreApplication::exit(0); });  // the run has finished
        return msgbox::vbOK;
    });
    ChooseThroughDialogs(window, QString::fromLocal8Bit(argv[2]), {"a.xls", "b.xls"}, destination);

    PressRunAndLogIn(window, "clerk", "secret");
    // End the program while zip, having written the new archive, is still at work.
    auto* watch = new QTimer(&window);
    QObject::connect(watch, &QTimer::timeout, [&] {
        const QDir folder(QFileInfo(destination).path());
        const QStringList building = folder.entryList({".quillfold-*"}, QDir::Dirs | QDir::Hidden);
        if (!ending::IsWaiting() || building.isEmpty() ||
            QDir(folder.filePath(building.first())).entryList({"*.part"}, QDir::Files | QDir::Hidden).isEmpty())
            return;
        watch->stop();
        std::puts("ending");
        std::fflush(stdout);
        if (how.startsWith("close"))
            window.close();
        else if (how == "signal")
            std::raise(SIGTERM);
#ifdef Q_OS_WIN
        else if (how == "kill")
            TerminateProcess(GetCurrentProcess(), 0xC0000409);  // as a crash ends a program there
#else
        else if (how == "kill")
            std::raise(SIGKILL);
#endif
        else
            window.findChild<QAction*>("mnuFileExit")->trigger();
    });
    watch->start(5);
    const int code = app.exec();
    std::puts(code == 0 && ending::Requested() ? "ended" : "the run went on");
    return code;
}
