#pragma once

#include <archive.h>
#include <archive_entry.h>

#include "core/lazy_library.h"

namespace varek {

// The functions of libarchive the backups use, looked up when the first
// backup is written or read (see core/lazy_library.h).
#define VAREK_LIBARCHIVE_FUNCTIONS(X)                                                                        \
    X(archive_entry_filetype)                                                                                \
    X(archive_entry_free)                                                                                    \
    X(archive_entry_mtime)                                                                                   \
    X(archive_entry_mtime_is_set)                                                                            \
    X(archive_entry_new)                                                                                     \
    X(archive_entry_pathname)                                                                                \
    X(archive_entry_pathname_utf8)                                                                           \
    X(archive_entry_set_filetype)                                                                            \
    X(archive_entry_set_mtime)                                                                               \
    X(archive_entry_set_pathname_utf8)                                                                       \
    X(archive_entry_set_perm)                                                                                \
    X(archive_entry_set_size)                                                                                \
    X(archive_entry_size)                                                                                    \
    X(archive_entry_size_is_set)                                                                             \
    X(archive_error_string)                                                                                  \
    X(archive_filter_bytes)                                                                                  \
    X(archive_read_data)                                                                                     \
    X(archive_read_free)                                                                                     \
    X(archive_read_new)                                                                                      \
    X(archive_read_next_header)                                                                              \
    X(archive_read_open_filename)                                                                            \
    X(archive_read_support_filter_gzip)                                                                      \
    X(archive_read_support_filter_none)                                                                      \
    X(archive_read_support_format_tar)                                                                       \
    X(archive_write_add_filter_gzip)                                                                         \
    X(archive_write_close)                                                                                   \
    X(archive_write_data)                                                                                    \
    X(archive_write_free)                                                                                    \
    X(archive_write_header)                                                                                  \
    X(archive_write_new)                                                                                     \
    X(archive_write_open_fd)                                                                                 \
    X(archive_write_set_format_pax_restricted)

VAREK_LAZY_LIBRARY_API(LibarchiveApi, VAREK_LIBARCHIVE_FUNCTIONS)

// libarchive, loaded on first use; throws EFileError when it cannot be.
const LibarchiveApi& libarchive();

} // namespace varek
