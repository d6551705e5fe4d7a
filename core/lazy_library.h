#pragma once

#include <QLibrary>
#include <QString>

#include <mutex>

namespace varek {

// Looks an API's functions up in an open library one by one; the first miss
// is remembered.
class LibraryResolver {
public:
    explicit LibraryResolver(QLibrary& library) : m_library(library) {}
    template <class F> void operator()(const char* name, F& function) {
        function = reinterpret_cast<F>(m_library.resolve(name));
        if (!function && m_missing.isEmpty()) m_missing = QString::fromLatin1(name);
    }
    const QString& missing() const { return m_missing; }

private:
    QLibrary& m_library;
    QString m_missing;
};

// A shared library mapped the first time one of its functions is needed, not
// when the program starts: a window that never talks to a server or never
// makes a backup never maps the client library, the archive library and the
// TLS, Kerberos, LDAP and compression libraries they pull in.
//
// Api is a struct of function pointers with `void resolve(LibraryResolver&)`
// that looks each one up (VAREK_LAZY_LIBRARY_API below; see pg/libpq_api.h).
// The library is never unloaded.
template <class Api> class LazyLibrary {
public:
    // name and version as QLibrary takes them: "pq" and 5 open libpq.so.5.
    LazyLibrary(const char* name, int version) : m_name(name), m_version(version) {}

    // The functions, looked up once, or nullptr with why() telling the reason.
    const Api* functions() {
        std::call_once(m_once, [this] {
            m_library.setFileNameAndVersion(QString::fromLatin1(m_name), m_version);
            if (!m_library.load()) {
                m_why = m_library.errorString();
                return;
            }
            LibraryResolver resolver(m_library);
            m_api.resolve(resolver);
            if (!resolver.missing().isEmpty())
                m_why = QStringLiteral("в %1 нет функции %2").arg(m_library.fileName(), resolver.missing());
            else
                m_loaded = true;
        });
        return m_loaded ? &m_api : nullptr;
    }

    QString why() const { return m_why; }
    // The library's file as the system names it, e.g. "libpq.so.5".
    QString fileName() const {
        return QStringLiteral("lib%1.so.%2").arg(QString::fromLatin1(m_name)).arg(m_version);
    }

private:
    const char* m_name;
    int m_version;
    std::once_flag m_once;
    QLibrary m_library;
    Api m_api;
    bool m_loaded = false;
    QString m_why;
};

// Declares the struct Api of function pointers, one for each name FUNCTIONS(X)
// lists as X(name), with its resolve(): every pointer has the type of the
// function its header declares.
#define VAREK_LAZY_LIBRARY_POINTER(name) decltype(&::name) name = nullptr;
#define VAREK_LAZY_LIBRARY_RESOLVE(name) r(#name, name);
#define VAREK_LAZY_LIBRARY_API(Api, FUNCTIONS)                                                               \
    struct Api {                                                                                             \
        FUNCTIONS(VAREK_LAZY_LIBRARY_POINTER)                                                                \
        void resolve(::varek::LibraryResolver& r) { FUNCTIONS(VAREK_LAZY_LIBRARY_RESOLVE) }                  \
    };

} // namespace varek
