#pragma once

#include <QString>

namespace packing {

// Extracts every entry of the chosen archive, as stored, into a folder named
// by the archive's path up to its first "." (pack.zip into pack beside it).
// A blank choice does nothing. A failed extraction is a run-time error.
void UnzipArchive(const QString& chosenPath);

}  // namespace packing
