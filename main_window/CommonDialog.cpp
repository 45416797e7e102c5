#include "CommonDialog.h"

#include "base/MessageBox.h"
#include "base/RuntimeError.h"
#include "base/text.h"
#include "widgets/MsgBox.h"

#include <QFileDialog>
#include <QFileInfo>

#include <algorithm>

QStringList QtNameFilters(const QString& filter)
{
    const QStringList pieces = filter.split(u'|', Qt::SkipEmptyParts);
    QStringList filters;
    for (qsizetype i = 0; i + 1 < pieces.size(); i += 2) {
        QString description = pieces[i];
        QString patterns = pieces[i + 1];
        patterns.replace(u';', u' ').replace(QStringLiteral("*.*"), QStringLiteral("*"));
        // Qt reads the patterns from the parentheses, so they must be the real ones.
        if (const qsizetype open = description.lastIndexOf(QStringLiteral(" (")); open >= 0 && description.endsWith(u')'))
            description.truncate(open);
        filters << QStringLiteral("%1 (%2)").arg(description, patterns);
    }
    return filters;
}

QString ExplorerResult(const QStringList& files)
{
    if (files.size() == 1)
        return files.first();
    const QString folder = text::FileNameOfPath(files.value(0), text::PathFolder);
    QString result = folder.size() > 1 ? folder.chopped(1) : folder;  // keep "/" for the root
    for (const QString& file : files) {
        if (text::FileNameOfPath(file, text::PathFolder) != folder)
            throw RuntimeError(err::InvalidCall, QStringLiteral("The files are not all in one folder"), file);
        result += QChar(0) + text::FileNameOfPath(file, text::PathName);
    }
    return result;
}

namespace {
const QString FileMissingMessage = QStringLiteral("ไม่พบไฟล์ %1\nกรุณาตรวจสอบชื่อไฟล์แล้วลองใหม่อีกครั้ง");
const QString FolderMissingMessage = QStringLiteral("ไม่พบโฟลเดอร์ %1\nกรุณาตรวจสอบชื่อโฟลเดอร์แล้วลองใหม่อีกครั้ง");
const QString ReadOnlyMessage =
    QStringLiteral("%1\nไฟล์นี้ถูกป้องกันการเขียน กรุณาตั้งชื่อไฟล์อื่นแล้วลองใหม่อีกครั้ง");

void Prepare(QFileDialog& dialog, const CommonDialog& settings)
{
    const QStringList filters = QtNameFilters(settings.Filter);
    dialog.setNameFilters(filters);
    if (settings.FilterIndex >= 1 && settings.FilterIndex <= filters.size())
        dialog.selectNameFilter(filters[settings.FilterIndex - 1]);
    if (!settings.FileName.isEmpty())
        dialog.selectFile(settings.FileName);
}

// Shows the dialog; false when it is cancelled (run-time error 32755 instead
// with CancelError).
bool Accepted(QFileDialog& dialog, bool cancelError)
{
    if (dialog.exec() == QDialog::Accepted)
        return true;
    if (cancelError)
        throw RuntimeError(CommonDialog::CancelSelected, QStringLiteral("Cancel was selected."), QString());
    return false;
}
}  // namespace

void QtCommonDialog::ShowOpen()
{
    QFileDialog dialog(m_owner, DialogTitle);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode((Flags & OFN_ALLOWMULTISELECT) ? QFileDialog::ExistingFiles
                       : (Flags & OFN_FILEMUSTEXIST)  ? QFileDialog::ExistingFile
                                                      : QFileDialog::AnyFile);
    Prepare(dialog, *this);
    for (;;) {
        if (!Accepted(dialog, CancelError))
            return;
        const QStringList chosen = dialog.selectedFiles();
        // Every chosen name must be a file that is there: a typed name is
        // never taken, or dropped, without a word.
        if (Flags & OFN_FILEMUSTEXIST) {
            const auto missing = std::find_if(chosen.cbegin(), chosen.cend(),
                                              [](const QString& file) { return !QFileInfo(file).isFile(); });
            if (chosen.isEmpty() || missing != chosen.cend()) {
                gui::MsgBox(&dialog, FileMissingMessage.arg(chosen.isEmpty() ? QString() : *missing),
                            msgbox::vbExclamation, DialogTitle);
                continue;
            }
        }
        const QString result = ExplorerResult(chosen);
        if (result.size() > MaxFileSize)
            throw RuntimeError(BufferTooSmall, QStringLiteral("The selection is too long"), QString());
        FileName = result;
        return;
    }
}

void QtCommonDialog::ShowSave()
{
    QFileDialog dialog(m_owner, DialogTitle);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (!(Flags & OFN_OVERWRITEPROMPT))
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
    Prepare(dialog, *this);
    for (;;) {
        if (!Accepted(dialog, CancelError))
            return;
        const QString chosen = dialog.selectedFiles().value(0);
        const QFileInfo info(chosen);
        if ((Flags & OFN_PATHMUSTEXIST) && !QFileInfo(info.path()).isDir()) {
            gui::MsgBox(&dialog, FolderMissingMessage.arg(info.path()), msgbox::vbExclamation, DialogTitle);
            continue;
        }
        if ((Flags & OFN_NOREADONLYRETURN) && info.exists() && !info.isWritable()) {
            gui::MsgBox(&dialog, ReadOnlyMessage.arg(chosen), msgbox::vbExclamation, DialogTitle);
            continue;
        }
        FileName = chosen;
        return;
    }
}
