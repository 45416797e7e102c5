// The field cipher and the text helpers it depends on.
#include "TestFiles.h"
#include "base/RuntimeError.h"
#include "base/text.h"
#include "credentials/clsCrypt.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTest>

#include <optional>
#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include <functional>

using namespace testfiles;


namespace {
// The system's own Windows-874: ICU's through Qt on Linux, Windows' code page there.
QString SystemDecoded(char byte)
{
#ifdef Q_OS_WIN
    wchar_t wide[2] = {};
    const int n = MultiByteToWideChar(874, 0, &byte, 1, wide, 2);
    return QString::fromWCharArray(wide, n);
#else
    return QStringDecoder("windows-874", QStringConverter::Flag::Stateless).decode(QByteArray(1, byte));
#endif
}

// The byte the system gives a character, if it gives one that reads back as it.
std::optional<char> SystemEncoded(char16_t c)
{
    QByteArray bytes;
#ifdef Q_OS_WIN
    char out[4] = {};
    BOOL defaulted = FALSE;
    const wchar_t wide = wchar_t(c);
    const int n = WideCharToMultiByte(874, WC_NO_BEST_FIT_CHARS, &wide, 1, out, 4, nullptr, &defaulted);
    if (defaulted)
        return std::nullopt;
    bytes = QByteArray(out, n);
#else
    QStringEncoder encoder("windows-874", QStringConverter::Flag::Stateless);
    bytes = encoder.encode(QString(QChar(c)));
    if (encoder.hasError())
        return std::nullopt;
#endif
    if (bytes.size() != 1 || SystemDecoded(bytes[0]) != QString(QChar(c)))
        return std::nullopt;
    return bytes[0];
}
}  // namespace

class TestCipher : public QObject {
    Q_OBJECT
private slots:
    void keyIsPinned();
    void roundTripAndPrefix();
    void bitSevenIsKept();
    void lengthLimits();
    void deCryptTakesAnyValue();
    void authen();
    void ansiConversionNeverSubstitutes();
    void padField();
    void baseNameOf_data();
    void baseNameOf();
    void credentialTrimAndUpper();
};

void TestCipher::keyIsPinned()
{
    // Enciphering zero bytes gives the key itself. Package headers written today
    // must decipher with the same key forever: these values must never change.
    const QByteArray key = clsCrypt().EnCrypt(QByteArray(512, '\0'));
    QCOMPARE(key.size(), 512);
    for (char c : key)
        QVERIFY(c >= 0x23 && c <= 0x60);
    QCOMPARE(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex(),
             QByteArray("3c5826dc61b47713d8e958318c1f80970868371f56de2ac5a96cf4960d3b4319"));
    QCOMPARE(clsCrypt().EnCrypt("Quillfold").toHex(), QByteArray("0e2f59350c23255453"));
    // A byte equal to the key byte at its position becomes 0x00.
    QCOMPARE(clsCrypt().EnCrypt(key.left(3)), QByteArray(3, '\0'));
}

void TestCipher::roundTripAndPrefix()
{
    const clsCrypt crypt;
    QCOMPARE(crypt.EnCrypt(QByteArray()), QByteArray());
    for (qsizetype length : {1, 2, 11, 12, 32, 100, 511, 512}) {
        const QByteArray plain = RandomBytes(length);
        const QByteArray sealed = crypt.EnCrypt(plain);
        QCOMPARE(sealed.size(), length);
        QCOMPARE(crypt.EnCrypt(sealed), plain);
        QCOMPARE(crypt.DeCrypt(QVariant(sealed)), plain);
        QCOMPARE(crypt.DeCrypt(QVariant(plain)), sealed);
        const qsizetype m = length / 2;
        QCOMPARE(crypt.EnCrypt(plain.left(m)), sealed.left(m));
    }
}

void TestCipher::bitSevenIsKept()
{
    QByteArray all(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    const QByteArray sealed = clsCrypt().EnCrypt(all);
    for (int i = 0; i < 256; ++i)
        QCOMPARE(uchar(sealed.at(i)) & 0x80, i & 0x80);
}

void TestCipher::lengthLimits()
{
    const clsCrypt crypt;
    QByteArray result = "untouched";
    QCOMPARE(ErrorNumberOf([&] { result = crypt.EnCrypt(QByteArray(513, 'a')); }), err::InvalidCall);
    QCOMPARE(ErrorNumberOf([&] { result = crypt.EnCrypt(QByteArray(32767, 'a')); }), err::InvalidCall);
    QCOMPARE(ErrorNumberOf([&] { result = crypt.EnCrypt(QByteArray(32768, 'a')); }), err::Overflow);
    QCOMPARE(ErrorNumberOf([&] { result = crypt.DeCrypt(QVariant(QByteArray(600, 'a'))); }), err::InvalidCall);
    QCOMPARE(ErrorNumberOf([&] { crypt.Authen(QByteArray(513, 'a'), QByteArray()); }), err::InvalidCall);
    QCOMPARE(result, QByteArray("untouched"));
}

void TestCipher::deCryptTakesAnyValue()
{
    const clsCrypt crypt;
    QCOMPARE(crypt.DeCrypt(QVariant(12)), crypt.EnCrypt("12"));
    QCOMPARE(crypt.DeCrypt(QVariant(QString::fromUtf8("ก"))), crypt.EnCrypt("\xA1"));
    QCOMPARE(ErrorNumberOf([&] { crypt.DeCrypt(QVariant()); }), err::InvalidUseOfNull);
    QCOMPARE(ErrorNumberOf([&] { crypt.DeCrypt(QVariant::fromValue(nullptr)); }), err::InvalidUseOfNull);
}

void TestCipher::authen()
{
    const clsCrypt crypt;
    const QByteArray sealed = crypt.EnCrypt("Password");
    QVERIFY(crypt.Authen("Password", sealed));
    QVERIFY(crypt.Authen(QByteArray(), QByteArray()));
    QVERIFY(!crypt.Authen("Password", crypt.EnCrypt("PASSWORD")));
    QVERIFY(!crypt.Authen("Password", sealed + ' '));
    QVERIFY(!crypt.Authen("Password", sealed.left(7)));
}

void TestCipher::ansiConversionNeverSubstitutes()
{
    QCOMPARE(text::ToAnsi(QString::fromUtf8("กข abc")), QByteArray("\xA1\xA2 abc"));
    QByteArray all(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    QCOMPARE(text::ToAnsi(text::FromAnsi(all)), all);

    // Chinese, an emoji (a surrogate pair) and Cyrillic have no Windows-874 byte.
    for (const char* bad : {"a\u4E2Db", "ok\U0001F600", "\u0416"}) {
        const QString value = QString::fromUtf8(bad);
        QVERIFY(!text::IsAnsi(value));
        try {
            text::ToAnsi(value);
            QFAIL("no error for a character outside the code page");
        } catch (const RuntimeError& error) {
            QCOMPARE(error.number(), err::InvalidCall);
            QVERIFY2(error.description().contains(u"U+"), qPrintable(error.description()));
        }
    }
    QVERIFY(text::IsAnsi(QString::fromUtf8("รหัสผ่าน 123")));

    // The program's one table is the system's own Windows-874, byte for byte
    // and character for character: every byte reads as the system reads it,
    // and a character has a byte (every Thai one does; what the dialog must
    // refuse has none) exactly when the system gives it one that reads back.
    for (int byte = 0; byte < 256; ++byte)
        QCOMPARE(text::FromAnsi(QByteArray(1, char(byte))), SystemDecoded(char(byte)));
    for (char16_t c = 1; c != 0; ++c) {
        if (QChar::isSurrogate(c))
            continue;
        const std::optional<char> system = SystemEncoded(c);
        QVERIFY2(text::IsAnsi(QString(QChar(c))) == system.has_value(), qPrintable(QString::number(c, 16)));
        if (system)
            QCOMPARE(text::ToAnsi(QString(QChar(c))), QByteArray(1, *system));
    }
}

void TestCipher::padField()
{
    QCOMPARE(text::PadField("ab", 5), QByteArray("ab   "));
    QCOMPARE(text::PadField(QByteArray(), 4), QByteArray("    "));
    QCOMPARE(text::PadField("   ", 4), QByteArray("    "));
    QCOMPARE(text::PadField(" a ", 4), QByteArray(" a  "));  // not trimmed
    QCOMPARE(text::PadField(QByteArray(12, 'x'), 12), QByteArray(12, 'x'));
    QCOMPARE(text::PadField(QByteArray("\0 \0", 3), 5), QByteArray("\0 \0  ", 5));
    // Too long is an error, never a silent cut.
    QCOMPARE(ErrorNumberOf([] { text::PadField(QByteArray(13, 'x'), 12); }), err::InvalidCall);
    QCOMPARE(ErrorNumberOf([] { text::PadField("a", -1); }), err::InvalidCall);
    QCOMPARE(ErrorNumberOf([] { text::PadField("a", 40000); }), err::Overflow);
}

void TestCipher::baseNameOf_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("base");
    QTest::newRow("plain") << "report.xls" << "report";
    QTest::newRow("first dot counts") << "report.2019.xls" << "report";
    QTest::newRow("no dot") << "README" << "README";
    QTest::newRow("leading dot") << ".xls" << "";
    QTest::newRow("trailing dot") << "name." << "name";
    QTest::newRow("dot in folder") << "/a.b/c.zip" << "/a";
    QTest::newRow("full path") << "/data/c.zip" << "/data/c";
    QTest::newRow("thai") << QString::fromUtf8("แบบฟอร์ม.xls") << QString::fromUtf8("แบบฟอร์ม");
}

void TestCipher::baseNameOf()
{
    QFETCH(QString, name);
    QFETCH(QString, base);
    QCOMPARE(text::BaseNameOf(name), base);
}

void TestCipher::credentialTrimAndUpper()
{
    QCOMPARE(text::TrimBlanks(QStringLiteral("  ab c  ")), QStringLiteral("ab c"));
    QCOMPARE(text::TrimBlanks(QStringLiteral("\tab\t")), QStringLiteral("\tab\t"));  // blanks only
    QCOMPARE(text::TrimBlanks(QStringLiteral("    ")), QString());
    QCOMPARE(text::UpperAscii(QString::fromUtf8("abzAZ09กé")), QString::fromUtf8("ABZAZ09กé"));
}

QTEST_GUILESS_MAIN(TestCipher)
#include "tst_cipher.moc"
