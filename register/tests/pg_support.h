#pragma once

// Registers on the test PostgreSQL server: a fresh database with the
// register's tables, a register opened on it, rows laid in, and waiting for
// what another register announced.

#include "pg/connection.h"
#include "pg/schema.h"
#include "pg/tests/pg_server.h"
#include "register/fields.h"
#include "register/table.h"
#include "register/varek_register.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>
#include <gtest/gtest.h>

namespace varek::test {

// The event loop the registers' socket notifiers need.
inline QCoreApplication& testApp() {
    static int argc = 1;
    static char name[] = "pg_register_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
    return *QCoreApplication::instance();
}

// A fresh database with the register's tables; its URL.
inline QString registerDatabase() {
    const QString url = TestPgServer::shared().createDatabase();
    PgConnection c(url);
    c.connect();
    initPgSchema(c);
    return url;
}

// Runs the event loop until done() holds or five seconds have passed;
// whether it holds.
inline bool waitFor(const std::function<bool()>& done) {
    testApp();
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > 5000) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// Runs the event loop for ms milliseconds.
inline void pump(int ms) {
    testApp();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
}

// Appends one row and posts it.
inline void addRow(Table& t, const QList<std::pair<QString, QVariant>>& fields) {
    t.append();
    for (const auto& [name, value] : fields)
        t.setFieldValue(name, value);
    t.post();
}

// Every live row of a table in store order, fields as text.
inline QStringList rowsOf(Table& t) {
    QStringList out;
    for (int id = 0; id < t.storedRowCount(); ++id) {
        if (!t.storedRowLive(id)) continue;
        QStringList cells;
        for (int f = 0; f < t.fieldNames().size(); ++f) {
            const QVariant v = t.storedValue(id, f);
            cells << (v.isValid() ? QString::fromLatin1(v.typeName()) + u':' + v.toString()
                                  : QStringLiteral("null"));
        }
        out << cells.join(u'|');
    }
    return out;
}

} // namespace varek::test
