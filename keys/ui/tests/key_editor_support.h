#pragma once

// Shared by the key editor and key operation tests: driving the modal key
// editor from inside its own event loop.

#include "keys/ui/ed_token.h"

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <functional>

namespace varek {

// Runs script on the modal key editor once it is shown; closes it if the
// script left it open, so a failed check cannot hang the test.
inline void whenShown(std::function<void(TfrmEdToken&)> script) {
    QTimer::singleShot(0, [script] {
        auto* frm = qobject_cast<TfrmEdToken*>(QApplication::activeModalWidget());
        if (!frm) {
            QFAIL("the key editor is not shown");
            return;
        }
        script(*frm);
        if (frm->isVisible()) frm->reject();
    });
}

} // namespace varek
