#pragma once

#include "tools/pty_util.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <memory>

// A temporary program directory (VAREK_HOME) with a ports/ directory, and a
// helper to put pseudo-terminals into it as COMn.
class PtyFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_home.isValid());
        qputenv("VAREK_HOME", m_home.path().toLocal8Bit());
    }
    void TearDown() override { qunsetenv("VAREK_HOME"); }

    QString portsDir() const { return m_home.filePath("ports"); }

    std::unique_ptr<varek::sim::PtyPair> makePort(int n) {
        auto pty = std::make_unique<varek::sim::PtyPair>();
        pty->linkAs(portsDir(), n);
        return pty;
    }

    // Reads from the master until `size` bytes came or ms passed.
    static QByteArray readMaster(varek::sim::PtyPair& pty, qsizetype size, int ms = 2000) {
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (got.size() < size && t.elapsed() < ms) {
            pty.waitReadable(10);
            got += pty.readAvailable();
        }
        return got;
    }

    QTemporaryDir m_home;
};
