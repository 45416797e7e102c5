#include "frmMain.h"

#include "credentials/var.h"

#include "CommonDialog.h"
#include "ui_frmMain.h"
#include "base/Ending.h"
#include "base/MessageBox.h"
#include "base/RuntimeError.h"
#include "base/text.h"
#include "credentials/frmLogin.h"
#include "packing/file.h"
#include "packing/UnzipCommand.h"
#include "platform/platform.h"
#include "widgets/MsgBox.h"

#include <QCloseEvent>
#include <QIcon>
#include <QScopeGuard>

#include <algorithm>
#include <cerrno>

// The pictures live in the library; make sure they are registered.
static void InitPictures()
{
    Q_INIT_RESOURCE(quillfold);
}

namespace {
const QString SourceFilter = QStringLiteral("Excel Files (*.xls)|*.xls|All Files (*.*)|*.*|");
const QString ArchiveFilter = QStringLiteral("ZIP Files (*.zip)|*.zip|");
const QString SourceTitle = QStringLiteral("กรุณาเลือกแบบฟอร์ม");
const QString SaveTitle = QStringLiteral("Select the source file ");
constexpr int LargestMultipleResult = 32767;
const QString UnreachableMessage =
    QStringLiteral("ชื่อไฟล์ต่อไปนี้มีตัวอักษรที่ระบบอ่านไม่ได้ (อาจตั้งชื่อด้วยรหัสภาษาไทยแบบเก่า) จึงแพ็กไม่ได้ "
                   "กรุณาเปลี่ยนชื่อไฟล์แล้วเลือกใหม่อีกครั้ง!");
// Files that no file dialog shows, found in the chosen folder.
const QString UnreadableMessage =
    QStringLiteral("ไฟล์ต่อไปนี้ในโฟลเดอร์ที่เลือกไม่แสดงในหน้าต่างเลือกไฟล์และแพ็กไม่ได้ "
                   "เพราะชื่อไฟล์ตั้งด้วยรหัสภาษาไทยแบบเก่า (Windows-874) ที่ระบบอ่านไม่ได้:");
const QString RenameQuestion =
    QStringLiteral("ต้องการเปลี่ยนชื่อไฟล์เหล่านี้เป็นชื่อที่อ่านได้ตามที่แสดงข้างบนหรือไม่? "
                   "(จะไม่เขียนทับไฟล์ที่มีชื่อนั้นอยู่แล้ว)");
const QString NoReadableName = QStringLiteral("กรุณาเปลี่ยนชื่อไฟล์เหล่านี้ แล้วเลือกไฟล์ใหม่อีกครั้ง");
const QString RenamedTitle = QStringLiteral("ผลการเปลี่ยนชื่อไฟล์:");
const QString Renamed = QStringLiteral("เปลี่ยนชื่อแล้ว: %1");
const QString NotRenamedTaken = QStringLiteral("ไม่ได้เปลี่ยนชื่อ: %1 (มีไฟล์ชื่อนี้อยู่แล้ว)");
const QString NotRenamed = QStringLiteral("ไม่ได้เปลี่ยนชื่อ: %1 (%2)");
const QString CloseDuringRunQuestion =
    QStringLiteral("กำลังแพ็กไฟล์อยู่ ต้องการหยุดและปิดโปรแกรมหรือไม่? "
                   "ไฟล์ปลายทางเดิมจะยังคงอยู่เหมือนเดิม ไม่มีการเปลี่ยนแปลง");
const QString ChooseRenamed = QStringLiteral("หากต้องการแพ็กไฟล์ที่เปลี่ยนชื่อแล้ว กรุณาเลือกไฟล์ใหม่อีกครั้ง");
}  // namespace

frmMain::frmMain(QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::frmMain>()),
      m_commonDialog(std::make_unique<QtCommonDialog>(this))
{
    InitPictures();
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/icon/quillfold.ico")));
    // The client area is 420 x 329 below the menu; controls keep their places on resize.
    resize(420, 329 + ui->menubar->heightForWidth(420));  // the height the bar takes at this width, whatever the style
    QFont versionFont = ui->lblVersion->font();
    versionFont.setStyleHint(QFont::Serif);
    ui->lblVersion->setFont(versionFont);

    QAction* mnuSeperator = ui->mnuFile->insertSeparator(ui->mnuFileExit);
    mnuSeperator->setObjectName(QStringLiteral("mnuSeperator"));
    mnuSeperator->setVisible(false);

    for (QWidget* lamp : {ui->imgOff, ui->imgHold, ui->imgOn})
        lamp->hide();
    ui->prgRun->hide();  // only while a run lasts

    connect(ui->cmdBrowseSrc, &QPushButton::clicked, this, &frmMain::cmdBrowseSrc_Click);
    connect(ui->cmdBrowseDest, &QPushButton::clicked, this, &frmMain::cmdBrowseDest_Click);
    connect(ui->cmdRun, &QPushButton::clicked, this, &frmMain::cmdRun_Click);
    connect(ui->cmdExit, &QPushButton::clicked, this, &frmMain::cmdExit_Click);
    connect(ui->mnuFileExit, &QAction::triggered, this, &frmMain::mnuFileExit_Click);
    connect(ui->mnuFileUnzip, &QAction::triggered, this, &frmMain::mnuFileUnzip_Click);

    Form_Load();
    ui->cmdBrowseSrc->setFocus();
}

frmMain::~frmMain() = default;

void frmMain::Form_Load()
{
    ui->imgOff->show();
}

void frmMain::SetCommonDialog(std::unique_ptr<CommonDialog> dialog)
{
    m_commonDialog = std::move(dialog);
}

bool frmMain::SelectMultipleFiles(CommonDialog& CD, const QString& Filter, QStringList& Filenames)
{
    try {
        CD.Filter = Filter;
        CD.FilterIndex = 1;
        CD.Flags = CommonDialog::OFN_EXPLORER | CommonDialog::OFN_FILEMUSTEXIST | CommonDialog::OFN_ALLOWMULTISELECT;
        CD.DialogTitle = SourceTitle;
        CD.MaxFileSize = LargestMultipleResult;
        CD.FileName = QString();
        CD.CancelError = true;
        CD.ShowOpen();
        Filenames = CD.FileName.split(QChar(0));
        return true;
    } catch (const RuntimeError&) {
        return false;
    }
}

bool frmMain::SelectSingleFile(CommonDialog& CD, const QString& Filter, QString& Filename)
{
    try {
        CD.Filter = Filter;
        CD.FilterIndex = 1;
        CD.Flags = CommonDialog::OFN_NOREADONLYRETURN | CommonDialog::OFN_PATHMUSTEXIST |
                   CommonDialog::OFN_HIDEREADONLY | CommonDialog::OFN_OVERWRITEPROMPT;
        CD.DialogTitle = SaveTitle;
        CD.FileName = Filename;
        CD.CancelError = true;
        CD.ShowSave();
        Filename = CD.FileName;
        return true;
    } catch (const RuntimeError&) {
        return false;
    }
}

void frmMain::cmdBrowseSrc_Click()
{
    ui->List1->clear();
    QStringList files;
    if (!SelectMultipleFiles(CommonDialog1(), SourceFilter, files))
        return;
    QString folder;
    QStringList names;
    if (files.size() > 1) {
        folder = files.first();
        names = files.mid(1);
    } else {
        // One file: its folder without the last "/", except for the root itself.
        folder = text::FileNameOfPath(files.first(), text::PathFolder);
        if (folder.size() > 1 && folder.endsWith(u'/'))
            folder.chop(1);
        names << text::FileNameOfPath(files.first(), text::PathName);
    }
    // A name the platform cannot give back as it is could never be packed: say so now.
    if (const QStringList unreachable = file::UnreachableNames(folder, names); !unreachable.isEmpty()) {
        MsgBox(UnreachableMessage + QStringLiteral("\n\n") + unreachable.join(u'\n'), msgbox::vbExclamation,
               msgbox::ErrorTitle);
        return;
    }
    ui->Text1->setText(folder);
    ui->List1->addItems(names);
    OfferToRenameUnreadable(folder);
}

void frmMain::OfferToRenameUnreadable(const QString& folder)
{
    const QList<file::UnreadableFile> found = file::UnreadableFiles(folder);
    if (found.isEmpty())
        return;
    QStringList shown;
    bool renamable = false;
    for (const file::UnreadableFile& unreadable : found) {
        shown << unreadable.shown;
        renamable = renamable || !unreadable.readable.isEmpty();
    }
    const QString list = UnreadableMessage + QStringLiteral("\n\n") + shown.join(u'\n') + QStringLiteral("\n\n");
    if (!renamable) {
        MsgBox(list + NoReadableName, msgbox::vbExclamation, msgbox::ErrorTitle);
        return;
    }
    if (MsgBox(list + RenameQuestion, msgbox::vbQuestionYesNo, msgbox::AppTitle) != msgbox::vbYes)
        return;
    QStringList results;
    for (const file::UnreadableFile& unreadable : found) {
        if (unreadable.readable.isEmpty()) {
            results << NotRenamed.arg(unreadable.shown, NoReadableName);
        } else if (const int failed = file::RenameToReadable(folder, unreadable); failed == 0) {
            results << Renamed.arg(unreadable.readable);
        } else {
            results << (failed == EEXIST ? NotRenamedTaken.arg(unreadable.readable)
                                         : NotRenamed.arg(unreadable.readable, platform::ErrorText(failed)));
        }
    }
    MsgBox(RenamedTitle + QStringLiteral("\n\n") + results.join(u'\n') + QStringLiteral("\n\n") + ChooseRenamed,
           msgbox::vbInformation, msgbox::AppTitle);
}

void frmMain::cmdBrowseDest_Click()
{
    QString name;
    SelectSingleFile(CommonDialog1(), ArchiveFilter, name);
    ui->Text2->setText(name);
}

void frmMain::cmdRun_Click()
{
    m_running = true;
    const auto ran = qScopeGuard([this] {
        m_running = false;
        // The buttons were disabled during the run, which left the focus in the
        // folder box: back to the button that comes next.
        (ui->List1->count() ? ui->cmdRun : ui->cmdBrowseSrc)->setFocus();
    });
    packing::PackRun(*this);
}

void frmMain::cmdExit_Click()
{
    EndProgram();
}

void frmMain::mnuFileExit_Click()
{
    EndProgram();
}

void frmMain::closeEvent(QCloseEvent* event)
{
    // A close box pressed by mistake must not throw a run away: asked first.
    // (File > Exit and the system's request to end stop it at once.)
    if (m_running && !ending::Requested() &&
        MsgBox(CloseDuringRunQuestion, msgbox::vbQuestionYesNo, msgbox::AppTitle) != msgbox::vbYes) {
        event->ignore();
        return;
    }
    event->accept();
    EndProgram();
}

void frmMain::mnuFileUnzip_Click()
{
    QString chosen;
    SelectSingleFile(CommonDialog1(), ArchiveFilter, chosen);
    try {
        packing::UnzipArchive(chosen);
    } catch (const ending::ProgramEnding&) {
        // the program is ending: the extractor has been stopped
    } catch (const RuntimeError& error) {
        MsgBox(error.report(), msgbox::vbExclamation, msgbox::AppTitle);
    }
}

int frmMain::ListCount() const
{
    return ui->List1->count();
}

QString frmMain::ListItem(int index) const
{
    return ui->List1->item(index)->text();
}

void frmMain::ClearList()
{
    ui->List1->clear();
}

QString frmMain::Text1() const
{
    return ui->Text1->text();
}

void frmMain::SetText1(const QString& text)
{
    ui->Text1->setText(text);
}

QString frmMain::Text2() const
{
    return ui->Text2->text();
}

void frmMain::SetText2(const QString& text)
{
    ui->Text2->setText(text);
}

QString frmMain::Label3() const
{
    return ui->Label3->text();
}

void frmMain::SetLabel3(const QString& caption)
{
    ui->Label3->setText(caption);
}

QWidget* frmMain::Widget(packing::Control control) const
{
    using packing::Control;
    switch (control) {
    case Control::imgOn: return ui->imgOn;
    case Control::imgHold: return ui->imgHold;
    case Control::imgOff: return ui->imgOff;
    case Control::cmdBrowseSrc: return ui->cmdBrowseSrc;
    case Control::cmdBrowseDest: return ui->cmdBrowseDest;
    case Control::cmdRun: return ui->cmdRun;
    case Control::cmdExit: return ui->cmdExit;
    }
    return nullptr;
}

void frmMain::SetVisible(packing::Control control, bool visible)
{
    Widget(control)->setVisible(visible);
}

void frmMain::SetEnabled(packing::Control control, bool enabled)
{
    Widget(control)->setEnabled(enabled);
}

void frmMain::SetProgress(qint64 done, qint64 total, int k, int n)
{
    ui->prgRun->setValue(total > 0 ? int(std::min<qint64>(done * 1000 / total, 1000)) : 0);
    ui->prgRun->setFormat(QStringLiteral("%1/%2").arg(k).arg(n));
    ui->prgRun->show();
}

void frmMain::HideProgress()
{
    ui->prgRun->hide();
    ui->prgRun->setValue(0);
}

std::optional<credentials::Stored> frmMain::ShowLogin()
{
    if (!m_login)
        m_login = new frmLogin(this);
    // Closed with its close box, the dialog leaves the flag as it was: an
    // earlier run's acceptance must not count for this one.
    var::LoginAccepted = false;
    m_login->exec();
    if (!var::LoginAccepted)
        return std::nullopt;
    return credentials::Stored{var::LoginUserID, var::LoginPassword};
}

int frmMain::MsgBox(const QString& prompt, int buttons, const QString& title)
{
    return gui::MsgBox(this, prompt, buttons, title);
}
