#pragma once
// One table of what both packers refuse before anything is asked or written,
// run against the window's pack run (tst_packrun) and quillfold-pack
// (tst_packcli) alike: each front end gives its own words for the same
// reason, and neither leaves anything behind.

#include "TestFiles.h"
#include "base/Reasons.h"

#include <QDir>
#include <QFile>
#include <QObject>
#include <QTemporaryDir>
#include <QTest>

#ifndef Q_OS_WIN
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// What a row needs of the place it runs in, besides its workbooks.
enum class Place {
    Plain,
    LockedFolder,      // the destination's folder cannot be written
    ReadOnlyArchive,   // the destination is an archive protected against writing
    Pipe,              // the destination is a pipe (on Windows: the device NUL)
    PlantedLink,       // the destination is a link another user made in a sticky folder everyone may write in
};
Q_DECLARE_METATYPE(Place)
Q_DECLARE_METATYPE(err::Reason)

class RefusalCases : public QObject {
    Q_OBJECT
protected:
    // What a front end did: its exit code (the window: 2 for a box before
    // the dialog, anything else otherwise), and all it said.
    struct Outcome {
        int code = 0;
        QString said;
    };
    // Runs the front end over `workbooks` (names in `folder`) into `destination`.
    virtual Outcome Pack(const QString& folder, const QStringList& workbooks, const QString& destination) = 0;
    // The front end's words for a reason, its blanks filled with `particulars`.
    virtual QString Words(err::Reason reason, const QStringList& particulars) = 0;

private slots:
    void bothRefuseBeforeAnything_data()
    {
        QTest::addColumn<QStringList>("workbooks");
        QTest::addColumn<QString>("destination");  // in the workbooks' folder; empty: "hand over.zip"
        QTest::addColumn<Place>("place");
        QTest::addColumn<err::Reason>("reason");
        QTest::addColumn<QStringList>("named");  // in what it says, besides the reason's words
        const QStringList one{"a.xls"};
        using err::Reason;
        QTest::newRow("clashing package names")
            << QStringList{"a.xls", "report.2019.xls", "b.xls", "A.xlsx", "report.2020.xls"} << QString() << Place::Plain
            << Reason::NamesClash << QStringList{"a.xls, A.xlsx → a.enc", "report.2019.xls, report.2020.xls → report.enc"};
        QTest::newRow("destination is a workbook") << QStringList{"a.xls", "b b.xls"} << "b b.xls" << Place::Plain
                                                   << Reason::DestinationIsWorkbook << QStringList{"b b.xls"};
        QTest::newRow("destination is a workbook, spelt differently")
            << one << "./sub/../a.xls" << Place::Plain << Reason::DestinationIsWorkbook << QStringList{"a.xls"};
        QTest::newRow("destination folder missing") << one << "no such folder/out.zip" << Place::Plain
                                                    << Reason::DestinationFolderMissing << QStringList{"out.zip"};
        QTest::newRow("destination folder read-only") << one << "locked/out.zip" << Place::LockedFolder
                                                      << Reason::DestinationFolderLocked << QStringList{};
        QTest::newRow("destination is a folder") << one << "sub" << Place::Plain << Reason::DestinationIsFolder
                                                 << QStringList{};
        QTest::newRow("destination archive read-only") << one << "kept.zip" << Place::ReadOnlyArchive
                                                       << Reason::DestinationReadOnly << QStringList{"kept.zip"};
        QTest::newRow("destination is a pipe") << one << "pipe.zip" << Place::Pipe << Reason::DestinationNotRegular
                                               << QStringList{};
        QTest::newRow("destination a link another user planted in a shared folder")
            << one << "shared/handover.zip" << Place::PlantedLink << Reason::DestinationLink
            << QStringList{"shared/handover.zip", "nobody"};
        QTest::newRow("a name that starts with a dot") << QStringList{"a.xls", ".hidden.xls"} << QString() << Place::Plain
                                                       << Reason::NameStartsWithDot << QStringList{".hidden.xls"};
        QTest::newRow("a package name over 255 bytes") << QStringList{QString(253, u'n')} << QString() << Place::Plain
                                                       << Reason::NameTooLong << QStringList{QString(253, u'n')};
        QTest::newRow("a name of 251 bytes without an extension")  // its package is 255 bytes, its .xlsx 256
            << QStringList{QString(251, u'n')} << QString() << Place::Plain << Reason::NameTooLong << QStringList{"254"};
        QTest::newRow("a control character in a name") << QStringList{"a.xls", "x\ny.xls"} << QString() << Place::Plain
                                                       << Reason::NameControlCharacter << QStringList{"x\\x0ay.xls"};
        QTest::newRow("a backslash in a name") << QStringList{"p\\q.xls"} << QString() << Place::Plain
                                               << Reason::NameBackslash << QStringList{"p\\q.xls"};
        QTest::newRow("a device name on Windows") << QStringList{"a.xls", "com1.2024.xls"} << QString() << Place::Plain
                                                  << Reason::NameWindowsDevice << QStringList{"com1.2024.xls"};
        QTest::newRow("a character Windows cannot hold") << QStringList{"what?.xls"} << QString() << Place::Plain
                                                         << Reason::NameWindowsCharacter << QStringList{"what?.xls"};
        QTest::newRow("a name that ends in a dot") << QStringList{"report."} << QString() << Place::Plain
                                                   << Reason::NameEndsInDotOrSpace << QStringList{"report."};
    }

    void bothRefuseBeforeAnything()
    {
        QFETCH(QStringList, workbooks);
        QFETCH(QString, destination);
        QFETCH(Place, place);
        QFETCH(err::Reason, reason);
        QFETCH(QStringList, named);
        if (!testfiles::Posix && reason == err::Reason::NameBackslash)
            QSKIP("Windows has no backslashes in names: it takes them for folders");
        QTemporaryDir dir;
        const auto path = [&](const QString& name) { return dir.filePath(name); };
        QStringList written;  // all of them, but where the system cannot hold a name (Windows: CON, what?.xls ...)
        for (const QString& workbook : workbooks) {
            if (QFile file(path(workbook)); file.open(QIODevice::WriteOnly) && file.write(workbook.toUtf8()) == workbook.toUtf8().size())
                written << workbook;
        }
        QVERIFY(!testfiles::Posix || written == workbooks);
        QDir().mkpath(path("sub"));
        const QByteArray old = "an earlier hand-over";
        testfiles::WriteFile(path("hand over.zip"), old);
        if (destination.isEmpty())
            destination = "hand over.zip";
        switch (place) {
        case Place::Plain: break;
        case Place::LockedFolder:
            QDir().mkpath(path("locked"));
            if (!LockFolder(path("locked")))
                QSKIP("a folder's read-only attribute does not stop writing in it on Windows");
            break;
        case Place::ReadOnlyArchive:
            testfiles::WriteFile(path("kept.zip"), old);
            QFile::setPermissions(path("kept.zip"), QFileDevice::ReadOwner);
            break;
        case Place::Pipe:
#ifdef Q_OS_WIN
            destination = "NUL";  // a device, in any folder
#else
            QCOMPARE(::mkfifo(QFile::encodeName(path("pipe.zip")).constData(), 0600), 0);
#endif
            break;
        case Place::PlantedLink:
#ifndef Q_OS_WIN
            if (::geteuid() == 0) {
                QDir().mkpath(path("shared"));
                ::chmod(QFile::encodeName(path("shared")).constData(), 01777);
                const QByteArray link = QFile::encodeName(path("shared/handover.zip"));
                QCOMPARE(::symlink("../hand over.zip", link.constData()), 0);
                QCOMPARE(::lchown(link.constData(), 65534, 65534), 0);
                break;
            }
#endif
            QSKIP("only root can give a link to another user (and Windows has no sticky folders)");
        }

        const Outcome outcome = Pack(dir.path(), workbooks, path(destination));
        LockFolder(QString());
        QVERIFY2(outcome.code == 2, qPrintable(outcome.said));
        // The reason's words as this front end has them (the longest stretch between their blanks).
        QString words;
        for (const QString& piece : Words(reason, {"\x01", "\x01", "\x01"}).split(QChar(1)))
            words = piece.size() > words.size() ? piece : words;
        QVERIFY2(!words.trimmed().isEmpty() && outcome.said.contains(words), qPrintable(outcome.said + "\n" + words));
        for (const QString& name : named)
            QVERIFY2(outcome.said.contains(name), qPrintable(outcome.said));
        // Nothing written, nothing left.
        QCOMPARE(testfiles::ReadFile(path("hand over.zip")), old);
        for (const QString& workbook : written)
            QCOMPARE(testfiles::ReadFile(path(workbook)), workbook.toUtf8());
        for (const QString& name : QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
            QVERIFY2(!name.startsWith(".quillfold"), qPrintable(name));
        QVERIFY(testfiles::ReadFile(path("locked/out.zip")).isEmpty());
        QVERIFY(!testfiles::Posix || place != Place::Pipe || !QFileInfo(path("pipe.zip")).isFile());  // a pipe still
    }

private:
    // Makes a folder unwritable, even for root (a read-only bind mount); an
    // empty path undoes it. False where the system cannot (Windows).
    bool LockFolder(const QString& folder)
    {
#ifdef Q_OS_WIN
        return folder.isEmpty();
#else
        if (!m_locked.isEmpty()) {
            ::umount2(QFile::encodeName(m_locked).constData(), MNT_DETACH);
            QFile::setPermissions(m_locked, QFileDevice::Permissions(0x7700));
            m_locked.clear();
        }
        if (folder.isEmpty())
            return true;
        m_locked = folder;
        const QByteArray native = QFile::encodeName(folder);
        if (::geteuid() == 0 && ::mount(native.constData(), native.constData(), nullptr, MS_BIND, nullptr) == 0)
            return ::mount(nullptr, native.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
        return QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
#endif
    }
    QString m_locked;
};
