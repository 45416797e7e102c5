#include "frmRestore.h"

#include "ui_frmRestore.h"
#include "base/Ending.h"
#include "base/MessageBox.h"
#include "base/text.h"
#include "credentials/Credentials.h"
#include "widgets/CredentialBox.h"
#include "widgets/MsgBox.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLocale>
#include <QMimeData>
#include <QPushButton>
#include <QTreeWidgetItem>
#include <QUrl>

namespace {
using err::Reason;
using Password = restore::Package::Password;

enum Column { ColumnArchive, ColumnPackage, ColumnUser, ColumnSize, ColumnCheck, ColumnResult };

const QString BusyQuestion =
    QStringLiteral("กำลังกู้คืนไฟล์อยู่ ต้องการหยุดแล้วปิดโปรแกรมหรือไม่? (ไฟล์ที่ยังกู้คืนไม่เสร็จจะถูกลบออก)");
const QString WrongPasswordNote = QStringLiteral("รหัสผ่านไม่ถูกต้องสำหรับแพ็กเกจในรายการ กรุณาลองใหม่อีกครั้ง");
const QString NoPasswordNote = QStringLiteral("กรุณาใส่รหัสผ่าน");
const QString NothingListed = QStringLiteral("ยังไม่มีแพ็กเกจในรายการ กรุณาเพิ่มไฟล์ที่ได้รับก่อน");
const QString NoFolder = QStringLiteral("กรุณาเลือกโฟลเดอร์ที่จะกู้คืนไฟล์");

// What a package's problem says beyond where it is ("LABEL: what").
QString Detail(const restore::Package& package)
{
    QString detail = package.problem;
    if (detail.startsWith(package.label + QStringLiteral(": ")))
        detail.remove(0, package.label.size() + 2);
    return detail;
}

// The check of a listed package, in Thai.
QString CheckText(const restore::Package& package)
{
    if (package.damaged)
        return QStringLiteral("ข้อมูลเสียหาย: ") + Detail(package);
    if (package.unreadable)
        return QStringLiteral("ไม่ใช่แพ็กเกจ หรืออ่านไม่ได้: ") + Detail(package);
    if (package.folder)
        return QStringLiteral("โฟลเดอร์ที่มีข้อมูลอยู่ %1 ไบต์ ไม่ใช่แพ็กเกจ").arg(package.folderData);
    if (!package.lengthMatches)
        return QStringLiteral("ความยาวไม่ตรงกับส่วนหัว (ส่วนหัวบอก %1 ไบต์)").arg(package.declaredLength);
    return QStringLiteral("สมบูรณ์");
}

// Why a package was not restored, in Thai.
QString WhyNot(const restore::Package& package)
{
    switch (package.whyNot) {
    case Reason::PasswordWrong: return QStringLiteral("รหัสผ่านไม่ถูกต้อง ไม่ได้กู้คืน");
    case Reason::Exists: return QStringLiteral("มีไฟล์ชื่อนี้อยู่แล้วในโฟลเดอร์ ไม่ได้เขียนทับ");
    case Reason::Clash: return QStringLiteral("ได้ชื่อเดียวกับแพ็กเกจที่กู้คืนก่อนหน้า ไม่ได้กู้คืน");
    case Reason::NoRoom:
    case Reason::DiskFull: return QStringLiteral("ดิสก์ของโฟลเดอร์เต็ม ไม่ได้กู้คืน");
    case Reason::FileTooLarge: return QStringLiteral("ไฟล์ใหญ่เกินขนาดที่บัญชีผู้ใช้นี้เขียนได้ ไม่ได้กู้คืน");
    case Reason::NameNotAllowed: return QStringLiteral("ใช้ชื่อนี้ในโฟลเดอร์นี้ไม่ได้ ไม่ได้กู้คืน");
    case Reason::PermissionDenied: return QStringLiteral("ไม่มีสิทธิ์เขียนในโฟลเดอร์นี้ ไม่ได้กู้คืน");
    case Reason::ReadOnlyFileSystem: return QStringLiteral("โฟลเดอร์นี้อ่านได้อย่างเดียว ไม่ได้กู้คืน");
    default: break;
    }
    if (package.damaged)
        return QStringLiteral("ข้อมูลเสียหาย ไม่ได้กู้คืน");
    if (package.unreadable)
        return QStringLiteral("อ่านไม่ได้ ไม่ได้กู้คืน");
    if (!package.lengthMatches)
        return QStringLiteral("ความยาวไม่ตรง ไม่ได้กู้คืน");
    return QStringLiteral("ไม่ได้กู้คืน: ") + Detail(package);
}

QString Key(const restore::Package& package, int before)
{
    return package.label + QChar(0) + QString::number(before);
}
}  // namespace

// The restore's reporter, on the worker: everything it is told goes to the
// window's thread, where the window takes it in turn.
class frmRestore::Job : public restore::Reporter {
public:
    Job(frmRestore* window, bool restoring) : m_window(window), m_restoring(restoring) { m_sinceShown.start(); }

    // What is posted outlives the job: it takes the window, never the job.
    void Reported(const restore::Package& package) override
    {
        Post([window = m_window, restoring = m_restoring, package] {
            restoring ? window->UpdateRow(package) : window->AddRow(package);
        });
    }
    void Problem(int, restore::Concern concern, const QString& message) override
    {
        Post([window = m_window, concern, message] { window->Problem(concern, message); });
    }
    void Reading(int, int, const QString&, bool) override
    {
        ++m_started;
        ShowProgress(false);
    }
    void Bytes(qint64 done, qint64 total) override
    {
        m_current = done;
        if (done >= total) {
            m_completed += total;
            m_current = 0;
        }
        ShowProgress(false);
    }
    bool Cancelled() override { return m_window->m_cancel.load(); }

    void ShowProgress(bool now)
    {
        if (!now && m_sinceShown.elapsed() < 50)  // twenty times a second is smooth enough
            return;
        m_sinceShown.restart();
        Post([window = m_window, started = m_started, done = m_completed + m_current] { window->Progress(started, done); });
    }

private:
    template <typename Work>
    void Post(Work work)
    {
        QMetaObject::invokeMethod(m_window, std::move(work), Qt::QueuedConnection);
    }

    frmRestore* m_window;
    const bool m_restoring;
    int m_started = 0;
    qint64 m_completed = 0, m_current = 0;
    QElapsedTimer m_sinceShown;
};

frmRestore::frmRestore(const QStringList& inputs, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::frmRestore>())
{
    ui->setupUi(this);
    setAcceptDrops(true);
    // The names and sizes as wide as they are; the check and the result share
    // the rest (what does not fit is in their tool tips).
    QHeaderView* header = ui->twPackages->header();
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(ColumnCheck, QHeaderView::Stretch);
    header->setSectionResizeMode(ColumnResult, QHeaderView::Stretch);
    header->setStretchLastSection(false);
    ui->lblPasswordNote->setStyleSheet(QStringLiteral("color: #b00000;"));
    ui->txtPassword->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    gui::TakeOnlyCredentials(ui->txtPassword, this, gui::NoteBeside(this), msgbox::AppTitle);
    connect(ui->txtPassword, &QLineEdit::textEdited, this, [this] { Note(QString()); });
    connect(ui->cmdAdd, &QPushButton::clicked, this, &frmRestore::cmdAdd_Click);
    connect(ui->cmdBrowseFolder, &QPushButton::clicked, this, &frmRestore::cmdBrowseFolder_Click);
    connect(ui->cmdRestore, &QPushButton::clicked, this, &frmRestore::cmdRestore_Click);
    connect(ui->cmdCancel, &QPushButton::clicked, this, &frmRestore::cmdCancel_Click);
    connect(ui->cmdOpenFolder, &QPushButton::clicked, this, &frmRestore::cmdOpenFolder_Click);
    connect(ui->cmdClose, &QPushButton::clicked, this, &QWidget::close);
    chooseInputs = [this] {
        return QFileDialog::getOpenFileNames(this, QStringLiteral("เลือกไฟล์ที่ได้รับ"), QString(),
                                             QStringLiteral("ไฟล์ที่ได้รับ (*.zip *.enc);;ทุกไฟล์ (*)"));
    };
    chooseFolder = [this](const QString& start) {
        return QFileDialog::getExistingDirectory(this, QStringLiteral("เลือกโฟลเดอร์ที่จะกู้คืนไฟล์"), start);
    };
    // Once listed, the password is what is asked for.
    connect(this, &frmRestore::Listed, this, [this] {
        if (!m_rows.isEmpty())
            ui->txtPassword->setFocus(Qt::OtherFocusReason);
    });
    if (!inputs.isEmpty())
        Add(inputs);
}

frmRestore::~frmRestore()
{
    m_cancel = true;
    try {
        m_worker.Join();
    } catch (...) {  // the window goes: what the run threw does not matter now
    }
}

void frmRestore::Add(const QStringList& inputs)
{
    QStringList added;
    for (const QString& input : inputs) {
        const QString path = QDir::cleanPath(QFileInfo(input).absoluteFilePath());
        if (!m_inputs.contains(path) && !added.contains(path))
            added << path;
    }
    if (added.isEmpty() || m_busy)
        return;
    if (ui->txtFolder->text().isEmpty()) {  // beside the first archive, named after it
        const QFileInfo first(added.first());
        ui->txtFolder->setText(QDir::toNativeSeparators(first.absolutePath() + u'/' + first.completeBaseName()));
    }
    m_inputs += added;
    m_totalBytes = 0;
    ui->pbProgress->setRange(0, 0);  // how long reading takes is not known before
    ui->pbProgress->show();
    Start([added](Job& job) { return restore::Run({added, std::nullopt, QString()}, job); }, false);
}

void frmRestore::Start(std::function<int(Job&)> run, bool restoring)
{
    Lock(true);
    m_cancel = false;
    m_seen.clear();
    m_problems.clear();
    const auto work = [this, run, restoring] {
        Job job(this, restoring);
        int result = restore::BadInput;
        try {
            result = run(job);
        } catch (const ending::ProgramEnding&) {
            result = restore::CheckFailed;
        } catch (const std::exception& error) {
            job.Problem(restore::BadInput, restore::Concern::Other, QString::fromLocal8Bit(error.what()));
        }
        job.ShowProgress(true);
        QMetaObject::invokeMethod(
            this, [this, result, restoring] { Finished(result, restoring); }, Qt::QueuedConnection);
    };
    if (!m_worker.Start(work))
        work();  // no thread to be had: here, the window still while it lasts
}

void frmRestore::AddRow(const restore::Package& package)
{
    if (package.folder && package.folderData == 0)
        return;  // a folder, nothing to list
    Row row;
    row.package = package;
    row.item = new QTreeWidgetItem(ui->twPackages);
    row.item->setText(ColumnArchive, QFileInfo(package.source).fileName());
    row.item->setToolTip(ColumnArchive, QDir::toNativeSeparators(package.source));
    row.item->setText(ColumnPackage, text::Printable(package.name));
    if (!package.unreadable && !package.folder) {
        row.item->setText(ColumnUser, package.userID);
        row.item->setText(ColumnSize, QStringLiteral("%1 ไบต์").arg(QLocale().toString(package.bodyLength)));
        row.item->setTextAlignment(ColumnSize, Qt::AlignRight | Qt::AlignVCenter);
    }
    ShowCheck(row);
    const QString key = Key(package, m_seen[package.label]++);
    m_rowOf.insert(key, int(m_rows.size()));
    m_rows << row;
}

void frmRestore::UpdateRow(const restore::Package& package)
{
    const int index = m_rowOf.value(Key(package, m_seen[package.label]++), -1);
    if (index < 0)
        return;  // changed since it was listed: the problems say what
    Row& row = m_rows[index];
    row.package = package;
    row.reported = true;
    ShowCheck(row);
    ShowResult(row);
}

void frmRestore::Problem(restore::Concern concern, const QString& message)
{
    // What a row shows is the row's; the rest goes to the summary, in Thai
    // first, the English words after.
    const QString detail = QStringLiteral(" (%1)").arg(message);
    switch (concern) {
    case restore::Concern::Package: return;
    case restore::Concern::OutputFolder:
        m_problems << QStringLiteral("ใช้โฟลเดอร์ %1 กู้คืนไม่ได้ จึงไม่ได้กู้คืนไฟล์ใดเลย "
                                     "กรุณาเลือกโฟลเดอร์อื่นด้วยปุ่ม เลือก... แล้วกด กู้คืน อีกครั้ง")
                              .arg(ui->txtFolder->text()) + detail;
        return;
    case restore::Concern::ArchiveFrame:
        m_problems << QStringLiteral("ไฟล์ ZIP มีส่วนที่ผิดปกติ (อาจมีโปรแกรมแตกไฟล์อยู่ข้างหน้า หรือส่วนท้ายเสียหาย) "
                                     "แพ็กเกจจึงอ่านจากตำแหน่งที่พบ ดูผลการตรวจของแต่ละแพ็กเกจในรายการ") + detail;
        return;
    case restore::Concern::Durability:
        m_problems << QStringLiteral("บันทึกโฟลเดอร์ลงดิสก์ไม่สำเร็จ ไฟล์ที่กู้คืนอาจหายได้หากไฟดับ "
                                     "กรุณาตรวจดูไฟล์ในโฟลเดอร์ก่อนลบไฟล์ที่ได้รับ") + detail;
        return;
    case restore::Concern::Other: break;
    }
    m_problems << QStringLiteral("เกิดข้อผิดพลาด") + detail;
}

void frmRestore::Progress(int started, qint64 done)
{
    if (m_totalBytes > 0) {
        ui->pbProgress->setValue(int(std::min<qint64>(done * 1000 / m_totalBytes, 1000)));
        ui->pbProgress->setFormat(QStringLiteral("%p%  %1/%2").arg(std::min(started, m_toRestore)).arg(m_toRestore));
    } else {
        ui->pbProgress->setFormat(QStringLiteral("กำลังอ่าน %1").arg(started));
    }
}

void frmRestore::Finished(int result, bool restoring)
{
    try {
        m_worker.Join();
    } catch (...) {  // said already, as a problem
    }
    Lock(false);
    if (restoring) {
        int restored = 0;
        for (Row& row : m_rows) {
            if (!row.package.restoredAs.isEmpty())
                ++restored;
            else if (!row.reported && m_cancel)
                row.item->setText(ColumnResult, QStringLiteral("ยกเลิกแล้ว ไม่ได้กู้คืน"));
            else if (!row.reported)  // the run stopped before it; the summary says why
                row.item->setText(ColumnResult, QStringLiteral("ไม่ได้กู้คืน"));
        }
        QString summary = QStringLiteral("กู้คืนแล้ว %1 จาก %2 แพ็กเกจ ไปที่ %3")
                              .arg(restored)
                              .arg(m_rows.size())
                              .arg(ui->txtFolder->text());
        if (m_cancel)
            summary = QStringLiteral("ยกเลิกการกู้คืนแล้ว ") + summary;
        if (!m_problems.isEmpty())
            summary += QStringLiteral("\n") + m_problems.join(u'\n');
        ui->lblSummary->setText(summary);
        ui->cmdOpenFolder->setEnabled(restored > 0);
        if (m_closeWhenDone)
            close();
        emit Restored(result);
        return;
    }
    int sound = 0;
    for (const Row& row : m_rows)
        sound += !row.package.unreadable && !row.package.folder && !row.package.damaged && row.package.lengthMatches;
    QString summary = QStringLiteral("แพ็กเกจในรายการ %1 รายการ สมบูรณ์ %2 รายการ ใส่รหัสผ่านแล้วกด กู้คืน")
                          .arg(m_rows.size())
                          .arg(sound);
    if (!m_problems.isEmpty())
        summary += QStringLiteral("\n") + m_problems.join(u'\n');
    ui->lblSummary->setText(summary);
    ui->cmdOpenFolder->setEnabled(QFileInfo(QDir::fromNativeSeparators(ui->txtFolder->text())).isDir());
    if (m_closeWhenDone)
        close();
    emit Listed();
}

void frmRestore::cmdAdd_Click()
{
    Add(chooseInputs());
}

void frmRestore::cmdBrowseFolder_Click()
{
    const QString chosen = chooseFolder(ui->txtFolder->text());
    if (!chosen.isEmpty())
        ui->txtFolder->setText(QDir::toNativeSeparators(chosen));
}

void frmRestore::cmdRestore_Click()
{
    if (m_busy)
        return;
    const QString password = ui->txtPassword->text();
    if (m_rows.isEmpty())
        return Note(NothingListed);
    if (credentials::CheckPassword(password) != Reason::None)
        return Note(NoPasswordNote);
    // A password that opens none of the packages restores nothing: said here, for another try.
    m_toRestore = 0;
    m_totalBytes = 0;
    for (const Row& row : m_rows) {
        if (restore::PasswordMatches(row.package, password)) {
            ++m_toRestore;
            m_totalBytes += row.package.bodyLength;
        }
    }
    if (m_toRestore == 0)
        return Note(WrongPasswordNote);
    const QString folder = QDir::fromNativeSeparators(ui->txtFolder->text().trimmed());
    if (folder.isEmpty())
        return Note(NoFolder);
    Note(QString());
    for (Row& row : m_rows) {
        row.reported = false;
        row.item->setText(ColumnResult, QString());
    }
    ui->pbProgress->setRange(0, 1000);
    ui->pbProgress->setValue(0);
    ui->pbProgress->show();
    const QStringList inputs = m_inputs;
    Start([inputs, password, folder](Job& job) { return restore::Run({inputs, password, folder}, job); }, true);
}

void frmRestore::cmdCancel_Click()
{
    m_cancel = true;
}

void frmRestore::cmdOpenFolder_Click()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(QDir::fromNativeSeparators(ui->txtFolder->text())));
}

void frmRestore::reject()
{
    close();
}

void frmRestore::closeEvent(QCloseEvent* event)
{
    if (m_busy) {
        // Asked first, as the packer's window asks; the run stops, then the window goes.
        if (gui::MsgBox(this, BusyQuestion, msgbox::vbQuestionYesNo, msgbox::AppTitle) == msgbox::vbYes) {
            m_closeWhenDone = true;
            m_cancel = true;
        }
        event->ignore();
        return;
    }
    event->accept();
}

void frmRestore::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void frmRestore::dropEvent(QDropEvent* event)
{
    QStringList files;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            files << url.toLocalFile();
    }
    Add(files);
    event->acceptProposedAction();
}

void frmRestore::ShowCheck(Row& row)
{
    const restore::Package& package = row.package;
    row.item->setText(ColumnCheck, CheckText(package));
    row.item->setToolTip(ColumnCheck, package.problem);
}

void frmRestore::ShowResult(Row& row)
{
    const restore::Package& package = row.package;
    row.item->setText(ColumnResult, !package.restoredAs.isEmpty()
                                        ? QStringLiteral("กู้คืนเป็น %1").arg(QFileInfo(package.restoredAs).fileName())
                                        : WhyNot(package));
    row.item->setToolTip(ColumnResult, package.restoredAs.isEmpty() ? package.problem : package.restoredAs);
}

void frmRestore::Lock(bool busy)
{
    m_busy = busy;
    for (QWidget* control :
         std::initializer_list<QWidget*>{ui->cmdAdd, ui->cmdRestore, ui->txtPassword, ui->txtFolder, ui->cmdBrowseFolder})
        control->setEnabled(!busy);
    if (busy)
        ui->cmdOpenFolder->setEnabled(false);
    ui->cmdCancel->setEnabled(busy);
    if (!busy)
        ui->pbProgress->hide();
}

void frmRestore::Note(const QString& note)
{
    ui->lblPasswordNote->setText(note);
    if (!note.isEmpty()) {
        ui->txtPassword->setFocus(Qt::OtherFocusReason);
        ui->txtPassword->selectAll();  // the next typing replaces the whole text
    }
}
