// The dump file loader over arbitrary files: the lines read must encode back
// to a file that reads as the same lines.
#include "core/errors.h"
#include "fuzz/fuzz_support.h"
#include "image/dump_file.h"

using namespace varek;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString path = fuzz::writeScratchFile(QStringLiteral("dump.txt"), bytes);
    LoadedDump loaded;
    try {
        loaded = readDumpFile(path);
    } catch (const VarekError&) {
        fuzz::fail("a readable file fails to load");
    }
    const bool binary = holdsBinaryBytes(bytes);
    fuzz::expect((loaded.problem == LoadedDump::Binary) == binary, "binary bytes are the Binary problem");
    if (loaded.problem != LoadedDump::None) {
        fuzz::expect(loaded.lines.isEmpty(), "a refused file gives no lines");
        return 0;
    }
    fuzz::expect(loaded.lines == decodeDumpFile(bytes), "the loader reads as decodeDumpFile");
    const EncodedDump encoded = encodeDumpFile(loaded.lines);
    fuzz::expect(encoded.badLine < 0, "lines read from bytes fit in bytes");
    fuzz::expect(!holdsBinaryBytes(encoded.bytes), "an encoded dump is text");
    fuzz::expect(decodeDumpFile(encoded.bytes) == loaded.lines, "encoded lines read back the same");
    return 0;
}
