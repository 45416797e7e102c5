#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QTextStream;

// The recipient's command: lists the packages in archives and package files,
// checks their length and, given one, the password, and restores the workbooks.
namespace unpack {

struct Options {
    QStringList inputs;               // ARCHIVE.zip or PACKAGE.enc, any number
    std::optional<QString> password;  // nothing: no password check
    QString outDir;                   // empty: list only
};

// Exit codes.
constexpr int AllGood = 0;
constexpr int CheckFailed = 1;     // a length check, the password, or a restore failed
constexpr int BadInput = 2;        // bad usage, or input that cannot be read

// Runs the command: one line per package on `out`, problems and progress on
// `err`. Restores only packages whose password matches, never overwrites a
// file, and names each workbook after its package with the extension its
// content shows (.xls, .xlsx or .bin).
int Run(const Options& options, QTextStream& out, QTextStream& err);

// The file name a package's workbook is restored under, without a folder:
// "a.enc" with a compound-file body gives "a.xls".
QString RestoredName(const QString& packageName, const QString& extension);

}  // namespace unpack
