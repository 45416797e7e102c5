#include "Credentials.h"

#include "base/text.h"

namespace credentials {

err::Reason Check(const QString& userID, const QString& password, const QString& confirmation, Stored& stored)
{
    using err::Reason;
    if (userID.trimmed().isEmpty())
        return Reason::UserIDEmpty;
    if (password.trimmed().isEmpty())
        return Reason::PasswordEmpty;
    if (confirmation.trimmed().isEmpty())
        return Reason::ConfirmationEmpty;
    if (text::TrimBlanks(password).size() < text::MinimumPasswordLength &&
        text::TrimBlanks(confirmation).size() < text::MinimumPasswordLength)
        return Reason::PasswordTooShort;
    if (password != confirmation)
        return Reason::PasswordsDiffer;
    const QString user = text::UpperAscii(text::TrimBlanks(userID));
    const QString secret = text::UpperAscii(text::TrimBlanks(password));
    if (!text::IsStorableCredential(user))
        return Reason::UserIDNotStorable;
    if (!text::IsStorableCredential(secret))
        return Reason::PasswordNotStorable;
    stored = Stored{text::ToAnsi(user), text::ToAnsi(secret)};
    return Reason::None;
}

err::Reason CheckPassword(const QString& password)
{
    if (password.trimmed().isEmpty())
        return err::Reason::PasswordEmpty;
    if (!text::IsStorableCredential(text::UpperAscii(text::TrimBlanks(password))))
        return err::Reason::PasswordNotStorable;
    return err::Reason::None;
}

QStringList Particulars(err::Reason reason)
{
    switch (reason) {
    case err::Reason::PasswordTooShort: return {QString::number(text::MinimumPasswordLength)};
    case err::Reason::UserIDNotStorable:
    case err::Reason::PasswordNotStorable: return {QString::number(text::CredentialLength)};
    default: return {};
    }
}

}  // namespace credentials
