#include "core/app_paths.h"
#include "core/convert.h"
#include "core/errors.h"
#include "core/lazy_library.h"
#include "core/messages.h"
#include "core/recording_messages.h"

#include <gtest/gtest.h>

using namespace varek;

struct IntCase {
    const char* text;
    std::optional<qint32> value;
};

TEST(StrToInt, ReadsTheIntegerForms) {
    const IntCase cases[] = {
        {"0", 0},
        {"42", 42},
        {"  42", 42},
        {"+7", 7},
        {"-7", -7},
        {"$10", 16},
        {"x10", 16},
        {"X1f", 31},
        {"0x10", 16},
        {"0XfF", 255},
        {"-$10", -16},
        {"2147483647", 2147483647},
        {"-2147483648", std::numeric_limits<qint32>::min()},
        {"$FFFFFFFF", -1},
        {"300", 300},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"abc", std::nullopt},
        {"42 ", std::nullopt},
        {"4 2", std::nullopt},
        {"2147483648", std::nullopt},
        {"$100000000", std::nullopt},
        {"0x", std::nullopt},
        {"$", std::nullopt},
        {"+", std::nullopt},
        {"1e3", std::nullopt},
        {"\t1", std::nullopt},
        {"١", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tryStrToInt(QString::fromUtf8(c.text)), c.value) << c.text;
}

TEST(StrToInt, FailureNamesTheText) {
    try {
        strToInt(QStringLiteral("COMx"));
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.message(), QStringLiteral("'COMx' is not a valid integer value"));
    }
}

TEST(Messages, FullStopRule) {
    EXPECT_EQ(errorReportText(QString()), QString());
    EXPECT_EQ(errorReportText(QStringLiteral("Ends.")), QStringLiteral("Ends."));
    EXPECT_EQ(errorReportText(QStringLiteral("Ends")), QStringLiteral("Ends."));
    EXPECT_EQ(errorReportText(QStringLiteral("Ends ")), QStringLiteral("Ends "));  // blank is below "."
    EXPECT_EQ(errorReportText(QStringLiteral("Ends-")), QStringLiteral("Ends-"));  // "-" is below "."
    EXPECT_EQ(errorReportText(QStringLiteral("Ends/")), QStringLiteral("Ends/.")); // "/" is above "."
    EXPECT_EQ(errorReportText(QStringLiteral("Конец")), QStringLiteral("Конец."));
}

TEST(Messages, GuardReportsErrorsAndSwallowsAbort) {
    RecordingMessages m;
    EXPECT_TRUE(guarded(m, [] {}));
    EXPECT_FALSE(guarded(m, [] { throw EDatabaseError(QStringLiteral("Broken")); }));
    EXPECT_FALSE(guarded(m, [] { throw EAbort(); }));
    EXPECT_FALSE(guarded(m, [] { throw std::runtime_error("plain"); }));
    EXPECT_EQ(m.texts(RecordingMessages::Shown::Error), (QStringList{"Broken.", "plain."}));
}

TEST(AppPaths, TitleFromExecutableName) {
    EXPECT_EQ(applicationTitleFor(QStringLiteral("CARDS.EXE")), QStringLiteral("Cards"));
    EXPECT_EQ(applicationTitleFor(QStringLiteral("varek")), QStringLiteral("varek"));
    EXPECT_EQ(applicationTitleFor(QStringLiteral("VarekLocal.tar.gz")), QStringLiteral("Vareklocal"));
}

TEST(AppPaths, HomeFromEnvironmentHasTrailingSlash) {
    qputenv("VAREK_HOME", "/tmp/somewhere");
    EXPECT_EQ(appDir(), QStringLiteral("/tmp/somewhere/"));
    EXPECT_EQ(dataDir(), QStringLiteral("/tmp/somewhere/Data/"));
    EXPECT_EQ(settingsPath(), QStringLiteral("/tmp/somewhere/settings.ini"));
    qunsetenv("VAREK_HOME");
}

// zlib is mapped by every Qt program, so it stands in for a library that is
// there.
namespace {
using ZlibVersion = const char* (*)();
struct ZlibThere {
    ZlibVersion zlibVersion = nullptr;
    void resolve(LibraryResolver& r) { r("zlibVersion", zlibVersion); }
};
struct ZlibWithAMissingFunction {
    ZlibVersion zlibVersion = nullptr;
    ZlibVersion missing = nullptr;
    void resolve(LibraryResolver& r) {
        r("zlibVersion", zlibVersion);
        r("varek_no_such_function", missing);
    }
};
struct NoLibrary {
    ZlibVersion f = nullptr;
    void resolve(LibraryResolver& r) { r("f", f); }
};
} // namespace

TEST(LazyLibrary, GivesTheFunctionsOnlyWhenTheLibraryAndEveryFunctionAreThere) {
    LazyLibrary<ZlibThere> zlib("z", 1);
    const ZlibThere* there = zlib.functions();
    ASSERT_NE(there, nullptr) << zlib.why().toStdString();
    EXPECT_NE(there->zlibVersion(), nullptr);
    EXPECT_EQ(zlib.functions(), there); // looked up once

    LazyLibrary<ZlibWithAMissingFunction> partial("z", 1);
    EXPECT_EQ(partial.functions(), nullptr);
    EXPECT_TRUE(partial.why().contains(QStringLiteral("varek_no_such_function")))
        << partial.why().toStdString();

    LazyLibrary<NoLibrary> absent("varek_no_such_library", 7);
    EXPECT_EQ(absent.functions(), nullptr);
    EXPECT_FALSE(absent.why().isEmpty());
    EXPECT_EQ(absent.fileName(), QStringLiteral("libvarek_no_such_library.so.7"));
}
