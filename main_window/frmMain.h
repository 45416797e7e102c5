#pragma once

#include "packing/PackRun.h"

#include <QMainWindow>

#include <memory>

class CommonDialog;
class frmLogin;
namespace Ui {
class frmMain;
}

// The program's window. It holds the selection a pack run works on: the source
// folder (Text1), the chosen file names (List1) and the destination archive
// (Text2), plus the status line (Label3) beside the status lamp.
class frmMain : public QMainWindow, public packing::PackRunWindow {
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    // The file dialog the Browse buttons and Unzip use; tests put a scripted one here.
    CommonDialog& CommonDialog1() { return *m_commonDialog; }
    void SetCommonDialog(std::unique_ptr<CommonDialog> dialog);

    // Open dialog for several files: Filenames receives one full path, or the
    // folder followed by the names. Save-as dialog for one file: Filename is the
    // name shown first and receives the choice. Both return false on cancel or
    // any failure of the dialog and then leave their argument as it was.
    bool SelectMultipleFiles(CommonDialog& CD, const QString& Filter, QStringList& Filenames);
    bool SelectSingleFile(CommonDialog& CD, const QString& Filter, QString& Filename);

    // What the pack run needs of the window.
    int ListCount() const override;
    QString ListItem(int index) const override;
    void ClearList() override;
    QString Text1() const override;
    void SetText1(const QString& text) override;
    QString Text2() const override;
    void SetText2(const QString& text) override;
    QString Label3() const override;
    void SetLabel3(const QString& caption) override;
    void SetVisible(packing::Control control, bool visible) override;
    void SetEnabled(packing::Control control, bool enabled) override;
    void SetProgress(qint64 done, qint64 total, int k, int n) override;
    void HideProgress() override;
    std::optional<credentials::Stored> ShowLogin() override;
    int MsgBox(const QString& prompt, int buttons, const QString& title) override;

public slots:
    void cmdBrowseSrc_Click();
    void cmdBrowseDest_Click();
    void cmdRun_Click();
    void cmdExit_Click();
    void mnuFileExit_Click();
    void mnuFileUnzip_Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Form_Load();
    // Files in the chosen folder that no dialog shows (their names are in the
    // old Thai code page): names them, and offers to rename them.
    void OfferToRenameUnreadable(const QString& folder);
    QWidget* Widget(packing::Control control) const;

    std::unique_ptr<Ui::frmMain> ui;
    std::unique_ptr<CommonDialog> m_commonDialog;
    frmLogin* m_login = nullptr;  // made on the first run, then kept
    bool m_running = false;  // a pack run is at work
};
