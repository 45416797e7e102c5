// The work folder helpers: result texts, and what they leave on disk.
#include "base/RunFolder.h"
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
    void leftoversRemoved_data();
    void leftoversRemoved();

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

void TestWorkFolder::leftoversRemoved_data()
{
    QTest::addColumn<QStringList>("files");  // in the folder first; a folder's name ends in '/'
    QTest::addColumn<bool>("othersLeft");
    QTest::addColumn<QStringList>("remaining");
    // A run's stem ends in its process id: this one's, and one no process has.
    const QString running = QString::fromUtf8(runs::RunStem(QStringLiteral("run")));
    const QString ended = running.left(running.lastIndexOf(u'-', running.size() - 2) + 1) + "999999999-";
    QTest::newRow("empty") << QStringList{} << false << QStringList{};
    QTest::newRow("an ended run's file and folder") << QStringList{ended + "aB3dE9", ended + "Zz9Yy8/"} << false
                                                    << QStringList{};
    QTest::newRow("a running run's file") << QStringList{running + "aB3dE9"} << true << QStringList{running + "aB3dE9"};
    QTest::newRow("someone's file beside an ended run's")
        << QStringList{"book.xls", ended + "aB3dE9"} << true << QStringList{"book.xls"};
    const QString stem = ended.left(ended.size() - 10);  // without "999999999-"
    const QStringList nearMisses{ended + "aB3dE", ended + "aB3dE9x", ended + "aB-dE9", stem + "99a9-aB3dE9",
                                 stem + "-aB3dE9", stem + "12345678901-aB3dE9", stem + "999999999"};
    QStringList sorted = nearMisses;
    sorted.sort();
    QTest::newRow("names close to a run's are someone's") << nearMisses << true << sorted;
}

void TestWorkFolder::leftoversRemoved()
{
    QFETCH(QStringList, files);
    QFETCH(bool, othersLeft);
    QFETCH(QStringList, remaining);
    const QString folder = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(QDir().mkpath(folder));
    for (const QString& name : files) {
        if (name.endsWith(u'/'))
            QVERIFY(QDir().mkpath(folder + u'/' + name));
        else
            Touch(folder + u'/' + name);
    }
    QCOMPARE(runs::RemoveLeftovers(folder, QStringLiteral("run")), othersLeft);
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), remaining);
    QVERIFY(runs::RemoveLeftovers(folder + "/missing", QStringLiteral("run")));  // not known to be empty
}

QTEST_GUILESS_MAIN(TestWorkFolder)
#include "tst_workfolder.moc"
