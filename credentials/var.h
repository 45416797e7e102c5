#pragma once

#include <QByteArray>

// The credentials of the current session. The credentials dialog is their only
// writer, the pack run their only reader. The texts are Windows-874 bytes,
// trimmed and upper-cased, at most 12 bytes each.
namespace var {
inline bool LoginAccepted = false;
inline QByteArray LoginUserID;
inline QByteArray LoginPassword;
}  // namespace var
