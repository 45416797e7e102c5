#pragma once

#include "base/Reasons.h"

#include <QByteArray>
#include <QString>

// The one way the credentials are checked and made what a package stores,
// for the credentials dialog and quillfold-pack alike.
namespace credentials {

// The user ID and the password as packages store them: trimmed (of blanks
// only), a to z upper-cased, in Windows-874 bytes; at most 12 each.
struct Stored {
    QByteArray userID;
    QByteArray password;
};

// Checks credentials as they were typed, in the order the credentials dialog
// checks them, and gives them as stored. Returns the first reason they cannot
// be taken, or Reason::None: UserIDEmpty, PasswordEmpty, ConfirmationEmpty (a
// text of white space only counts as empty); PasswordTooShort (neither the
// password nor its confirmation has 3 characters once trimmed);
// PasswordsDiffer (compared as typed, untrimmed); UserIDNotStorable,
// PasswordNotStorable (more than 12 characters, one outside Windows-874, or a
// control character). Where the password was typed once, it is its own
// confirmation.
err::Reason Check(const QString& userID, const QString& password, const QString& confirmation, Stored& stored);

// A password typed once (for a restore), checked as the dialog checks one:
// PasswordEmpty, PasswordNotStorable, or Reason::None.
err::Reason CheckPassword(const QString& password);

// The particulars of a reason's words (the shortest password, the longest text).
QStringList Particulars(err::Reason reason);

}  // namespace credentials
