// The host command runner, driven with real host tools inside the test sandbox.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ortavis_upgd_seccmd.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Command = std::vector<std::string>;

// What `ls /proc/self/fd` prints in a child given the standard descriptors alone (3: ls's directory).
const std::string kStandardFds = "0\n1\n2\n3\n";

// A command as the null-terminated array the runner takes, borrowing the words.
std::vector<char *> Argv(Command &words)
{
    std::vector<char *> argv(words.size() + 1, nullptr);
    std::transform(words.begin(), words.end(), argv.begin(), [](std::string &w) { return w.data(); });
    return argv;
}

struct Result {
    int rc = 0, err = 0, status = -1;
    std::optional<std::string> out;   // nullopt: the output slot stayed null
    Clock::duration took;
};

Result RunPipeline(std::vector<Command> pipeline, int timeoutMs = -1, bool wantOutput = true)
{
    std::vector<std::vector<char *>> argvs;
    std::vector<char *const *> vectors;
    for (Command &c : pipeline) {
        vectors.push_back(argvs.emplace_back(Argv(c)).data());
    }
    Result r;
    char *out = nullptr;
    auto start = Clock::now();
    r.rc = seccmd_run_pipeline(wantOutput ? &out : nullptr, &r.status, timeoutMs, {vectors.data(), vectors.size()});
    r.err = errno;
    r.took = Clock::now() - start;
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

// True when this process has no child left, running or unreaped.
bool NoChildren()
{
    return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

// True once pid is gone, or a zombie left for its new parent to collect.
bool GoneWithin(pid_t pid, std::chrono::milliseconds limit)
{
    return upgd_test::WaitUntil([pid] {
        std::string stat = upgd_test::ReadFile("/proc/" + std::to_string(pid) + "/stat").value_or("");
        size_t close = stat.rfind(')');
        return close == std::string::npos || stat.substr(close + 2, 1) == "Z";
    }, limit);
}

TEST(SeccmdTest, PipelinesGiveTheLastCommandsStatusAndOutputWithinTheirTime)
{
    // status -1: the call fails with ENOENT.
    const struct { const char *name; std::vector<Command> pipeline; int status; std::optional<std::string> out; } rows[] = {
        {"three stages", {{"printf", "x\\ny\\nx\\n"}, {"grep", "x"}, {"wc", "-l"}}, 0, "2\n"},
        {"no match, nothing printed", {{"printf", "a\\n"}, {"grep", "zzz"}}, 1, std::nullopt},
        {"last one counts, failing first", {{"false"}, {"true"}}, 0, std::nullopt},
        {"last one counts, failing last", {{"true"}, {"false"}}, 1, std::nullopt},
        {"killed by a signal", {Sh("kill -TERM $$")}, 128 + SIGTERM, std::nullopt},
        {"exit 127 is a status, not a failure", {Sh("exit 127")}, 127, std::nullopt},
        {"output past the cap read and dropped", {{"head", "-c", "3145728", "/dev/zero"}, {"tr", "\\0", "x"}}, 0,
         std::string(SECCMD_OUTPUT_MAX, 'x')},
        {"a background process holding the output", {Sh("sleep 12 2>/dev/null & echo done")}, 0, "done\n"},
        // The first command would run for long: it is killed, not waited for.
        {"missing program", {{"sleep", "100"}, {"ortavis-no-such-program"}, {"cat"}}, -1, std::nullopt},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        Result got = RunPipeline(r.pipeline, 5000);   // a run in time is an ordinary result
        EXPECT_EQ(got.rc == 0 ? 0 : got.err, r.status == -1 ? ENOENT : 0);
        EXPECT_EQ(got.status, r.status);
        EXPECT_TRUE(got.out == r.out) << got.out.value_or("(none)").substr(0, 100);
        EXPECT_LT(got.took, 4s);
        EXPECT_TRUE(NoChildren());
    }
    // Arguments reach the program unchanged: no shell sees them.
    for (const std::string arg : {"device='cdrom'", "$(id)", "`id`", "a; b", "  two  blanks ", "*", "a|b>c", "\\n"}) {
        EXPECT_EQ(RunPipeline({{"printf", "%s", arg}, {"cat"}}).out, arg);
    }
    EXPECT_EQ(RunPipeline(std::vector<Command>(SECCMD_MAX_COMMANDS + 1, Command{"true"})).err, EINVAL);
    EXPECT_EQ(RunPipeline(std::vector<Command>(SECCMD_MAX_COMMANDS, Command{"true"})).status, 0);
}

TEST(SeccmdTest, ChildrenGetOnlyStandardDescriptorsDefaultSignalsAndTheirOwnGroup)
{
    // This process reads a pipe, holds descriptors without close-on-exec,
    // ignores SIGPIPE and SIGINT and blocks every signal, as the daemon might.
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(dup2(in[0], 0), 0);
    ASSERT_EQ(dup2(in[1], 50), 50);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);

    EXPECT_EQ(RunPipeline({{"true"}, {"ls", "/proc/self/fd"}, {"cat"}}).out, kStandardFds);
    EXPECT_EQ(RunPipeline({{"readlink", "/proc/self/fd/0"}}).out, "/dev/null\n") << "the first reads our input";
    EXPECT_EQ(RunPipeline({{"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"}}).out,
              "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
    // Both commands share one group, led by the first, apart from ours.
    const std::string group = "cut -d' ' -f5 /proc/$$/stat";
    std::string groups = RunPipeline({Sh("echo $$ $(" + group + ")"), Sh("cat; " + group)}).out.value_or("");
    std::string leader = groups.substr(0, groups.find(' '));
    EXPECT_EQ(groups, leader + " " + leader + "\n" + leader + "\n");
    EXPECT_NE(leader, std::to_string(getpgrp()));
}

TEST(SeccmdTest, NoCommandOutlivesItsLimitTheStopOrTheDaemon)
{
    // The limit: the leader leaves a background sleep in the group.
    Result r = RunPipeline({Sh("sleep 100 & echo $!; sleep 100"), {"cat"}}, 500);
    EXPECT_GE(r.took, 450ms);
    EXPECT_LT(r.took, 10s);
    EXPECT_EQ(r.status, SECCMD_STATUS_TIMEOUT);
    ASSERT_TRUE(r.out.has_value());   // what came before the kill is kept
    EXPECT_TRUE(GoneWithin(static_cast<pid_t>(atoi(r.out->c_str())), 5s));

    // The stop: the runs in progress, at most SECCMD_RUNNING_MAX, are killed
    // and fail with ECANCELED, as does one waiting for a slot; no new run starts.
    int stopFd = eventfd(0, EFD_CLOEXEC);
    seccmd_set_stop_fd(stopFd);
    constexpr size_t kSlots = SECCMD_RUNNING_MAX;
    std::vector<Result> runs(kSlots + 1);
    std::vector<std::jthread> threads;
    for (Result &run : runs) {
        threads.emplace_back([&run] { run = RunPipeline({{"sleep", "100"}}, 0); });
    }
    EXPECT_TRUE(upgd_test::WaitUntil([] { return upgd_test::ThreadsAndChildren(getpid()).second >= kSlots; }));
    EXPECT_EQ(upgd_test::ThreadsAndChildren(getpid()).second, kSlots);
    eventfd_write(stopFd, 1);   // readable from now on
    threads.clear();
    for (const Result &run : runs) {
        EXPECT_LT(run.took, 5s);
        EXPECT_EQ(run.rc == -1 ? run.err : 0, ECANCELED);
    }
    EXPECT_TRUE(NoChildren());
    EXPECT_EQ(RunPipeline({{"true"}}).err, ECANCELED);
    seccmd_set_stop_fd(-1);

    // The daemon killed outright: its commands go with it.
    const char *pidFile = "/run/seccmd_test.child";
    pid_t daemon = fork();
    if (daemon == 0) {
        _exit(RunPipeline({Sh(std::string("echo $$ > ") + pidFile + "; exec sleep 100")}).rc);
    }
    std::string command;
    ASSERT_TRUE(upgd_test::WaitUntil([&] { return !(command = upgd_test::ReadFile(pidFile).value_or("")).empty(); }));
    kill(daemon, SIGKILL);
    waitpid(daemon, nullptr, 0);
    EXPECT_TRUE(GoneWithin(static_cast<pid_t>(atoi(command.c_str())), 5s));
}

}  // namespace
