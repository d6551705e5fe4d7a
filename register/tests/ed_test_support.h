#pragma once

// Drives the modal editor dialogs in tests: a single-shot timer armed before
// the call that opens a dialog finds it as the active modal widget, and acts
// on it once it is shown.

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <functional>

namespace varek::test {

// Runs act on the next modal dialog to appear (polling up to 5 s). When no
// dialog appears, *missed is set (when given) and nothing is done.
inline void whenModal(std::function<void(QDialog*)> act, bool* missed = nullptr) {
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [act = std::move(act), missed, started, poll]() {
        if (auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget()); dlg && dlg->isVisible()) {
            act(dlg);
            // A check that failed inside act must not leave the dialog
            // blocking the test: close what is still open.
            if (dlg->isVisible()) dlg->reject();
            *poll = nullptr; // break the cycle
            return;
        }
        if (started->elapsed() > 5000) {
            if (missed) *missed = true;
            *poll = nullptr;
            return;
        }
        QTimer::singleShot(10, [poll] {
            if (*poll) (*poll)();
        });
    };
    QTimer::singleShot(0, [poll] {
        if (*poll) (*poll)();
    });
}

template <class W> W* child(QDialog* dlg, const char* name) {
    return dlg->findChild<W*>(QString::fromLatin1(name));
}

inline void setEdit(QDialog* dlg, const char* name, const QString& text) {
    if (auto* edit = child<QLineEdit>(dlg, name)) edit->setText(text);
}

inline void click(QDialog* dlg, const char* name) {
    if (auto* button = child<QPushButton>(dlg, name)) button->click();
}

} // namespace varek::test
