// Packs through the real window with an archiver that takes its time, and ends
// the program from File > Exit ("exit") or the close box ("close") while the
// run waits for it. Arguments: how, the source folder, the destination archive,
// the program folder of the slow archiver.
#include "FakeCommonDialog.h"
#include "main_window/MsgBox.h"
#include "main_window/frmMain.h"
#include "packing/zip.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 5)
        return 2;
    const QString how = QString::fromLocal8Bit(argv[1]);
    zip::SetProgramFolder(QString::fromLocal8Bit(argv[4]));

    frmMain window;
    auto dialog = std::make_unique<FakeCommonDialog>();
    dialog->answers = {QString::fromLocal8Bit(argv[2]) + QChar(0) + "a.xls" + QChar(0) + "b.xls",
                       QString::fromLocal8Bit(argv[3])};
    window.SetCommonDialog(std::move(dialog));
    window.show();
    gui::SetMsgBoxHandler([](QWidget*, const QString& prompt, int, const QString&) {
        std::printf("message: %s\n", qPrintable(prompt));
        std::fflush(stdout);
        return 1;
    });
    window.cmdBrowseSrc_Click();
    window.cmdBrowseDest_Click();

    // Answer the credentials dialog as soon as it is up.
    QTimer::singleShot(0, [] {
        QWidget* login = QApplication::activeModalWidget();
        login->findChild<QLineEdit*>("txtUserID")->setText("clerk");
        login->findChild<QLineEdit*>("txtPassword")->setText("secret");
        login->findChild<QLineEdit*>("txtConfirmPassword")->setText("secret");
        login->findChild<QPushButton*>("cmdOK")->click();
    });
    // End the program while the archiver runs.
    auto* watch = new QTimer(&window);
    QObject::connect(watch, &QTimer::timeout, [&] {
        if (!zip::IsWaiting())
            return;
        std::puts("ending");
        std::fflush(stdout);
        if (how == "close")
            window.close();
        else
            window.findChild<QAction*>("mnuFileExit")->trigger();
    });
    watch->start(10);
    window.cmdRun_Click();
    std::puts("the run went on");
    return 1;
}
