#pragma once

#include "platform/platform.h"

#include <QString>

// Opening the files this program only reads (workbooks, archives, package
// files), with the one set of run-time errors for them.
namespace files {

// Opens a file for reading only if it is a regular file, never waiting on a
// pipe or a device. Missing is run-time error 53, anything else 75 (70 when
// permission is denied). Returns the open file, and the file's status in
// `status` if given.
platform::File OpenRegularFile(const QString& path, platform::FileStatus* status = nullptr);

}  // namespace files
