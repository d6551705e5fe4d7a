#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace varek::keycsv {

// The columns of a keys file, by the names the keys grid shows. The import
// finds its columns by these names (case and blanks around them do not
// matter), in any order; "Код Dallas" is the one it cannot do without.
enum class Column { Card, Holder, Date, Status, Code, Controllers };

// In the order the export writes them.
inline constexpr Column kColumns[] = {Column::Card,   Column::Holder, Column::Date,
                                      Column::Status, Column::Code,   Column::Controllers};

QString headerOf(Column column);
// The column a header cell names, or nothing.
std::optional<Column> columnOf(const QString& header);
QStringList exportHeader();

// The issue date as the file holds it.
inline const QString kDateFormat = QStringLiteral("dd.MM.yyyy");

// Status as the operator knows it: "доступ" for 1, "мастер-ключ" for 0; any
// other stored number is written as the number.
QString statusText(int status);
// A status cell: the two texts (any case) or the stored numbers 0 and 1.
std::optional<int> statusOf(const QString& cell);

// One controller in the controllers cell: "object / controller"; several are
// separated by "; ".
inline const QString kPathSeparator = QStringLiteral(" / ");
inline const QString kListSeparator = QStringLiteral("; ");
QString controllerLabel(const QString& objName, const QString& ctrlName);
// The form labels are compared in: blanks runs as one, case folded.
QString labelKey(const QString& label);

} // namespace varek::keycsv
