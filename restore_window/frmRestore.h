#pragma once

#include "base/Parallel.h"
#include "restore/Restore.h"

#include <QDialog>
#include <QHash>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class QTreeWidgetItem;
namespace Ui {
class frmRestore;
}

// The recipient's window: archives and package files opened (given on the
// command line, chosen, or dropped) are listed package by package before any
// password, with the user ID that packed each, its size and its check; the
// password typed once and Enter restore the workbooks into the folder shown
// (by default beside the first archive, named after it). Listing and
// restoring run on a worker thread through the same restore as
// quillfold-unpack, so the window repaints and moves all the while; Cancel
// stops a restore, and what was not yet reported as restored is removed.
class frmRestore : public QDialog {
    Q_OBJECT
public:
    explicit frmRestore(const QStringList& inputs = {}, QWidget* parent = nullptr);
    ~frmRestore() override;

    // How Browse... asks for files and for a folder (tests answer without
    // the system's dialogs).
    std::function<QStringList()> chooseInputs;
    std::function<QString(const QString& start)> chooseFolder;

    // True while a listing or a restore is at work.
    bool Busy() const { return m_busy; }

signals:
    // A listing is over: its packages are in the list.
    void Listed();
    // A restore is over, with the worst that happened (restore::AllGood ...).
    void Restored(int result);

public slots:
    // Esc: ends the program as the close box does.
    void reject() override;
    // Adds archives and package files to the list, read on the worker.
    void Add(const QStringList& inputs);

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private slots:
    void cmdAdd_Click();
    void cmdBrowseFolder_Click();
    void cmdRestore_Click();
    void cmdCancel_Click();
    void cmdOpenFolder_Click();

private:
    class Job;
    struct Row {
        restore::Package package;  // as listed, then as restored
        QTreeWidgetItem* item = nullptr;
        bool reported = false;     // in the restore under way
    };

    // Starts `run` on the worker (here, where no thread is to be had).
    void Start(std::function<int(Job&)> run, bool restoring);
    // What the job tells, on the window's thread.
    void AddRow(const restore::Package& package);
    void UpdateRow(const restore::Package& package);
    void Problem(restore::Concern concern, const QString& message);
    void Progress(int started, qint64 done);
    void Finished(int result, bool restoring);

    void ShowCheck(Row& row);
    void ShowResult(Row& row);
    void Lock(bool busy);
    void Note(const QString& note);

    std::unique_ptr<Ui::frmRestore> ui;
    QStringList m_inputs;   // listed so far, in order
    QList<Row> m_rows;
    QHash<QString, int> m_rowOf;  // a package's key: its label and how many before it had the label
    QHash<QString, int> m_seen;   // labels reported in the run under way
    QStringList m_problems;       // of the run under way, that no row shows
    bool m_busy = false;
    bool m_closeWhenDone = false;
    std::atomic<bool> m_cancel{false};
    qint64 m_totalBytes = 0;      // of the workbooks a restore takes on
    int m_toRestore = 0;
    Parallel m_worker;
};
