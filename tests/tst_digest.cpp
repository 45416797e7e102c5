// The program's own MD5.
#include "credentials/mdlMD5.h"

#include <QCryptographicHash>
#include <QTest>

class TestDigest : public QObject {
    Q_OBJECT
private slots:
    void rfc1321Suite_data();
    void rfc1321Suite();
    void paddingBoundaries();
    void thaiCharacterIsOneByte();
    void caseMatters();
};

void TestDigest::rfc1321Suite_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("digest");
    QTest::newRow("empty") << QByteArray("") << QByteArray("d41d8cd98f00b204e9800998ecf8427e");
    QTest::newRow("a") << QByteArray("a") << QByteArray("0cc175b9c0f1b6a831c399e269772661");
    QTest::newRow("abc") << QByteArray("abc") << QByteArray("900150983cd24fb0d6963f7d28e17f72");
    QTest::newRow("message digest") << QByteArray("message digest")
                                    << QByteArray("f96b697d7cb7938d525a2f31aaf161d0");
    QTest::newRow("alphabet") << QByteArray("abcdefghijklmnopqrstuvwxyz")
                              << QByteArray("c3fcd3d76192e4007dfb496cca67e13b");
    QTest::newRow("alphanumeric")
        << QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")
        << QByteArray("d174ab98d277d9f5a5611c2c9f419d9f");
    QTest::newRow("digits")
        << QByteArray("12345678901234567890123456789012345678901234567890123456789012345678901234567890")
        << QByteArray("57edf4a22be3c955ac49da2e2107b67a");
}

void TestDigest::rfc1321Suite()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, digest);
    QCOMPARE(mdlMD5::DigestMD5(message), digest);
}

void TestDigest::paddingBoundaries()
{
    // One block up to 55 bytes, two from 56 to 119, three from 120 (digests by Python's hashlib).
    const QList<QPair<int, QByteArray>> known{{55, "ef1772b6dff9a122358552954ad0df65"},
                                              {56, "3b0c8ac703f828b04c6c197006d17218"},
                                              {63, "b06521f39153d618550606be297466d5"},
                                              {64, "014842d480b571495a4a0363793f7367"},
                                              {119, "8a7bd0732ed6a28ce75f6dabc90e1613"},
                                              {120, "5f61c0ccad4cac44c75ff505e1f1e537"}};
    for (const auto& [length, digest] : known)
        QCOMPARE(mdlMD5::DigestMD5(QByteArray(length, 'a')), digest);
}

void TestDigest::thaiCharacterIsOneByte()
{
    // "ก" is the single byte 0xA1 in Windows-874.
    QCOMPARE(mdlMD5::DigestMD5("\xA1"), QByteArray("7387f8d447a00cfd548cf2f75738a660"));
    QCOMPARE(mdlMD5::DigestMD5("\xA1").size(), 32);
}

void TestDigest::caseMatters()
{
    QVERIFY(mdlMD5::DigestMD5("secret") != mdlMD5::DigestMD5("SECRET"));
}

QTEST_GUILESS_MAIN(TestDigest)
#include "tst_digest.moc"
