#include "utility/paths.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <optional>

namespace {

struct PathsCase
{
    const char* name;
    std::optional<QByteArray> root;
    QString confDir;
    QString dataDir;
    QString configFile;
};

void PrintTo(const PathsCase& c, std::ostream* os)
{
    *os << c.name;
}

class PathsTest : public ::testing::TestWithParam<PathsCase>
{
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsSet("TAXVAULT_ROOT"))
            m_saved = qgetenv("TAXVAULT_ROOT");
    }
    void TearDown() override
    {
        if (m_saved)
            qputenv("TAXVAULT_ROOT", *m_saved);
        else
            qunsetenv("TAXVAULT_ROOT");
    }

private:
    std::optional<QByteArray> m_saved;
};

TEST_P(PathsTest, FixedPathsUnderOptionalRoot)
{
    const PathsCase& c = GetParam();
    if (c.root)
        qputenv("TAXVAULT_ROOT", *c.root);
    else
        qunsetenv("TAXVAULT_ROOT");
    EXPECT_EQ(paths::confDir(), c.confDir);
    EXPECT_EQ(paths::dataDir(), c.dataDir);
    EXPECT_EQ(paths::configFile(), c.configFile);
}

INSTANTIATE_TEST_SUITE_P(
    Root, PathsTest,
    ::testing::Values(PathsCase{"Unset", std::nullopt, "/tillbase/cash/conf/",
                                "/tillbase/cash/data/taxvault/", "/tillbase/cash/conf/taxvault.ini"},
                      PathsCase{"Empty", QByteArray(""), "/tillbase/cash/conf/",
                                "/tillbase/cash/data/taxvault/", "/tillbase/cash/conf/taxvault.ini"},
                      PathsCase{"Plain", QByteArray("/tmp/tv"), "/tmp/tv/tillbase/cash/conf/",
                                "/tmp/tv/tillbase/cash/data/taxvault/",
                                "/tmp/tv/tillbase/cash/conf/taxvault.ini"},
                      PathsCase{"TrailingSlash", QByteArray("/tmp/tv/"), "/tmp/tv/tillbase/cash/conf/",
                                "/tmp/tv/tillbase/cash/data/taxvault/",
                                "/tmp/tv/tillbase/cash/conf/taxvault.ini"}),
    [](const ::testing::TestParamInfo<PathsCase>& info) { return std::string(info.param.name); });

} // namespace
