// A whole restore through the recipient's real window, for the round trip
// between systems: opened with the archive as "Open with" opens it, the
// password typed into the box it has the focus in, Enter, and the end waited
// for. Prints each row's result; exits 0 once every package is restored.
// Arguments: the password, then the archives. It starts as the window's
// program does.
#include "restore_window/frmRestore.h"
#include "widgets/Program.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 3)
        return 2;
    gui::PrepareProgram(QStringLiteral("quillfold-restore"), QStringLiteral("test"));
    frmRestore window(arguments.mid(2));
    window.show();
    int code = 1;
    // Once listed, and the focus is in the password box (the window takes it
    // there as soon as it is active), the password and Enter.
    QTimer typing;
    int tries = 0;
    QObject::connect(&typing, &QTimer::timeout, [&] {
        auto* password = window.findChild<QLineEdit*>("txtPassword");
        if (window.Busy() || !password->hasFocus()) {
            if (++tries > 200) {
                std::printf("the password box has no focus\n");
                app.exit(1);
            }
            return;
        }
        typing.stop();
        password->setText(arguments[1]);
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(password, &enter);
    });
    QObject::connect(&window, &frmRestore::Listed, [&] { typing.start(50); });
    QObject::connect(&window, &frmRestore::Restored, [&](int result) {
        auto* list = window.findChild<QTreeWidget*>("twPackages");
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            std::printf("%s\n", list->topLevelItem(i)->text(5).toUtf8().constData());
        code = result;
        app.exit(result);
    });
    app.exec();
    return code;
}
