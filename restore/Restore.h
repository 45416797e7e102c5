#pragma once

#include "base/Reasons.h"

#include <QString>
#include <QStringList>

#include <optional>

// The recipient's side of a hand-over: the packages of archives and package
// files listed, checked and restored. What quillfold-unpack prints, and a
// window shows, comes to them as one report per package through a Reporter.
namespace restore {

struct Options {
    QStringList inputs;               // ARCHIVE.zip or PACKAGE.enc, any number
    std::optional<QString> password;  // nothing: no password check
    QString outDir;                   // empty: list only
};

// How bad what happened was; a run's result is the worst.
constexpr int AllGood = 0;
constexpr int CheckFailed = 1;  // a length or password check failed, damaged data, or a restore failed
constexpr int BadInput = 2;     // input (a file, an entry's headers, the output folder) that cannot be used

// What a problem is about, for a reporter that words problems in its own
// language; the message says it in English.
enum class Concern {
    Package,       // one package's: its report holds it too, as `problem`
    OutputFolder,  // the output folder cannot be used or made; nothing restored
    ArchiveFrame,  // an archive with data before its start or a damaged end; its entries still read
    Durability,    // restored files not yet safe from a power cut
    Other,         // the report could not be sent, or anything else
};

// One package (or a folder entry) as the run found it.
struct Package {
    QString label;          // where it is, to be shown: "ARCHIVE:NAME", or the package file as given
    QString source;         // the archive or the package file it is in, as given
    QString name;           // its stored name, as text

    // No package to be read at all (an input that is no readable archive or
    // package, an entry whose headers or data are damaged (then `damaged`
    // too), or that is no package): nothing more is known of it, and
    // `problem` says why.
    bool unreadable = false;

    bool folder = false;    // a folder entry: nothing to restore
    qint64 folderData = 0;  // what such an entry holds (it should hold nothing)

    QString userID;         // who packed it, as its header says, shown safely
    qint64 bodyLength = 0;  // the workbook's size: the bytes after the header
    qint64 declaredLength = 0;
    bool lengthMatches = true;
    QByteArray digest;      // the password's digest, as the header holds it
    enum class Password { NotChecked, Matches, Wrong } password = Password::NotChecked;
    // Read through to its end, it did not read back intact (`problem` says
    // why). A workbook whose restore was tried and failed so says whyNot.
    bool damaged = false;

    bool restoring = false;  // a restore was asked for (an output folder was given)
    bool attempted = false;  // and tried: the length and the password matched
    QString restoredAs;      // the path it was restored as, once on disk for good; empty: not restored
    err::Reason whyNot = err::Reason::None;  // why not, where the run words it (PasswordWrong, Exists ...)
    QString problem;         // what was wrong, in English, as Problem said it
};

// Where the run's report goes. Its calls come one at a time, from the run's
// thread or from the one that puts workbooks on disk.
class Reporter {
public:
    virtual ~Reporter() = default;
    // A package, in the order of the inputs and of each archive's entries,
    // once its workbook (if it restored one) is on disk for good. May throw
    // ReportLost: the run then stops, and what it reported stays restored.
    virtual void Reported(const Package& package) = 0;
    // After a group of packages reported: a good moment to send them on. May
    // throw ReportLost, as Reported may.
    virtual void GroupReported() {}
    // A problem, in English, how bad it is, and what it is about.
    virtual void Problem(int severity, Concern concern, const QString& message) = 0;
    // Before each entry of an archive: its place and name; `large` when the
    // archive is large enough for a line of progress.
    virtual void Reading(int /*index*/, int /*count*/, const QString& /*name*/, bool /*large*/) {}
    // As a workbook is restored: bytes of it done, of its size.
    virtual void Bytes(qint64 /*done*/, qint64 /*total*/) {}
    // Polled as the run goes: true to stop it (what is not yet reported as
    // restored is removed, and Run returns CheckFailed).
    virtual bool Cancelled() { return false; }
};

// Thrown by a reporter that can take no more.
struct ReportLost {
    QString message;  // why, in English, for the problem line
};

// Runs the restore: every archive entry is read to its end and checked
// against its size and CRC; one that fails is reported (and never restored),
// and the others are still read. Restores only packages whose password
// matches, never over a file, into `outDir` (made when missing, one level),
// and names each workbook after its package with the extension its content
// shows (.xls, .xlsx or .bin). Returns the worst that happened. Throws
// ending::ProgramEnding when the program is ended meanwhile, after removing
// what it had not yet reported as restored.
int Run(const Options& options, Reporter& reporter);

// True if `password`, trimmed and upper-cased as the credentials dialog
// stores it, is the one the package was packed with.
bool PasswordMatches(const Package& package, const QString& password);

// The file name a package's workbook is restored under, without a folder:
// "a.enc" with a compound-file body gives "a.xls". Control characters in the
// stored name become "_".
QString RestoredName(const QString& packageName, const QString& extension);

}  // namespace restore
