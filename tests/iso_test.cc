// ISO management on real files in the sandbox's ISO directory: the name
// grammars, "version.info", the ISO list and the module scan; then the real
// daemon attaching and ejecting ISOs for its guests through the virsh
// stand-in and the drive script, in a hostile ISO directory, and with ISOs
// left in drives.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "daemon_host.h"
#include "fake_virsh.h"
#include "guest_sim_host.h"
#include "ortavis_upgd.h"
#include "ortavis_upgd_iso.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using namespace upgd_test;
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
        Files({});
        ASSERT_EQ(InitIsoListLock(), 0);
    }
    void Files(const Lines &names, const char *versions = nullptr)
    {
        std::snprintf(g_chISORealPath, sizeof(g_chISORealPath), "%s", kIsoDir);
        std::filesystem::remove_all(kIsoDir);
        ASSERT_TRUE(MakeDirs(kIsoDir));
        for (const auto &n : names) {
            ASSERT_TRUE(WriteFile(std::string(kIsoDir) + "/" + n, "iso"));
        }
        ASSERT_TRUE(versions == nullptr || WriteFile(std::string(kIsoDir) + "/version.info", versions));
    }
    std::vector<Iso> LoadNodes()
    {
        std::vector<Iso> nodes;
        ObjectLockGuard guard(GetIsoList());
        EXPECT_EQ(LoadIsoList(), 0);
        for (IsoNode *n = GetIsoList()->next; n != nullptr; n = n->next) {
            nodes.emplace_back(n->module, n->type, n->isoVersion);
        }
        std::sort(nodes.begin(), nodes.end());
        return nodes;
    }
    LogCollector log;
};

TEST_F(IsoNames, TheRepositoryReadsEachNameByItsGrammar)
{
    const struct { Lines files; const char *versions; std::vector<Iso> want; std::string logged; } rows[] = {   // want sorted
        {{"ortavis-linux.iso"}, kVersions.c_str(), {{"ortavis", ISO_LINUX, "2.3.1"}}, "get ortavis type 1 upgrade version:2.3.1"},
        {{"ortavis-linux.iso"}, nullptr, {}, "GetIsoVersion linuxversion error"},
        {{"foo-windows-2.1.0.iso", "foo-linux.iso"}, nullptr, {{"foo", ISO_WINDOWS, "2.1.0"}},
         "iso foo-linux.iso left out: its offer composes another name"},
        {{"foo.iso"}, nullptr, {}, ""},
        {{"foo-LINUX-1.iso"}, nullptr, {}, "incompatible iso type: foo-LINUX-1.iso"},
        {{"foo-linux-1-2.iso"}, nullptr, {}, "module ISO name format is not supported"},
        {{"foo-linux-1.0-rc2.iso"}, nullptr, {}, "get foo type 1 upgrade version rc2"},   // offered as foo-linux-rc2.iso: left out
        {{"m-linux-" + std::string(33, '7') + ".iso"}, nullptr, {}, "strncpy_s componentVersion failed"},
        {{".iso", "a-linux-1.ISO", "a-linux-1.iso.bak"}, nullptr, {}, ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.files[0]);
        Files(r.files, r.versions);
        std::vector<Iso> got;
        Lines texts = log.TextsLoggedBy([&] { got = LoadNodes(); });
        EXPECT_EQ(got, r.want);
        EXPECT_TRUE(Logged(texts, r.logged)) << ::testing::PrintToString(texts);
    }
    Files({});
    ASSERT_EQ(mkdir((std::string(kIsoDir) + "/a-linux-1.iso").c_str(), 0755), 0);
    EXPECT_TRUE(LoadNodes().empty()) << "a directory is no ISO";
    std::snprintf(g_chISORealPath, sizeof(g_chISORealPath), "%s/missing", kIsoDir);
    ObjectLockGuard guard(GetIsoList());
    EXPECT_EQ(LoadIsoList(), -1);
}

TEST_F(IsoNames, AModuleRecordIsParsedFromItsNameAndAnUnterminatedOneComposesNone)
{
    Files({}, kVersions.c_str());
    const struct { const char *name; Iso record; const char *logged; } parse[] = {   // module empty: refused
        {"foo-linux-1.2.iso", {"foo", ISO_LINUX, "1.2"}, "get foo type 1 version:1.2"},
        {"ortavis-linux-9.9.iso", {"ortavis", ISO_LINUX, "2.3.1"}, ""},
        {"ortavis-windows.iso", {"ortavis", ISO_WINDOWS, "2.3.0"}, ""},
        {"foo-linux64-1.iso", {}, "foo-linux64-1.iso not standard upgrade ISO type\n"},
        {"foo-bsd-1.iso", {}, "iso type fault\n"},
        {"foo-linux.iso", {}, ""},
        {"foo-linux-1-2.iso", {}, ""},
        {"foo-linux-1234567890123456.iso", {}, "strncpy_s curversion failed"},
        {"foo-linux-1.2-xxxxxxxxxxxxxxxxxx.iso", {}, "strncpy_s curversion failed"},   // cut from the whole name
    };
    for (const auto &r : parse) {
        ModuleInfo rec{};
        bool accept = !std::get<0>(r.record).empty();
        Lines texts = log.TextsLoggedBy([&] { EXPECT_EQ(parseModuleIsoName(r.name, &rec), accept ? 0 : -1) << r.name; });
        EXPECT_TRUE(Logged(texts, r.logged)) << ::testing::PrintToString(texts);
        EXPECT_TRUE(accept ? Iso(rec.name, rec.type, rec.curversion) == r.record : texts.back() == "parseModuleIsoName fail")
            << r.name;
    }
    std::filesystem::remove(std::string(kIsoDir) + "/version.info");
    ModuleInfo rec{};
    EXPECT_TRUE(Logged(log.TextsLoggedBy([&] { EXPECT_EQ(parseModuleIsoName("ortavis-linux.iso", &rec), -1); }),
                       "not install ortavis rpm"));

    ModuleInfo full{};
    std::memset(full.name, 'a', sizeof(full.name));   // no terminator: never read past the field
    full.curversion[0] = '1';
    EXPECT_FALSE(CheckUpgInfo(&full));
}

TEST_F(IsoNames, VersionFileIsSearchedPieceByPiece)
{
    const std::tuple<std::string, const char *, int, const char *> rows[] = {
        {kVersions, "linuxversion", 0, "2.3.1"},
        {kVersions, "windowsversion", 0, "2.3.0"},
        {"windowsversion=1\nlinuxversion=4.5.6", "linuxversion", 0, "4.5.6"},
        {"xlinuxversion=9\nlinuxversion=2\n", "linuxversion", 0, "9"},
        {"linuxversion\nlinuxversion=2\n", "linuxversion", 0, "keep"},
        {"linuxversion=12345678901234567890\n", "linuxversion", 0, "123456789012345"},
        {std::string(29, 'x') + "linuxversion=8\n", "linuxversion", 0, "keep"},   // straddles two pieces
        {"", "linuxversion", -1, "keep"},                                            // no file
        {kVersions, "macversion", -1, "keep"},
    };
    for (const auto &[file, key, want, value] : rows) {
        Files({}, file.empty() ? nullptr : file.c_str());
        char out[ISO_VERSION_BUF] = "keep";
        EXPECT_EQ(GetIsoVersion(out, key), want) << file;
        EXPECT_STREQ(out, value) << file;
    }
}

TEST_F(IsoNames, ModuleRecordsAreSixAtMostAndTheListIsEmptyBetweenUses)
{
    Files({"a-linux-1.iso", "b-linux-2.iso"});
    VmMsg msg{};
    ASSERT_EQ(LoadIsoModules(&msg), 2);
    EXPECT_EQ(GetIsoList()->next, nullptr) << "the list is empty between two uses";

    Files({"foo-linux-1.iso", "foo-windows-1.iso", "foobar-linux-1.iso"});
    VmMsg scan{};
    std::snprintf(scan.module[0].name, sizeof(scan.module[0].name), "foo");
    EXPECT_EQ(ScanModuleIsos(kIsoDir, &scan), 2);
    EXPECT_EQ(ScanModuleIsos(nullptr, &scan), -1);

    Lines eight;   // six records filled, nothing written past the message
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

    // Two users at once never mix their nodes.
    Files({"m0-linux-1.iso", "m1-linux-1.iso", "m2-linux-1.iso", "m3-linux-1.iso"});
    auto user = [] {
        for (int i = 0; i < 100; ++i) {
            VmMsg m{};
            int filled = LoadIsoModules(&m);
            std::set<std::string> names;
            for (int k = 0; k < std::max(filled, 0); ++k) {
                names.insert(m.module[k].name);
            }
            ASSERT_TRUE(filled == 4 && names.size() == 4) << filled << " records, " << names.size() << " distinct";
        }
    };
    std::thread a(user), b(user);
    a.join();
    b.join();
}

// ---- The real daemon: hostile layouts, ISOs left behind -----------------------------------

namespace fs = std::filesystem;

class IsoHost : public DaemonHost {
protected:
    void SetUp() override { SetUpHost({"vm1"}); }
    // A request of the guest's about that record, sent from the VM.
    VmMsg GuestSend(uint32_t type, const std::string &module, const std::string &version, const std::string &vm)
    {
        VmMsg req = guestsim::Request(type, Guest().profile, ++msgId_);
        guestsim::SetText(req.module[0].name, sizeof(req.module[0].name), module);
        guestsim::SetText(req.module[0].curversion, sizeof(req.module[0].curversion), version);
        EXPECT_TRUE(host.Send(vm, req));
        return req;
    }
    // An attach request for that record; the answer's code, or -1.
    int GuestAttach(const std::string &module, const std::string &version, const std::string &vm = "vm1")
    {
        size_t before = host.Received(vm).size();
        VmMsg req = GuestSend(VM_REQ_ATTACH_ISO_MSG, module, version, vm);
        if (!host.WaitReceived(vm, before + 1, 10s)) {
            return -1;
        }
        VmMsg got = host.Received(vm).back();
        return got.msgType == UPG_MSG_ATTACH_ISO_RESP && got.msgId == req.msgId ? got.module[0].rescode : -1;
    }
    bool Report() { return host.Send("vm1", guestsim::Request(VM_RSP_UPGRADE_STATE_MSG, Guest().profile)); }
    Calls MediaCalls() const
    {
        Calls media, all = virsh.Calls();
        std::copy_if(all.begin(), all.end(), std::back_inserter(media), [](auto &c) { return c[0] == "change-media"; });
        return media;
    }
    Reply Health(const ManageClient &c) { return Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), c); }
    uint64_t msgId_ = 0x7700;
};

// A guest's attach is answered by what the drive allows: in after two
// seconds (with --force on the retries), refused for a medium of its own or
// a drive not on hdb; its report ejects the ISO, also after a detach of its
// own failed three times.
TEST_F(IsoHost, AnAttachIsAnsweredByWhatTheDriveAllowsAndTheReportEjectsIt)
{
    guestsim::VmOptions sata = Guest();
    sata.cdromDev = "sdb";
    StartVm("sata", sata);
    const std::string iso = kProductIso;
    const FakeVirsh::Reply failed = {1, "\n", "error: internal error: unable to execute QEMU command", ""};
    const std::string onlyForced = "case \" ${all[*]} \" in *\" --force \"*) ;; *) rc=1 out=$'\\n' err=busy ;; esac\n";
    const Calls once = {{"change-media", "vm1", "hdb", iso}}, forced = {{"change-media", "vm1", "hdb", "--force", iso}};
    const std::string redirect = " 1>/dev/null 2>&1";
    struct Row { const char *what, *vm; std::function<void()> script; int rescode; Calls media; std::string logged; };
    const Row rows[] = {
        {"first", "vm1", [] {}, 0, once, "attach iso success: virsh change-media vm1 hdb " + iso + redirect},
        {"second", "vm1", [&] { virsh.ScriptShell("change-media", "", onlyForced); }, 0, {once[0], forced[0]},
         "attach iso success: virsh change-media vm1 hdb --force " + iso + redirect},
        {"never", "vm1", [&] { virsh.Script("change-media", "", failed); }, 1, {once[0], forced[0], forced[0]},
         "attach iso failed:virsh change-media vm1 hdb --force " + iso + redirect},
        {"full", "vm1", [&] { virsh.Script("gethdbiso", "", {1, "/images/user.iso\n", "", ""}); }, 2, {}, ""},
        {"sata", "sata", [] {}, 1, {}, ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        r.script();
        virsh.ClearCalls();
        log.Clear();
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(GuestAttach("ortavis", "1.0.0.2", r.vm), r.rescode);
        EXPECT_TRUE(r.rescode != 0 || std::chrono::steady_clock::now() - t0 >= 2s) << "answered before 2 s";
        EXPECT_TRUE(r.logged.empty() || log.WaitFor(r.logged)) << log.Dump();
        EXPECT_EQ(MediaCalls(), r.media);
        EXPECT_EQ(DriveSource(r.vm), r.rescode == 0 ? iso : "");
        virsh.Unscript("change-media", "");
        virsh.Unscript("gethdbiso", "");
        if (r.rescode != 0) {
            continue;
        }
        if (&r == &rows[0]) {   // the guest's own detach: a name with ".." runs nothing; the ISO's is retried
            virsh.ClearCalls();   // with --force and, failed three times, left in
            GuestSend(VM_REQ_DETACH_ISO_MSG, "foo", "1..2", "vm1");
            EXPECT_TRUE(log.WaitFor("Check ISO file name failed"));
            EXPECT_EQ(MediaCalls(), Calls{});
            virsh.Script("change-media", "vm1", failed);
            GuestSend(VM_REQ_DETACH_ISO_MSG, "ortavis", "1.0.0.2", "vm1");
            EXPECT_TRUE(log.WaitFor("try detach iso 3 times already failed. cmd:virsh change-media vm1 hdb " + iso +
                                    " --eject --force" + redirect));
            EXPECT_EQ(DriveSource("vm1"), iso);
            virsh.Unscript("change-media", "vm1");
        }
        virsh.ClearCalls();
        ASSERT_TRUE(Report() && log.WaitFor("detach iso by eject success"));
        EXPECT_EQ(MediaCalls(), (Calls{{"change-media", "vm1", "hdb", "--eject"}}));
        EXPECT_EQ(DriveSource("vm1"), "");
        ASSERT_TRUE(log.WaitFor("vm vm1 reset status", 8s));   // idle again for the next row
    }
}

// upgrade.conf as others may leave it: each store touches only a regular
// file of the ISO directory and keeps its mode and owner, each refusal is answered 1
// and logged, and start-up reads without writing, blocking or following.
TEST_F(IsoHost, TheIntervalIsStoredAndReadOnlyAsARegularFileOfTheIsoDirectory)
{
    const std::string outside = "/opt/outside/passwd", inside = std::string(kIsoDir) + "/other.conf";
    const std::string fresh = kUpgradeConf + ".new", notRegular = kUpgradeConf + " is not a regular file";
    ASSERT_TRUE(MakeDirs("/opt/outside") && WriteFile(outside, "root:x:0:0\n", 0600));
    const struct { const char *what; std::function<void()> layout; int want; std::string conf, logged; } rows[] = {
        {"link out", [&] { fs::create_symlink(outside, kUpgradeConf); }, 1, "root:x:0:0\n", notRegular},
        {"link in", [&] { fs::create_symlink("other.conf", kUpgradeConf); }, 1, "interval=0", notRegular},
        {"fifo", [&] { fs::remove(kUpgradeConf); mkfifo(kUpgradeConf.c_str(), 0640); }, 1, "(fifo)", notRegular},
        {"stale fifo", [&] { mkfifo(fresh.c_str(), 0600); }, 0, "interval=60", ""},
        {"stale dir", [&] { fs::create_directory(fresh); }, 1, "interval=0", "remove " + fresh + " failed, errno=21"},
    };
    ManageClient client;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        fs::remove_all(fresh);
        fs::remove(kUpgradeConf);
        ASSERT_TRUE(WriteFile(kUpgradeConf, "interval=0", 0640) && chown(kUpgradeConf.c_str(), 1234, 5678) == 0 &&
                    WriteFile(inside, "interval=0"));
        if (std::string(r.what).starts_with("link")) {
            fs::remove(kUpgradeConf);
        }
        r.layout();
        EXPECT_EQ(Ask(UPG_START_UPGRADE_MSG, ControlBody(1, 60, "no"), client, 5s), Reply(r.want, ""));
        EXPECT_TRUE(r.logged.empty() || log.WaitFor(r.logged));
        EXPECT_EQ(ReadFile(outside), "root:x:0:0\n");
        EXPECT_EQ(ReadFile(inside), "interval=0");
        if (r.conf == "(fifo)") {
            EXPECT_TRUE(fs::is_fifo(kUpgradeConf));
        } else {
            EXPECT_EQ(ReadFile(kUpgradeConf), r.conf);
        }
        struct stat st {};
        EXPECT_TRUE(r.want != 0 || (lstat(kUpgradeConf.c_str(), &st) == 0 && (st.st_mode & 0777) == 0640 &&
                                    st.st_uid == 1234 && st.st_gid == 5678));
    }
    // Start-up: through a link, from a FIFO, or from a directory it may not write.
    const struct { const char *what; std::function<void()> layout; std::string logged; } starts[] = {
        {"link", [&] { fs::create_symlink("other.conf", kUpgradeConf); }, notRegular},
        {"fifo", [&] { mkfifo(kUpgradeConf.c_str(), 0640); }, notRegular},
        {"read-only", [&] {
             ASSERT_TRUE(WriteFile(kUpgradeConf, "interval=60"));
             ASSERT_EQ(mount(kIsoDir, kIsoDir, nullptr, MS_BIND, nullptr) |
                       mount(nullptr, kIsoDir, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
         }, "run upgrade interval 60 minutes"},
    };
    for (const auto &r : starts) {
        SCOPED_TRACE(r.what);
        fs::remove_all(fresh);
        fs::remove(kUpgradeConf);
        ASSERT_TRUE(WriteFile(inside, "interval=60"));
        r.layout();
        log.Clear();
        StopDaemon();
        StartDaemon();
        ASSERT_TRUE(log.WaitFor("clearVmSocketReadBuf vmname vm1", 10s));
        EXPECT_TRUE(log.WaitFor(r.logged) && log.WaitFor(r.logged == notRegular ? "Open config file failed" : r.logged));
        ManageClient again;
        EXPECT_EQ(Ask(UPG_START_UPGRADE_MSG, ControlBody(1, 120, "no"), again, 5s), Reply(1, ""));
        EXPECT_EQ(log.Count("run upgrade interval 60 minutes"), r.logged == notRegular ? 0u : 1u);
        EXPECT_EQ(ReadFile(inside), "interval=60");
    }
    EXPECT_TRUE(log.WaitFor("interval 120 not stored, timer left as it was"));
    EXPECT_EQ(ReadFile(kUpgradeConf), "interval=60");
    EXPECT_EQ(umount2(kIsoDir, MNT_DETACH), 0);   // the daemon may be reading the directory this instant
}


// ISO candidates as others may leave them: only names a guest can ask for
// back, of regular files of the ISO directory itself, are offered, each one
// left out logged once a list; only what is offered is attached.
TEST_F(IsoHost, OnlyWhatCanBeAttachedIsOfferedAndOnlyWhatIsOfferedIsAttached)
{
    const std::string dir = kIsoDir;
    const size_t listsAtStart = log.Count("AddIsoNode ortavis-linux.iso");   // logged before the drain SetUp waited for
    ASSERT_TRUE(MakeDirs("/opt/secret") && WriteFile("/opt/secret/shadow", "root:*:1::::::\n", 0600));
    ASSERT_TRUE(MakeDirs(dir + "/sub") && WriteFile(dir + "/sub/x-linux-1.iso", "iso"));
    ASSERT_TRUE(WriteFile(dir + "/good.img", "iso"));
    fs::create_symlink("/opt/secret/shadow", dir + "/evil-linux-1.0.iso");
    fs::create_symlink("good.img", dir + "/good-linux-2.0.iso");   // a link within the directory stays valid
    fs::create_symlink("sub/x-linux-1.iso", dir + "/deep-linux-1.iso");
    const char *odd[] = {"dots-linux-1..2.iso", "-lead-linux-3.iso", "longver-linux-1.2.3.4.5.6.7.8.9.iso",
                         "ortavis-linux-9.9.iso", "evil-linux-1.0.iso", "deep-linux-1.iso"};
    for (const char *name : odd) {
        ASSERT_TRUE(fs::is_symlink(dir + "/" + name) || WriteFile(dir + "/" + name, "iso"));
    }
    ASSERT_TRUE(WriteFile(dir + "/mymodule-windows-10.0.19045.1234.iso", "iso"));
    host.SetBehaviour("vm1", guestsim::Behaviour::Silent);   // takes the offer, asks nothing itself
    ASSERT_TRUE(host.SendRequest("vm1", VM_REQ_UPGRADE_INFO_MSG) && host.WaitReceived("vm1", 1));
    const VmMsg offer = host.Received("vm1").front();
    std::set<std::string> offered;
    for (int i = 0; i < std::clamp(offer.moduleNum, 0, VM_MSG_MODULE_MAX); ++i) {
        offered.insert(std::string(offer.module[i].name) + " " + offer.module[i].curversion);
    }
    EXPECT_EQ(offered, (std::set<std::string>{"good 2.0", "mymodule 10.0.19045.1234", "ortavis 1.0.0.2"}));
    host.SetBehaviour("vm1", guestsim::Behaviour::Answer);
    const struct { const char *module, *version; int rescode; } attach[] = {
        {"sub/x", "1", 2}, {"x", "1", 2}, {"evil", "1.0", 2}, {"deep", "1", 2}, {"dots", "1..2", 2},
        {"longver", "1.2.3.4.5.6.7.8", 2}, {"good", "2.0", 0},
    };
    for (const auto &r : attach) {
        SCOPED_TRACE(r.module);
        EXPECT_EQ(GuestAttach(r.module, r.version), r.rescode);
        EXPECT_EQ(DriveSource("vm1"), r.rescode == 0 ? dir + "/good-linux-2.0.iso" : "");
    }
    EXPECT_TRUE(log.WaitFor("iso sub/x-linux-1.iso is not offered: attach refused"));
    // Each left out once a list: as often as the product's ISO was listed since.
    size_t lists = log.Count("AddIsoNode ortavis-linux.iso") - listsAtStart;
    for (const char *name : odd) {
        EXPECT_EQ(log.Count(std::string("iso ") + name + " left out: "), lists) << name;
    }
}

// A report, then an attach before the report's reset (due 3 to 4 s after): the newer
// upgrade stands. A slow host may handle the attach later, which shows as the reset
// logged before the attach's success; then the pair is sent again.
TEST_F(IsoHost, AnAttachAfterAReportOutlivesItsPendingReset)
{
    const std::string reset = "vm vm1 reset status";
    auto at = [&](const std::string &text) {
        auto texts = log.Texts();
        return std::ranges::find_if(texts, [&](const auto &t) { return t.starts_with(text); }) - texts.begin();
    };
    for (int tries = 0; tries == 0 || (tries < 3 && at(reset) < at("attach iso success: ")); ++tries) {
        log.Clear();
        ASSERT_TRUE(Report() && log.WaitFor("get resetVmStatusSem"));
        ASSERT_EQ(GuestAttach("ortavis", "1.0.0.2"), 0);
        (void)WaitUntil([&] { return log.Count(reset) > 0; }, 3s);
    }
    EXPECT_EQ(log.Count(reset), 0u) << log.Dump();
    ManageClient client;
    EXPECT_EQ(Health(client), Reply(1, "vm1:{3}")) << "answered for the upgrading guest";
}

// What the daemon put into a drive comes out again however the guest goes
// (silent, hung up and back, or the daemon killed and restarted in between):
// the drive ends empty, the VM idle, and a later run upgrades it. The
// deadline (12 s, checked every 3 s) is measured, not read off the wall: a
// step of the daemon's wall clock two hours either way while its guest
// installs neither ejects the ISO early nor holds it past the deadline.
class IsoDeadline : public IsoHost {
protected:
    void SetUp() override
    {
        binary = UPGD_DEADLINE12_PATH;
        ASSERT_TRUE(WriteFile(kShift, "0"));
        setenv("ASAN_OPTIONS", (std::string(getenv("ASAN_OPTIONS") ?: "") + ":verify_asan_link_order=0").c_str(), 1);
        setenv("UPGD_CLOCK_SHIFT_FILE", kShift, 1);
        setenv("LD_PRELOAD", UPGD_CLOCK_SHIFT_LIB, 1);
        IsoHost::SetUp();
        unsetenv("LD_PRELOAD");
    }
    static constexpr const char *kShift = "/run/upgd-clock-shift";
};

TEST_F(IsoDeadline, NoIsoIsLeftInADrive)
{
    const std::string ejected = "vm vm1: iso ejected after the deadline, state idle";
    const struct { const char *what; std::function<void()> meanwhile; bool byReport; } rows[] = {
        {"silent", [] {}, false},
        {"wall clock +2 h", [&] { ASSERT_TRUE(WriteFile(kShift, "7200")); }, false},
        {"wall clock -2 h", [&] { ASSERT_TRUE(WriteFile(kShift, "-7200")); }, false},
        {"hangup", [&] {
             int accepted = host.Accepted("vm1");
             host.HangUp("vm1");
             ASSERT_TRUE(host.WaitAccepted("vm1", accepted + 1, 10s) && log.WaitFor("vm list add vm : vm1") && Report());
         }, true},
        {"sigkill", [&] {
             int accepted = host.Accepted("vm1");
             ASSERT_TRUE(daemon.Signal(SIGKILL) && daemon.WaitExit());
             StartDaemon();
             ASSERT_TRUE(log.WaitFor("vm vm1 holds " + kProductIso + " from before the start: recorded as attached"));
             ASSERT_TRUE(host.WaitAccepted("vm1", accepted + 1) && log.WaitFor("clearVmSocketReadBuf vmname vm1") && Report());
         }, true},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        log.Clear();
        ASSERT_EQ(GuestAttach("ortavis", "1.0.0.2"), 0);
        ASSERT_EQ(DriveSource("vm1"), kProductIso);
        const auto attached = std::chrono::steady_clock::now();   // 2 s after the attach itself
        r.meanwhile();
        EXPECT_TRUE(log.WaitFor(r.byReport ? "detach iso by eject success" : ejected, 20s)) << log.Dump();
        EXPECT_TRUE(r.byReport || std::chrono::steady_clock::now() - attached > 6s) << "ejected before the deadline";
        EXPECT_EQ(log.Count(ejected), 0u + !r.byReport);
        EXPECT_EQ(DriveSource("vm1"), "");
        EXPECT_TRUE(!r.byReport || log.WaitFor("vm vm1 reset status", 8s));
        ManageClient client;
        EXPECT_EQ(Health(client), Reply(0, "vm1:{ok}")) << "idle again";
    }
    ASSERT_TRUE(host.SendRequest("vm1", VM_REQ_UPGRADE_INFO_MSG));
    EXPECT_TRUE(WaitUntil([&] {
        auto m = host.Modules("vm1");
        return !m.empty() && m[0].curversion == "1.0.0.2" && !host.Upgrading("vm1") && DriveSource("vm1").empty();
    }, 20s)) << "a later run upgrades it";
}

// A medium from elsewhere, swapped into a drive that held the daemon's ISO,
// stays there whatever the drive script answers: the guest's detach, its
// report and the deadline eject only a file of the ISO directory, and a
// script that fails (or times out, after its minute) leaves the drive as it is.
TEST_F(IsoDeadline, AMediumFromElsewhereIsNeverEjected)
{
    const std::string user = "/opt/images/user.iso", leftIn = "vm vm1 holds " + user + ", not from the ISO directory: left in";
    ASSERT_TRUE(MakeDirs("/opt/images") && WriteFile(user, "iso"));
    const struct { const char *what; bool fails, named; std::string logged; } rows[] = {
        {"sound, detach", false, true, leftIn},
        {"sound, report", false, false, leftIn},
        {"failing, detach", true, true, "vm vm1: the drive script gave no answer (2): the drive is left as it is"},
        {"failing, report and deadline", true, false, "vm vm1: eject after the deadline failed, tried again later"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        log.Clear();
        ASSERT_EQ(GuestAttach("ortavis", "1.0.0.2"), 0);
        ASSERT_EQ(std::system(("virsh change-media vm1 hdb " + user).c_str()), 0);   // behind the daemon's back
        virsh.Script("gethdbiso", "vm1", r.fails ? FakeVirsh::Reply{2, "", "broken", ""} : FakeVirsh::Reply{1, user, "", ""});
        virsh.ClearCalls();
        ASSERT_TRUE(r.named ? (GuestSend(VM_REQ_DETACH_ISO_MSG, "ortavis", "1.0.0.2", "vm1"), true) : Report());
        EXPECT_TRUE(log.WaitFor(r.logged, 40s)) << log.Dump();
        EXPECT_EQ(MediaCalls(), Calls{});
        EXPECT_EQ(DriveSource("vm1"), user);
        virsh.Unscript("gethdbiso", "vm1");
        ASSERT_EQ(std::system("virsh change-media vm1 hdb --eject"), 0);   // the record that stays goes at the deadline
        EXPECT_TRUE(!r.fails || log.WaitFor("vm vm1: iso ejected after the deadline, state idle", 20s));
    }
    // A VM that stops with the ISO in: its record goes with one line, and no lookup is tried on it again.
    log.Clear();
    ASSERT_EQ(GuestAttach("ortavis", "1.0.0.2"), 0);
    host.StopVm("vm1");
    EXPECT_TRUE(log.WaitFor("vm vm1 no longer runs: its attach record is dropped", 10s));
}

}  // namespace
