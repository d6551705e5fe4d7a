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
#include <memory>

namespace varek::test {

struct ModalWait {
    std::function<void(QDialog*)> act;
    bool* missed = nullptr;
    QElapsedTimer started;
    bool done = false;
};

inline void pollModal(const std::shared_ptr<ModalWait>& wait) {
    if (wait->done) return;
    if (auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget()); dlg && dlg->isVisible()) {
        wait->done = true;
        wait->act(dlg);
        // A check that failed inside act must not leave the dialog blocking
        // the test: close what is still open.
        if (dlg->isVisible()) dlg->reject();
        return;
    }
    if (wait->started.elapsed() > 5000) {
        wait->done = true;
        if (wait->missed) *wait->missed = true;
        return;
    }
    QTimer::singleShot(10, [wait] { pollModal(wait); });
}

// Runs act on the next modal dialog to appear (polling up to 5 s). When no
// dialog appears, *missed is set (when given) and nothing is done. The result
// cancels the wait (for calls that must not open a dialog).
inline std::function<void()> whenModal(std::function<void(QDialog*)> act, bool* missed = nullptr) {
    auto wait = std::make_shared<ModalWait>();
    wait->act = std::move(act);
    wait->missed = missed;
    wait->started.start();
    QTimer::singleShot(0, [wait] { pollModal(wait); });
    return [wait] { wait->done = true; };
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
