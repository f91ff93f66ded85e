// A test fixture: the real daemon among simulated guests on the simulated
// host. The ISO directory holds the product's Linux ISO, its version file
// (offering 1.0.0.2) and upgrade.conf; the drive script is installed; the
// virsh stand-in is first on PATH; each guest has the product at 1.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>

#include "fake_virsh.h"
#include "guest_sim_host.h"
#include "manage_client.h"
#include "upgd_sandbox.h"

namespace upgd_test {

inline const std::string kUpgradeConf = std::string(kIsoDir) + "/upgrade.conf";
inline const std::string kProductIso = std::string(kIsoDir) + "/ortavis-linux.iso";

using Reply = std::pair<int, std::string>;   // a reply's result and body

class DaemonHost : public ::testing::Test {
protected:
    // The guests to start with; a test's SetUp may add more before StartDaemon.
    void SetUpHost(std::initializer_list<const char *> vms)
    {
        ASSERT_TRUE(MakeDirs(kIsoDir) && InstallDriveScript());
        ASSERT_TRUE(WriteFile(kProductIso, "iso") && WriteFile(kUpgradeConf, "interval=0"));
        ASSERT_TRUE(WriteFile(std::string(kIsoDir) + "/version.info", "linuxversion=1.0.0.2\n"));
        for (const char *vm : vms) {
            ASSERT_TRUE(host.AddVm(vm, Guest()));
        }
        StartDaemon();
        for (const char *vm : vms) {
            // Once drained, what the guest sends is read.
            ASSERT_TRUE(host.WaitAccepted(vm, 1) && log.WaitFor(std::string("clearVmSocketReadBuf vmname ") + vm));
        }
    }
    static guestsim::VmOptions Guest()
    {
        return {.profile = {.modules = {{"ortavis", "1.0.0.1", "1.0.0.1", 0, ISO_LINUX}}}};
    }
    // A guest that starts while the daemon runs, once the daemon holds its channel.
    void StartVm(const std::string &name, const guestsim::VmOptions &opts)
    {
        ASSERT_TRUE(host.AddVm(name, opts));
        ManageClient client;
        ASSERT_TRUE(WaitUntil([&] {
            (void)Ask(UPG_MSG_HEALTH_CHECK, ActionBody(name, 1), client);   // each request runs a discovery pass
            return host.Accepted(name) > 0;
        }, std::chrono::seconds(10)));
    }
    void StartDaemon(bool idle = true)
    {
        stopped_ = false;
        ASSERT_TRUE(daemon.Start({}, binary) && daemon.WaitStarted(idle ? &log : nullptr)) << log.Dump();
    }
    void StopDaemon()
    {
        stopped_ = true;
        auto status = daemon.Signal(SIGTERM) ? daemon.WaitExit() : std::nullopt;
        EXPECT_EQ(ExitCode(status.value_or(-1)), 0) << log.Dump();
    }
    void TearDown() override
    {
        if (!stopped_) {   // a test that stopped it last has checked its exit
            StopDaemon();
        }
    }
    // One request: its reply (result -1: no reply in time). The reply
    // echoes the request's msgId and type.
    Reply Ask(uint32_t type, const std::string &body, const ManageClient &client, std::chrono::milliseconds timeout = 10s)
    {
        static uint64_t msgId = 1000;
        if (!client.Send(ManageMessage(++msgId, type, 0, body))) {
            return {-1, "(not sent)"};
        }
        auto reply = client.Receive(timeout);
        if (!reply) {
            return {-1, "(no reply)"};
        }
        EXPECT_EQ(reply->head.msgId, msgId);
        EXPECT_EQ(reply->head.msgType, type);
        return {reply->head.result, reply->body};
    }
    // How many sockets the daemon holds open now (log, server, clients, channels).
    size_t OpenSockets() const
    {
        size_t n = 0;
        for (std::error_code ec; const auto &fd : std::filesystem::directory_iterator("/proc/" + std::to_string(daemon.Pid()) + "/fd")) {
            n += std::filesystem::read_symlink(fd.path(), ec).string().starts_with("socket:");
        }
        return n;
    }
    std::string binary = Daemon::BinaryPath();   // a test may run a build of its own
    LogCollector log;
    FakeVirsh virsh;
    guestsim::HostSim host;
    Daemon daemon;

private:
    bool stopped_ = false;
};

}  // namespace upgd_test
