#include "Reasons.h"

#include "platform/platform.h"

#include <algorithm>
#include <cerrno>

namespace err {
namespace {
// What the words of a reason say; %1, %2 ... are its particulars.
QString Template(Reason reason)
{
    switch (reason) {
    case Reason::None: return {};
    case Reason::DestinationFolderMissing: return QStringLiteral("its folder does not exist");
    case Reason::DestinationFolderLocked: return QStringLiteral("its folder cannot be written");
    case Reason::DestinationIsFolder: return QStringLiteral("it is a folder");
    case Reason::DestinationNotRegular: return QStringLiteral("it is not a regular file");
    case Reason::DestinationReadOnly: return QStringLiteral("it is protected against writing");
    case Reason::DestinationOfOther:
        return QStringLiteral("it belongs to another user, and its folder lets only the owner replace it");
    case Reason::DestinationLink:
        return QStringLiteral("%1 is a link that %2 made in a folder that everyone may write in; it is not followed "
                              "(remove the link, or choose another name)");
    case Reason::DestinationIsWorkbook: return QStringLiteral("%1: the archive would replace one of the workbooks");
    case Reason::DestinationNotZip: return QStringLiteral("it is not a ZIP archive (give --replace to replace it)");

    case Reason::NameStartsWithDot:
        return QStringLiteral("the name starts with a dot, so its package would have no name (a package is "
                              "named after its workbook up to the first dot); rename it");
    case Reason::NameControlCharacter:
        return QStringLiteral("the name holds a control character (a tab, a line end ...), which a recipient gets back "
                              "as \"_\"; rename it");
    case Reason::NameBackslash:
        return QStringLiteral("the name holds a backslash, and a recipient gets back only what follows it; rename it");
    case Reason::NameWindowsCharacter:
        return QStringLiteral("the name holds a character that Windows cannot hold in a name (< > : \" | ? *), and "
                              "recipients may be on Windows; rename it");
    case Reason::NameWindowsDevice:
        return QStringLiteral("up to its first dot the name is a device on Windows (CON, NUL, COM1 ...), so a recipient "
                              "on Windows cannot make its file; rename it");
    case Reason::NameEndsInDotOrSpace:
        return QStringLiteral("the name ends in a dot or a space, which Windows cannot hold; rename it");
    case Reason::NameTooLong:
        return QStringLiteral("the package name would be longer than %1 bytes, too long for a recipient to restore it "
                              "as .xlsx (a name takes at most %2 bytes); rename it");
    case Reason::NamesClash:
        return QStringLiteral("these workbooks would get the same package name: %1 (a package is named by its "
                              "workbook's name up to the first dot, then .enc, case aside): rename one of them before "
                              "that dot");

    case Reason::TemporaryMissing: return QStringLiteral("%1 names no folder");
    case Reason::TemporaryReadOnly: return QStringLiteral("the temporary folder is on a read-only file system");
    case Reason::TemporaryLocked: return QStringLiteral("the temporary folder cannot be written by this user");

    case Reason::UserIDEmpty: return QStringLiteral("the user ID is empty");
    case Reason::PasswordEmpty: return QStringLiteral("the password is empty");
    case Reason::ConfirmationEmpty: return QStringLiteral("the password's confirmation is empty");
    case Reason::PasswordTooShort: return QStringLiteral("the password must have at least %1 characters");
    case Reason::PasswordsDiffer: return QStringLiteral("the two passwords differ");
    case Reason::UserIDNotStorable:
        return QStringLiteral("the user ID must have at most %1 characters, all of the Thai code page "
                              "(Windows-874), and no control characters");
    case Reason::PasswordNotStorable:
        return QStringLiteral("the password must have at most %1 characters, all of the Thai code page "
                              "(Windows-874), and no control characters");

    case Reason::PasswordWrong: return QStringLiteral("password WRONG");
    case Reason::Exists: return QStringLiteral("exists already; not overwritten");
    case Reason::Clash: return QStringLiteral("clashes with %1, restored under this name before it");
    case Reason::NoRoom: return QStringLiteral("needs %1 bytes, only %2 free");
    case Reason::NameNotAllowed: return QStringLiteral("name too long");
    case Reason::PermissionDenied: return QStringLiteral("permission denied");
    case Reason::ReadOnlyFileSystem: return QStringLiteral("read-only file system");
    case Reason::DiskFull: return QStringLiteral("disk full");
    case Reason::FileTooLarge: return platform::ErrorText(EFBIG);
    }
    return {};
}
}  // namespace

QString Words(Reason reason, const QStringList& particulars)
{
    // In one pass, so that a particular holding "%2" stays as it is; only as
    // many as the words have blanks for.
    const QString words = Template(reason);
    qsizetype blanks = 0;
    while (blanks < 3 && words.contains(QStringLiteral("%%1").arg(blanks + 1)))
        ++blanks;
    switch (std::min(particulars.size(), blanks)) {
    case 0: return words;
    case 1: return words.arg(particulars[0]);
    case 2: return words.arg(particulars[0], particulars[1]);
    default: return words.arg(particulars[0], particulars[1], particulars[2]);
    }
}

Reason ReasonOfErrno(int code)
{
    switch (code) {
    case EEXIST: return Reason::Exists;
    case EACCES:
    case EPERM: return Reason::PermissionDenied;
    case ENAMETOOLONG: return Reason::NameNotAllowed;
    case EROFS: return Reason::ReadOnlyFileSystem;
    case EFBIG: return Reason::FileTooLarge;
    default: return platform::IsDiskFull(code) ? Reason::DiskFull : Reason::None;
    }
}

QString WordsOfErrno(int code)
{
    const Reason reason = ReasonOfErrno(code);
    return reason == Reason::None ? platform::ErrorText(code) : Words(reason);
}

}  // namespace err
