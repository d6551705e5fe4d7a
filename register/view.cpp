#include "register/view.h"

#include "core/errors.h"
#include "register/sql_views.h"

namespace varek {

struct View::Impl {
    SqlViews* engine = nullptr;
    QString sql;
    QStringList names;
    QVector<QVector<QVariant>> rows;
    int cur = -1;
    bool everOpened = false;
};

View::View(SqlViews& engine, QObject* parent) : Dataset(parent), d(std::make_unique<Impl>()) {
    d->engine = &engine;
}

View::~View() = default;

void View::setSql(const QString& sql) {
    d->sql = sql;
}

QString View::sql() const {
    return d->sql;
}

void View::open() {
    if (active()) return;
    SqlViews::Result r = d->engine->run(d->sql);
    d->names = r.columns;
    d->rows = std::move(r.rows);
    d->cur = d->rows.isEmpty() ? -1 : 0;
    d->everOpened = true;
    setState(State::Browse);
    announceOpened(d->rows.isEmpty());
}

void View::close() {
    if (!active()) return;
    setState(State::Inactive);
    d->names.clear();
    d->rows.clear();
    d->cur = -1;
    setEofBof(true, true);
    emit rowsReset();
}

void View::refresh() {
    close();
    // A view that has never been run for a current row stays closed: its
    // initial text has nothing to show.
    if (!d->everOpened) return;
    open();
}

int View::recordCount() const {
    return active() ? static_cast<int>(d->rows.size()) : 0;
}

int View::recNo() const {
    return d->cur;
}

void View::setRecNo(int row) {
    requireActive();
    moveCurrentRow(d->cur, row, static_cast<int>(d->rows.size()));
}

QStringList View::fieldNames() const {
    return d->names;
}

QVariant View::value(int row, int field) const {
    if (row < 0 || row >= d->rows.size()) return QVariant();
    return d->rows[row].value(field);
}

QVariant View::currentValue(int field) const {
    return value(d->cur, field);
}

} // namespace varek
