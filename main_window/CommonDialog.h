#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// The common file dialog as the window's operations drive it: they set the
// settings below, show the dialog, and read FileName back. Tests put a
// scripted dialog in place of the real one.
class CommonDialog {
public:
    // Flags of the open and save-as dialogs.
    static constexpr int OFN_OVERWRITEPROMPT = 0x2;
    static constexpr int OFN_HIDEREADONLY = 0x4;
    static constexpr int OFN_ALLOWMULTISELECT = 0x200;
    static constexpr int OFN_PATHMUSTEXIST = 0x800;
    static constexpr int OFN_FILEMUSTEXIST = 0x1000;
    static constexpr int OFN_NOREADONLYRETURN = 0x8000;
    static constexpr int OFN_EXPLORER = 0x80000;
    // Run-time errors of the dialog.
    static constexpr int CancelSelected = 32755;  // "Cancel was selected."
    static constexpr int BufferTooSmall = 20476;  // the result does not fit MaxFileSize

    virtual ~CommonDialog() = default;

    QString Filter;  // "Description|pattern|Description|pattern|"
    int FilterIndex = 0;  // from 1
    int Flags = 0;
    QString DialogTitle;
    int MaxFileSize = 260;
    QString FileName;  // in: the name shown first; out: the choice
    bool CancelError = false;  // cancel throws run-time error 32755

    // Open: one full path, or for several files the folder followed by the
    // names, separated by NUL characters. Save-as: one full path.
    virtual void ShowOpen() = 0;
    virtual void ShowSave() = 0;
};

// The dialogs of the platform, through QFileDialog.
class QtCommonDialog : public CommonDialog {
public:
    explicit QtCommonDialog(QWidget* owner) : m_owner(owner) {}
    void ShowOpen() override;
    void ShowSave() override;

private:
    QWidget* m_owner;
};

// "Excel Files (*.xls)|*.xls|All Files (*.*)|*.*|" as Qt name filters:
// "Excel Files (*.xls)", "All Files (*)". "*.*" means every file, as it does
// on Windows.
QStringList QtNameFilters(const QString& filter);

// Chosen files in the shape the open dialog delivers: the full path of one
// file, or the folder (with a trailing "/" only for the root) and the names,
// NUL-separated. Files from more than one folder are run-time error 5.
QString ExplorerResult(const QStringList& files);
