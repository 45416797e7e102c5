// quillfold-restore: the recipient's window. Archives and package files
// given on the command line (as "Open with" and a drop on its shortcut give
// them) are listed at once.
#include "restore_window/frmRestore.h"
#include "widgets/Program.h"
#include "version.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    gui::PrepareProgram(QStringLiteral("quillfold-restore"), QStringLiteral(QUILLFOLD_VERSION));
    frmRestore window(QApplication::arguments().mid(1));
    window.show();
    return app.exec();
}
