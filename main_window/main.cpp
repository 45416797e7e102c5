#include "frmMain.h"
#include "widgets/Program.h"
#include "version.h"
#include "platform/platform.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    gui::PrepareProgram(QStringLiteral(QUILLFOLD_PRODUCT_NAME), QStringLiteral(QUILLFOLD_VERSION));
    frmMain window;
    window.show();
    const int code = app.exec();
    platform::Ended();
    return code;
}
