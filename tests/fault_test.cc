// Faults around the real daemon on the simulated host: guests and clients
// that break off or dribble, a virsh that hangs, dies or floods, a full /run,
// a missing ISO directory, and a SIGKILL while the interval is stored. After
// each the daemon serves the others and keeps a whole stored interval.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "daemon_host.h"

namespace {

using namespace std::chrono_literals;
using guestsim::Behaviour;
using upgd_test::ActionBody;
using upgd_test::ControlBody;
using upgd_test::ManageClient;
using upgd_test::ManageMessage;
using upgd_test::QueryBody;
using Reply = std::pair<int, std::string>;
const Reply kVm1Ok = {0, "vm1:{ok}"}, kVm2Ok = {0, "vm2:{ok}"};
const Reply kVm1Result = {0, "vm1:{ortavis,1.0.0.1,0,1.0.0.1}"};

class Faults : public upgd_test::DaemonHost {
protected:
    // The daemon's standard error (and its commands') goes to a file outside
    // /run: a flooding virsh must not flood the test's output.
    void SetUp() override
    {
        savedStderr_ = dup(2);
        int file = open("/dev/shm/daemon.stderr", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_TRUE(savedStderr_ >= 0 && file >= 0 && dup2(file, 2) == 2);
        close(file);
        SetUpHost({"vm1", "vm2"});
    }
    void TearDown() override
    {
        if (daemon.Running()) {
            StopDaemon();
        }
        dup2(savedStderr_, 2);
        close(savedStderr_);
    }
    long PeakKiB()
    {
        std::string status = upgd_test::ReadFile("/proc/" + std::to_string(daemon.Pid()) + "/status").value_or("");
        size_t at = status.find("VmHWM:");
        return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
    }
    int savedStderr_ = -1;
};

// A guest that writes half its answer and resets the channel gives no answer
// made of the half; a guest and a client that dribble their message are read
// whole. Each costs only its own answer.
TEST_F(Faults, GuestsAndClientsThatBreakOffOrDribbleCostOnlyTheirOwnAnswer)
{
    ManageClient other;
    host.SetBehaviour("vm1", Behaviour::HalfReset);
    {
        ManageClient client;
        Reply got = Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), client, 1500ms);
        EXPECT_TRUE(got.first == -1 || got == Reply(1, "")) << got.first << " " << got.second;
    }
    EXPECT_TRUE(log.WaitFor("getVmCmdMsg failed")) << log.Dump();
    host.SetBehaviour("vm1", Behaviour::Answer);
    EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm2", 1), other), kVm2Ok);
    ASSERT_TRUE(host.WaitAccepted("vm1", 2, 10s));
    EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), other), kVm1Ok);

    // vm1 answers in four pieces 150 ms apart while vm2 is asked.
    host.SetBehaviour("vm1", Behaviour::Silent);
    size_t asked = host.Received("vm1").size();
    ManageClient slow;
    ASSERT_TRUE(slow.Send(ManageMessage(77, UPG_MSG_HEALTH_CHECK, 0, ActionBody("vm1", 1))));
    ASSERT_TRUE(host.WaitReceived("vm1", asked + 1));
    VmMsg answer = guestsim::Request(HOST_MSG_HEALTH_CHECK, {}, host.Received("vm1").back().msgId);
    guestsim::SetText(answer.module[0].checkresult, sizeof(answer.module[0].checkresult), "ok");
    const auto *bytes = reinterpret_cast<const uint8_t *>(&answer);
    std::thread dribble([&] {
        for (size_t at = 0; at < sizeof(answer); at += sizeof(answer) / 4) {
            host.SendBytes("vm1", std::vector<uint8_t>(bytes + at, bytes + at + sizeof(answer) / 4));
            std::this_thread::sleep_for(150ms);
        }
    });
    EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm2", 1), other), kVm2Ok);
    dribble.join();
    auto reply = slow.Receive(5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(std::make_pair(reply->head.msgId, reply->body), std::make_pair(uint64_t{77}, std::string("vm1:{ok}")));
    host.SetBehaviour("vm1", Behaviour::Answer);

    // A client's request a byte every 8 ms, while another client is served.
    ManageClient dribbler;
    const std::string request = ManageMessage(78, UPG_MSG_HEALTH_CHECK, 0, ActionBody("vm2", 1));
    std::thread drip([&] {
        for (char c : request) {
            dribbler.Send(std::string(1, c));
            std::this_thread::sleep_for(8ms);
        }
    });
    EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), other), kVm1Ok);
    drip.join();
    reply = dribbler.Receive(5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(std::make_pair(reply->head.msgId, reply->body), std::make_pair(uint64_t{78}, std::string("vm2:{ok}")));
}

// A virsh that prints megabytes is read to its end with a bounded buffer; one
// killed midway failed, whatever it printed first; one that hangs holds only
// the request it serves.
TEST_F(Faults, AVirshThatFloodsDiesOrHangsCostsOnlyItsOwnCall)
{
    ManageClient client;
    ASSERT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), client), kVm1Ok);
    long before = PeakKiB();
    virsh.ScriptShell("qemu-agent-command", "vm1", "flood=$((64 << 20))");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), client), kVm1Ok);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_LT(PeakKiB() - before, 16 << 10) << "KiB more at the peak";
    ASSERT_EQ(truncate("/dev/shm/daemon.stderr", 0), 0);

    virsh.ScriptShell("qemu-agent-command", "vm1", "out+=$(printf '%064d' 0); signal=KILL");
    EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), client), Reply(1, "vm1:{13}"));
    EXPECT_TRUE(log.WaitFor("ret is 137 and pszBuffer is {\"return\":{}}")) << log.Dump();
    virsh.Unscript("qemu-agent-command", "vm1");

    virsh.ScriptShell("qemu-agent-command", "vm2", "delay=hang");
    ManageClient stuck;
    log.Clear();
    ASSERT_TRUE(stuck.Send(ManageMessage(79, UPG_MSG_HEALTH_CHECK, 0, ActionBody("vm2", 1))));
    ASSERT_TRUE(log.WaitFor("[dealWithCmdMsg] msg type : UPG_MSG_HEALTH_CHECK"));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), client), kVm1Ok);
    EXPECT_EQ(Ask(UPG_MSG_GET_UPG_RES, QueryBody("vm1", "ortavis"), client), kVm1Result);
    EXPECT_FALSE(stuck.Receive(100ms));
}

// Fills /run as far as a tmpfs fills, in /run/fill: no block free, and
// `inodes` inodes.
void FillRun(int inodes)
{
    static int files = 0;
    std::vector<char> chunk(1 << 16, 'f');
    int fd = open("/run/fill/filler", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    while (fd >= 0 && write(fd, chunk.data(), chunk.size()) > 0) {
    }
    close(fd);
    for (int made; (made = open(("/run/fill/inode." + std::to_string(files++)).c_str(),
                                O_WRONLY | O_CREAT | O_CLOEXEC, 0600)) >= 0;) {
        close(made);
    }
    for (int i = 2; i <= inodes + 1; ++i) {
        unlink(("/run/fill/inode." + std::to_string(files - i)).c_str());
    }
}

// With /run full the running daemon serves on; a start on it fails, says so
// and leaves no pid file; once there is room again it starts.
TEST_F(Faults, AFullRunStopsOnlyAStart)
{
    struct statvfs st {};
    ASSERT_EQ(statvfs("/run", &st), 0);
    const std::string opts = "size=" + std::to_string((st.f_blocks - st.f_bfree) * st.f_frsize + (1 << 20)) +
                             ",nr_inodes=" + std::to_string(st.f_files - st.f_ffree + 64);
    ASSERT_EQ(mount(nullptr, "/run", nullptr, MS_REMOUNT, opts.c_str()), 0) << opts;
    ASSERT_TRUE(upgd_test::MakeDirs("/run/fill"));
    FillRun(0);
    ManageClient client;
    EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), client), kVm1Ok);
    EXPECT_EQ(Ask(UPG_START_UPGRADE_MSG, ControlBody(1, 60, "no"), client), Reply(0, ""));
    client.Close();
    StopDaemon();
    FillRun(1);   // room for the pid file's name, none for the pid
    log.Clear();
    ASSERT_TRUE(daemon.Start());
    auto status = daemon.WaitExit();
    ASSERT_TRUE(status) << "started on a full /run";
    EXPECT_EQ(upgd_test::ExitCode(*status), 255);
    EXPECT_TRUE(log.WaitFor("couldn't write pid to lock file. Error was 28")) << log.Dump();
    EXPECT_FALSE(upgd_test::PathExists(upgd_test::kPidFile));
    std::filesystem::remove_all("/run/fill");
    StartDaemon();
    EXPECT_TRUE(log.WaitFor("run upgrade interval 60 minutes"));
    ManageClient again;
    EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm2", 1), again), kVm2Ok);
}

// An ISO directory that is missing, or a file, leaves nothing to offer and
// nowhere to store an interval: both logged, the stored one kept, the guests
// served; once the directory is there its ISOs are offered.
TEST_F(Faults, AMissingIsoDirectoryLeavesNothingToOfferAndTheStoredIntervalKept)
{
    const std::string away = "/opt/isos";
    ASSERT_TRUE(upgd_test::WriteFile(upgd_test::kUpgradeConf, "interval=60"));
    ASSERT_TRUE(std::filesystem::remove(upgd_test::kProductIso));
    std::filesystem::create_symlink(away + "/ortavis-linux.iso", upgd_test::kProductIso);
    for (bool isFile : {false, true}) {
        SCOPED_TRACE(isFile ? "a file" : "missing");
        ASSERT_TRUE(!isFile || upgd_test::WriteFile(away, "not a directory"));
        StopDaemon();
        log.Clear();
        StartDaemon();
        EXPECT_TRUE(log.WaitFor("Open config file failed")) << log.Dump();
        ManageClient client;
        EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), client), kVm1Ok);
        EXPECT_EQ(Ask(UPG_MSG_GET_UPG_RES, QueryBody("vm1", "ortavis"), client), Reply(1, ""));
        ASSERT_TRUE(daemon.Signal(SIGALRM));
        EXPECT_TRUE(log.WaitFor("upgrade_vm msg is null.return...")) << log.Dump();
        EXPECT_TRUE(log.WaitFor("opendir failed"));
        EXPECT_EQ(Ask(UPG_START_UPGRADE_MSG, ControlBody(1, 30, "no"), client), Reply(0, ""));
        EXPECT_TRUE(log.WaitFor("realpath " + away + "/upgrade.conf failed"));
        EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm2", 1), client), kVm2Ok);
    }
    std::filesystem::remove(away);
    ASSERT_TRUE(upgd_test::MakeDirs(away) && upgd_test::WriteFile(away + "/ortavis-linux.iso", "iso") &&
                upgd_test::WriteFile(away + "/version.info", "linuxversion=1.0.0.2\n"));
    ManageClient client;
    EXPECT_EQ(Ask(UPG_MSG_GET_UPG_RES, QueryBody("vm1", "ortavis"), client), kVm1Result);
    EXPECT_EQ(upgd_test::ReadFile(upgd_test::kUpgradeConf), "interval=60");
}

// Clients change the interval at once while a reader watches the file and
// SIGKILL lands at a random moment: every read and the file after the kill
// hold one whole interval that was asked for, and the restarted daemon runs
// with it.
TEST_F(Faults, ConcurrentIntervalChangesAndASigkillLeaveOneWholeStoredInterval)
{
    const std::set<std::string> whole = {"interval=0", "interval=30", "interval=1440", "interval=525600"};
    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        std::atomic<bool> stop{false};
        std::atomic<int> broken{0};
        std::string seen;
        std::thread reader([&] {
            while (!stop) {
                auto text = upgd_test::ReadFile(upgd_test::kUpgradeConf);
                if (text && !whole.contains(*text) && broken++ == 0) {
                    seen = *text;
                }
            }
        });
        std::vector<std::thread> clients;
        for (int c = 0; c < 4; ++c) {
            clients.emplace_back([&, c] {
                ManageClient client;
                const int minutes[] = {30, 525600, 1440};
                for (uint64_t n = 0; !stop; ++n) {
                    if (!client.Ask(n, UPG_START_UPGRADE_MSG, ControlBody(1, minutes[(c + n) % 3], "no"))) {
                        break;   // killed
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 500));
        ASSERT_TRUE(daemon.Signal(SIGKILL));
        ASSERT_TRUE(daemon.WaitExit());
        stop = true;
        for (auto &t : clients) {
            t.join();
        }
        reader.join();
        EXPECT_EQ(broken, 0) << "read \"" << seen << "\"";
        std::string stored = upgd_test::ReadFile(upgd_test::kUpgradeConf).value_or("(none)");
        ASSERT_TRUE(whole.contains(stored)) << stored;
        log.Clear();
        StartDaemon();
        const std::string minutes = stored.substr(stored.find('=') + 1);
        EXPECT_TRUE(log.WaitFor(minutes == "0" ? "conf interTime len is 0"
                                               : "run upgrade interval " + minutes + " minutes"))
            << log.Dump();
    }
}

// A host near a thousand VMs: the channels take descriptors above the
// clients' range (a client above 1024 is refused), so clients still get in.
TEST_F(Faults, AThousandChannelsLeaveTheClientsTheirDescriptors)
{
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_max < 4096) {
        GTEST_SKIP() << "a hard descriptor limit of " << lim.rlim_max << " leaves the channels no room";
    }
    lim.rlim_cur = lim.rlim_max;   // the guests' two sockets each are this process's
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    for (int i = 3; i <= 1020; ++i) {
        ASSERT_TRUE(host.AddVm("vm" + std::to_string(i), Guest()));
    }
    ManageClient first;
    EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1020", 1), first), Reply(0, "vm1020:{ok}"));
    ASSERT_TRUE(host.WaitAccepted("vm500", 1));
    std::vector<std::unique_ptr<ManageClient>> more;
    for (int i = 0; i < 4; ++i) {
        more.push_back(std::make_unique<ManageClient>());
    }
    for (auto &client : more) {
        EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), *client), kVm1Ok);
    }
    EXPECT_EQ(log.Count("too many client"), 0u);
}

}  // namespace
