#pragma once

// A small register with Cyrillic rows for the grid and window tests.

#include "dbase/dbf.h"
#include "register/register_schema.h"

#include <QDate>
#include <QDir>
#include <QVariant>
#include <QVector>

namespace varek::sample {

inline void appendRows(const QString& file, const QVector<QVector<QVariant>>& rows) {
    auto f = DbfFile::open(file);
    for (const auto& r : rows)
        f->appendRecord(r);
}

// Two objects, three controllers, four keys, four access rows:
//   key 0 (status 1) opens controllers 1 and 2; key 1 (status 0) opens 1;
//   key 2 (status 2) opens 3; key 3 (status null) opens nothing.
inline const char* const kCodes[] = {"01A1B2C3D4E5F601", "01112233445566AB", "01DEADBEEF0000C2",
                                     "0100000000000103"};

inline void makeRegister(const QString& dir, bool withAccessTable = true) {
    createRegisterFiles(dir);
    const QDir d(dir);
    appendRows(d.filePath("obj.dbf"),
               {{1, QStringLiteral("Главный корпус"), QStringLiteral("ул. Ленина, 1"),
                 QStringLiteral("Вход со двора")},
                {2, QStringLiteral("Склад №2"), QStringLiteral("пр. Мира, 15"), QVariant()}});
    appendRows(d.filePath("ctrl.dbf"),
               {{1, QStringLiteral("Главный вход"), 1, QStringLiteral("v2.1"), QString(), 5},
                {1, QStringLiteral("Серверная"), 2, QStringLiteral("v2.1"), QStringLiteral("Только ИТ"), 3},
                {2, QStringLiteral("Ворота"), 3, QStringLiteral("v1.0"), QString(), 10}});
    appendRows(d.filePath("tokens.dbf"), {{QString::fromLatin1(kCodes[0]), QStringLiteral("161.45763"),
                                           QStringLiteral("Иванов Иван Иванович"), QDate(2024, 3, 5), 1},
                                          {QString::fromLatin1(kCodes[1]), QStringLiteral("017.08755"),
                                           QStringLiteral("Петрова Анна"), QDate(2023, 12, 31), 0},
                                          {QString::fromLatin1(kCodes[2]), QStringLiteral("222.48879"),
                                           QStringLiteral("Сидоров Пётр"), QDate(2025, 1, 9), 2},
                                          {QString::fromLatin1(kCodes[3]), QStringLiteral("000.00000"),
                                           QStringLiteral("Ёлкин Фёдор"), QVariant(), QVariant()}});
    appendRows(d.filePath("tc.dbf"), {{QString::fromLatin1(kCodes[0]), 1},
                                      {QString::fromLatin1(kCodes[0]), 2},
                                      {QString::fromLatin1(kCodes[1]), 1},
                                      {QString::fromLatin1(kCodes[2]), 3}});
    if (!withAccessTable) QFile::remove(d.filePath("tc.dbf"));
}

} // namespace varek::sample
