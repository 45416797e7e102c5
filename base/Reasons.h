#pragma once

#include <QString>
#include <QStringList>

// Why something cannot be done, in one list for the whole program: what the
// lower layers find (a check's verdict, a failure's cause) and every front
// end words in exactly one place, the window in Thai (packing/Explain), the
// command-line programs in English from the table here, which they share.
namespace err {

enum class Reason {
    None,

    // The destination archive.
    DestinationFolderMissing,  // its folder does not exist
    DestinationFolderLocked,   // its folder cannot be written
    DestinationIsFolder,
    DestinationNotRegular,     // a pipe, a device, a socket
    DestinationReadOnly,       // an archive protected against writing
    DestinationOfOther,        // another user's, in a folder where only owners may replace files
    DestinationLink,           // a link another user made in a sticky folder open to all: the link, its owner
    DestinationIsWorkbook,     // it is one of the workbooks: that workbook
    DestinationNotZip,         // an existing file that is no ZIP archive (quillfold-pack, without --replace)

    // A workbook's name, as it makes its package's.
    NameStartsWithDot,
    NameControlCharacter,
    NameBackslash,
    NameWindowsCharacter,
    NameWindowsDevice,
    NameEndsInDotOrSpace,
    NameTooLong,
    NamesClash,                // workbooks that make one package name: the groups, "a.xls, A.xlsx → a.enc"

    // The temporary folder, and the work area in it.
    TemporaryMissing,          // the variable that names it, its value
    TemporaryReadOnly,
    TemporaryLocked,

    // The credentials, in the order they are checked.
    UserIDEmpty,
    PasswordEmpty,
    ConfirmationEmpty,
    PasswordTooShort,
    PasswordsDiffer,
    UserIDNotStorable,
    PasswordNotStorable,

    // What a restore finds.
    PasswordWrong,
    Exists,                    // a file of the name is there already
    Clash,                     // another stored name restored under this one before it: that package
    NoRoom,                    // too little free space: needed, free
    NameNotAllowed,            // the system takes no such name (too long, not valid)
    PermissionDenied,
    ReadOnlyFileSystem,
    DiskFull,
    FileTooLarge,              // past this account's file-size limit, or the file system's largest file
};

// The English words for a reason, its blanks (%1, %2) filled with the
// particulars the reason names; empty for Reason::None.
QString Words(Reason reason, const QStringList& particulars = {});

// The reason behind a system error code, where this program words one of its
// own; Reason::None for the others (their words are the system's).
Reason ReasonOfErrno(int code);
// Words(ReasonOfErrno(code)), or the system's words where there is no reason.
QString WordsOfErrno(int code);

}  // namespace err
