#pragma once

#include "register/dataset.h"

#include <memory>

namespace varek {

class SqlViews;

// A read-only view: an SQL text run by SQLite over the live tables (see
// sql_views.h) when it is opened. Rows are read like a table's.
class View : public Dataset {
    Q_OBJECT
public:
    View(SqlViews& engine, QObject* parent = nullptr);
    ~View() override;

    void setSql(const QString& sql);
    QString sql() const;

    void open() override; // runs the text; an empty text fails with "No SQL statement available"
    void close() override;
    // Forced re-run: close and open again with the current text.
    void refresh();

    int recordCount() const override;
    int recNo() const override;
    void setRecNo(int row) override;
    QStringList fieldNames() const override;
    QVariant value(int row, int field) const override;

protected:
    QVariant currentValue(int field) const override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace varek
