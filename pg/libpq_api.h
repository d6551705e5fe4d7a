#pragma once

#include <libpq-fe.h>

#include "core/lazy_library.h"

namespace varek {

// The functions of libpq the connection uses, looked up when the first
// connection is described or opened (see core/lazy_library.h).
#define VAREK_LIBPQ_FUNCTIONS(X)                                                                             \
    X(PQbackendPID)                                                                                          \
    X(PQclear)                                                                                               \
    X(PQcmdTuples)                                                                                           \
    X(PQconnectdbParams)                                                                                     \
    X(PQconnectionNeedsPassword)                                                                             \
    X(PQconninfoFree)                                                                                        \
    X(PQconninfoParse)                                                                                       \
    X(PQconsumeInput)                                                                                        \
    X(PQdb)                                                                                                  \
    X(PQerrorMessage)                                                                                        \
    X(PQexec)                                                                                                \
    X(PQexecParams)                                                                                          \
    X(PQfinish)                                                                                              \
    X(PQfname)                                                                                               \
    X(PQfnumber)                                                                                             \
    X(PQfreemem)                                                                                             \
    X(PQgetCopyData)                                                                                         \
    X(PQgetResult)                                                                                           \
    X(PQgetisnull)                                                                                           \
    X(PQgetlength)                                                                                           \
    X(PQgetvalue)                                                                                            \
    X(PQhost)                                                                                                \
    X(PQnfields)                                                                                             \
    X(PQnotifies)                                                                                            \
    X(PQntuples)                                                                                             \
    X(PQport)                                                                                                \
    X(PQputCopyData)                                                                                         \
    X(PQputCopyEnd)                                                                                          \
    X(PQresultErrorField)                                                                                    \
    X(PQresultErrorMessage)                                                                                  \
    X(PQresultStatus)                                                                                        \
    X(PQsetNoticeProcessor)                                                                                  \
    X(PQsocket)                                                                                              \
    X(PQstatus)

struct LibpqApi {
#define VAREK_LIBPQ_POINTER(name) decltype(&::name) name = nullptr;
    VAREK_LIBPQ_FUNCTIONS(VAREK_LIBPQ_POINTER)
#undef VAREK_LIBPQ_POINTER
    void resolve(LazyLibrary::Resolver& r) {
#define VAREK_LIBPQ_RESOLVE(name) r(#name, name);
        VAREK_LIBPQ_FUNCTIONS(VAREK_LIBPQ_RESOLVE)
#undef VAREK_LIBPQ_RESOLVE
    }
};

// libpq, loaded on first use; throws EPgError when it cannot be.
const LibpqApi& libpq();

} // namespace varek
