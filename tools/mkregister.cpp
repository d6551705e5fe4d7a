// varek-mkregister DIR: creates DIR (when missing) with the register's four
// empty tables. Refuses, changing nothing, when any of the tables exists.
#include "core/errors.h"
#include "register/register_schema.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 1 || args[0].startsWith(QLatin1Char('-'))) {
        std::fprintf(stderr, "usage: varek-mkregister DIR\n"
                             "Creates DIR with the empty tables obj.dbf, ctrl.dbf, tokens.dbf and tc.dbf.\n");
        return 2;
    }
    try {
        varek::createRegisterFiles(args[0]);
    } catch (const varek::VarekError& e) {
        std::fprintf(stderr, "varek-mkregister: %s\n", e.what());
        return 1;
    }
    for (const varek::TableSchema& t : varek::registerTables())
        std::printf("%s\n", QDir(args[0]).filePath(t.fileName).toUtf8().constData());
    return 0;
}
