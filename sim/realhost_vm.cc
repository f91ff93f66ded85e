// Tiny real VMs and the host commands of the real-host tier; the story is in
// the header.
#include "realhost_vm.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace realhost {

namespace {

std::string Env(const char *name)
{
    const char *v = std::getenv(name);
    return v != nullptr ? v : "";
}

std::string Slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// The kernel command line words that choose what the guest runs.
std::string GuestCmdline(const RealVmOptions &opts)
{
    return "console=ttyS0 panic=-1 quiet ortavis.agent=" + opts.agent + " ortavis.tools=" + opts.tools;
}

}  // namespace

std::string RealHost::Kernel() { return Env("REALHOST_KERNEL"); }
std::string RealHost::Initrd() { return Env("REALHOST_INITRD"); }
std::string RealHost::Dir() { return Env("REALHOST_DIR"); }

std::string RealHost::Problem()
{
    for (const char *name : {"REALHOST_KERNEL", "REALHOST_INITRD", "REALHOST_DIR", "REALHOST_CTL"}) {
        if (Env(name).empty()) {
            return std::string(name) + " is not set: run this inside sim/realhost";
        }
    }
    if (!Exists(Kernel()) || !Exists(Initrd())) {
        return "the guest kernel or initramfs is missing";
    }
    if (RunCommand({"virsh", "-q", "version"}, {}, 10s).status != 0) {
        return "libvirtd does not answer";
    }
    return "";
}

bool RealHost::RestartLibvirtd()
{
    return RunCommand({Env("REALHOST_CTL"), "--restart-libvirtd"}, {}, 120s).status == 0;
}

CommandResult RunCommand(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
                         std::chrono::milliseconds timeout)
{
    CommandResult result;
    int outPipe[2], errPipe[2];
    if (argv.empty() || pipe2(outPipe, O_CLOEXEC) != 0) {
        return result;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }
    std::vector<std::string> envStrings;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (env.count(entry.substr(0, entry.find('='))) == 0) {
            envStrings.push_back(entry);
        }
    }
    for (const auto &[k, v] : env) {
        envStrings.push_back(k + "=" + v);
    }
    std::vector<char *> envp, args;
    for (auto &s : envStrings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (auto &s : argCopy) {
        args.push_back(s.data());
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        result.err = std::string("cannot run ") + argv[0] + ": " + std::strerror(rc);
        return result;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(-pid, SIGKILL);
            killed = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                char buf[4096];
                ssize_t n = read(fds[i].fd, buf, sizeof(buf));
                if (n > 0) {
                    sinks[i]->append(buf, static_cast<size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    for (auto &f : fds) {
        if (f.fd >= 0) {
            close(f.fd);
        }
    }
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    if (killed) {
        result.status = -1;
        result.err += "\n(killed after the time limit)";
    } else if (WIFEXITED(ws)) {
        result.status = WEXITSTATUS(ws);
    } else if (WIFSIGNALED(ws)) {
        result.status = 128 + WTERMSIG(ws);
    }
    return result;
}

std::string MakeIso(const std::string &path, const std::string &volumeLabel)
{
    std::string src = path + ".d";
    RunCommand({"rm", "-rf", src});
    if (RunCommand({"mkdir", "-p", src}).status != 0) {
        return "cannot make " + src;
    }
    std::ofstream(src + "/version.txt") << volumeLabel << "\n";
    auto r = RunCommand({"genisoimage", "-quiet", "-V", volumeLabel, "-o", path, src});
    RunCommand({"rm", "-rf", src});
    return r.status == 0 ? "" : "genisoimage: " + r.err;
}

std::string RealVm::DomainXml(const std::string &name, const RealVmOptions &opts)
{
    std::string console = RealHost::Dir() + "/" + name + ".console";
    std::string xml = "<domain type='qemu'>\n"
                      "  <name>" + name + "</name>\n"
                      "  <memory unit='MiB'>128</memory>\n"
                      "  <vcpu>1</vcpu>\n"
                      "  <os>\n"
                      "    <type arch='x86_64' machine='pc'>hvm</type>\n"
                      "    <kernel>" + RealHost::Kernel() + "</kernel>\n"
                      "    <initrd>" + RealHost::Initrd() + "</initrd>\n"
                      "    <cmdline>" + GuestCmdline(opts) + "</cmdline>\n"
                      "  </os>\n"
                      "  <on_poweroff>destroy</on_poweroff>\n"
                      "  <on_reboot>destroy</on_reboot>\n"
                      "  <on_crash>destroy</on_crash>\n"
                      "  <devices>\n";
    if (!opts.cdromDev.empty()) {
        std::string bus = opts.cdromDev.rfind("sd", 0) == 0 ? "sata" : "ide";
        xml += "    <disk type='file' device='cdrom'>\n"
               "      <driver name='qemu' type='raw'/>\n"
               "      <target dev='" + opts.cdromDev + "' bus='" + bus + "'/>\n"
               "      <readonly/>\n"
               "    </disk>\n";
    }
    xml += "    <controller type='usb' model='none'/>\n"
           "    <controller type='virtio-serial' index='0'/>\n"
           "    <channel type='unix'>\n"
           "      <source mode='bind' path='/var/run/libvirt/qemu/" + name + ".upgraded'/>\n"
           "      <target type='virtio' name='" + kGuestChannelName + "'/>\n"
           "    </channel>\n"
           "    <channel type='unix'>\n"
           "      <target type='virtio' name='" + kAgentChannelName + "'/>\n"
           "    </channel>\n"
           "    <serial type='file'>\n"
           "      <source path='" + console + "'/>\n"
           "      <target port='0'/>\n"
           "    </serial>\n"
           "    <memballoon model='none'/>\n"
           "  </devices>\n"
           "</domain>\n";
    return xml;
}

std::unique_ptr<RealVm> RealVm::Start(const std::string &name, const RealVmOptions &opts, std::string *error)
{
    std::unique_ptr<RealVm> vm(new RealVm(name, opts));
    std::string xmlFile = RealHost::Dir() + "/" + name + ".domain.xml";
    std::ofstream(xmlFile) << DomainXml(name, opts);
    unlink((RealHost::Dir() + "/" + name + ".console").c_str());
    auto r = RunCommand({"virsh", "create", xmlFile});
    if (r.status != 0) {
        *error = "virsh create " + name + ": " + r.err;
        return nullptr;
    }
    vm->running_ = true;
    if (!Exists(vm->XmlPath()) || !Exists(vm->ChannelPath())) {
        *error = name + ": no live description or channel after virsh create";
        return nullptr;
    }
    return vm;
}

RealVm::~RealVm()
{
    if (running_) {
        Destroy();
    }
}

bool RealVm::Destroy()
{
    auto r = RunCommand({"virsh", "destroy", name_});
    running_ = false;
    return r.status == 0 && !Exists(XmlPath());
}

std::string RealVm::Console() const
{
    return Slurp(RealHost::Dir() + "/" + name_ + ".console");
}

std::string RealVm::XmlPath() const
{
    return "/var/run/libvirt/qemu/" + name_ + ".xml";
}

std::string RealVm::ChannelPath() const
{
    return "/var/run/libvirt/qemu/" + name_ + ".upgraded";
}

bool RealVm::WaitReady(std::chrono::milliseconds timeout, std::string *why)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    bool toolsReady = opts_.tools == "absent";
    bool agentReady = opts_.agent == "absent";
    bool guestUp = false;
    while (std::chrono::steady_clock::now() < deadline) {
        std::string console = Console();
        if (console.find("Kernel panic") != std::string::npos) {
            *why = name_ + ": the guest kernel panicked:\n" + console.substr(console.size() > 2000 ? console.size() - 2000 : 0);
            return false;
        }
        guestUp = guestUp || console.find("realhost-guest: up") != std::string::npos;
        if (!toolsReady) {
            toolsReady = console.find("ortavis-guestsim: serving") != std::string::npos;
        }
        if (guestUp && !agentReady) {
            if (opts_.agent == "answer") {
                agentReady = RunCommand({"virsh", "qemu-agent-command", name_, "{\"execute\":\"guest-ping\"}"}, {},
                                        10s).status == 0;
            } else {
                agentReady = ChannelState(Slurp(XmlPath()), kAgentChannelName) == "connected";
            }
        }
        if (guestUp && toolsReady && agentReady) {
            return true;
        }
        std::this_thread::sleep_for(200ms);
    }
    std::string console = Console();
    *why = name_ + " not ready (guest " + (guestUp ? "up" : "not up") + ", tools " +
           (toolsReady ? "ready" : "not ready") + ", agent " + (agentReady ? "ready" : "not ready") +
           "); console ends:\n" + console.substr(console.size() > 2000 ? console.size() - 2000 : 0);
    return false;
}

std::string ChannelState(const std::string &liveDescription, const std::string &targetName)
{
    std::string key = "name='" + targetName + "'";
    size_t at = liveDescription.find(key);
    if (at == std::string::npos) {
        return "";
    }
    size_t end = liveDescription.find('>', at);
    std::string rest = liveDescription.substr(at, end - at);
    size_t s = rest.find("state='");
    if (s == std::string::npos) {
        return "";
    }
    s += 7;
    return rest.substr(s, rest.find('\'', s) - s);
}

}  // namespace realhost
