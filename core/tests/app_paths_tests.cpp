#include "core/app_paths.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace varek;

namespace {

// What lies beside the executable, the environment, and where the files must go.
// "@" in a path stands for the temporary root.
struct PlacesCase {
    const char* name;
    QStringList beside; // entries of the executable's directory; a trailing '/' makes a directory
    QMap<QString, QString> env;
    QString dataHome;
    QString configHome;
    bool portable;
};

const PlacesCase kCases[] = {
    {"DataBesideExecutable", {"Data/"}, {{"XDG_DATA_HOME", "@/xdata"}}, "@/bin/", "@/bin/", true},
    {"SettingsBesideExecutable",
     {"settings.ini"},
     {{"XDG_CONFIG_HOME", "@/xconf"}},
     "@/bin/",
     "@/bin/",
     true},
    {"VarekHomeWinsOverEverything",
     {"Data/"},
     {{"VAREK_HOME", "@/home"}, {"XDG_DATA_HOME", "@/xdata"}},
     "@/home/",
     "@/home/",
     true},
    {"InstalledUsesXdgDirs",
     {},
     {{"XDG_DATA_HOME", "@/xdata"}, {"XDG_CONFIG_HOME", "@/xconf/"}, {"HOME", "@/user"}},
     "@/xdata/varek/",
     "@/xconf/varek/",
     false},
    {"InstalledWithoutXdgUsesHomeDefaults",
     {"ports/"},
     {{"HOME", "@/user"}},
     "@/user/.local/share/varek/",
     "@/user/.config/varek/",
     false},
    {"RelativeXdgDirsAreIgnored",
     {},
     {{"XDG_DATA_HOME", "rel/data"}, {"XDG_CONFIG_HOME", "conf"}, {"HOME", "@/user"}},
     "@/user/.local/share/varek/",
     "@/user/.config/varek/",
     false},
    {"AFileNamedDataIsNotARegister",
     {"Data"},
     {{"HOME", "@/user"}},
     "@/user/.local/share/varek/",
     "@/user/.config/varek/",
     false},
};

void PrintTo(const PlacesCase& c, std::ostream* os) {
    *os << c.name;
}

class AppPlacesTest : public testing::TestWithParam<PlacesCase> {};

} // namespace

TEST_P(AppPlacesTest, ChoosesTheLayout) {
    const PlacesCase& c = GetParam();
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const auto at = [&](QString s) { return s.replace(QStringLiteral("@"), root.path()); };
    const QString bin = root.filePath(QStringLiteral("bin"));
    ASSERT_TRUE(QDir().mkpath(bin));
    for (const QString& entry : c.beside) {
        if (entry.endsWith(u'/')) {
            ASSERT_TRUE(QDir(bin).mkpath(entry));
        } else {
            QFile f(bin + u'/' + entry);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        }
    }
    const AppPlaces places = appPlacesFor(bin, [&](const char* name) { return at(c.env.value(name)); });
    EXPECT_EQ(places.dataHome, at(c.dataHome));
    EXPECT_EQ(places.configHome, at(c.configHome));
    EXPECT_EQ(places.portable, c.portable);
}

INSTANTIATE_TEST_SUITE_P(Layouts, AppPlacesTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<PlacesCase>& info) { return info.param.name; });
