#pragma once

#include <QByteArray>
#include <QString>

// Text and path helpers, and the one place where text becomes bytes.
//
// The program's single-byte code page is Windows-874 (Thai): ASCII keeps its
// codes and, for example, "ก" is 0xA1. Everything that ends up in a package
// file is bytes in that code page; texts are converted here, once, at the edge.
namespace text {

// Text to Windows-874 bytes, one byte per character. A character the code page
// cannot hold is never replaced: run-time error 5 names it.
QByteArray ToAnsi(const QString& value);
// Windows-874 bytes to text; every byte value has a character.
QString FromAnsi(const QByteArray& bytes);
// True if every character of the text has a byte of its own in Windows-874.
bool IsAnsi(const QString& value);

// True for characters that could steer a terminal or hide text: control and
// format characters (C0, DEL, C1, bidirectional controls), line and paragraph
// separators, lone surrogates.
bool IsControlCharacter(char32_t c);
// True if the text holds such a character.
bool HasControl(const QString& value);
// The text as it can be printed safely: such characters written as \\xNN or
// \\u{NNNN}; everything else stays.
QString Printable(const QString& value);

// Bytes as they can be printed safely: printable ASCII as it is, any other
// byte as \\xNN.
QString PrintableBytes(const QByteArray& bytes);

// The longest user ID or password there is room for.
constexpr int CredentialLength = 12;
// The shortest password taken (after trimming).
constexpr int MinimumPasswordLength = 3;
// True if the text can be stored as a user ID or a password: at most 12
// characters, all of Windows-874, none of them a control character.
bool IsStorableCredential(const QString& value);

// Removes leading and trailing blanks (U+0020 only, not tabs or other space).
QString TrimBlanks(const QString& value);
// a..z to A..Z; everything else, Thai included, stays as it is.
QString UpperAscii(const QString& value);

// One header field: the value, or a single blank when it is empty or blanks
// only, padded on the right with blanks to `width` bytes. A value longer than
// the field is run-time error 5; a width outside 0..32767 is error 5 or 6.
QByteArray PadField(const QByteArray& value, int width);

// The name up to its first "." (the whole name when it has none).
QString BaseNameOf(const QString& name);

// Which half FileNameOfPath returns.
constexpr int PathFolder = 16;  // up to and including the last "/"
constexpr int PathName = 0;     // everything after the last "/"
QString FileNameOfPath(const QString& path, int part);

}  // namespace text
