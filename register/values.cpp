#include "register/values.h"

#include <QDateTime>

#include <cmath>

namespace varek {

bool isNullValue(const QVariant& v) {
    return !v.isValid() || v.isNull();
}

bool isNumericType(char t) {
    return t == 'N' || t == 'F' || t == 'I';
}

std::optional<qint64> integralOf(const QVariant& v) {
    if (isNullValue(v)) return std::nullopt;
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return v.toLongLong();
    case QMetaType::Bool:
        return v.toBool() ? 1 : 0;
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = v.toDouble();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.0e18) return static_cast<qint64>(d);
        return std::nullopt;
    }
    case QMetaType::QString: {
        bool ok = false;
        const qint64 n = v.toString().trimmed().toLongLong(&ok);
        if (ok) return n;
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

bool isNumberVariant(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::QString:
    case QMetaType::QDate:
    case QMetaType::QDateTime:
        return false;
    default:
        return v.canConvert<double>();
    }
}

QDate dateOf(const QVariant& v) {
    if (v.typeId() == QMetaType::QDate) return v.toDate();
    if (v.typeId() == QMetaType::QDateTime) return v.toDateTime().date();
    if (v.typeId() == QMetaType::QString) return QDate::fromString(v.toString(), Qt::ISODate);
    return QDate();
}

int compareValues(const QVariant& a, const QVariant& b) {
    const bool an = isNullValue(a), bn = isNullValue(b);
    if (an || bn) return an == bn ? 0 : (an ? -1 : 1);
    if (isNumberVariant(a) && isNumberVariant(b)) {
        const auto ia = integralOf(a), ib = integralOf(b);
        if (ia && ib) return *ia < *ib ? -1 : (*ia > *ib ? 1 : 0);
        const double da = a.toDouble(), db = b.toDouble();
        return da < db ? -1 : (da > db ? 1 : 0);
    }
    if (a.typeId() == QMetaType::QDate && b.typeId() == QMetaType::QDate) {
        const QDate x = a.toDate(), y = b.toDate();
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    return a.toString().compare(b.toString());
}

} // namespace varek
