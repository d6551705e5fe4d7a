#pragma once

#include <QString>
#include <functional>

namespace varek {

// Everything that reaches the operator as a box goes through this interface.
// The real one (shell/widget_messages) shows Qt dialogs; RecordingMessages
// (shell/recording_messages) records what was shown and gives scripted answers.
class Messages {
public:
    virtual ~Messages() = default;

    // The program's own message: a modal box, OK button, no icon, the
    // application title as caption.
    virtual void plain(const QString& text) = 0;

    // The default error report: a modal box with an error icon and OK; the
    // text is given already finished (see errorReportText).
    virtual void errorReport(const QString& text) = 0;

    // A confirmation box with OK and Cancel under the given caption; true on OK.
    virtual bool confirm(const QString& caption, const QString& text) = 0;

    // A question with Yes and No, the application title as caption; true on Yes.
    virtual bool question(const QString& text) = 0;

    // File dialogs; an empty result means the user cancelled.
    virtual QString openFileName(const QString& initialDir, const QString& defaultSuffix) = 0;
    virtual QString saveFileName(const QString& initialDir) = 0;
};

// The text of the default error report for an error message: a full stop is
// appended unless the message is empty or its last character is "." or a
// character whose code is lower than that of ".".
QString errorReportText(const QString& message);

// The guard around every entry point from the user (button handlers, grid key
// presses, data events, serial events): runs body, and turns any error that
// leaves it into the default error report, so that no error crosses the event
// loop. EAbort is swallowed silently. Returns true when body ended normally.
bool guarded(Messages& messages, const std::function<void()>& body);

} // namespace varek
