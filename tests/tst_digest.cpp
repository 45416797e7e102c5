// The program's own MD5.
#include "credentials/mdlMD5.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTest>

class TestDigest : public QObject {
    Q_OBJECT
private slots:
    void rfc1321Suite_data();
    void rfc1321Suite();
    void paddingBoundaries();
    void thaiCharacterIsOneByte();
    void caseMatters();
    void agreesWithQtOnRandomInput();
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
    for (int length : {55, 56, 63, 64, 119, 120, 127, 128}) {
        const QByteArray message(length, 'q');
        QCOMPARE(mdlMD5::DigestMD5(message), QCryptographicHash::hash(message, QCryptographicHash::Md5).toHex());
    }
}

void TestDigest::thaiCharacterIsOneByte()
{
    // "ก" is the single byte 0xA1 in Windows-874.
    QCOMPARE(mdlMD5::DigestMD5("\xA1"), QCryptographicHash::hash("\xA1", QCryptographicHash::Md5).toHex());
    QCOMPARE(mdlMD5::DigestMD5("\xA1").size(), 32);
}

void TestDigest::caseMatters()
{
    QVERIFY(mdlMD5::DigestMD5("secret") != mdlMD5::DigestMD5("SECRET"));
}

void TestDigest::agreesWithQtOnRandomInput()
{
    auto* random = QRandomGenerator::global();
    for (int round = 0; round < 300; ++round) {
        const int length = round < 200 ? round : random->bounded(1, 100000);
        QByteArray message(length, Qt::Uninitialized);
        for (char& c : message)
            c = char(random->bounded(256));
        const QByteArray digest = mdlMD5::DigestMD5(message);
        QCOMPARE(digest, QCryptographicHash::hash(message, QCryptographicHash::Md5).toHex());
    }
}

QTEST_GUILESS_MAIN(TestDigest)
#include "tst_digest.moc"
