#include "UnzipCommand.h"

#include "zip.h"
#include "base/text.h"

namespace packing {

void UnzipArchive(const QString& chosenPath)
{
    if (text::TrimBlanks(chosenPath).isEmpty())
        return;
    const QString target = text::BaseNameOf(chosenPath);
    zip::RequireSuccess(zip::RunArchiver(chosenPath, target, QStringLiteral("unzip")), chosenPath, target);
}

}  // namespace packing
