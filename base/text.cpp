#include "text.h"

#include "RuntimeError.h"

#include <QHash>
#include <QList>

#include <algorithm>
#include <limits>

namespace text {
namespace {
// Windows-874 as Windows itself and ICU have it: ASCII below 0x80, and these
// characters for the bytes 0x80 to 0xFF (the bytes the Thai standard leaves
// open map to C1 controls and to private-use characters, so that every byte
// comes back as it was). One table on every system, so that the same text
// becomes the same bytes everywhere; tst_cipher holds it to the system's own.
constexpr char16_t High[128] = {
    0x20AC, 0x0081, 0x0082, 0x0083, 0x0084, 0x2026, 0x0086, 0x0087,  // 0x80
    0x0088, 0x0089, 0x008A, 0x008B, 0x008C, 0x008D, 0x008E, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x0098, 0x0099, 0x009A, 0x009B, 0x009C, 0x009D, 0x009E, 0x009F,  // 0x98
    0x00A0, 0x0E01, 0x0E02, 0x0E03, 0x0E04, 0x0E05, 0x0E06, 0x0E07,  // 0xA0
    0x0E08, 0x0E09, 0x0E0A, 0x0E0B, 0x0E0C, 0x0E0D, 0x0E0E, 0x0E0F,  // 0xA8
    0x0E10, 0x0E11, 0x0E12, 0x0E13, 0x0E14, 0x0E15, 0x0E16, 0x0E17,  // 0xB0
    0x0E18, 0x0E19, 0x0E1A, 0x0E1B, 0x0E1C, 0x0E1D, 0x0E1E, 0x0E1F,  // 0xB8
    0x0E20, 0x0E21, 0x0E22, 0x0E23, 0x0E24, 0x0E25, 0x0E26, 0x0E27,  // 0xC0
    0x0E28, 0x0E29, 0x0E2A, 0x0E2B, 0x0E2C, 0x0E2D, 0x0E2E, 0x0E2F,  // 0xC8
    0x0E30, 0x0E31, 0x0E32, 0x0E33, 0x0E34, 0x0E35, 0x0E36, 0x0E37,  // 0xD0
    0x0E38, 0x0E39, 0x0E3A, 0xF8C1, 0xF8C2, 0xF8C3, 0xF8C4, 0x0E3F,  // 0xD8
    0x0E40, 0x0E41, 0x0E42, 0x0E43, 0x0E44, 0x0E45, 0x0E46, 0x0E47,  // 0xE0
    0x0E48, 0x0E49, 0x0E4A, 0x0E4B, 0x0E4C, 0x0E4D, 0x0E4E, 0x0E4F,  // 0xE8
    0x0E50, 0x0E51, 0x0E52, 0x0E53, 0x0E54, 0x0E55, 0x0E56, 0x0E57,  // 0xF0
    0x0E58, 0x0E59, 0x0E5A, 0x0E5B, 0xF8C5, 0xF8C6, 0xF8C7, 0xF8C8,  // 0xF8
};

// The byte of a character, or -1 when Windows-874 has none for it.
int ByteOf(char16_t c)
{
    if (c < 0x80)
        return c;
    static const QHash<char16_t, int> bytes = [] {
        QHash<char16_t, int> map;
        for (int i = 0; i < 128; ++i)
            map.insert(High[i], 0x80 + i);
        return map;
    }();
    return bytes.value(c, -1);
}
}  // namespace

QByteArray ToAnsi(const QString& value)
{
    QByteArray bytes(value.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < value.size(); ++i) {
        const int byte = ByteOf(value.at(i).unicode());
        if (byte >= 0) {
            bytes[i] = char(byte);
            continue;
        }
        // Name the character that does not fit, for the operator.
        const qsizetype n = value.at(i).isHighSurrogate() && i + 1 < value.size() ? 2 : 1;
        const QString one = value.mid(i, n);
        const QString code = QString::number(one.toUcs4().value(0), 16).toUpper().rightJustified(4, u'0');
        throw RuntimeError(err::InvalidCall,
                           QStringLiteral("The character \u201C%1\u201D (U+%2) cannot be written in "
                                          "the Thai code page Windows-874")
                               .arg(one, code),
                           QString());
    }
    return bytes;
}

QString FromAnsi(const QByteArray& bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = quint8(bytes[i]);
        text[i] = QChar(byte < 0x80 ? char16_t(byte) : High[byte - 0x80]);
    }
    return text;
}

bool IsAnsi(const QString& value)
{
    return std::all_of(value.cbegin(), value.cend(), [](QChar c) { return ByteOf(c.unicode()) >= 0; });
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
    // Most names are plain ASCII: nothing to escape (a line per workbook
    // goes through here).
    if (std::all_of(value.cbegin(), value.cend(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7F; }))
        return value;
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
