#include "Files.h"

#include "RuntimeError.h"

#include <cerrno>

namespace files {

platform::File OpenRegularFile(const QString& path, platform::FileStatus* status)
{
    int error = 0;
    platform::File file = platform::OpenForReading(path, error, status);
    if (file.IsOpen())
        return file;
    if (error == platform::NotRegularFile)
        throw RuntimeError::Detailed(err::PathFileAccess, platform::ErrorText(error), path);
    const int number = error == ENOENT   ? err::FileNotFound
                       : error == EACCES ? err::PermissionDenied
                                         : err::PathFileAccess;
    throw RuntimeError::Because(number, platform::ErrorText(error), path);
}

}  // namespace files
