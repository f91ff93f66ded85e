// ISO management: the name grammars, "version.info", the ISO list and the
// module scan, on real files in the sandbox's ISO directory.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "fake_virsh.h"
#include "guest_sim_host.h"
#include "ortavis_upgd.h"
#include "ortavis_upgd_iso.h"
#include "ortavis_upgd_vm.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using upgd_test::DriveSource;
using upgd_test::FakeVirsh;
using upgd_test::kIsoDir;
using Calls = std::vector<std::vector<std::string>>;
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
        {"foo-linux-1.2-xxxxxxxxxxxxxxxxxx.iso", -1, {}, "strncpy_s componentVersion failed"},   // cut before ".iso"
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

// ---- Attach and detach, against the guest simulator, the virsh stand-in
// and the drive script, checking the drive's medium in the live description.

class IsoDrive : public IsoNames {
protected:
    void SetUp() override
    {
        IsoNames::SetUp();
        ASSERT_EQ(InitVmListLock() | InitIndependentVmListLock() | InitUpgVmListAddLock(), 0);
        ASSERT_EQ(CreateStopEvent(), 0);
        ASSERT_TRUE(upgd_test::InstallDriveScript());
        ASSERT_TRUE(upgd_test::WriteFile(iso, "iso"));
    }
    void TearDown() override
    {
        ObjectLockGuard reg(GetVmListHead());
        clearVmList(GetVmListHead());
    }
    VmRef Connect(const std::string &name, const std::string &cdrom = "hdb")
    {
        guestsim::VmOptions opts;
        opts.cdromDev = cdrom;
        EXPECT_TRUE(host.AddVm(name, opts));
        GetRunningVmList();
        ObjectLockGuard reg(GetVmListHead());
        return VmRef(findVmByName(GetVmListHead(), name.c_str()));
    }
    // An attach request of the guest; the answer it got, if any. Every byte
    // but type, count and code goes back as the guest sent it.
    std::optional<VmMsg> Attach(VmNode *vm, const char *isoName, double *seconds, int missing = 0)
    {
        const VmMsg sent = guestsim::Request(VM_REQ_ATTACH_ISO_MSG, {}, 0x1122334455667788ull);
        VmMsg req = sent;
        size_t before = host.Received(vm->name).size();
        auto t0 = std::chrono::steady_clock::now();
        dealAttachIsoReq(missing, vm, &req, isoName);
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!host.WaitReceived(vm->name, before + 1, 500ms)) {
            return std::nullopt;
        }
        VmMsg got = host.Received(vm->name).back();
        VmMsg want = sent;
        want.msgType = UPG_MSG_ATTACH_ISO_RESP;
        want.moduleNum = 1;
        want.module[0].rescode = got.module[0].rescode;
        EXPECT_EQ(std::memcmp(&got, &want, sizeof(got)), 0);
        return got;
    }
    Calls MediaCalls() const
    {
        Calls media;
        for (auto &c : virsh.Calls()) {
            if (c[0] == "change-media") {
                media.push_back(c);
            }
        }
        return media;
    }
    const std::string iso = std::string(kIsoDir) + "/ortavis-linux.iso";
    guestsim::HostSim host;
    FakeVirsh virsh;
};

TEST_F(IsoDrive, AnAttachRequestIsAnsweredByWhatTheDriveAllows)
{
    const FakeVirsh::Reply failed = {1, "\n", "error: internal error: unable to execute QEMU command", ""};
    const std::string onlyForced = "case \" ${all[*]} \" in *\" --force \"*) ;; *) rc=1 out=$'\\n' err=busy ;; esac\n";
    const struct {
        const char *vm;
        std::string cdrom;
        const char *isoName;
        int missing;
        std::function<void(FakeVirsh &)> script;
        int rescode;   // -1: no answer
        int state;
        bool attached;
        double atLeast, atMost;   // seconds
        Calls media;
    } rows[] = {
        {"first", "hdb", "ortavis-linux.iso", 0, [](FakeVirsh &) {}, 0, UPGRADE_RUNNING_STATE, true, 2, 3.5,
         {{"change-media", "first", "hdb", iso}}},
        {"second", "hdb", "ortavis-linux.iso", 0, [&](FakeVirsh &v) { v.ScriptShell("change-media", "", onlyForced); },
         0, UPGRADE_RUNNING_STATE, true, 3, 4.5,
         {{"change-media", "second", "hdb", iso}, {"change-media", "second", "hdb", "--force", iso}}},
        {"never", "hdb", "ortavis-linux.iso", 0, [&](FakeVirsh &v) { v.Script("change-media", "", failed); }, 1,
         UPGRADE_IDLE_STATE, false, 5, 6.5,
         {{"change-media", "never", "hdb", iso}, {"change-media", "never", "hdb", "--force", iso},
          {"change-media", "never", "hdb", "--force", iso}}},
        {"occupied", "hdb", "ortavis-linux.iso", 0,
         [](FakeVirsh &v) { v.Script("gethdbiso", "occupied", {1, "/images/user.iso\n", "", ""}); }, 2,
         UPGRADE_ATTACH_REFUSED_STATE, false, 0, 1, {}},
        {"sata", "sdb", "ortavis-linux.iso", 0, [](FakeVirsh &) {}, 1, UPGRADE_IDLE_STATE, false, 0, 1, {}},
        {"silent", "hdb", "ortavis-linux.iso", 0,
         [](FakeVirsh &v) { v.Script("qemu-agent-command", "silent", {1, "\n", "error: Guest agent is not responding", ""}); },
         -1, UPGRADE_CONNECT_TIMEOUT_STATE, false, 0, 1, {}},
        {"dotdot", "hdb", "../ortavis-linux.iso", 0, [](FakeVirsh &) {}, -1, UPGRADE_IDLE_STATE, false, 0, 1, {}},
        {"blank", "hdb", "ortavis linux.iso", 0, [](FakeVirsh &) {}, -1, UPGRADE_IDLE_STATE, false, 0, 1, {}},
        {"missing", "hdb", nullptr, 1, [](FakeVirsh &) {}, -1, UPGRADE_IDLE_STATE, false, 0, 1, {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.vm);
        VmRef vm = Connect(r.vm, r.cdrom);
        ASSERT_TRUE(vm);
        r.script(virsh);
        virsh.ClearCalls();
        double seconds = 0;
        std::optional<VmMsg> answer = Attach(vm.get(), r.isoName, &seconds, r.missing);
        EXPECT_EQ(answer ? answer->module[0].rescode : -1, r.rescode);
        EXPECT_EQ(vm->upgradeFlag.load(), r.state);
        EXPECT_EQ(vm->isoattachFlag.load(), r.attached ? 1 : 0);
        EXPECT_EQ(DriveSource(r.vm), r.attached ? iso : "");
        EXPECT_GE(seconds, r.atLeast);
        EXPECT_LE(seconds, r.atMost);
        EXPECT_EQ(MediaCalls(), r.media);
        virsh.Unscript("change-media", "");
    }
    EXPECT_TRUE(log.WaitFor("attach iso success: virsh change-media second hdb --force " + iso + " 1>/dev/null 2>&1"));
    EXPECT_TRUE(log.WaitFor("attach iso failed:virsh change-media never hdb --force " + iso + " 1>/dev/null 2>&1"));
}

// Unsafe names never reach a command: no drive check, no script, no virsh.
TEST_F(IsoDrive, UnsafeNamesRunNothing)
{
    VmRef spaced = Connect("vm 9");
    ASSERT_TRUE(spaced);
    virsh.ClearCalls();
    double seconds = 0;
    EXPECT_FALSE(Attach(spaced.get(), "ortavis-linux.iso", &seconds));
    detachIso(spaced.get(), "ortavis-linux.iso");
    VmRef vm = Connect("vm1");
    virsh.ClearCalls();
    EXPECT_FALSE(Attach(vm.get(), nullptr, &seconds, 1));
    EXPECT_EQ(virsh.Calls(), Calls{});
    std::snprintf(g_chISORealPath, sizeof(g_chISORealPath), "%s", "/opt/x;reboot");
    EXPECT_FALSE(Attach(vm.get(), "ortavis-linux.iso", &seconds));
    EXPECT_EQ(MediaCalls(), Calls{});
}

TEST_F(IsoDrive, DetachEmptiesTheDriveOrLeavesItForTheNextReportsEject)
{
    VmRef vm = Connect("vm1");
    double seconds = 0;
    ASSERT_TRUE(Attach(vm.get(), "ortavis-linux.iso", &seconds));
    virsh.ClearCalls();
    detachIso(vm.get(), "ortavis-linux.iso");
    EXPECT_EQ(vm->isoattachFlag.load(), 0);
    EXPECT_EQ(DriveSource("vm1"), "");
    EXPECT_EQ(MediaCalls(), (Calls{{"change-media", "vm1", "hdb", iso, "--eject"}}));

    ASSERT_TRUE(Attach(vm.get(), "ortavis-linux.iso", &seconds));
    virsh.Script("change-media", "vm1", {1, "\n", "error: internal error: unable to execute QEMU command", ""});
    virsh.ClearCalls();
    detachIso(vm.get(), "ortavis-linux.iso");
    EXPECT_EQ(vm->isoattachFlag.load(), 1) << "three failed runs leave the ISO in";
    EXPECT_EQ(DriveSource("vm1"), iso);
    EXPECT_EQ(MediaCalls().size(), 3u);
    EXPECT_TRUE(log.WaitFor("try detach iso 3 times already failed. cmd:virsh change-media vm1 hdb " + iso +
                            " --eject --force 1>/dev/null 2>&1"));

    // The next upgrade report ejects it.
    virsh.Unscript("change-media", "vm1");
    virsh.ClearCalls();
    detachIso(vm.get(), nullptr);
    EXPECT_EQ(vm->isoattachFlag.load(), 0);
    EXPECT_EQ(DriveSource("vm1"), "");
    EXPECT_EQ(MediaCalls(), (Calls{{"change-media", "vm1", "hdb", "--eject"}}));

    // Nothing of ours left in: nothing run, but the detach is still timed.
    vm->detachTime = 1;
    virsh.ClearCalls();
    detachIso(vm.get(), nullptr);
    EXPECT_EQ(MediaCalls(), Calls{});
    EXPECT_GT(vm->detachTime.load(), 1);
}

}  // namespace
