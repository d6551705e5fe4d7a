// Damaged table files: each fails to open (or to be read, which the register
// does at opening) with an EDatabaseError naming the file and the fault.
#include "core/errors.h"
#include "dbase/dbf.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace varek;

struct BadFile {
    const char* fixture;
    const char* fault; // a phrase of the message
};

class DbfBadFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(DbfBadFile, FailsWithAClearErrorNamingTheFile) {
    // Each run works on a copy: nothing may be written to the fixture, and the
    // path in the message must be the one given.
    QTemporaryDir dir;
    const QString path = dir.filePath(GetParam().fixture);
    ASSERT_TRUE(QFile::copy(QStringLiteral(VAREK_DBF_FIXTURES "/") + GetParam().fixture, path));
    try {
        auto file = DbfFile::open(path);
        file->readAll([](quint32, QVector<QVariant>&&) {});
        FAIL() << "opened and read";
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.message().contains(path)) << e.what();
        EXPECT_TRUE(e.message().contains(GetParam().fault)) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, DbfBadFile,
    ::testing::Values(
        BadFile{"empty_file.dbf", "shorter than a dBASE header"},
        BadFile{"short_header.dbf", "shorter than a dBASE header"},
        BadFile{"not_a_dbase_version.dbf", "not a dBASE table"},
        BadFile{"header_length_past_end.dbf", "header length 4000 exceeds the file size"},
        BadFile{"header_length_cuts_descriptor.dbf", "cuts a field descriptor short"},
        BadFile{"no_fields.dbf", "no fields"},
        BadFile{"record_length_too_short.dbf", "record length 20 is shorter"},
        BadFile{"field_descriptors_without_end.dbf", "field descriptor"},
        BadFile{"truncated_record.dbf", "last record is cut short"},
        BadFile{"count_exceeds_data.dbf", "counts 1000 records, the file holds 2"},
        BadFile{"absurd_record_count.dbf", "counts 4294967295 records"},
        BadFile{"garbage_in_numeric.dbf", "record 2, field NUM holds \"12x4 \", which is not a number"},
        BadFile{"garbage_in_date.dbf", "record 1, field DAY holds \"2024AB01\", which is not a date"},
        BadFile{"impossible_date.dbf", "which is not a date"},
        BadFile{"date_field_of_wrong_length.dbf", "date field DAY has length 6"},
        BadFile{"zero_length_field.dbf", "field NAME has length 0"}),
    [](const ::testing::TestParamInfo<BadFile>& info) {
        std::string name = info.param.fixture;
        return name.substr(0, name.find('.'));
    });

TEST(DbfBadFile, MissingFileNamesThePathAndTheSystemReason) {
    QTemporaryDir dir;
    const QString path = dir.filePath("absent.dbf");
    try {
        DbfFile::open(path);
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_TRUE(e.message().contains(path)) << e.what();
        EXPECT_TRUE(e.message().contains("No such file")) << e.what();
    }
    EXPECT_THROW(DbfFile::open(dir.path()), EDatabaseError); // a directory
}
