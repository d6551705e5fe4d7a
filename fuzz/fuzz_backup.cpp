// The checks of a backup archive over arbitrary files. Every input must be
// refused with a reason or accepted; an accepted copy holds the four tables,
// and its counts are never negative.
#include "backup/register_backup.h"
#include "core/errors.h"
#include "fuzz/fuzz_support.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace varek;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString archive =
        fuzz::writeScratchFile(QStringLiteral("copy.tar.gz"), reinterpret_cast<const char*>(data), size);
    QTemporaryDir staging(fuzz::scratchDir() + QStringLiteral("/staging-XXXXXX"));
    fuzz::expect(staging.isValid(), "no staging directory");
    try {
        const BackupContents c = checkBackup(archive, staging.path());
        for (const char* t : {"obj.dbf", "ctrl.dbf", "tokens.dbf", "tc.dbf"})
            fuzz::expect(QFileInfo::exists(staging.filePath(QLatin1String(t))),
                         "an accepted copy lacks a table");
        fuzz::expect(c.objects >= 0 && c.controllers >= 0 && c.keys >= 0 && c.accessRows >= 0,
                     "negative counts");
    } catch (const VarekError& e) {
        fuzz::expect(!e.message().isEmpty(), "a refusal without a reason");
    }
    return 0;
}
