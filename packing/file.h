#pragma once

#include <QString>

// The work folder helpers. Neither ever throws: each returns a result text.
//
//   "S:"                                   done
//   ""                                     a file or folder of that name already exists (58)
//   "E:" number ":" description            any other failure (CreateFolderPath)
//   "E:" number ":" description ":" path   any other failure (DeleteFolderPath)
//
// Numbers used: 5 (empty path), 70 (Permission denied), 75 (Path/File access
// error), 76 (Path not found).
namespace file {

// Creates the last folder of the path; its parent must exist.
QString CreateFolderPath(const QString& path);

// Deletes the folder with everything in it. Not forced: when any file inside is
// read-only (has no write permission bit) nothing is deleted and the result is
// error 70, whoever runs the program.
QString DeleteFolderPath(const QString& path);

}  // namespace file
