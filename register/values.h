#pragma once

#include <QDate>
#include <QVariant>

#include <optional>

namespace varek {

// The rules the datasets compare and convert field values by.

// Null: an invalid or null variant (blank fields read as null).
bool isNullValue(const QVariant& v);
// dBASE number types: N, F and I.
bool isNumericType(char type);
// An integral number held by a value, when it holds one exactly (whole
// doubles, integer text and booleans included).
std::optional<qint64> integralOf(const QVariant& v);
// A value that is a number (not text, not a date).
bool isNumberVariant(const QVariant& v);
// The date a value holds (a date, a date and time, or ISO text); invalid otherwise.
QDate dateOf(const QVariant& v);
// Three-way comparison used for the presentation order (nulls first).
int compareValues(const QVariant& a, const QVariant& b);

} // namespace varek
