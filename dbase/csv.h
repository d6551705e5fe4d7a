#pragma once

#include <cstddef>
#include <functional>

namespace varek {

class DbfFile;

// Writes the live records of a table as UTF-8 CSV: a line of field names,
// then one line per record in file order. A field is quoted when it holds a
// comma, a quote or a line break, its quotes doubled. Null values are empty;
// text loses its trailing blanks; integers are written in full, numbers with
// decimals with the field's decimals, dates as yyyy-MM-dd, logicals as T or
// F; memo fields give their text from the memo file.
//
// Text, integer and date fields are formatted straight from the record
// bytes; other fields go through the codec's values. The text is handed to
// out in pieces of under a MiB; an error of out (thrown) ends the writing. A
// record that cannot be read fails as DbfFile::readAll fails.
enum class CsvPath {
    Records, // from the record bytes where it can
    Values,  // every field through the codec's values (the reference for Records)
};
void writeCsv(const DbfFile& file, const std::function<void(const char* data, size_t size)>& out,
              CsvPath path = CsvPath::Records);

} // namespace varek
