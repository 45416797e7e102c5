#pragma once

#include <QString>

namespace archive {

// Sets the UTF-8 flag (general purpose bit 11) in the local and the central
// header of every entry whose name is not plain ASCII and is valid UTF-8, so
// that tools following the ZIP rules read such names right; Debian's zip
// stores them as raw bytes without the flag. First the end record's size of
// the directory is made what it is: Windows' zip (3.0, -UN=UTF8) records it as
// if such names were escaped, "#U0e23". A few bytes change in place; no data
// moves. An archive it cannot make sense of is error 1005.
void MarkUtf8Names(const QString& path);

}  // namespace archive
