// The daemon's life through the real binary in the sandbox: the pid-file
// lock, the ISO directory, the termination signals and their report, and a
// fault of the daemon's own code.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <thread>

#include "ortavis_upgd.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using upgd_test::Daemon;
using upgd_test::ExitCode;
using upgd_test::kIsoDir;
using upgd_test::kPidFile;
using upgd_test::LogCollector;
using upgd_test::PathExists;
using upgd_test::ReadFile;
using upgd_test::WriteFile;

const std::string kLink = std::string(kIsoDir) + "/ortavis-linux.iso";

std::string SelfExe()
{
    char buf[PATH_MAX] = {0};
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

class DaemonLife : public ::testing::Test {
protected:
    void StartReady(Daemon &d)
    {
        ASSERT_TRUE(d.Start());
        ASSERT_TRUE(d.WaitStarted()) << log.Dump();
        ASSERT_EQ(ReadFile(kPidFile).value_or(""), std::to_string(d.Pid()) + "\n");
    }
    void StopCleanly(Daemon &d, int signo)
    {
        ASSERT_TRUE(d.Signal(signo));
        auto status = d.WaitExit();
        ASSERT_TRUE(status.has_value()) << "daemon did not stop\n" << log.Dump();
        EXPECT_EQ(ExitCode(*status), 0) << log.Dump();
        EXPECT_FALSE(PathExists(kPidFile));
        EXPECT_TRUE(log.WaitFor("<== BYE ==>"));
    }
    LogCollector log;
};

TEST_F(DaemonLife, PidFileHoldsExactlyThePidAndOlderContentIsTruncated)
{
    ASSERT_TRUE(WriteFile(kPidFile, "123456789012345678\nstale text from before\n"));
    Daemon d;
    StartReady(d);
    StopCleanly(d, SIGTERM);
}

TEST_F(DaemonLife, PidFileIsCreatedWithMode0640)
{
    umask(0);
    Daemon d;
    StartReady(d);
    struct stat st {};
    ASSERT_EQ(stat(kPidFile, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    StopCleanly(d, SIGTERM);
}

TEST_F(DaemonLife, SecondInstanceExits255AndLeavesTheFirstsPidFile)
{
    Daemon first;
    StartReady(first);
    Daemon second;
    ASSERT_TRUE(second.Start());
    auto status = second.WaitExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(ExitCode(*status), 255);
    EXPECT_TRUE(log.WaitFor("Another ortavis-upgd instance is already running.\n"));
    EXPECT_EQ(ReadFile(kPidFile).value_or(""), std::to_string(first.Pid()) + "\n");
    EXPECT_TRUE(first.Running());
    StopCleanly(first, SIGTERM);
}

TEST_F(DaemonLife, IsoDirectoryFromTheLink)
{
    struct Case {
        const char *what;
        bool link;                  // a symbolic link, else a regular file or nothing
        const char *content;        // link target, or file content; null: no file
        std::vector<std::string> lines;
    };
    const std::string isoDir = kIsoDir;
    const Case cases[] = {
        {"missing", false, nullptr,
         {"failed to readlink,errno=2", "failed to readlink,errno=2"}},
        {"regular file", false, "not a link",
         {isoDir + "/ortavis-linux.iso is not a symbolic link\n",
          isoDir + " is not a symbolic link. iso path is still " + isoDir}},
        {"absolute target", true, "/data/iso/ortavis-linux-1.2.iso",
         {isoDir + " is a symbolic link,real path is /data/iso"}},
        {"target under the root", true, "/ortavis-linux-1.2.iso",
         {isoDir + " is a symbolic link,real path is "}},
        {"target beside the link", true, "ortavis-linux-1.2.iso",
         {isoDir + " is a symbolic link,real path is " + isoDir}},
        {"relative target", true, "images/ortavis-linux-1.2.iso",
         {isoDir + " is a symbolic link,real path is " + isoDir + "/images"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(kLink.c_str());
        if (c.link) {
            ASSERT_EQ(symlink(c.content, kLink.c_str()), 0);
        } else if (c.content != nullptr) {
            ASSERT_TRUE(WriteFile(kLink, c.content));
        }
        log.Clear();
        Daemon d;
        StartReady(d);
        StopCleanly(d, SIGTERM);
        auto texts = log.Texts();
        for (const auto &want : c.lines) {
            EXPECT_NE(std::find(texts.begin(), texts.end(), want), texts.end())
                << "missing \"" << want << "\"\n" << log.Dump();
        }
    }
}

TEST_F(DaemonLife, TermAndHupStopWithAReportNamingTheSender)
{
    for (int signo : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signo);
        log.Clear();
        Daemon d;
        StartReady(d);
        StopCleanly(d, signo);
        std::string report = "ortavis-upgd: terminating on signal " + std::to_string(signo) +
                             " from pid " + std::to_string(getpid()) + "(" + SelfExe() + ")";
        auto texts = log.Texts();
        auto it = std::find(texts.begin(), texts.end(), report);
        ASSERT_NE(it, texts.end()) << log.Dump();
        EXPECT_EQ(texts.back(), "<== BYE ==>") << "the farewell is the last line";
    }
}

TEST_F(DaemonLife, IntAndPipeLeaveItRunning)
{
    Daemon d;
    StartReady(d);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(d.Signal(SIGINT));
        ASSERT_TRUE(d.Signal(SIGPIPE));
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(d.Running());
    EXPECT_EQ(log.Count("terminating on signal"), 0u);
    StopCleanly(d, SIGTERM);
}

TEST_F(DaemonLife, FaultSignalsSentByAnotherProcessStopLikeTerm)
{
    for (int signo : {SIGSEGV, SIGFPE, SIGILL, SIGBUS, SIGABRT}) {
        SCOPED_TRACE(signo);
        log.Clear();
        Daemon d;
        StartReady(d);
        StopCleanly(d, signo);
        EXPECT_EQ(log.Count("terminating on signal " + std::to_string(signo) + " from pid " +
                            std::to_string(getpid()) + "("),
                  1u)
            << log.Dump();
    }
}

// A fault of the daemon's own code, raised in a child that runs the
// daemon's signal handling and termination wait. The child is forked while
// the test is still single-threaded; the log collector starts after the fork
// and lets the child go once it listens.
int RunFaultingChild(bool onMainThread)
{
    int go[2];
    if (pipe(go) != 0) {
        ADD_FAILURE() << "pipe";
        return 0;
    }
    pid_t pid = fork();
    if (pid == 0) {
        char c;
        close(go[1]);
        if (read(go[0], &c, 1) != 1 || InitExitSem() != 0) {
            _exit(3);
        }
        InstallSignalHandlers();
        auto fault = [] {
            volatile uintptr_t addr = 8;
            *reinterpret_cast<volatile int *>(addr) = 1;
        };
        if (onMainThread) {
            fault();
        } else {
            std::thread faulting(fault);
            faulting.detach();
            AwaitTermination();
        }
        _exit(0);
    }
    close(go[0]);
    LogCollector log;
    (void)!write(go[1], "g", 1);
    close(go[1]);
    int status = 0;
    for (int i = 0; i < 1000; ++i) {   // at most 10 s: never a spin on the fault
        if (waitpid(pid, &status, WNOHANG) == pid) {
            if (!onMainThread) {
                EXPECT_TRUE(log.WaitFor("terminating on signal 11 from pid " + std::to_string(pid)))
                    << log.Dump();
                EXPECT_TRUE(log.WaitFor("fault signal 11 in the daemon itself")) << log.Dump();
            }
            return status;
        }
        std::this_thread::sleep_for(10ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ADD_FAILURE() << "the faulting process did not end";
    return status;
}

TEST(DaemonFault, OwnFaultIsReportedAndEndsTheProcessByTheSignal)
{
    int status = RunFaultingChild(false);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
}

TEST(DaemonFault, FaultOnTheMainThreadStillEnds)
{
    int status = RunFaultingChild(true);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
}

}  // namespace
