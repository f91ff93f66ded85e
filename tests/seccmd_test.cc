// The host command runner, driven with real host tools (sh, printf, grep,
// head, tr, ls, sleep) inside the test sandbox.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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
using Clock = std::chrono::steady_clock;
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
    std::vector<Argv> argvs(pipeline.begin(), pipeline.end());
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

// State and parent of pid from /proc, or nullopt when it is gone.
std::optional<std::pair<char, pid_t>> StateOf(const std::string &pid)
{
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string line;
    size_t close = std::getline(stat, line) ? line.rfind(')') : std::string::npos;
    std::istringstream rest(close == std::string::npos ? "" : line.substr(close + 2));
    std::pair<char, pid_t> out;
    return rest >> out.first >> out.second ? std::optional(out) : std::nullopt;
}

// Pids whose parent is this process, zombies included.
std::vector<pid_t> ChildrenOfSelf()
{
    std::vector<pid_t> children;
    DIR *proc = opendir("/proc");
    while (dirent *e = proc != nullptr ? readdir(proc) : nullptr) {
        auto state = atoi(e->d_name) > 0 ? StateOf(e->d_name) : std::nullopt;
        if (state && state->second == getpid()) {
            children.push_back(atoi(e->d_name));
        }
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    return children;
}

// True once pid is gone or a zombie left for init to collect.
bool GoneWithin(pid_t pid, std::chrono::milliseconds limit)
{
    for (auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(20ms)) {
        auto state = StateOf(std::to_string(pid));
        if (!state || state->first == 'Z') {
            return true;
        }
    }
    return false;
}

std::set<std::string> LinesOf(const std::optional<std::string> &text)
{
    std::set<std::string> lines;
    std::istringstream in(text.value_or(""));
    for (std::string line; std::getline(in, line);) {
        lines.insert(line);
    }
    return lines;
}

// What ls /proc/self/fd shows in a child that got only the standard descriptors (3: ls's own directory).
const std::set<std::string> kStandardFds = {"0", "1", "2", "3"};

TEST(SeccmdTest, PipelinesGiveTheLastCommandsStatusAndOutput)
{
    struct Row { const char *name; std::vector<Command> pipeline; int status; std::optional<std::string> out; };
    const Row rows[] = {
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
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Result got = RunPipeline(r.pipeline);
        EXPECT_EQ(got.rc, 0);
        EXPECT_EQ(got.status, r.status);
        EXPECT_EQ(got.out, r.out);
    }
    // Arguments reach the program unchanged: no shell sees them.
    for (const std::string arg : {"device='cdrom'", "$(id)", "`id`", "a; b", "  two  blanks ", "*", "\"dq\"", "a|b>c",
                                  "\\n"}) {
        EXPECT_EQ(RunPipeline({{"printf", "%s", arg}, {"cat"}}).out, arg);
    }
    EXPECT_TRUE(ChildrenOfSelf().empty());
}

TEST(SeccmdTest, EntryPointsAndBadArguments)
{
    Argv printfArgv({"printf", "one\\ntwo\\n"});
    Argv grepArgv({"grep", "two"});
    char *out = nullptr;
    int status = -1;
    ASSERT_EQ(seccmd_run_argset(&out, nullptr, &status, printfArgv.Get(), grepArgv.Get(), nullptr), 0);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(out, "two\n");
    free(std::exchange(out, nullptr));
    ASSERT_EQ(seccmd_run_argset_timeout(&out, &status, 5000, printfArgv.Get(), grepArgv.Get(), nullptr), 0);
    EXPECT_STREQ(out, "two\n");
    free(out);
    EXPECT_EQ(seccmd_run_argset(nullptr, nullptr, &status, grepArgv.Get(), nullptr), 0);
    EXPECT_EQ(status, 1);   // grep read /dev/null

    // Refused, nothing run: reserved not null, an empty vector, no vector, no status slot, too many commands.
    Argv ok({"true"});
    char *empty[] = {nullptr};
    int dummy = 0;
    status = -1;
    EXPECT_EQ(seccmd_run_argset(nullptr, &dummy, &status, ok.Get(), nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(seccmd_run_argset(nullptr, nullptr, &status, empty, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(seccmd_run_argset(nullptr, nullptr, &status, nullptr), -1);
    EXPECT_EQ(seccmd_run_argset(nullptr, nullptr, nullptr, ok.Get(), nullptr), -1);
    EXPECT_EQ(status, -1);
    Result r = RunPipeline(std::vector<Command>(SECCMD_MAX_COMMANDS + 1, Command{"true"}));
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
        SCOPED_TRACE(pipeline.size());
        auto start = Clock::now();
        Result r = RunPipeline(pipeline);
        EXPECT_LT(Clock::now() - start, 10s);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, ENOENT);
        EXPECT_EQ(r.status, -1);
        EXPECT_EQ(r.out, std::nullopt);
        EXPECT_TRUE(ChildrenOfSelf().empty());
    }
}

TEST(SeccmdTest, OutputLargerThanAPipeArrivesWholeUpToTheCap)
{
    for (auto [produced, kept] : {std::pair<size_t, size_t>{900000, 900000}, {SECCMD_OUTPUT_MAX, SECCMD_OUTPUT_MAX},
                                  {3 * SECCMD_OUTPUT_MAX, SECCMD_OUTPUT_MAX}}) {
        SCOPED_TRACE(produced);
        Result r = RunPipeline({{"head", "-c", std::to_string(produced), "/dev/zero"}, {"tr", "\\0", "x"}});
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.status, 0);   // tr is not cut off by a closed pipe: what is past the cap is read too
        ASSERT_TRUE(r.out.has_value());
        EXPECT_EQ(r.out->size(), kept);
        EXPECT_EQ(r.out->find_first_not_of('x'), std::string::npos);
    }
    // Without an output slot the last command writes into /dev/null.
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
    const Command ls = {"ls", "/proc/self/fd"};
    for (const auto &pipeline : {std::vector<Command>{ls}, {ls, {"cat"}}, {{"true"}, ls, {"cat"}}}) {
        EXPECT_EQ(LinesOf(RunPipeline(pipeline).out), kStandardFds) << "ls at " << pipeline.size();
    }
    for (int fd : {50, plain, sv[0], sv[1]}) {
        close(fd);
    }
}

TEST(SeccmdTest, ChildrenGetDefaultSignalsAndTheirOwnGroup)
{
    // This process ignores SIGPIPE and SIGINT and blocks SIGUSR1 and SIGTERM, as the daemon might.
    struct sigaction ign = {}, oldPipe, oldInt;
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &oldPipe);
    sigaction(SIGINT, &ign, &oldInt);
    sigset_t block, oldMask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &oldMask);

    // Signals 32 and 33 are the C library's own, left ignored by its spawn; 1 to 31 must be clean.
    Result r = RunPipeline({{"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"}});
    std::istringstream status(r.out.value_or(""));
    std::string blkName, blk, ignName, ignored;
    ASSERT_TRUE(status >> blkName >> blk >> ignName >> ignored) << r.out.value_or("(none)");
    EXPECT_EQ(std::stoull(blk, nullptr, 16), 0u);
    EXPECT_EQ(std::stoull(ignored, nullptr, 16) & 0x7fffffffu, 0u);

    // Both commands share one group, led by the first, apart from ours.
    Result g = RunPipeline({Sh("echo $$ $(cut -d' ' -f5 /proc/$$/stat)"), Sh("cat; cut -d' ' -f5 /proc/$$/stat")});
    std::istringstream in(g.out.value_or(""));
    pid_t leader = 0, group1 = 0, group2 = 0;
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
        auto start = Clock::now();
        Result r = RunPipeline(pipeline, 500);
        auto took = Clock::now() - start;
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
    Result quick = RunPipeline({{"printf", "hi"}}, 5000);   // in time: an ordinary result
    EXPECT_EQ(quick.status, 0);
    EXPECT_EQ(quick.out, "hi");
}

TEST(SeccmdTest, DoesNotWaitForABackgroundProcessHoldingTheOutput)
{
    auto start = Clock::now();
    Result r = RunPipeline({Sh("sleep 60 & echo $!")});
    EXPECT_LT(Clock::now() - start, 30s);
    EXPECT_EQ(r.status, 0);
    ASSERT_TRUE(r.out.has_value());
    pid_t background = static_cast<pid_t>(atoi(r.out->c_str()));
    ASSERT_GT(background, 0);
    kill(background, SIGKILL);
}

TEST(SeccmdTest, ManyThreadsAtOnce)
{
    // Meanwhile another thread keeps opening descriptors without close-on-exec; none may reach a child.
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop) {
            close(open("/dev/null", O_RDONLY));
        }
    });
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 25; ++i) {
                std::string mark = "thread " + std::to_string(t) + " run " + std::to_string(i);
                Result echo = RunPipeline({{"printf", "%s", mark}, {"cat"}});
                Result fds = RunPipeline({{"ls", "/proc/self/fd"}});
                failures += echo.rc != 0 || echo.out != mark || fds.status != 0 || LinesOf(fds.out) != kStandardFds;
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

TEST(SeccmdTest, NoCommandOutlivesTheStopOrTheDaemon)
{
    // The stop: a run in progress is killed and fails with ECANCELED, and no new run starts.
    int stopPipe[2];
    ASSERT_EQ(pipe2(stopPipe, O_CLOEXEC), 0);
    seccmd_set_stop_fd(stopPipe[0]);
    Result r;
    auto start = Clock::now();
    std::thread run([&] { r = RunPipeline({{"sleep", "100"}}, 0); });
    std::this_thread::sleep_for(300ms);
    close(stopPipe[1]);   // readable from now on
    run.join();
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, ECANCELED);
    EXPECT_TRUE(ChildrenOfSelf().empty());
    Result later = RunPipeline({{"true"}});
    EXPECT_EQ(later.rc, -1);
    EXPECT_EQ(later.err, ECANCELED);
    seccmd_set_stop_fd(-1);
    close(stopPipe[0]);

    // The daemon killed outright: its commands go with it.
    const char *pidFile = "/run/seccmd_test.child";
    unlink(pidFile);
    pid_t daemon = fork();
    ASSERT_GE(daemon, 0);
    if (daemon == 0) {
        Result orphan = RunPipeline({Sh(std::string("echo $$ > ") + pidFile + "; exec sleep 100")});
        _exit(orphan.rc == 0 ? 0 : 1);
    }
    std::string command;
    for (auto end = Clock::now() + 5s; command.empty() && Clock::now() < end; std::this_thread::sleep_for(20ms)) {
        std::ifstream in(pidFile);
        std::getline(in, command);
    }
    ASSERT_FALSE(command.empty());
    kill(daemon, SIGKILL);
    waitpid(daemon, nullptr, 0);
    EXPECT_TRUE(GoneWithin(static_cast<pid_t>(atoi(command.c_str())), 5s));
    unlink(pidFile);
}

}  // namespace
