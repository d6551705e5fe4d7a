#include "backup/libarchive_api.h"

#include "core/errors.h"

namespace varek {

const LibarchiveApi& libarchive() {
    static LazyLibrary<LibarchiveApi> library("archive", 13);
    if (const LibarchiveApi* api = library.functions()) return *api;
    throw EFileError(QStringLiteral("Не удалось загрузить библиотеку архивов %1 (%2): без неё резервные "
                                    "копии не делаются и не восстанавливаются. Установите пакет "
                                    "libarchive13.")
                         .arg(library.fileName(), library.why()));
}

} // namespace varek
