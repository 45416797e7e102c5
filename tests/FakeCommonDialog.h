#pragma once

#include "base/RuntimeError.h"
#include "main_window/CommonDialog.h"

#include <QList>

// A common dialog that answers from a script: each Show takes the next answer,
// an empty QString standing for Cancel. It keeps the settings it was shown with.
class FakeCommonDialog : public CommonDialog {
public:
    struct Shown {
        bool save;
        QString filter;
        int filterIndex;
        int flags;
        QString title;
        int maxFileSize;
        QString fileName;
        bool cancelError;
    };

    QList<QString> answers;
    QList<Shown> shown;

    void ShowOpen() override { Answer(false); }
    void ShowSave() override { Answer(true); }

private:
    void Answer(bool save)
    {
        shown << Shown{save, Filter, FilterIndex, Flags, DialogTitle, MaxFileSize, FileName, CancelError};
        const QString answer = answers.isEmpty() ? QString() : answers.takeFirst();
        if (answer.isNull()) {
            if (CancelError)
                throw RuntimeError(CancelSelected, QStringLiteral("Cancel was selected."), QString());
            return;
        }
        FileName = answer;
    }
};
