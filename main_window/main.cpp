#include "main_window/frmMain.h"
#include "version.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral(QUILLFOLD_PRODUCT_NAME));
    QApplication::setApplicationVersion(QStringLiteral(QUILLFOLD_VERSION));
    QIcon icon;
    for (int size : {16, 32, 48, 128})
        icon.addFile(QStringLiteral(":/icon/quillfold-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);

    frmMain window;
    window.show();
    return app.exec();
}
