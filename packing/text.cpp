#include "text.h"

#include "RuntimeError.h"

#include <QStringDecoder>
#include <QStringEncoder>
#include <QList>

#include <algorithm>
#include <limits>

namespace text {
namespace {
constexpr const char* CodePage = "windows-874";

// Encodes and checks that decoding gives the text back, so that neither a
// replacement '?' nor a best-fit substitute can slip through.
bool TryToAnsi(const QString& value, QByteArray& out)
{
    QStringEncoder encoder(CodePage, QStringConverter::Flag::Stateless);
    out = encoder.encode(value);
    if (!encoder.isValid() || encoder.hasError())
        return false;
    return FromAnsi(out) == value;
}
}  // namespace

QByteArray ToAnsi(const QString& value)
{
    QByteArray bytes;
    if (TryToAnsi(value, bytes))
        return bytes;
    // Name the first character that does not fit, for the operator.
    for (qsizetype i = 0; i < value.size(); ++i) {
        const qsizetype n = value.at(i).isHighSurrogate() && i + 1 < value.size() ? 2 : 1;
        const QString one = value.mid(i, n);
        QByteArray ignored;
        if (!TryToAnsi(one, ignored)) {
            const QString code = QString::number(one.toUcs4().value(0), 16).toUpper().rightJustified(4, u'0');
            throw RuntimeError(err::InvalidCall,
                               QStringLiteral("The character \u201C%1\u201D (U+%2) cannot be written in "
                                              "the Thai code page Windows-874")
                                   .arg(one, code),
                               QString());
        }
        i += n - 1;
    }
    throw RuntimeError(err::InvalidCall, QStringLiteral("The text cannot be written in Windows-874"), QString());
}

QString FromAnsi(const QByteArray& bytes)
{
    QStringDecoder decoder(CodePage, QStringConverter::Flag::Stateless);
    return decoder.decode(bytes);
}

bool IsAnsi(const QString& value)
{
    QByteArray ignored;
    return TryToAnsi(value, ignored);
}

bool IsControlCharacter(char32_t c)
{
    const QChar::Category category = QChar::category(c);
    return category == QChar::Other_Control || category == QChar::Other_Format ||
           category == QChar::Other_Surrogate || category == QChar::Separator_Line ||
           category == QChar::Separator_Paragraph;
}

bool HasControl(const QString& value)
{
    const QList<uint> characters = value.toUcs4();
    return std::any_of(characters.cbegin(), characters.cend(), IsControlCharacter);
}

QString Printable(const QString& value)
{
    QString shown;
    for (char32_t c : value.toUcs4()) {
        if (!IsControlCharacter(c))
            shown += QString::fromUcs4(&c, 1);
        else if (c < 0x100)
            shown += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else
            shown += QStringLiteral("\\u{%1}").arg(uint(c), 4, 16, QLatin1Char('0'));
    }
    return shown;
}

QString PrintableBytes(const QByteArray& bytes)
{
    QString shown;
    for (char c : bytes) {
        const auto byte = quint8(c);
        if (byte >= 0x20 && byte < 0x7F)
            shown += QLatin1Char(c);
        else
            shown += QStringLiteral("\\x%1").arg(uint(byte), 2, 16, QLatin1Char('0'));
    }
    return shown;
}

bool IsStorableCredential(const QString& value)
{
    return value.size() <= CredentialLength && !HasControl(value) && IsAnsi(value);
}

QString TrimBlanks(const QString& value)
{
    qsizetype first = 0;
    qsizetype last = value.size();
    while (first < last && value.at(first) == u' ')
        ++first;
    while (last > first && value.at(last - 1) == u' ')
        --last;
    return value.mid(first, last - first);
}

QString UpperAscii(const QString& value)
{
    QString result = value;
    for (QChar& c : result) {
        if (c >= u'a' && c <= u'z')
            c = QChar(c.unicode() - (u'a' - u'A'));
    }
    return result;
}

QByteArray PadField(const QByteArray& value, int width)
{
    if (width > std::numeric_limits<qint16>::max())
        throw RuntimeError(err::Overflow);
    if (width < 0)
        throw RuntimeError(err::InvalidCall);
    const bool blank = value.count(' ') == value.size();  // also true when empty
    const QByteArray field = blank ? QByteArray(" ") : value;
    if (field.size() > width) {
        throw RuntimeError(err::InvalidCall,
                           QStringLiteral("A header field of %1 characters does not fit its width of %2")
                               .arg(field.size())
                               .arg(width),
                           QString());
    }
    return field + QByteArray(width - field.size(), ' ');
}

QString BaseNameOf(const QString& name)
{
    const qsizetype dot = name.indexOf(u'.');
    return dot < 0 ? name : name.left(dot);
}

QString FileNameOfPath(const QString& path, int part)
{
    if (path.isEmpty())
        return {};
    const qsizetype slash = path.lastIndexOf(u'/');
    return part == PathFolder ? path.left(slash + 1) : path.mid(slash + 1);
}

}  // namespace text
