#include "pg/libpq_api.h"

#include "pg/connection.h"

namespace varek {

const LibpqApi& libpq() {
    static LazyLibrary<LibpqApi> library("pq", 5);
    if (const LibpqApi* api = library.functions()) return *api;
    throw EPgError(QStringLiteral("Не удалось загрузить библиотеку клиента PostgreSQL %1 (%2): без неё "
                                  "работа с реестром на сервере невозможна. Установите пакет libpq5.")
                       .arg(library.fileName(), library.why()),
                   QString(), false);
}

} // namespace varek
