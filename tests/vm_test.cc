// The VM registry and the discovery pass, against the guest simulator's
// channels and live descriptions in the sandbox's libvirt run directory.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "guest_sim_host.h"
#include "ortavis_upgd_message.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_vm.h"
#include "registry_view.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using upgd_test::LogCollector;

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(InitVmListLock(), 0);
        ASSERT_EQ(InitIndependentVmListLock(), 0);
        ASSERT_EQ(InitUpgVmListAddLock(), 0);
    }
    void TearDown() override
    {
        {
            ObjectLockGuard up(GetUpgVmAddList());
            ClearUpgVmAddList();
        }
        {
            ObjectLockGuard ind(GetIndependentVmList());
            ClearIndependentVmList();
        }
        ObjectLockGuard reg(GetVmListHead());
        clearVmList(GetVmListHead());
    }
    static std::vector<std::string> Names() { return upgd_test::RegistryNames(); }
    static VmRef Find(const std::string &name) { return upgd_test::FindVm(name); }
    static VmNode *Detached(const char *name)
    {
        VmNode *n = NewVmNode();
        std::snprintf(n->name, sizeof(n->name), "%s", name);
        return n;
    }
    LogCollector log;
};

TEST_F(Registry, ListOperations)
{
    VmNode *head = GetVmListHead();
    VmNode *a = Detached("a");
    VmNode *b = Detached("b");
    {
        ObjectLockGuard reg(head);
        addVmNode(head, a);
        addVmNode(head, b);
    }
    EXPECT_EQ(Names(), (std::vector<std::string>{"b", "a"})) << "newest first";
    ObjectLockGuard reg(head);
    EXPECT_EQ(findVmByName(head, nullptr), nullptr);
    EXPECT_EQ(findVmByName(head, "a"), a);
    // Names compare in their first 127 characters.
    std::string longName(127, 'x');
    VmNode *c = Detached(longName.c_str());
    addVmNode(head, c);
    EXPECT_EQ(findVmByName(head, (longName + "tail").c_str()), c);
    a->fd = 77;
    EXPECT_EQ(findVmByFd(head, 77), a);
    EXPECT_EQ(findVmByFd(head, 78), nullptr);

    VmNode *stranger = Detached("stranger");
    log.Clear();
    EXPECT_EQ(deleteVmNode(head, stranger), 0);
    EXPECT_EQ(deleteVmNode(head, a), 1);
    EXPECT_EQ(findVmByName(head, "a"), nullptr);
    EXPECT_TRUE(log.WaitFor("delete vm name a"));
    EXPECT_EQ(log.Count("stranger"), 0u);
    a->fd = -1;
    releaseVmNode(&a);
    EXPECT_EQ(a, nullptr);
    VmNodePut(stranger);
}

TEST_F(Registry, IndependentListKeepsANullSlotAndItsCount)
{
    VmNode *a = Detached("a");
    VmNode *b = Detached("b");
    {
        ObjectLockGuard ind(GetIndependentVmList());
        ASSERT_EQ(AppendIndependentVmNode(a), 0);
        ASSERT_EQ(AppendIndependentVmNode(b), 0);
    }
    deleteIndependentVmNode(a);
    EXPECT_TRUE(log.WaitFor("delete Independent VmNode : a"));
    ObjectLockGuard ind(GetIndependentVmList());
    EXPECT_EQ(GetIndependentVmList()->count, 2);
    EXPECT_EQ(GetIndependentVmList()->slots[0], nullptr);
    EXPECT_EQ(GetIndependentVmList()->slots[1], b);
    VmNodePut(a);
    VmNodePut(b);
}

TEST_F(Registry, UpgradeListsRefuseTheSlotPastTheLast)
{
    VmNode *n = Detached("many");
    {
        ObjectLockGuard ind(GetIndependentVmList());
        for (int i = 0; i < VM_LIST_MAX; ++i) {
            ASSERT_EQ(AppendIndependentVmNode(n), 0);
        }
        EXPECT_EQ(AppendIndependentVmNode(n), -1);
        EXPECT_EQ(GetIndependentVmList()->count, VM_LIST_MAX);
    }
    {
        ObjectLockGuard up(GetUpgVmAddList());
        for (int i = 0; i < VM_LIST_MAX; ++i) {
            ASSERT_EQ(AppendUpgVmAddNode(n), 0);
        }
        EXPECT_EQ(AppendUpgVmAddNode(n), -1);
    }
    EXPECT_EQ(n->refs.load(), 1 + 2 * VM_LIST_MAX);
    VmNodePut(n);
}

TEST_F(Registry, SnapshotAndStateRules)
{
    struct Row {
        int before;
        int sourceAfter;
    };
    const Row rows[] = {
        {UPGRADE_IDLE_STATE, UPGRADE_PENDING_STATE},
        {UPGRADE_RUNNING_STATE, UPGRADE_RUNNING_STATE},
        {UPGRADE_ATTACH_REFUSED_STATE, UPGRADE_PENDING_STATE},
        {UPGRADE_CONNECT_TIMEOUT_STATE, UPGRADE_PENDING_STATE},
    };
    for (const auto &r : rows) {
        VmNode *src = Detached("snap");
        std::snprintf(src->isopath, sizeof(src->isopath), "/iso/x.iso");
        src->upgradeFlag = r.before;
        src->fd = 9;
        src->cdromCheckRet = 1;
        src->isoattachFlag = 1;
        VmNode *copy = InitNode(src);
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(src->upgradeFlag.load(), r.sourceAfter) << r.before;
        EXPECT_EQ(copy->upgradeFlag.load(), r.before);
        EXPECT_STREQ(copy->name, "snap");
        EXPECT_STREQ(copy->isopath, "/iso/x.iso");
        EXPECT_EQ(copy->fd.load(), -1);   // no live channel, no count: the sender uses the entry
        EXPECT_EQ(copy->refs.load(), 0);
        EXPECT_EQ(copy->cdromCheckRet.load(), 1);
        EXPECT_EQ(copy->isoattachFlag.load(), 0);
        FreeSnapshotNode(copy);
        src->fd = -1;
        VmNodePut(src);
    }

    VmNode *n = Detached("st");
    for (int locked : {UPGRADE_ATTACH_REFUSED_STATE, UPGRADE_CONNECT_TIMEOUT_STATE}) {
        n->upgradeFlag = locked;
        log.Clear();
        setVmState(n, UPGRADE_RUNNING_STATE);
        EXPECT_EQ(n->upgradeFlag.load(), locked);
        EXPECT_TRUE(log.WaitFor("st cur upgradeFlag is " + std::to_string(locked)));
    }
    n->upgradeFlag = UPGRADE_PENDING_STATE;
    setVmState(n, UPGRADE_RUNNING_STATE);
    EXPECT_EQ(n->upgradeFlag.load(), UPGRADE_RUNNING_STATE);
    EXPECT_TRUE(log.WaitFor("set st state 1"));
    VmNodePut(n);
}

TEST_F(Registry, AStateThatMustStayIsNeverOverwrittenByARacingChange)
{
    // Each round, one thread marks the VM timed out while another sets it running: whatever the order,
    // the round ends timed out. Then snapshots race with ISO path changes (the thread sanitizer's part).
    VmNode *n = Detached("race");
    constexpr int kRounds = 3000;
    std::atomic<int> round{0};
    std::atomic<int> done{0};
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
        n->upgradeFlag = UPGRADE_IDLE_STATE;
        round.store(r);
        setVmState(n, UPGRADE_CONNECT_TIMEOUT_STATE);
        while (done.load() < r) {
            std::this_thread::yield();
        }
        lost += n->upgradeFlag.load() != UPGRADE_CONNECT_TIMEOUT_STATE;
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
        n->cdromCheckRet = r;
    }
    snapshots.join();
    VmNodePut(n);
}

TEST_F(Registry, AChannelNumberStaysTheEntrysUntilItsLastReference)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    VmNode *n = Detached("chan");
    n->fd = sv[0];
    n->ownedFd = sv[0];
    {
        ObjectLockGuard reg(GetVmListHead());
        addVmNode(GetVmListHead(), n);
    }
    VmRef held = Find("chan");
    {
        ObjectLockGuard reg(GetVmListHead());
        deleteVmNode(GetVmListHead(), n);
        releaseVmNode(&n);
    }
    EXPECT_EQ(held->fd.load(), -1);
    char c;
    EXPECT_EQ(recv(sv[0], &c, 1, MSG_DONTWAIT), 0) << "a reader of the old number sees the end";
    int next = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_NE(next, sv[0]) << "no other socket may get the number while the entry is held";
    close(next);
    held.reset();
    EXPECT_EQ(fcntl(sv[0], F_GETFD), -1) << "closed with the last reference";
    close(sv[1]);
}

// ---- Discovery ---------------------------------------------------------------------

class Discovery : public Registry {
protected:
    guestsim::HostSim sim;
};

TEST_F(Discovery, NewStoppedAndRestartedVms)
{
    ASSERT_TRUE(sim.AddVm("web01"));
    ASSERT_TRUE(sim.AddVm("db-02"));
    GetRunningVmList();
    auto names = Names();
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), (std::set<std::string>{"web01", "db-02"}));
    ASSERT_TRUE(sim.WaitAccepted("web01", 1));
    EXPECT_TRUE(log.WaitFor("vm list add vm : web01"));

    // Nothing changed: no new connection, same entries.
    VmRef web = Find("web01");
    GetRunningVmList();
    EXPECT_EQ(Find("web01").get(), web.get());
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sim.Accepted("web01"), 1);

    // web01 stops while listed for an upgrade: it leaves the registry and the
    // list in the same pass; the reference kept here sees a released entry.
    {
        ObjectLockGuard ind(GetIndependentVmList());
        ASSERT_EQ(AppendIndependentVmNode(web.get()), 0);
    }
    sim.StopVm("web01");
    GetRunningVmList();
    EXPECT_EQ(Names(), (std::vector<std::string>{"db-02"}));
    {
        ObjectLockGuard ind(GetIndependentVmList());
        EXPECT_EQ(GetIndependentVmList()->slots[0], nullptr);
    }
    EXPECT_TRUE(web->released.load());
    EXPECT_EQ(web->fd.load(), -1);
    EXPECT_TRUE(log.WaitFor("release vm web01 client socket"));

    // The channel hangs up; the command loop closes it and marks the entry
    // with fd -1; the next pass reconnects.
    VmRef db = Find("db-02");
    sim.HangUp("db-02");
    {
        ObjectLockGuard reg(GetVmListHead());
        CloseVmChannel(db.get());
    }
    GetRunningVmList();
    ASSERT_TRUE(sim.WaitAccepted("db-02", 2)) << "no reconnect after the hang-up";
    VmRef db2 = Find("db-02");
    ASSERT_TRUE(db2);
    EXPECT_NE(db2.get(), db.get());
    EXPECT_GE(db2->fd.load(), 0);
}

TEST_F(Discovery, NamesFromTheRunDirectory)
{
    ASSERT_TRUE(sim.AddVm("web01"));
    // libvirt's temporary copy, an operator's backups, the pid file: none is a VM, none costs a connect.
    for (const char *other : {"web01.xml.new", "web01.xml~", "web01.xml.bak", "web01.pid", ".xml"}) {
        ASSERT_TRUE(upgd_test::WriteFile(std::string("/var/run/libvirt/qemu/") + other, "<domstatus/>\n"));
    }
    GetRunningVmList();
    EXPECT_EQ(Names(), std::vector<std::string>{"web01"});
    log.Barrier();
    EXPECT_EQ(log.Count("connect '"), 0u) << log.Dump();
}

TEST_F(Discovery, AGuestThatStopsReadingCostsAWriterAFewSecondsAtMost)
{
    ASSERT_TRUE(sim.AddVm("deaf"));
    sim.SetBehaviour("deaf", guestsim::Behaviour::Deaf);
    GetRunningVmList();
    VmRef vm = Find("deaf");
    ASSERT_TRUE(vm);
    ASSERT_TRUE(sim.WaitAccepted("deaf", 1));
    VmMsg msg{};
    int sent = 0;
    auto start = std::chrono::steady_clock::now();
    while (sent < 100000 && WriteFD(vm->fd, &msg, sizeof(msg)) == static_cast<int>(sizeof(msg))) {
        ++sent;
    }
    EXPECT_LT(sent, 100000) << "the channel never filled up";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(PEER_WRITE_MS) + 3s);
}

TEST_F(Discovery, AChannelBehindASymbolicLinkIsNeverConnected)
{
    // "evil"'s channel points at web01's: connecting would let evil's guest act for web01.
    ASSERT_TRUE(sim.AddVm("web01"));
    guestsim::VmOptions noChannel;
    noChannel.listen = false;
    ASSERT_TRUE(sim.AddVm("evil", noChannel));
    ASSERT_EQ(symlink(sim.ChannelPath("web01").c_str(), sim.ChannelPath("evil").c_str()), 0);
    GetRunningVmList();
    EXPECT_EQ(Names(), std::vector<std::string>{"web01"});
    ASSERT_TRUE(sim.WaitAccepted("web01", 1));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sim.Accepted("web01"), 1);
}

TEST_F(Discovery, FailedConnectsLeaveNoEntryAndStopBeingLogged)
{
    // The allowance serves the whole process: what earlier failures left of it.
    const int before = VmConnectFailures();
    guestsim::VmOptions dead;
    dead.listen = false;
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(sim.AddVm("dead" + std::to_string(i), dead));
    }
    GetRunningVmList();
    EXPECT_TRUE(Names().empty());
    GetRunningVmList();   // twelve more failures, all silent
    log.Barrier();
    EXPECT_EQ(VmConnectFailures(), before + 24);
    EXPECT_EQ(log.Count("connect '/var/run/libvirt/qemu/dead"), static_cast<size_t>(std::max(0, 10 - before)))
        << log.Dump();
    EXPECT_EQ(log.Count("socket fail"), static_cast<size_t>(std::max(0, 9 - before)));
}

TEST_F(Discovery, OnlyTheFirst1024NamesAreTaken)
{
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    ASSERT_GE(lim.rlim_cur, 4096u);
    constexpr int kVms = VM_LIST_MAX + 6;
    for (int i = 0; i < kVms; ++i) {
        ASSERT_TRUE(sim.AddVm("vm" + std::to_string(i)));
    }
    // The directory's own order decides which 1024 are taken.
    std::set<std::string> first;
    DIR *dir = opendir(VM_RUN_DIR);
    while (dirent *e = readdir(dir)) {
        std::string f = e->d_name;
        if (f.size() > 4 && f.find(".xml") != std::string::npos && first.size() < VM_LIST_MAX) {
            first.insert(f.substr(0, f.size() - 4));
        }
    }
    closedir(dir);
    GetRunningVmList();
    auto names = Names();
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), first);
    EXPECT_EQ(names.size(), static_cast<size_t>(VM_LIST_MAX));
}

TEST_F(Discovery, EntriesStayValidForHoldersWhileVmsComeAndGo)
{
    constexpr int kVms = 16;
    for (int i = 0; i < kVms; ++i) {
        ASSERT_TRUE(sim.AddVm("churn" + std::to_string(i)));
    }
    std::atomic<bool> stop{false};
    std::thread discovery([&] {
        while (!stop) {
            GetRunningVmList();
        }
    });
    std::thread holder([&] {
        while (!stop) {
            for (int i = 0; i < kVms; ++i) {
                VmRef ref = Find("churn" + std::to_string(i));
                if (!ref) {
                    continue;
                }
                {
                    ObjectLockGuard ind(GetIndependentVmList());
                    if (GetIndependentVmList()->count < VM_LIST_MAX) {
                        AppendIndependentVmNode(ref.get());
                    }
                }
                // Used after the registry lock is gone, as a writer would.
                pthread_mutex_lock(&ref->writeLock);
                int fd = ref->fd;
                bool released = ref->released;
                pthread_mutex_unlock(&ref->writeLock);
                EXPECT_TRUE(released ? fd == -1 : fd >= 0);
                EXPECT_EQ(std::string(ref->name), "churn" + std::to_string(i));
            }
        }
    });
    for (int round = 0; round < 40; ++round) {
        std::string name = "churn" + std::to_string(round % kVms);
        sim.StopVm(name);
        std::this_thread::sleep_for(5ms);
        ASSERT_TRUE(sim.AddVm(name));
    }
    stop = true;
    discovery.join();
    holder.join();
}

}  // namespace

// ---- Replies on a guest's behalf ---------------------------------------------------

namespace {

class StateReplies : public ::testing::Test {
protected:
    void SetUp() override
    {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        conn = OpenClientConn(sv[0]);
        peer = sv[1];
        vm = NewVmNode();
        std::snprintf(vm->name, sizeof(vm->name), "web01");
    }
    void TearDown() override
    {
        close(peer);
        VmNodePut(vm);
    }
    // The next reply on the client's side: header and body.
    std::pair<MsgHeadInfo, std::string> Reply()
    {
        MsgHeadInfo head{};
        EXPECT_EQ(recv(peer, &head, sizeof(head), MSG_WAITALL), static_cast<ssize_t>(sizeof(head)));
        std::string body(head.bufLen, '\0');
        if (head.bufLen > 0) {
            EXPECT_EQ(recv(peer, body.data(), body.size(), MSG_WAITALL), static_cast<ssize_t>(body.size()));
        }
        for (uint8_t b : head.reserved) {
            EXPECT_EQ(b, 0);
        }
        return {head, body};
    }
    bool NothingWaiting()
    {
        char c;
        return recv(peer, &c, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
    }
    std::shared_ptr<ClientConn> conn;
    int peer = -1;
    VmNode *vm = nullptr;
    LogCollector log;
};

TEST_F(StateReplies, EveryFormCarriesTheRequestsIdAndType)
{
    struct Row {
        bool upgrading;
        uint32_t type;
        const char *body;
    };
    const Row rows[] = {
        {true, UPG_MSG_GET_UPG_RES, "web01:{m1,0.0.0.0,2,0.0.0.0}"},
        {true, UPG_MSG_HEALTH_CHECK, "web01:{3}"},
        {true, UPG_MSG_AUTO_CTRL, "web01:{5}"},
        {false, UPG_MSG_GET_UPG_RES, "web01:{m1,0.0.0.0,13,0.0.0.0}"},
        {false, UPG_MSG_HEALTH_CHECK, "web01:{13}"},
        {false, UPG_MSG_AUTO_CTRL, "web01:{13}"},
    };
    uint64_t id = 1700000000123456ULL;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.body);
        ++id;
        MsgHeadInfo request{};
        request.msgId = id;
        request.msgType = r.type;
        std::memset(request.reserved, 0x5a, sizeof(request.reserved));
        int ret = r.upgrading ? vmUpgradeState(*conn, vm, request, "m1")
                              : vmConnectTimeOut(*conn, vm, r.type, "m1", id);
        EXPECT_EQ(ret, 0);
        auto [head, body] = Reply();
        EXPECT_EQ(head.msgId, id);
        EXPECT_EQ(head.msgType, r.type);
        EXPECT_EQ(head.result, 1);
        EXPECT_EQ(body, r.body);
    }
    EXPECT_TRUE(log.WaitFor("send to client the vm is upgrading : web01:{3}"));
}

TEST_F(StateReplies, OtherTypesAndNullVmWriteNothing)
{
    MsgHeadInfo request{};
    request.msgType = UPG_START_UPGRADE_MSG;
    EXPECT_EQ(vmUpgradeState(*conn, vm, request, "none"), -1);
    EXPECT_EQ(vmConnectTimeOut(*conn, vm, UPG_MSG_OPEN_CONNECT, "none", 1), -1);
    EXPECT_EQ(vmUpgradeState(*conn, nullptr, request, "none"), -1);
    EXPECT_EQ(vmConnectTimeOut(*conn, nullptr, UPG_MSG_HEALTH_CHECK, "none", 1), -1);
    EXPECT_TRUE(log.WaitFor("type is not support. type=5"));
    EXPECT_TRUE(log.WaitFor("type is not support. type=1"));
    EXPECT_TRUE(log.WaitFor("vmUpgradeState vm is null"));
    EXPECT_TRUE(log.WaitFor("vmConnectTimeOut vm is null"));
    EXPECT_TRUE(NothingWaiting());
}

TEST_F(StateReplies, FailedWriteIsReported)
{
    CloseClientConn(*conn);
    MsgHeadInfo request{};
    request.msgType = UPG_MSG_HEALTH_CHECK;
    EXPECT_EQ(vmUpgradeState(*conn, vm, request, "none"), 0);
    EXPECT_EQ(vmConnectTimeOut(*conn, vm, UPG_MSG_HEALTH_CHECK, "none", 1), -1);
    EXPECT_TRUE(log.WaitForCount("send to client upgrade state failed", 2));
}

}  // namespace
