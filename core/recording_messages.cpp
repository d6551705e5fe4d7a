#include "core/recording_messages.h"

namespace varek {

void RecordingMessages::plain(const QString& text) {
    shown.append({Shown::Plain, QString(), text});
    if (onShown) onShown(shown.back());
}

void RecordingMessages::errorReport(const QString& text) {
    shown.append({Shown::Error, QString(), text});
    if (onShown) onShown(shown.back());
}

bool RecordingMessages::confirm(const QString& caption, const QString& text) {
    shown.append({Shown::Confirm, caption, text});
    return confirmAnswers.isEmpty() ? true : confirmAnswers.takeFirst();
}

bool RecordingMessages::question(const QString& text) {
    shown.append({Shown::Question, QString(), text});
    return questionAnswers.isEmpty() ? true : questionAnswers.takeFirst();
}

QString RecordingMessages::openFileName(const QString& initialDir, const QString& defaultSuffix) {
    shown.append({Shown::OpenFile, QString(), QString()});
    lastInitialDir = initialDir;
    lastDefaultSuffix = defaultSuffix;
    return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
}

QString RecordingMessages::saveFileName(const QString& initialDir) {
    shown.append({Shown::SaveFile, QString(), QString()});
    lastInitialDir = initialDir;
    return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
}

QStringList RecordingMessages::texts(Shown::Kind kind) const {
    QStringList out;
    for (const auto& s : shown)
        if (s.kind == kind) out << s.text;
    return out;
}

} // namespace varek
