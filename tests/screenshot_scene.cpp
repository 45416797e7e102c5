// Puts the real window into a state worth a picture, for scripts/screenshot,
// and creates the file READY once it is there. Arguments: the scene and the
// READY file.
//   running   a run of five workbooks with a zip that takes its time: the lamp,
//             the status line and the progress bar at work
//   failure   a run whose third workbook has vanished: the failure box
//   watch     a run of 20 random workbooks of 50 MB with the real zip, printing
//             the progress bar twice a second (READY is not made)
//   restore   the recipient's window over a hand-over of five workbooks, one
//             of them damaged, once the password has restored the others
#include "PressRun.h"
#include "TestFiles.h"
#include "cli/PackCli.h"
#include "restore_window/frmRestore.h"
#include "packing/zip.h"
#include "widgets/MsgBox.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimer>
#include <QLineEdit>

#include <cstdio>

namespace {
// The recipient's window, restoring what quillfold-pack packed, with one
// entry damaged on the way.
int Restore(QApplication& app, QTemporaryDir& dir, const QStringList& names, const QString& ready)
{
    QStringList files;
    for (const QString& name : names) {  // workbooks as a spreadsheet program writes them
        files << dir.filePath(name);
        testfiles::WriteFile(files.last(), QByteArray("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) +
                                               QByteArray("north region; quarterly totals; ").repeated(20000 + 3000 * int(files.size())));
    }
    const QString archive = dir.filePath("hand over.zip");
    QString said;
    QTextStream out(&said), err(&said);
    if (packcli::Run({"clerk01", "secret", archive, files, false, false}, out, err) != 0)
        return 1;
    QFile file(archive);
    file.open(QIODevice::ReadWrite);
    QByteArray bytes = file.readAll();
    const qsizetype at = bytes.indexOf("staff.enc") + 9 + 100;
    bytes[at] = char(bytes[at] ^ 0x55);
    file.seek(0);
    file.write(bytes);
    file.close();
    frmRestore window({archive});
    window.show();
    QObject::connect(&window, &frmRestore::Listed, [&] {
        QTimer::singleShot(300, [&] {
            QTest::keyClicks(window.findChild<QLineEdit*>("txtPassword"), "secret");
            QTest::keyClick(window.findChild<QLineEdit*>("txtPassword"), Qt::Key_Return);
        });
    });
    QObject::connect(&window, &frmRestore::Restored, [&] {
        QTimer::singleShot(300, [&] { QFile(ready).open(QIODevice::WriteOnly); });
    });
    return app.exec();
}
}  // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const QString scene = QString::fromLocal8Bit(argv[1]);
    const QString ready = QString::fromLocal8Bit(argv[2]);
    QTemporaryDir dir;
    QStringList names{"sales_q1.xls", "sales_q2.xls", QString::fromUtf8("งบประมาณ.xls"), "staff.xls", "stock.xls"};
    if (scene == "watch") {
        names.clear();
        for (int i = 0; i < 20; ++i)
            names << QStringLiteral("big%1.xls").arg(i, 2, 10, QLatin1Char('0'));
    }
    for (const QString& name : names) {
        QFile file(dir.filePath(name));
        file.open(QIODevice::WriteOnly);
        QByteArray content(scene == "watch" ? 50 << 20 : 4 << 20, 'w');
        if (scene == "watch")
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(content.data()), content.size() / 4);
        file.write(content);
    }
    if (scene == "restore")
        return Restore(app, dir, names, ready);
    QDir().mkpath(dir.filePath("hand over"));
    if (scene == "running") {  // each zip call takes a second
        zip::SetProgramFolder(testfiles::StandInFolder(dir.filePath("slow")));
        qputenv("QUILLFOLD_STANDIN", QFile::encodeName("slow:1000:" + dir.filePath("done")));
    }

    frmMain window;
    window.show();
    ChooseThroughDialogs(window, dir.path(), names, dir.filePath("hand over/handover.zip"));
    if (scene == "failure")
        QFile::remove(dir.filePath(names[2]));

    // The confirmation is answered; every other box is the real one.
    gui::SetMsgBoxHandler([&](QWidget* owner, const QString& prompt, int buttons, const QString& title) {
        if (buttons == 33)
            return 1;
        if (scene == "watch") {
            std::printf("%s\n", qPrintable(prompt));
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
            return 1;
        }
        QTimer::singleShot(500, [&] { QFile(ready).open(QIODevice::WriteOnly); });
        return gui::ShowMsgBox(owner, prompt, buttons, title);
    });
    auto* watch = new QTimer(&window);
    QElapsedTimer clock;
    clock.start();
    qint64 logged = -500;
    QObject::connect(watch, &QTimer::timeout, [&] {
        const QProgressBar* bar = window.findChild<QProgressBar*>("prgRun");
        if (scene == "running" && bar->value() >= 450)
            QFile(ready).open(QIODevice::WriteOnly);
        if (scene == "watch" && clock.elapsed() - logged >= 500) {
            logged = clock.elapsed();
            std::printf("%5.1f s  %s  %5.1f %%  %s\n", logged / 1000.0, bar->isVisible() ? "bar" : "---",
                        bar->value() / 10.0, qPrintable(bar->text()));
            std::fflush(stdout);
        }
    });
    watch->start(20);
    PressRunAndLogIn(window, "clerk01", "secret");
    return app.exec();
}
