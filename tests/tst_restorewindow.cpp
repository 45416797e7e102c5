// The recipient's window over real archives, packed by the window's pack run
// (with zip) and by quillfold-pack's engine: what it lists before any
// password, what a password restores (byte for byte, into the folder beside
// the archive), and what it refuses, cancels and leaves alone.
#include "FakeWindow.h"
#include "TestFiles.h"
#include "cli/PackCli.h"
#include "packing/PackRun.h"
#include "restore_window/frmRestore.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTreeWidget>

using namespace testfiles;

namespace {
// A workbook of an archive: its name and its bytes.
struct Workbook {
    QString name;
    QByteArray content;
};
// An archive to restore from, and how it is made.
struct Archive {
    enum Packer { Window, Cli } packer = Cli;
    QString name;  // in the test's folder
    QString userID;
    QList<Workbook> workbooks;
    int damaged = -1;     // this entry's data has a byte changed
    bool stub = false;    // data before the archive, as a self-extractor's
};
// What the test does once the archive is listed.
enum class Then { Restore, FileInTheWay, FileForFolder, CancelMidway };
}  // namespace
Q_DECLARE_METATYPE(Archive)
Q_DECLARE_METATYPE(QList<Archive>)
Q_DECLARE_METATYPE(Then)

class TestRestoreWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { UseTempFolder(m_dir.path()); }
    void listsThenRestores_data();
    void listsThenRestores();

private:
    QString Path(const QString& name) const { return m_row->filePath(name); }
    QString Make(const Archive& archive);
    QTemporaryDir m_dir;                   // the temporary folder, for the window's pack run
    std::unique_ptr<QTemporaryDir> m_row;  // each row's own
};

QString TestRestoreWindow::Make(const Archive& archive)
{
    const QString folder = Path(archive.name + "-books");
    QDir().mkpath(folder);
    QStringList names;
    for (const Workbook& workbook : archive.workbooks) {
        WriteFile(folder + u'/' + workbook.name, workbook.content);
        names << workbook.name;
    }
    const QString path = Path(archive.name);
    if (archive.packer == Archive::Window) {
        fakewindow::FakeWindow window;
        window.list = names;
        window.text1 = folder;
        window.text2 = path;
        window.LogInAs(archive.userID.toLatin1(), "SECRET");
        packing::PackRun(window);
        if (!window.label3.startsWith("finished "))
            qFatal("the window did not pack: %s", qPrintable(window.messages.value(1).prompt));
    } else {
        QStringList files;
        for (const QString& name : names)
            files << folder + u'/' + name;
        QString out, err;
        QTextStream outStream(&out), errStream(&err);
        if (packcli::Run({archive.userID, "secret", path, files, false, false}, outStream, errStream) != 0)
            qFatal("quillfold-pack did not pack: %s", qPrintable(err));
    }
    QByteArray bytes = ReadFile(path);
    if (archive.damaged >= 0) {  // a byte of that entry's data
        const QByteArray stored = QFile::encodeName(QFileInfo(names[archive.damaged]).completeBaseName().section(u'.', 0, 0) + ".enc");
        const qsizetype name = bytes.indexOf(stored);
        bytes[name + stored.size() + 40] = char(bytes[name + stored.size() + 40] ^ 0x55);
    }
    if (archive.stub)
        bytes.prepend("MZ" + QByteArray(4094, '\x90'));
    WriteFile(path, bytes);
    return path;
}

void TestRestoreWindow::listsThenRestores_data()
{
    QTest::addColumn<QList<Archive>>("archives");
    QTest::addColumn<QStringList>("passwords");  // typed in turn, each followed by Enter
    QTest::addColumn<Then>("then");
    QTest::addColumn<QStringList>("users");    // the rows' user IDs
    QTest::addColumn<QStringList>("checks");   // the start of each row's check
    QTest::addColumn<QStringList>("results");  // the start of each row's result, after the last password
    QTest::addColumn<QString>("problem");      // the start of the summary's second line; none: it has one
                                               // (a row's own problem is said in its row, not again below)
    const QByteArray xls("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    const QList<Workbook> books{{"a.xls", xls + "first"}, {"b.xls", xls + QByteArray("second ").repeated(3000)}};
    const QString sound = QString::fromUtf8("สมบูรณ์");
    const QString restored = QString::fromUtf8("กู้คืนเป็น ");
    QTest::newRow("both packers' archives, with their user IDs")
        << QList<Archive>{{Archive::Window, "window.zip", "CLERK01", books}, {Archive::Cli, "cli.zip", "CLERK02", {{"c.xls", xls + "third"}}}}
        << QStringList{"secret"} << Then::Restore << QStringList{"CLERK01", "CLERK01", "CLERK02"}
        << QStringList{sound, sound, sound} << QStringList{restored + "a.xls", restored + "b.xls", restored + "c.xls"} << QString();
    QTest::newRow("a damaged entry among sound ones")
        << QList<Archive>{{Archive::Cli, "hand over.zip", "CLERK", books + QList<Workbook>{{"c.xls", xls + "third"}}, 1}}
        << QStringList{"secret"} << Then::Restore << QStringList{"CLERK", "", "CLERK"}  // its header did not inflate
        << QStringList{sound, QString::fromUtf8("ข้อมูลเสียหาย: "), sound}
        << QStringList{restored + "a.xls", QString::fromUtf8("ข้อมูลเสียหาย ไม่ได้กู้คืน"), restored + "c.xls"} << QString();
    QTest::newRow("a wrong password, then the right one")
        << QList<Archive>{{Archive::Window, "hand over.zip", "CLERK", books}} << QStringList{"wrong", " Secret "}
        << Then::Restore << QStringList{"CLERK", "CLERK"} << QStringList{sound, sound}
        << QStringList{restored + "a.xls", restored + "b.xls"} << QString();
    QTest::newRow("a file of the same name in the folder")
        << QList<Archive>{{Archive::Cli, "hand over.zip", "CLERK", books}} << QStringList{"secret"} << Then::FileInTheWay
        << QStringList{"CLERK", "CLERK"} << QStringList{sound, sound}
        << QStringList{QString::fromUtf8("มีไฟล์ชื่อนี้อยู่แล้ว"), restored + "b.xls"} << QString();
    QTest::newRow("a file where the folder would be")
        << QList<Archive>{{Archive::Cli, "hand over.zip", "CLERK", books}} << QStringList{"secret"} << Then::FileForFolder
        << QStringList{"CLERK", "CLERK"} << QStringList{sound, sound}
        << QStringList{QString::fromUtf8("ไม่ได้กู้คืน"), QString::fromUtf8("ไม่ได้กู้คืน")}
        << QString::fromUtf8("ใช้โฟลเดอร์ ");
    QTest::newRow("cancelled in the middle of a large workbook")
        << QList<Archive>{{Archive::Cli, "hand over.zip", "CLERK", {{"big.xls", xls + RandomBytes(160 << 20)}, books[0]}}}
        << QStringList{"secret"} << Then::CancelMidway << QStringList{"CLERK", "CLERK"} << QStringList{sound, sound}
        << QStringList{QString::fromUtf8("ยกเลิกแล้ว"), QString::fromUtf8("ยกเลิกแล้ว")} << QString();
    QTest::newRow("an archive behind a stub")
        << QList<Archive>{{Archive::Cli, "hand over.zip", "CLERK", books, -1, true}} << QStringList{"secret"}
        << Then::Restore << QStringList{"CLERK", "CLERK"} << QStringList{sound, sound}
        << QStringList{restored + "a.xls", restored + "b.xls"}
        << QString::fromUtf8("ไฟล์ ZIP มีส่วนที่ผิดปกติ");
    QTest::newRow("Thai names")
        << QList<Archive>{{Archive::Window, QString::fromUtf8("ส่งมอบ.zip"), "CLERK", {{QString::fromUtf8("รายงาน.xls"), xls + "Thai"}}}}
        << QStringList{"secret"} << Then::Restore << QStringList{"CLERK"} << QStringList{sound}
        << QStringList{restored + QString::fromUtf8("รายงาน.xls")} << QString();
}

void TestRestoreWindow::listsThenRestores()
{
    QFETCH(QList<Archive>, archives);
    QFETCH(QStringList, passwords);
    QFETCH(Then, then);
    QFETCH(QStringList, users);
    QFETCH(QStringList, checks);
    QFETCH(QStringList, results);
    QFETCH(QString, problem);
    m_row = std::make_unique<QTemporaryDir>();
    QStringList paths;
    for (const Archive& archive : archives)
        paths << Make(archive);
    // Beside the first archive, named after it.
    const QString folder = QFileInfo(paths[0]).absolutePath() + u'/' + QFileInfo(paths[0]).completeBaseName();
    if (then == Then::FileInTheWay) {
        QDir().mkpath(folder);
        WriteFile(folder + "/a.xls", "the recipient's own");
    }
    if (then == Then::FileForFolder)
        WriteFile(folder, "the recipient's own");

    // Opened as "Open with" opens it: listed at once, the password asked for.
    frmRestore window(paths);
    window.show();
    QSignalSpy listed(&window, &frmRestore::Listed), done(&window, &frmRestore::Restored);
    QVERIFY(listed.wait(30000));
    auto* list = window.findChild<QTreeWidget*>("twPackages");
    auto* password = window.findChild<QLineEdit*>("txtPassword");
    QCOMPARE(list->topLevelItemCount(), users.size());
    for (int i = 0; i < users.size(); ++i) {
        QCOMPARE(list->topLevelItem(i)->text(2), users[i]);
        QVERIFY2(list->topLevelItem(i)->text(4).startsWith(checks[i]), qPrintable(list->topLevelItem(i)->text(4)));
    }
    QTRY_VERIFY(password->hasFocus());
    QCOMPARE(QDir::fromNativeSeparators(window.findChild<QLineEdit*>("txtFolder")->text()), folder);

    for (const QString& typed : passwords) {
        QTest::keyClicks(password, typed);
        if (then == Then::CancelMidway) {  // Cancel once the large workbook is under way
            auto* bar = window.findChild<QProgressBar*>("pbProgress");
            connect(bar, &QProgressBar::valueChanged, &window, [&window](int value) {
                if (value > 0)
                    window.findChild<QPushButton*>("cmdCancel")->click();
            });
        }
        QTest::keyClick(password, Qt::Key_Return);  // Restore is the default button
        if (typed != passwords.last()) {
            // Wrong: nothing restored, said beside the box, the box selected for another try.
            QVERIFY(!window.Busy() && !QFileInfo::exists(folder));
            QVERIFY(!window.findChild<QLabel*>("lblPasswordNote")->text().isEmpty());
            QCOMPARE(password->selectedText(), password->text());
            continue;
        }
        QVERIFY(done.wait(60000));
    }
    for (int i = 0; i < results.size(); ++i)
        QVERIFY2(list->topLevelItem(i)->text(5).startsWith(results[i]), qPrintable(list->topLevelItem(i)->text(5)));
    const QString summary = window.findChild<QLabel*>("lblSummary")->text();
    QVERIFY2(problem.isEmpty() ? !summary.contains(u'\n') : summary.section(u'\n', 1).startsWith(problem), qPrintable(summary));
    // What says restored is there, byte for byte; nothing else is.
    QStringList expected;
    int row = 0;
    for (const Archive& archive : archives) {
        for (const Workbook& workbook : archive.workbooks) {
            const QString result = list->topLevelItem(row++)->text(5);
            if (result.startsWith(QString::fromUtf8("กู้คืนเป็น "))) {
                QCOMPARE(ReadFile(folder + u'/' + workbook.name), workbook.content);
                expected << workbook.name;
            }
        }
    }
    if (then == Then::FileForFolder) {
        QCOMPARE(ReadFile(folder), QByteArray("the recipient's own"));
        return;
    }
    if (then == Then::FileInTheWay) {
        QCOMPARE(ReadFile(folder + "/a.xls"), QByteArray("the recipient's own"));
        expected << "a.xls";
    }
    expected.sort();
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);
}

QTEST_MAIN(TestRestoreWindow)
#include "tst_restorewindow.moc"
