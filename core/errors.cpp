#include "core/errors.h"

namespace varek {

VarekError::VarekError(QString message) : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}

EConvertError EConvertError::notInteger(const QString& text) {
    return EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
}

} // namespace varek
