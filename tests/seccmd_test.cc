// The host command runner, driven with real host tools (sh, printf, grep,
// head, tr, ls, sleep) inside the test sandbox.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ortavis_upgd_seccmd.h"

namespace {

using namespace std::chrono_literals;
using Command = std::vector<std::string>;

// A command as the null-terminated char * array the runner takes.
class Argv {
public:
    explicit Argv(Command words) : words_(std::move(words))
    {
        for (std::string &w : words_) {
            ptrs_.push_back(w.data());
        }
        ptrs_.push_back(nullptr);
    }
    char *const *Get() const { return ptrs_.data(); }

private:
    Command words_;
    std::vector<char *> ptrs_;
};

struct Result {
    int rc = 0;
    int err = 0;
    int status = -1;
    std::optional<std::string> out;   // nullopt: the output slot stayed null
};

Result RunPipeline(const std::vector<Command> &pipeline, int timeoutMs = -1, bool wantOutput = true)
{
    std::vector<Argv> argvs;
    for (const Command &c : pipeline) {
        argvs.emplace_back(c);
    }
    std::vector<char *const *> vectors;
    for (const Argv &a : argvs) {
        vectors.push_back(a.Get());
    }
    Result r;
    char *out = nullptr;
    errno = 0;
    r.rc = seccmd_run_pipeline(wantOutput ? &out : nullptr, &r.status, timeoutMs,
                               std::span<char *const *const>(vectors.data(), vectors.size()));
    r.err = errno;
    if (out != nullptr) {
        r.out = std::string(out);
    }
    free(out);
    return r;
}

Command Sh(const std::string &script)
{
    return {"sh", "-c", script};
}

// Pids whose parent is this process, zombies included.
std::vector<pid_t> ChildrenOfSelf()
{
    std::vector<pid_t> children;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return children;
    }
    while (dirent *e = readdir(proc)) {
        pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        if (pid <= 0) {
            continue;
        }
        std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
        std::string line;
        std::getline(stat, line);
        size_t close = line.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close + 2));
        char state;
        pid_t ppid;
        if (rest >> state >> ppid && ppid == getpid()) {
            children.push_back(pid);
        }
    }
    closedir(proc);
    return children;
}

// True once pid is gone or a zombie left for init to collect.
bool GoneWithin(pid_t pid, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    do {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) {
            return true;
        }
        size_t close = line.rfind(')');
        if (close != std::string::npos && line.compare(close + 2, 1, "Z") == 0) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

std::set<std::string> Lines(const std::string &text)
{
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.insert(line);
    }
    return lines;
}

struct PipelineCase {
    const char *name;
    std::vector<Command> pipeline;
    int status;
    std::optional<std::string> out;
};

TEST(SeccmdTest, PipelinesGiveTheLastCommandsStatusAndOutput)
{
    const PipelineCase cases[] = {
        {"match", {{"printf", "a\\nb\\n"}, {"grep", "b"}}, 0, "b\n"},
        {"no match, nothing printed", {{"printf", "a\\n"}, {"grep", "zzz"}}, 1, std::nullopt},
        {"three stages", {{"printf", "x\\ny\\nx\\n"}, {"grep", "x"}, {"wc", "-l"}}, 0, "2\n"},
        {"exit code", {Sh("exit 7")}, 7, std::nullopt},
        {"last one counts, failing first", {{"false"}, {"true"}}, 0, std::nullopt},
        {"last one counts, failing last", {{"true"}, {"false"}}, 1, std::nullopt},
        {"killed by a signal", {Sh("kill -TERM $$")}, 128 + SIGTERM, std::nullopt},
        {"first reads /dev/null", {{"readlink", "/proc/self/fd/0"}}, 0, "/dev/null\n"},
        {"first gets end of input at once", {{"cat"}}, 0, std::nullopt},
        {"exit 127 is a status, not a failure", {Sh("exit 127")}, 127, std::nullopt},
    };
    for (const PipelineCase &c : cases) {
        SCOPED_TRACE(c.name);
        Result r = RunPipeline(c.pipeline);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
    }
    EXPECT_TRUE(ChildrenOfSelf().empty());
}

TEST(SeccmdTest, ArgumentsReachTheProgramUnchanged)
{
    const std::string args[] = {
        "device='cdrom'", "$(id)", "`id`", "a; b", "  two  blanks ", "*", "\"dq\"", "a|b>c", "\\n",
    };
    for (const std::string &arg : args) {
        SCOPED_TRACE(arg);
        Result r = RunPipeline({{"printf", "%s", arg}, {"cat"}});
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.out, arg);
    }
}

TEST(SeccmdTest, CdromBusCheckOnADomainDescription)
{
    const char *xml = "/run/vm1.xml";
    {
        std::ofstream f(xml);
        f << "<domain>\n  <disk type='file' device='disk'>\n    <target dev='vda' bus='virtio'/>\n"
             "  </disk>\n  <disk type='file' device='cdrom'>\n    <driver name='qemu'/>\n"
             "    <target dev='hdb' bus='ide'/>\n  </disk>\n</domain>\n";
    }
    Result hdb = RunPipeline({{"grep", "-A", "11", "device='cdrom'", xml}, {"grep", "hdb"}});
    EXPECT_EQ(hdb.rc, 0);
    EXPECT_EQ(hdb.status, 0);
    Result hdc = RunPipeline({{"grep", "-A", "11", "device='cdrom'", xml}, {"grep", "hdc"}});
    EXPECT_EQ(hdc.rc, 0);
    EXPECT_EQ(hdc.status, 1);
}

TEST(SeccmdTest, VariadicEntryPoints)
{
    Argv printfArgv({"printf", "one\\ntwo\\n"});
    Argv grepArgv({"grep", "two"});
    char *out = nullptr;
    int status = -1;
    ASSERT_EQ(seccmd_run_argset(&out, nullptr, &status, printfArgv.Get(), grepArgv.Get(), nullptr), 0);
    EXPECT_EQ(status, 0);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "two\n");
    free(out);

    status = -1;
    EXPECT_EQ(seccmd_run_argset(nullptr, nullptr, &status, grepArgv.Get(), nullptr), 0);
    EXPECT_EQ(status, 1);   // grep read /dev/null

    out = nullptr;
    status = -1;
    ASSERT_EQ(seccmd_run_argset_timeout(&out, &status, 5000, printfArgv.Get(), grepArgv.Get(), nullptr), 0);
    EXPECT_EQ(status, 0);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "two\n");
    free(out);
}

TEST(SeccmdTest, BadArgumentsRunNothing)
{
    Argv ok({"true"});
    char *empty[] = {nullptr};
    int status = -1;
    int dummy = 0;
    EXPECT_EQ(seccmd_run_argset(nullptr, &dummy, &status, ok.Get(), nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(seccmd_run_argset(nullptr, nullptr, &status, empty, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(seccmd_run_argset(nullptr, nullptr, &status, nullptr), -1);
    EXPECT_EQ(seccmd_run_argset(nullptr, nullptr, nullptr, ok.Get(), nullptr), -1);
    EXPECT_EQ(status, -1);

    std::vector<Command> tooLong(SECCMD_MAX_COMMANDS + 1, Command{"true"});
    Result r = RunPipeline(tooLong);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, EINVAL);
    EXPECT_EQ(RunPipeline(std::vector<Command>(SECCMD_MAX_COMMANDS, Command{"true"})).status, 0);
}

TEST(SeccmdTest, MissingProgramFailsTheCallAndReapsWhatStarted)
{
    const std::vector<Command> cases[] = {
        {{"ortavis-no-such-program"}},
        {{"printf", "x"}, {"ortavis-no-such-program"}},
        // The first command would run for long: it must be killed, not waited for.
        {{"sleep", "100"}, {"ortavis-no-such-program"}, {"cat"}},
    };
    for (const auto &pipeline : cases) {
        SCOPED_TRACE(pipeline.back()[0] + " after " + pipeline.front()[0]);
        auto start = std::chrono::steady_clock::now();
        Result r = RunPipeline(pipeline);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, ENOENT);
        EXPECT_EQ(r.status, -1);
        EXPECT_EQ(r.out, std::nullopt);
        EXPECT_TRUE(ChildrenOfSelf().empty());
    }
}

TEST(SeccmdTest, OutputLargerThanAPipeArrivesWholeUpToTheCap)
{
    const struct {
        size_t produced;
        size_t kept;
    } cases[] = {
        {900000, 900000},
        {SECCMD_OUTPUT_MAX, SECCMD_OUTPUT_MAX},
        {3 * SECCMD_OUTPUT_MAX, SECCMD_OUTPUT_MAX},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.produced);
        Result r = RunPipeline({{"head", "-c", std::to_string(c.produced), "/dev/zero"}, {"tr", "\\0", "x"}});
        EXPECT_EQ(r.rc, 0);
        // tr is not cut off by a closed pipe: everything past the cap is read too.
        EXPECT_EQ(r.status, 0);
        ASSERT_TRUE(r.out.has_value());
        EXPECT_EQ(r.out->size(), c.kept);
        EXPECT_EQ(r.out->find_first_not_of('x'), std::string::npos);
    }
    // Without an output slot the last command writes into /dev/null.
    Result r = RunPipeline({{"head", "-c", "3000000", "/dev/zero"}}, -1, false);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.status, 0);
}

TEST(SeccmdTest, StdoutGoesToDevNullWhenNotWanted)
{
    Result r = RunPipeline({Sh("t=$(readlink /proc/$$/fd/1); echo \"$t\" > /run/fd1")}, -1, false);
    ASSERT_EQ(r.rc, 0);
    std::ifstream f("/run/fd1");
    std::string target;
    std::getline(f, target);
    EXPECT_EQ(target, "/dev/null");
}

TEST(SeccmdTest, ChildrenGetOnlyStandardDescriptors)
{
    // Opened without close-on-exec, as a careless thread of the daemon might.
    int plain = open("/dev/null", O_RDONLY);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(dup2(plain, 50), 50);
    const std::set<std::string> expected = {"0", "1", "2", "3"};   // 3: ls's own directory
    Result last = RunPipeline({{"ls", "/proc/self/fd"}});
    EXPECT_EQ(Lines(last.out.value_or("")), expected);
    Result first = RunPipeline({{"ls", "/proc/self/fd"}, {"cat"}});
    EXPECT_EQ(Lines(first.out.value_or("")), expected);
    Result middle = RunPipeline({{"true"}, {"ls", "/proc/self/fd"}, {"cat"}});
    EXPECT_EQ(Lines(middle.out.value_or("")), expected);
    close(50);
    close(plain);
    close(sv[0]);
    close(sv[1]);
}

TEST(SeccmdTest, ChildrenGetDefaultSignalsAndTheirOwnGroup)
{
    struct sigaction ign = {};
    ign.sa_handler = SIG_IGN;
    struct sigaction oldPipe;
    struct sigaction oldInt;
    sigaction(SIGPIPE, &ign, &oldPipe);
    sigaction(SIGINT, &ign, &oldInt);
    sigset_t block;
    sigset_t oldMask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &oldMask);

    // Signals 32 and 33 are the C library's own; its spawn leaves them
    // ignored in the child, out of our hands. Signals 1 to 31 must be clean.
    Result r = RunPipeline({{"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"}});
    std::istringstream status(r.out.value_or(""));
    std::string blkName, blk, ignName, ignored;
    ASSERT_TRUE(status >> blkName >> blk >> ignName >> ignored) << r.out.value_or("(none)");
    EXPECT_EQ(std::stoull(blk, nullptr, 16), 0u);
    EXPECT_EQ(std::stoull(ignored, nullptr, 16) & 0x7fffffffu, 0u);

    // Both commands share one group, led by the first, apart from ours.
    Result g = RunPipeline({Sh("echo $$ $(cut -d' ' -f5 /proc/$$/stat)"), Sh("cat; cut -d' ' -f5 /proc/$$/stat")});
    std::istringstream in(g.out.value_or(""));
    pid_t leader = 0;
    pid_t group1 = 0;
    pid_t group2 = 0;
    in >> leader >> group1 >> group2;
    EXPECT_GT(leader, 0);
    EXPECT_EQ(group1, leader);
    EXPECT_EQ(group2, leader);
    EXPECT_NE(group1, getpgrp());

    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
    sigaction(SIGINT, &oldInt, nullptr);
}

TEST(SeccmdTest, TimeoutKillsTheWholeGroup)
{
    const std::vector<Command> cases[] = {
        {Sh("sleep 100 & echo $!; sleep 100")},
        {Sh("sleep 100 & echo $!; sleep 100"), {"cat"}},
        {{"sleep", "100"}, Sh("sleep 100 & echo $!; exec sleep 100")},
    };
    for (const auto &pipeline : cases) {
        SCOPED_TRACE(pipeline.size());
        auto start = std::chrono::steady_clock::now();
        Result r = RunPipeline(pipeline, 500);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, 450ms);
        EXPECT_LT(took, 10s);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.status, SECCMD_STATUS_TIMEOUT);
        ASSERT_TRUE(r.out.has_value());   // what came before the kill is kept
        pid_t background = static_cast<pid_t>(atoi(r.out->c_str()));
        ASSERT_GT(background, 0);
        EXPECT_TRUE(GoneWithin(background, 5s));
        EXPECT_TRUE(ChildrenOfSelf().empty());
    }
    // In time: an ordinary result.
    Result quick = RunPipeline({{"printf", "hi"}}, 5000);
    EXPECT_EQ(quick.status, 0);
    EXPECT_EQ(quick.out, "hi");
}

TEST(SeccmdTest, DoesNotWaitForABackgroundProcessHoldingTheOutput)
{
    auto start = std::chrono::steady_clock::now();
    Result r = RunPipeline({Sh("sleep 60 & echo $!")});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_EQ(r.status, 0);
    ASSERT_TRUE(r.out.has_value());
    pid_t background = static_cast<pid_t>(atoi(r.out->c_str()));
    ASSERT_GT(background, 0);
    kill(background, SIGKILL);
}

TEST(SeccmdTest, ManyThreadsAtOnce)
{
    // Meanwhile another thread keeps opening descriptors without
    // close-on-exec; none may reach a child.
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop) {
            int fd = open("/dev/null", O_RDONLY);
            close(fd);
        }
    });
    constexpr int kThreads = 8;
    constexpr int kRuns = 25;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kRuns; ++i) {
                std::string mark = "thread " + std::to_string(t) + " run " + std::to_string(i);
                Result echo = RunPipeline({{"printf", "%s", mark}, {"cat"}});
                Result fds = RunPipeline({{"ls", "/proc/self/fd"}});
                if (echo.rc != 0 || echo.out != mark || fds.status != 0 ||
                    Lines(fds.out.value_or("")) != std::set<std::string>{"0", "1", "2", "3"}) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread &th : threads) {
        th.join();
    }
    stop = true;
    churn.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(ChildrenOfSelf().empty());
}

}  // namespace
