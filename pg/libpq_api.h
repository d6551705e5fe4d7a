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

VAREK_LAZY_LIBRARY_API(LibpqApi, VAREK_LIBPQ_FUNCTIONS)

// libpq, loaded on first use; throws EPgError when it cannot be.
const LibpqApi& libpq();

} // namespace varek
