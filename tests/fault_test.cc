// Faults around the real daemon on the simulated host: a flooding virsh, a full /run, a missing ISO
// directory, a SIGKILL mid-store, a thousand channels. After each it serves the others.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "daemon_host.h"
#include "unix_socket.h"

namespace {

using namespace std::chrono_literals;
using namespace upgd_test;
const Reply kVm1Ok = {0, "vm1:{ok}"}, kVm2Ok = {0, "vm2:{ok}"}, kVm1Result = {0, "vm1:{ortavis,1.0.0.1,0,1.0.0.1}"};

class Faults : public DaemonHost {
protected:
    // The daemon's (and its commands') standard error goes outside /run: a flooding virsh must not flood the log.
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
        unlink("/dev/shm/daemon.stderr");
    }
    Reply Check(const char *vm, const ManageClient &c) { return Ask(UPG_MSG_HEALTH_CHECK, ActionBody(vm, 1), c); }
    int savedStderr_ = -1;
};

// A virsh that prints 64 MiB is read to its end without the daemon growing by it.
TEST_F(Faults, AFloodingVirshIsReadWithABoundedBuffer)
{
    ManageClient client;
    ASSERT_EQ(Check("vm1", client), kVm1Ok);
    long before = StatusKib(daemon.Pid(), "VmHWM");
    virsh.ScriptShell("qemu-agent-command", "vm1", "flood=$((64 << 20))");
    EXPECT_EQ(Check("vm1", client), kVm1Ok);
    EXPECT_LT(StatusKib(daemon.Pid(), "VmHWM") - before, 16 << 10) << "KiB more at the peak";
}

// Fills /run in /run/fill: no block free, and `inodes` inodes.
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
    ASSERT_TRUE(MakeDirs("/run/fill"));
    FillRun(0);
    ManageClient client;
    EXPECT_EQ(Check("vm1", client), kVm1Ok);
    EXPECT_EQ(Ask(UPG_START_UPGRADE_MSG, ControlBody(1, 60, "no"), client), Reply(0, ""));
    client.Close();
    StopDaemon();
    FillRun(1);   // room for the pid file's name, none for the pid
    log.Clear();
    ASSERT_TRUE(daemon.Start());
    EXPECT_EQ(ExitCode(daemon.WaitExit().value_or(0)), 255) << "started on a full /run";
    EXPECT_TRUE(log.WaitFor("couldn't write pid to lock file. Error was 28")) << log.Dump();
    EXPECT_FALSE(PathExists(kPidFile));
    std::filesystem::remove_all("/run/fill");
    StartDaemon();
    EXPECT_TRUE(log.WaitFor("run upgrade interval 60 minutes"));
}

// A missing ISO directory leaves nothing to offer and nowhere to store an
// interval: both logged, the stored one kept, the guests served; once the
// directory is there its ISOs are offered.
TEST_F(Faults, AMissingIsoDirectoryLeavesNothingToOfferAndTheStoredIntervalKept)
{
    const std::string away = "/opt/isos";
    ASSERT_TRUE(WriteFile(kUpgradeConf, "interval=60"));
    ASSERT_TRUE(std::filesystem::remove(kProductIso));
    std::filesystem::create_symlink(away + "/ortavis-linux.iso", kProductIso);
    StopDaemon();
    log.Clear();
    StartDaemon();
    EXPECT_TRUE(log.WaitFor("Open config file failed")) << log.Dump();
    ManageClient client;
    EXPECT_EQ(Ask(UPG_MSG_GET_UPG_RES, QueryBody("vm1", "ortavis"), client), Reply(1, ""));
    EXPECT_EQ(Ask(UPG_START_UPGRADE_MSG, ControlBody(1, 30, "no"), client), Reply(1, "")) << "nowhere to store it";
    EXPECT_TRUE(log.WaitFor("interval 30 not stored, timer left as it was"));
    EXPECT_EQ(Check("vm2", client), kVm2Ok);
    ASSERT_TRUE(MakeDirs(away) && WriteFile(away + "/ortavis-linux.iso", "iso") &&
                WriteFile(away + "/version.info", "linuxversion=1.0.0.2\n"));
    EXPECT_EQ(Ask(UPG_MSG_GET_UPG_RES, QueryBody("vm1", "ortavis"), client), kVm1Result);
    EXPECT_EQ(ReadFile(kUpgradeConf), "interval=60");
}

// Clients change the interval at once while a reader watches the file and SIGKILL
// lands at random: every read and the file after the kill hold one whole interval
// that was asked for, and the restarted daemon runs with it.
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
                auto text = ReadFile(kUpgradeConf);
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
        std::string stored = ReadFile(kUpgradeConf).value_or("(none)");
        ASSERT_TRUE(whole.contains(stored)) << stored;
        log.Clear();
        StartDaemon();
        const std::string minutes = stored.substr(stored.find('=') + 1);
        EXPECT_EQ(log.Count(minutes == "0" ? "conf interTime len is 0" : "run upgrade interval " + minutes + " minutes"), 1u)
            << log.Dump();
    }
}

// A host near a thousand VMs: the channels take descriptors beside the
// clients', and clients still get in and are answered.
TEST_F(Faults, AThousandChannelsLeaveTheClientsTheirDescriptors)
{
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_max < 4096) {
        GTEST_SKIP() << "a hard descriptor limit of " << lim.rlim_max << " leaves the channels no room";
    }
    ASSERT_TRUE(RaiseFdLimit());   // the guests' two sockets each are this process's
    for (int i = 3; i <= 1020; ++i) {
        ASSERT_TRUE(host.AddVm("vm" + std::to_string(i), Guest()));
    }
    ManageClient first;
    EXPECT_EQ(Check("vm1020", first), Reply(0, "vm1020:{ok}"));
    ASSERT_TRUE(host.WaitAccepted("vm500", 1));
    ManageClient second;
    EXPECT_EQ(Check("vm1", second), kVm1Ok);
    // A start drops all a guest sent before its drain: early, made last, is connected and writes first.
    StopDaemon();
    int listener = simhost::BindUnix(host.ChannelPath("early"), SOCK_STREAM), early = -1;
    ASSERT_TRUE(listener >= 0 && WriteFile(host.XmlPath("early"), ""));
    VmMsg msgs[4] = {{}, {}, {}, {4242, 0, 0, {}}};
    std::jthread guest([&] { early = accept(listener, nullptr, nullptr), simhost::SendAll(early, msgs, 3 * sizeof(VmMsg)); });
    StartDaemon();
    ASSERT_TRUE(log.WaitFor("clearVmSocketReadBuf vmname early"));
    guest.join();
    ASSERT_TRUE(simhost::SendAll(early, &msgs[3], sizeof(VmMsg)) && log.WaitFor("= 4242"));
    EXPECT_EQ(log.Count("recieve vm msg : early"), 1u);
}

}  // namespace
