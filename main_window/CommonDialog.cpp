#include "CommonDialog.h"

#include "packing/RuntimeError.h"
#include "packing/text.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

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
void Prepare(QFileDialog& dialog, const CommonDialog& settings)
{
    const QStringList filters = QtNameFilters(settings.Filter);
    dialog.setNameFilters(filters);
    if (settings.FilterIndex >= 1 && settings.FilterIndex <= filters.size())
        dialog.selectNameFilter(filters[settings.FilterIndex - 1]);
    if (!settings.FileName.isEmpty())
        dialog.selectFile(settings.FileName);
}

[[noreturn]] void ThrowCancel()
{
    throw RuntimeError(CommonDialog::CancelSelected, QStringLiteral("Cancel was selected."), QString());
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
    if (dialog.exec() != QDialog::Accepted) {
        if (CancelError)
            ThrowCancel();
        return;
    }
    const QString result = ExplorerResult(dialog.selectedFiles());
    if (result.size() > MaxFileSize)
        throw RuntimeError(BufferTooSmall, QStringLiteral("The selection is too long"), QString());
    FileName = result;
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
        if (dialog.exec() != QDialog::Accepted) {
            if (CancelError)
                ThrowCancel();
            return;
        }
        const QString chosen = dialog.selectedFiles().value(0);
        const QFileInfo info(chosen);
        if ((Flags & OFN_NOREADONLYRETURN) && info.exists() && !info.isWritable()) {
            QMessageBox::warning(&dialog, DialogTitle,
                                 QStringLiteral("%1\nThis file is set to read-only.\nTry again with a different file name.")
                                     .arg(chosen));
            continue;
        }
        FileName = chosen;
        return;
    }
}
