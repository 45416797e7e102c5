#include "main_window/frmMain.h"
#include "packing/Ending.h"
#include "platform/platform.h"
#include "version.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral(QUILLFOLD_PRODUCT_NAME));
    QApplication::setApplicationVersion(QStringLiteral(QUILLFOLD_VERSION));
    ending::EndOnSignals();
    frmMain window;
    window.show();
    const int code = app.exec();
    platform::Ended();
    return code;
}
