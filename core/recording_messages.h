#pragma once

#include "core/messages.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

namespace varek {

// Messages for tests: records every box and answers from a script.
// Answers not scripted default to OK / Yes / cancel for file dialogs.
class RecordingMessages : public Messages {
public:
    struct Shown {
        enum Kind { Plain, Error, Confirm, Question, OpenFile, SaveFile } kind;
        QString caption;
        QString text;
    };

    void plain(const QString& text) override;
    void errorReport(const QString& text) override;
    bool confirm(const QString& caption, const QString& text) override;
    bool question(const QString& text) override;
    QString openFileName(const QString& initialDir, const QString& defaultSuffix) override;
    QString saveFileName(const QString& initialDir) override;

    // Scripted answers, taken in order; each list falls back to its default when empty.
    QList<bool> confirmAnswers;
    QList<bool> questionAnswers;
    QStringList fileAnswers;
    // Runs when a plain message or error report is shown (for example to
    // check state while the box would be open).
    std::function<void(const Shown&)> onShown;

    QList<Shown> shown;
    QString lastInitialDir;
    QString lastDefaultSuffix;

    QStringList texts(Shown::Kind kind) const;
    void clear() { shown.clear(); }
};

} // namespace varek
