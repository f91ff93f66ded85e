// ISO management: the name grammars, "version.info", the ISO list and the
// module scan, on real files in the sandbox's ISO directory.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ortavis_upgd.h"
#include "ortavis_upgd_iso.h"
#include "upgd_sandbox.h"

namespace {

using upgd_test::kIsoDir;
using Lines = std::vector<std::string>;
using Iso = std::tuple<std::string, int, std::string>;   // module, type, version

const std::string kVersions = "linuxversion=2.3.1\nwindowsversion=2.3.0\n";

bool Logged(const Lines &texts, const std::string &text)
{
    return text.empty() || std::find(texts.begin(), texts.end(), text) != texts.end();
}

class IsoNames : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(upgd_test::MakeDirs(kIsoDir));
        std::snprintf(g_chISORealPath, sizeof(g_chISORealPath), "%s", kIsoDir);
        ASSERT_EQ(InitIsoListLock(), 0);
    }
    void Files(const std::vector<std::string> &names, const char *versions = nullptr)
    {
        std::filesystem::remove_all(kIsoDir);
        ASSERT_TRUE(upgd_test::MakeDirs(kIsoDir));
        for (const auto &n : names) {
            ASSERT_TRUE(upgd_test::WriteFile(std::string(kIsoDir) + "/" + n, "iso"));
        }
        if (versions != nullptr) {
            ASSERT_TRUE(upgd_test::WriteFile(std::string(kIsoDir) + "/version.info", versions));
        }
    }
    std::vector<Iso> LoadNodes()
    {
        std::vector<Iso> nodes;
        ObjectLockGuard guard(GetIsoList());
        EXPECT_EQ(LoadIsoList(), 0);
        for (IsoNode *n = GetIsoList()->next; n != nullptr; n = n->next) {
            nodes.emplace_back(n->module, n->type, n->isoVersion);
        }
        return nodes;
    }
    upgd_test::LogCollector log;
};

TEST_F(IsoNames, TheRepositoryReadsEachNameByItsGrammar)
{
    const std::string longVersion(33, '7');
    const struct {
        std::vector<std::string> files;
        const char *versions;
        std::vector<Iso> want;
        std::string logged;
    } rows[] = {
        {{"ortavis-linux.iso"}, kVersions.c_str(), {{"ortavis", ISO_LINUX, "2.3.1"}}, "get ortavis type 1 upgrade version:2.3.1"},
        {{"ortavis-windows.iso"}, kVersions.c_str(), {{"ortavis", ISO_WINDOWS, "2.3.0"}}, ""},
        {{"ortavis-linux.iso"}, nullptr, {}, "GetIsoVersion linuxversion error"},
        {{"ortavis-linux-7.7.iso"}, nullptr, {{"ortavis", ISO_LINUX, "7.7"}}, "get ortavis type 1 upgrade version 7.7"},
        {{"foo-windows-2.1.0.iso"}, nullptr, {{"foo", ISO_WINDOWS, "2.1.0"}}, ""},
        {{"foo-linux.iso"}, nullptr, {{"foo", ISO_LINUX, ""}}, ""},
        {{"foo.iso"}, nullptr, {}, ""},
        {{"foo-mac-1.iso"}, nullptr, {}, "incompatible iso type: foo-mac-1.iso"},
        {{"foo-LINUX-1.iso"}, nullptr, {}, "incompatible iso type: foo-LINUX-1.iso"},
        {{"foo-linux-1-2.iso"}, nullptr, {}, "module ISO name format is not supported"},
        {{"foo-linux-1.0-rc2.iso"}, nullptr, {{"foo", ISO_LINUX, "rc2"}}, ""},
        {{"foo--linux-1.iso", "-bar-linux-2-.iso"}, nullptr, {{"foo", ISO_LINUX, "1"}, {"bar", ISO_LINUX, ""}}, ""},
        {{"m-linux-" + longVersion + ".iso"}, nullptr, {}, "strncpy_s componentVersion failed"},
        {{".iso", "a-linux-1.ISO", "a-linux-1.iso.bak"}, nullptr, {}, ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.files[0]);
        Files(r.files, r.versions);
        std::vector<Iso> got;
        Lines texts = log.TextsLoggedBy([&] { got = LoadNodes(); });
        std::sort(got.begin(), got.end());
        auto want = r.want;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want);
        EXPECT_TRUE(Logged(texts, r.logged)) << ::testing::PrintToString(texts);
    }
    Files({});
    ASSERT_EQ(mkdir((std::string(kIsoDir) + "/a-linux-1.iso").c_str(), 0755), 0);
    EXPECT_TRUE(LoadNodes().empty()) << "a directory is no ISO";
    std::snprintf(g_chISORealPath, sizeof(g_chISORealPath), "%s/missing", kIsoDir);
    ObjectLockGuard guard(GetIsoList());
    EXPECT_EQ(LoadIsoList(), -1);
}

TEST_F(IsoNames, AModuleRecordIsParsedFromAndComposedBackIntoItsName)
{
    Files({}, kVersions.c_str());
    const struct {
        const char *name;
        int want;
        Iso record;
        const char *logged;
    } parse[] = {
        {"foo-linux-1.2.iso", 0, {"foo", ISO_LINUX, "1.2"}, "get foo type 1 version:1.2"},
        {"ortavis-linux-9.9.iso", 0, {"ortavis", ISO_LINUX, "2.3.1"}, ""},
        {"ortavis-windows.iso", 0, {"ortavis", ISO_WINDOWS, "2.3.0"}, ""},
        {"foo-linux64-1.iso", -1, {}, "foo-linux64-1.iso not standard upgrade ISO type\n"},
        {"foo-bsd-1.iso", -1, {}, "iso type fault\n"},
        {"foo-linux.iso", -1, {}, ""},
        {"foo-linux-1-2.iso", -1, {}, ""},
        {"foo-linux-1234567890123456.iso", -1, {}, "strncpy_s curversion failed"},
    };
    for (const auto &r : parse) {
        SCOPED_TRACE(r.name);
        ModuleInfo rec{};
        Lines texts = log.TextsLoggedBy([&] { EXPECT_EQ(parseModuleIsoName(r.name, &rec), r.want); });
        EXPECT_TRUE(Logged(texts, r.logged)) << ::testing::PrintToString(texts);
        if (r.want == 0) {
            EXPECT_EQ(Iso(rec.name, rec.type, rec.curversion), r.record);
        } else {
            EXPECT_EQ(texts.back(), "parseModuleIsoName fail");
        }
    }
    std::filesystem::remove(std::string(kIsoDir) + "/version.info");
    ModuleInfo rec{};
    EXPECT_TRUE(Logged(log.TextsLoggedBy([&] { EXPECT_EQ(parseModuleIsoName("ortavis-linux.iso", &rec), -1); }),
                       "not install ortavis rpm"));

    const struct {
        const char *name;
        uint8_t type;
        const char *version;
        const char *want;   // null: refused
    } compose[] = {
        {"ortavis", ISO_WINDOWS, "5.0", "ortavis-windows.iso"},
        {"foo", ISO_LINUX, "1.2", "foo-linux-1.2.iso"},
        {"foo", 0, "1.2", "foo-1.2.iso"},
        {"ortavis", ISO_LINUX, "", nullptr},
        {"", ISO_LINUX, "1", nullptr},
    };
    for (const auto &r : compose) {
        ModuleInfo m{};
        std::snprintf(m.name, sizeof(m.name), "%s", r.name);
        std::snprintf(m.curversion, sizeof(m.curversion), "%s", r.version);
        m.type = r.type;
        MallocText iso = CheckUpgInfo(&m);
        EXPECT_EQ(iso ? std::string(iso.get()) : "(null)", r.want ? r.want : "(null)") << r.name;
    }
    ModuleInfo full{};
    std::memset(full.name, 'a', sizeof(full.name));   // no terminator: never read past the field
    std::snprintf(full.curversion, sizeof(full.curversion), "1");
    EXPECT_FALSE(CheckUpgInfo(&full));
}

TEST_F(IsoNames, VersionFileIsSearchedPieceByPiece)
{
    const std::string straddling = std::string(29, 'x') + "linuxversion=8\n";
    const struct {
        std::string file;   // empty: no file
        const char *key;
        int want;
        const char *value;
    } rows[] = {
        {kVersions, "linuxversion", 0, "2.3.1"},
        {kVersions, "windowsversion", 0, "2.3.0"},
        {"windowsversion=1\nlinuxversion=4.5.6", "linuxversion", 0, "4.5.6"},
        {"xlinuxversion=9\nlinuxversion=2\n", "linuxversion", 0, "9"},
        {"linuxversion\nlinuxversion=2\n", "linuxversion", 0, "keep"},
        {"linuxversion=12345678901234567890\n", "linuxversion", 0, "123456789012345"},
        {straddling, "linuxversion", 0, "keep"},
        {"", "linuxversion", -1, "keep"},
        {kVersions, "macversion", -1, "keep"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.file + " / " + r.key);
        Files({}, r.file.empty() ? nullptr : r.file.c_str());
        char out[ISO_VERSION_BUF] = "keep";
        EXPECT_EQ(GetIsoVersion(out, r.key), r.want);
        EXPECT_STREQ(out, r.value);
    }
}

TEST_F(IsoNames, ModulesComeInListOrderAndScansInReadOrderSixAtMost)
{
    Files({"a-linux-1.iso", "b-linux-2.iso"});
    std::vector<std::string> readOrder;
    DIR *d = opendir(kIsoDir);
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') {
            readOrder.push_back(std::string(1, e->d_name[0]));
        }
    }
    closedir(d);
    VmMsg msg{};
    ASSERT_EQ(LoadIsoModules(&msg), 2);
    std::reverse(readOrder.begin(), readOrder.end());
    EXPECT_EQ((std::vector<std::string>{msg.module[0].name, msg.module[1].name}), readOrder);
    EXPECT_EQ(GetIsoList()->next, nullptr) << "the list is empty between two uses";

    Files({"foo-linux-1.iso", "foo-windows-1.iso", "foobar-linux-1.iso"});
    VmMsg scan{};
    std::snprintf(scan.module[0].name, sizeof(scan.module[0].name), "foo");
    EXPECT_EQ(ScanModuleIsos(kIsoDir, &scan), 2);
    EXPECT_EQ(ScanModuleIsos(nullptr, &scan), -1);

    // Eight ISOs: six records filled, none written past the message.
    std::vector<std::string> eight;
    for (int i = 0; i < 8; ++i) {
        eight.push_back("foo-linux-" + std::to_string(i) + ".iso");
    }
    Files(eight);
    struct {
        VmMsg msg;
        uint8_t guard[64];
    } bounded{};
    std::snprintf(bounded.msg.module[0].name, sizeof(bounded.msg.module[0].name), "foo");
    EXPECT_EQ(ScanModuleIsos(kIsoDir, &bounded.msg), 6);
    EXPECT_EQ(LoadIsoModules(&bounded.msg), 6);
    EXPECT_TRUE(std::all_of(std::begin(bounded.guard), std::end(bounded.guard), [](uint8_t b) { return b == 0; }));
}

TEST_F(IsoNames, TwoUsersOfTheListNeverMixTheirNodes)
{
    std::vector<std::string> six;
    for (int i = 0; i < 6; ++i) {
        six.push_back("m" + std::to_string(i) + "-linux-1.iso");
    }
    Files(six);
    auto user = [] {
        for (int i = 0; i < 100; ++i) {
            VmMsg msg{};
            int filled = LoadIsoModules(&msg);
            std::set<std::string> names;
            for (int k = 0; k < filled; ++k) {
                names.insert(msg.module[k].name);
            }
            if (filled != 6 || names.size() != 6) {
                ADD_FAILURE() << "filled " << filled << ", distinct " << names.size();
                return;
            }
        }
    };
    std::thread a(user), b(user);
    a.join();
    b.join();
}

}  // namespace
