// The VM registry and the discovery pass, against the guest simulator's
// channels and live descriptions in the sandbox's libvirt run directory.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "guest_sim_host.h"
#include "registry_view.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using upgd_test::FindVm;
using upgd_test::RegistryNames;
using Names = std::set<std::string>;

VmNode *Detached(const char *name)
{
    VmNode *n = NewVmNode();
    std::snprintf(n->name, sizeof(n->name), "%s", name);
    return n;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(upgd_test::InitRegistry(), 0); }
    void TearDown() override { upgd_test::ClearRegistry(); }
    upgd_test::LogCollector log;
};

// Each VM's state goes idle 2 to about 4 s after its own request, through timer signals.
TEST_F(Registry, StatusResetsComeOnEachVmsOwnMarkThroughTimerSignals)
{
    ASSERT_EQ(CreateStopEvent() | sem_init(&g_resetVmStatusSem, 0, 0), 0);
    struct sigaction alrm {};
    alrm.sa_handler = [](int) {};   // no SA_RESTART, as the upgrade timer's
    ASSERT_EQ(sigaction(SIGALRM, &alrm, nullptr), 0);
    VmNode *a = Detached("reset-a"), *b = Detached("reset-b");
    a->upgradeFlag = UPGRADE_ATTACH_REFUSED_STATE;
    b->upgradeFlag = UPGRADE_CONNECT_TIMEOUT_STATE;
    {
        ObjectLockGuard reg(GetVmListHead());
        for (VmNode *n : {a, b}) {
            addVmNode(GetVmListHead(), n);
        }
    }
    SetResetThreadWork(nullptr, nullptr, 60);   // it waits as in the daemon, at most a period at a time
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, ResetVmStatusThread, nullptr), 0);
    std::atomic<bool> burst{true};
    std::thread signals([&] {
        for (; burst; std::this_thread::sleep_for(1ms)) {
            pthread_kill(thread, SIGALRM);
        }
    });
    ASSERT_TRUE(log.WaitFor("ResetVmStatusThread created"));
    std::this_thread::sleep_for(300ms);   // signals while it waits with nothing posted
    auto resetWithin = [](VmNode *n, auto from) {   // due 2 to about 4 s after; 8 s of slack for loaded machines
        bool reset = upgd_test::WaitUntil([n] { return n->upgradeFlag == UPGRADE_IDLE_STATE; }, 8s);
        return reset && std::chrono::steady_clock::now() - from >= 2s && n->resetTime == 0;
    };
    auto t0 = std::chrono::steady_clock::now();
    postResetVmStatus(a);
    std::this_thread::sleep_for(1500ms);
    auto t1 = std::chrono::steady_clock::now();
    postResetVmStatus(b);
    EXPECT_TRUE(resetWithin(a, t0));
    EXPECT_TRUE(resetWithin(b, t1));
    burst = false;
    signals.join();
    RequestStop();
    EXPECT_EQ(pthread_join(thread, nullptr), 0);
}

TEST_F(Registry, ASnapshotKeepsTheStateItReplacedAndNoChannel)
{
    // The source goes pending unless it is running.
    const std::pair<int, int> rows[] = {{UPGRADE_IDLE_STATE, UPGRADE_PENDING_STATE},
                                        {UPGRADE_RUNNING_STATE, UPGRADE_RUNNING_STATE}};
    VmNode *n = Detached("snap");
    std::snprintf(n->isopath, sizeof(n->isopath), "/iso/x.iso");
    n->cdromCheckRet = 1;
    n->fd = 9;
    for (const auto &[before, sourceAfter] : rows) {
        n->upgradeFlag = before;
        VmNode *copy = InitNode(n);
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(n->upgradeFlag.load(), sourceAfter) << before;
        EXPECT_EQ(copy->upgradeFlag.load(), before);
        EXPECT_STREQ(copy->isopath, "/iso/x.iso");
        EXPECT_EQ(copy->fd.load(), -1) << "a snapshot holds no live channel";
        EXPECT_EQ(copy->cdromCheckRet.load(), 1);
        FreeSnapshotNode(copy);
    }
    VmNodePut(n);
}

TEST_F(Registry, AStateThatMustStayIsNeverOverwrittenByARacingChange)
{
    // Each round one thread sets 9 or 13 while another sets the VM running:
    // whatever the order, the round ends in 9 or 13. Then snapshots race with
    // ISO path changes (the thread sanitizer's part).
    VmNode *n = Detached("race");
    constexpr int kRounds = 3000;
    std::atomic<int> round{0}, done{0};
    std::thread runner([&] {
        for (int r = 1; r <= kRounds; ++r) {
            while (round.load() < r) {
                std::this_thread::yield();
            }
            setVmState(n, UPGRADE_RUNNING_STATE);
            done.store(r);
        }
    });
    int lost = 0;
    for (int r = 1; r <= kRounds; ++r) {
        const int kept = r % 2 ? UPGRADE_ATTACH_REFUSED_STATE : UPGRADE_CONNECT_TIMEOUT_STATE;
        n->upgradeFlag = UPGRADE_IDLE_STATE;
        round.store(r);
        setVmState(n, kept);
        while (done.load() < r) {
            std::this_thread::yield();
        }
        lost += n->upgradeFlag.load() != kept;
    }
    runner.join();
    EXPECT_EQ(lost, 0);
    std::thread snapshots([&] {
        for (int r = 0; r < 1000; ++r) {
            FreeSnapshotNode(InitNode(n));
        }
    });
    for (int r = 0; r < 1000; ++r) {
        ClearVmIsoPath(n);
    }
    snapshots.join();
    VmNodePut(n);
}

TEST_F(Registry, AChannelIsClosedWithItsLastReferenceOnlyAndListsHold1024)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    VmNode *n = Detached("chan");
    n->fd = sv[0];
    n->ownedFd = sv[0];
    VmRef held(n);
    {
        ObjectLockGuard reg(GetVmListHead());
        ObjectLockGuard ind(GetIndependentVmList());
        ObjectLockGuard up(GetUpgVmAddList());
        addVmNode(GetVmListHead(), n);
        for (int i = 0; i < VM_LIST_MAX; ++i) {
            ASSERT_EQ(AppendIndependentVmNode(n), 0);
            ASSERT_EQ(AppendUpgVmAddNode(n), 0);
        }
        EXPECT_EQ(AppendIndependentVmNode(n), -1);
        EXPECT_EQ(AppendUpgVmAddNode(n), -1);
        deleteVmNode(GetVmListHead(), n);
        releaseVmNode(&n);
        EXPECT_EQ(held->fd.load(), -1);
        char c;
        EXPECT_EQ(recv(sv[0], &c, 1, MSG_DONTWAIT), 0) << "a reader of the old number sees the end";
        ClearIndependentVmList();
        EXPECT_NE(fcntl(sv[0], F_GETFD), -1) << "closed while a list and a holder keep the entry";
        ClearUpgVmAddList();
        EXPECT_NE(fcntl(sv[0], F_GETFD), -1) << "closed while a holder keeps the entry";
    }
    held.reset();
    EXPECT_EQ(fcntl(sv[0], F_GETFD), -1) << "not closed with the last reference";
    close(sv[1]);
}

// ---- Discovery ---------------------------------------------------------------------

class Discovery : public Registry {
protected:
    guestsim::HostSim sim;
};

TEST_F(Discovery, NewStoppedAndHungUpVms)
{
    ASSERT_TRUE(sim.AddVm("web01"));
    ASSERT_TRUE(sim.AddVm("db-02"));
    GetRunningVmList();
    EXPECT_EQ(RegistryNames(), (Names{"web01", "db-02"}));
    EXPECT_TRUE(log.WaitFor("vm list add vm : web01"));

    // web01 stops while listed for an upgrade: it leaves the registry and the
    // list in the same pass; the reference kept here sees a released entry.
    VmRef web = FindVm("web01");
    {
        ObjectLockGuard ind(GetIndependentVmList());
        ASSERT_EQ(AppendIndependentVmNode(web.get()), 0);
    }
    sim.StopVm("web01");
    GetRunningVmList();
    EXPECT_EQ(RegistryNames(), Names{"db-02"});
    EXPECT_TRUE(web->released.load());
    const int webFd = web->ownedFd;
    web.reset();
    EXPECT_EQ(fcntl(webFd, F_GETFD), -1) << "not closed with the last reference: the list kept one";

    // A hung-up channel, ended by the command loop, is connected anew by the next pass.
    VmRef db = FindVm("db-02");
    sim.HangUp("db-02");
    {
        ObjectLockGuard reg(GetVmListHead());
        CloseVmChannel(db.get());
    }
    GetRunningVmList();
    ASSERT_TRUE(sim.WaitAccepted("db-02", 2)) << "no reconnect after the hang-up";
    VmRef db2 = FindVm("db-02");
    ASSERT_TRUE(db2);
    EXPECT_NE(db2.get(), db.get());
}

TEST_F(Discovery, OnlyNameXmlWithAChannelOfItsOwnIsAVmAndFailuresStopBeingLogged)
{
    ASSERT_TRUE(sim.AddVm("web01"));
    // libvirt's temporary copy, an operator's backups, the pid file: none is a VM, none costs a connect.
    for (const char *other : {"web01.xml.new", "web01.xml~", "web01.xml.bak", "web01.pid", ".xml"}) {
        ASSERT_TRUE(upgd_test::WriteFile(std::string(VM_RUN_DIR) + "/" + other, "<domstatus/>\n"));
    }
    // evil's channel points at web01's: connecting it would let evil's guest act for web01.
    guestsim::VmOptions noChannel;
    noChannel.listen = false;
    ASSERT_TRUE(sim.AddVm("evil", noChannel));
    ASSERT_EQ(symlink(sim.ChannelPath("web01").c_str(), sim.ChannelPath("evil").c_str()), 0);
    for (int i = 0; i < 11; ++i) {
        ASSERT_TRUE(sim.AddVm("dead" + std::to_string(i), noChannel));
    }
    // Twelve failures a pass, each closing its socket; the allowance of logged ones serves the whole process.
    const int before = VmConnectFailures();
    GetRunningVmList();
    ASSERT_TRUE(sim.WaitAccepted("web01", 1));
    const auto fds = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    GetRunningVmList();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), fds);
    EXPECT_EQ(RegistryNames(), Names{"web01"});
    EXPECT_EQ(VmConnectFailures(), before + 24);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sim.Accepted("web01"), 1) << "an unchanged VM was connected again";
    log.Barrier();
    EXPECT_EQ(log.Count("connect '/var/run/libvirt/qemu/"), static_cast<size_t>(std::max(0, 10 - before)))
        << log.Dump();
    EXPECT_EQ(log.Count("socket fail"), static_cast<size_t>(std::max(0, 9 - before)));
}

TEST_F(Discovery, OnlyTheFirst1024NamesAreTaken)
{
    ASSERT_TRUE(upgd_test::RaiseFdLimit());
    for (int i = 0; i < VM_LIST_MAX + 6; ++i) {
        ASSERT_TRUE(sim.AddVm("vm" + std::to_string(i)));
    }
    // The directory's own order decides which 1024 are taken.
    Names first;
    DIR *dir = opendir(VM_RUN_DIR);
    while (dirent *e = readdir(dir)) {
        std::string f = e->d_name;
        if (f.ends_with(".xml") && first.size() < VM_LIST_MAX) {
            first.insert(f.substr(0, f.size() - 4));
        }
    }
    closedir(dir);
    GetRunningVmList();
    EXPECT_EQ(RegistryNames(), first);
}

}  // namespace
