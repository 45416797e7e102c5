#include "main_window/frmMain.h"
#include "version.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral(QUILLFOLD_PRODUCT_NAME));
    QApplication::setApplicationVersion(QStringLiteral(QUILLFOLD_VERSION));
    frmMain window;
    window.show();
    return app.exec();
}
