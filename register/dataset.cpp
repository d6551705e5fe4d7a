#include "register/dataset.h"

#include "core/convert.h"
#include "core/errors.h"
#include "register/data_link.h"

#include <QDateTime>
#include <algorithm>

namespace varek {

Dataset::Dataset(QObject* parent) : QObject(parent) {}

Dataset::~Dataset() = default;

void Dataset::first() {
    requireActive();
    if (recordCount() > 0) setRecNo(0);
    setEofBof(recordCount() == 0, true);
}

void Dataset::next() {
    requireActive();
    const int n = recordCount();
    const int cur = recNo();
    if (cur >= 0 && cur + 1 < n) {
        setRecNo(cur + 1);
        setEofBof(false, false);
    } else {
        setEofBof(true, n == 0);
    }
}

void Dataset::prior() {
    requireActive();
    const int cur = recNo();
    if (cur > 0) {
        setRecNo(cur - 1);
        setEofBof(false, false);
    } else {
        setEofBof(recordCount() == 0, true);
    }
}

void Dataset::last() {
    requireActive();
    const int n = recordCount();
    if (n > 0) setRecNo(n - 1);
    setEofBof(true, n == 0);
}

int Dataset::fieldIndex(const QString& name) const {
    const QStringList names = fieldNames();
    for (int i = 0; i < names.size(); ++i) {
        if (names[i].compare(name, Qt::CaseInsensitive) == 0) return i;
    }
    return -1;
}

void Dataset::requireActive() const {
    if (!active()) throw EDatabaseError(QStringLiteral("Cannot perform this operation on a closed dataset"));
}

void Dataset::requireRows() const {
    requireActive();
    if (isEmpty()) throw EDatabaseError(QStringLiteral("Cannot perform this operation on an empty dataset"));
}

int Dataset::requireFieldIndex(const QString& name) const {
    const int f = fieldIndex(name);
    if (f < 0) throw EDatabaseError(QStringLiteral("Field '%1' not found").arg(name));
    return f;
}

QVariant Dataset::fieldValue(const QString& name) const {
    requireActive();
    return currentValue(requireFieldIndex(name));
}

bool Dataset::isNull(const QString& name) const {
    const QVariant v = fieldValue(name);
    return !v.isValid() || v.isNull();
}

qint32 Dataset::asInteger(const QString& name) const {
    const QVariant v = fieldValue(name);
    if (!v.isValid() || v.isNull()) return 0;
    switch (v.typeId()) {
    case QMetaType::QString:
        return strToInt(v.toString());
    case QMetaType::Double:
    case QMetaType::Float:
        return static_cast<qint32>(v.toDouble());
    case QMetaType::Bool:
        return v.toBool() ? 1 : 0;
    default:
        return static_cast<qint32>(v.toLongLong());
    }
}

QString Dataset::asString(const QString& name) const {
    return textOf(fieldValue(name));
}

QString Dataset::textOf(const QVariant& v) {
    if (!v.isValid() || v.isNull()) return QString();
    switch (v.typeId()) {
    case QMetaType::QDate:
        return v.toDate().toString(QStringLiteral("dd.MM.yyyy"));
    case QMetaType::QDateTime:
        return v.toDateTime().date().toString(QStringLiteral("dd.MM.yyyy"));
    case QMetaType::Bool:
        return v.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    default:
        return v.toString();
    }
}

QDate Dataset::asDate(const QString& name) const {
    const QVariant v = fieldValue(name);
    if (!v.isValid() || v.isNull()) return QDate();
    switch (v.typeId()) {
    case QMetaType::QDate:
        return v.toDate();
    case QMetaType::QDateTime:
        return v.toDateTime().date();
    case QMetaType::QString: {
        const QString s = v.toString();
        QDate d = QDate::fromString(s, Qt::ISODate);
        if (!d.isValid()) d = QDate::fromString(s, QStringLiteral("dd.MM.yyyy"));
        if (!d.isValid() && !s.isEmpty())
            throw EConvertError(QStringLiteral("'%1' is not a valid date").arg(s));
        return d;
    }
    default:
        throw EDatabaseError(QStringLiteral("Field '%1' is not a date").arg(name));
    }
}

void Dataset::moveCurrentRow(int& cur, int row, int count) {
    if (count == 0) return;
    row = std::clamp(row, 0, count - 1);
    setEofBof(false, false);
    if (row == cur) return;
    cur = row;
    notifyDataEvent();
}

void Dataset::announceOpened(bool empty) {
    setEofBof(empty, true);
    emit rowsReset();
    notifyDataEvent();
    emit afterOpen();
}

void Dataset::notifyDataEvent(int changedField) {
    const int saved = m_changedField;
    m_changedField = changedField;
    struct Restore {
        int& field;
        int value;
        ~Restore() { field = value; }
    } restore{m_changedField, saved};
    emit dataEvent();
    const auto links = m_links;
    for (DataLink* link : links)
        link->forwardDataEvent();
}

} // namespace varek
