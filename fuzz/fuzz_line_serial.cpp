// The assembly of lines from received bytes, as the programming device's port
// does it: the input chooses the line ends and the bound, then is cut into
// packets as a port would receive them. Every byte received must come out
// once, in order, as lines, line ends and the text still waiting.
#include "fuzz/fuzz_support.h"
#include "link/line_serial.h"

#include <fuzzer/FuzzedDataProvider.h>

using namespace varek;

namespace {

bool holdsLineEnd(const QByteArray& text, bool anyLineEnd) {
    return anyLineEnd ? (text.contains('\r') || text.contains('\n')) : text.contains("\r\n");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool anyLineEnd = in.ConsumeBool();
    const qint32 maxLineLength = in.ConsumeIntegralInRange<qint32>(0, 40);

    QByteArray received; // everything the port was given
    QByteArray emitted;  // the lines and line ends taken out, then the waiting text
    QByteArray waiting;  // the port's line buffer between two ReceiveLine calls
    for (;;) {
        // One ReceiveLine: the waiting text comes first, as a packet of its own;
        // the call ends with a line, an overlong text, or the input's end (a time-out).
        QByteArray collected;
        QByteArray line;
        QByteArray before;
        LineStep step = LineStep::NeedMore;
        for (;;) {
            QByteArray packet;
            if (!waiting.isEmpty()) {
                packet.swap(waiting);
            } else if (in.remaining_bytes() > 0) {
                packet = QByteArray::fromStdString(in.ConsumeRandomLengthString(64));
                received += packet;
            } else {
                break;
            }
            before = collected + packet;
            step = assembleLine(collected, packet, anyLineEnd, maxLineLength, &line);
            if (step != LineStep::NeedMore) break;
        }
        if (step == LineStep::TooLong) {
            fuzz::expect(maxLineLength > 0, "no bound, no overlong line");
            fuzz::expect(collected == before, "an overlong text is kept whole");
            return 0;
        }
        if (step == LineStep::NeedMore) {
            fuzz::expect(!holdsLineEnd(collected, anyLineEnd), "text without a line end waits");
            fuzz::expect(maxLineLength == 0 || collected.size() <= maxLineLength,
                         "waiting text keeps to the bound");
            waiting = collected;
            break;
        }
        fuzz::expect(!holdsLineEnd(line, anyLineEnd), "a line holds no line end");
        fuzz::expect(maxLineLength == 0 || line.size() <= maxLineLength, "a line keeps to the bound");
        fuzz::expect(before.startsWith(line) && before.endsWith(collected), "a line is cut from the text");
        const QByteArray lineEnd = before.mid(line.size(), before.size() - line.size() - collected.size());
        fuzz::expect(lineEnd == "\r\n" || (anyLineEnd && (lineEnd == "\r" || lineEnd == "\n")),
                     "a line ends with a line end");
        emitted += line + lineEnd;
        waiting = collected;
    }
    fuzz::expect(emitted + waiting == received, "every byte comes out once, in order");
    return 0;
}
