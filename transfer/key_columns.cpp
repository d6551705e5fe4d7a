#include "transfer/key_columns.h"

namespace varek::keycsv {

QString headerOf(Column column) {
    switch (column) {
    case Column::Card:
        return QStringLiteral("Жетон");
    case Column::Holder:
        return QStringLiteral("Пользователь");
    case Column::Date:
        return QStringLiteral("Выдан");
    case Column::Status:
        return QStringLiteral("Статус");
    case Column::Code:
        return QStringLiteral("Код Dallas");
    case Column::Controllers:
        return QStringLiteral("Контроллеры");
    }
    return QString();
}

std::optional<Column> columnOf(const QString& header) {
    const QString key = labelKey(header);
    for (const Column c : kColumns)
        if (labelKey(headerOf(c)) == key) return c;
    return std::nullopt;
}

QStringList exportHeader() {
    QStringList out;
    for (const Column c : kColumns)
        out << headerOf(c);
    return out;
}

QString statusText(int status) {
    if (status == 1) return QStringLiteral("доступ");
    if (status == 0) return QStringLiteral("мастер-ключ");
    return QString::number(status);
}

std::optional<int> statusOf(const QString& cell) {
    const QString key = labelKey(cell);
    if (key == QStringLiteral("доступ") || key == QStringLiteral("1")) return 1;
    if (key == QStringLiteral("мастер-ключ") || key == QStringLiteral("0")) return 0;
    return std::nullopt;
}

QString controllerLabel(const QString& objName, const QString& ctrlName) {
    return objName.simplified() + kPathSeparator + ctrlName.simplified();
}

QString labelKey(const QString& label) {
    return label.simplified().toCaseFolded();
}

} // namespace varek::keycsv
