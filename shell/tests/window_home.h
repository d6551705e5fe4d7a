#pragma once

// A place of the program's own for a window test: a temporary directory as
// VAREK_HOME (settings.ini and Data/ in it), no port chosen, and a window
// started over the sample register there. One for each test function.

#include "core/port_numbers.h"
#include "core/recording_messages.h"
#include "register/ui/tests/grid_sample_register.h"
#include "shell/t_vareklocal.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace varek {

class WindowHome {
public:
    WindowHome() {
        qputenv("VAREK_HOME", m_dir.path().toUtf8());
        ComZintor = 0;
        ComToken = 0;
    }
    WindowHome(const WindowHome&) = delete;
    WindowHome& operator=(const WindowHome&) = delete;

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path() + u'/'; } // with its '/'
    QString data() const { return path() + QStringLiteral("Data/"); }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }

    // The sample register laid in Data/ and a window started and shown over it.
    std::unique_ptr<TTVarekLocal> started(RecordingMessages& messages) const {
        sample::makeRegister(data());
        auto w = std::make_unique<TTVarekLocal>(&messages);
        if (!w->FormCreate()) qWarning() << messages.texts(RecordingMessages::Shown::Plain);
        w->show();
        return w;
    }

private:
    QTemporaryDir m_dir;
};

} // namespace varek
