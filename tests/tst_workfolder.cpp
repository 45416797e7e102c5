// The work folder helpers: result texts, and what they leave on disk.
#include "packing/file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {
void Touch(const QString& path, QFileDevice::Permissions permissions = {})
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("content");
    file.close();
    if (permissions)
        QVERIFY(file.setPermissions(permissions));
}
}  // namespace

class TestWorkFolder : public QObject {
    Q_OBJECT
private slots:
    void create();
    void createWhereSomethingExists();
    void deleteWithContent();
    void deleteWhatIsNotThere();
    void deleteRefusesReadOnlyFileAndKeepsEverything();
    void deleteDoesNotFollowLinks();

private:
    QTemporaryDir m_dir;
};

void TestWorkFolder::create()
{
    const QString trash = m_dir.filePath("trash");
    QCOMPARE(file::CreateFolderPath(trash), QStringLiteral("S:"));
    QVERIFY(QFileInfo(trash).isDir());
    QCOMPARE(file::CreateFolderPath(m_dir.filePath("no/such/parent")), QStringLiteral("E:76:Path not found"));
    QCOMPARE(file::CreateFolderPath(QString()), QStringLiteral("E:5:Invalid procedure call or argument"));
}

void TestWorkFolder::createWhereSomethingExists()
{
    const QString folder = m_dir.filePath("kept");
    QVERIFY(QDir().mkpath(folder));
    Touch(folder + "/old.enc");
    QCOMPARE(file::CreateFolderPath(folder), QString());  // 58: empty text, contents kept
    QVERIFY(QFile::exists(folder + "/old.enc"));

    const QString plain = m_dir.filePath("plainfile");
    Touch(plain);
    QCOMPARE(file::CreateFolderPath(plain), QString());
    QVERIFY(QFileInfo(plain).isFile());
}

void TestWorkFolder::deleteWithContent()
{
    const QString folder = m_dir.filePath("full");
    QVERIFY(QDir().mkpath(folder + "/sub/deeper"));
    Touch(folder + "/a.enc");
    Touch(folder + "/sub/deeper/b.enc");
    QCOMPARE(file::DeleteFolderPath(folder), QStringLiteral("S:"));
    QVERIFY(!QFileInfo::exists(folder));
}

void TestWorkFolder::deleteWhatIsNotThere()
{
    const QString missing = m_dir.filePath("missing folder");
    QCOMPARE(file::DeleteFolderPath(missing), "E:76:Path not found:" + missing);
    const QString plain = m_dir.filePath("a file");
    Touch(plain);
    QCOMPARE(file::DeleteFolderPath(plain), "E:76:Path not found:" + plain);
    QVERIFY(QFile::exists(plain));
}

void TestWorkFolder::deleteRefusesReadOnlyFileAndKeepsEverything()
{
    // Not forced: a read-only file inside stops the deletion, even for root,
    // and nothing at all is removed.
    const QString folder = m_dir.filePath("guarded");
    QVERIFY(QDir().mkpath(folder + "/sub"));
    Touch(folder + "/a.enc");
    Touch(folder + "/sub/locked.enc", QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    QCOMPARE(file::DeleteFolderPath(folder), "E:70:Permission denied:" + folder);
    QVERIFY(QFile::exists(folder + "/a.enc"));
    QVERIFY(QFile::exists(folder + "/sub/locked.enc"));
}

void TestWorkFolder::deleteDoesNotFollowLinks()
{
    const QString outside = m_dir.filePath("outside");
    QVERIFY(QDir().mkpath(outside));
    Touch(outside + "/precious.xls");
    const QString folder = m_dir.filePath("linked");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::link(outside, folder + "/link"));
    QCOMPARE(file::DeleteFolderPath(folder), QStringLiteral("S:"));
    QVERIFY(QFile::exists(outside + "/precious.xls"));
}

QTEST_GUILESS_MAIN(TestWorkFolder)
#include "tst_workfolder.moc"
