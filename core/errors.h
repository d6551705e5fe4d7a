#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace varek {

// The one family of errors of the program. Every failure that reaches the
// operator is a VarekError (or derived); the entry-point guard turns it into
// the default error report.
class VarekError : public std::exception {
public:
    explicit VarekError(QString message);
    const QString& message() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// A text that is not an integer: "'%s' is not a valid integer value".
class EConvertError : public VarekError {
public:
    using VarekError::VarekError;
    static EConvertError notInteger(const QString& text);
};

// Failures of the register: files, datasets, views.
class EDatabaseError : public VarekError {
public:
    using VarekError::VarekError;
};

// A file that cannot be created or opened (dump files, settings).
class EFileError : public VarekError {
public:
    using VarekError::VarekError;
};

// Ends an operation without a report (the silent-abort kind).
class EAbort : public VarekError {
public:
    EAbort() : VarekError(QString()) {}
};

} // namespace varek
