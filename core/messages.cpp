#include "core/messages.h"

#include "core/errors.h"

namespace varek {

QString errorReportText(const QString& message) {
    if (message.isEmpty()) return message;
    const QChar last = message.back();
    if (last == u'.' || last.unicode() < u'.') return message;
    return message + u'.';
}

bool guarded(Messages& messages, const std::function<void()>& body) {
    try {
        body();
        return true;
    } catch (const EAbort&) {
    } catch (const VarekError& e) {
        messages.errorReport(errorReportText(e.message()));
    } catch (const std::exception& e) {
        messages.errorReport(errorReportText(QString::fromUtf8(e.what())));
    }
    return false;
}

} // namespace varek
