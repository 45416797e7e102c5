// Starts an archiver that sleeps and ends the program during the wait, as Exit
// does. Arguments: the program folder, the file the archiver creates when done.
#include "packing/zip.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    qputenv("QUILLFOLD_STANDIN", QByteArray("sleep:1500:") + argv[2]);
    QTimer::singleShot(200, &EndProgram);
    zip::SetProgramFolder(QString::fromLocal8Bit(argv[1]));
    zip::RunArchiver(QStringLiteral("in"), QStringLiteral("out"), QStringLiteral("zip"));
    std::puts("the wait returned");
    return 1;
}
