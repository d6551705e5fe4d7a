#pragma once

// Helpers of the dataset and register tests: an empty register in a
// temporary directory, rows laid straight into its files, counters of
// change events, and the message of a refused operation.

#include "core/errors.h"
#include "dbase/dbf.h"
#include "register/data_link.h"
#include "register/register_schema.h"

#include <QDate>
#include <QDir>
#include <QTemporaryDir>
#include <QVariant>

#include <functional>

#include <gtest/gtest.h>

namespace varek::test {

struct TempRegister {
    QTemporaryDir tmp;
    QString dir; // with its trailing '/'

    TempRegister() {
        dir = tmp.path() + QLatin1Char('/');
        createRegisterFiles(dir);
    }

    QString file(const char* name) const { return dir + QLatin1String(name); }

    void add(const char* table, const QVector<QVariant>& values) const {
        auto f = DbfFile::open(file(table));
        f->appendRecord(values);
    }
    // Rows in the layout of the register's new files.
    void obj(int num, const QString& name) const { add("obj.dbf", {num, name, QString(), QString()}); }
    void ctrl(int objNum, const QString& name, int ser) const {
        add("ctrl.dbf", {objNum, name, ser, QString(), QString(), 5});
    }
    void token(const QString& code, const QString& user, int status = 1) const {
        add("tokens.dbf", {code, QStringLiteral("001.00001"), user, QDate(2024, 5, 17), status});
    }
    void access(const QString& code, int ser) const { add("tc.dbf", {code, ser}); }
};

// Counts the change events a data link forwards.
struct EventCounter {
    int count = 0;
    explicit EventCounter(DataLink& link) {
        link.addChangeHandler([this] { ++count; });
    }
    int take() {
        const int n = count;
        count = 0;
        return n;
    }
};

// The message of the error that f raises, or "<no error>".
inline QString errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const VarekError& e) {
        return e.message();
    }
    return QStringLiteral("<no error>");
}

} // namespace varek::test
