// Starts an archiver that sleeps, then ends the program during the wait: with
// EndProgram as Exit does ("exit"), or with SIGTERM ("signal"). Arguments: how,
// the program folder, the file the archiver creates when it is done.
#include "base/Ending.h"
#include "packing/zip.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 4)
        return 2;
    ending::EndOnSignals();
    qputenv("QUILLFOLD_STANDIN", QByteArray("sleep:600:") + argv[3]);
    if (QByteArray(argv[1]) == "signal")
        QTimer::singleShot(200, [] { std::raise(SIGTERM); });
    else
        QTimer::singleShot(200, &EndProgram);
    zip::SetProgramFolder(QString::fromLocal8Bit(argv[2]));
    try {
        zip::RunArchiver(QStringLiteral("in"), QStringLiteral("out"), QStringLiteral("zip"));
    } catch (const ending::ProgramEnding&) {
        std::puts("stopped");
        return 0;
    }
    std::puts("the wait returned");
    return 1;
}
