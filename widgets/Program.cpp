#include "Program.h"

#include "base/Ending.h"
#include "platform/platform.h"

#include <QApplication>

namespace gui {

void PrepareProgram(const QString& name, const QString& version)
{
    QApplication::setApplicationName(name);
    QApplication::setApplicationVersion(version);
    ending::EndOnSignals();
    platform::ErrorsNotSignals();
}

}  // namespace gui
