// The daemon's life through the real binary in the sandbox: the pid-file
// lock, the ISO directory, the termination signals and their report, and a
// fault of the daemon's own code.
#include <gtest/gtest.h>
#include <signal.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <functional>
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
    // Sends signo (0: the stop signal was sent already) and waits for an
    // orderly end.
    void StopCleanly(Daemon &d, int signo)
    {
        ASSERT_TRUE(signo == 0 || d.Signal(signo));
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

// Starts the daemon under ptrace and leaves it stopped at the entry of the
// first system call that `at` accepts; the caller acts, then detaches.
pid_t StartStoppedAt(const std::function<bool(const __ptrace_syscall_info &)> &at)
{
    pid_t pid = fork();
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execl(Daemon::BinaryPath().c_str(), "ortavis-upgd", static_cast<char *>(nullptr));
        _exit(127);
    }
    int st = 0;
    if (waitpid(pid, &st, 0) != pid ||   // stopped at the exec
        ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0) {
        return -1;
    }
    for (;;) {
        if (ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr) != 0 || waitpid(pid, &st, 0) != pid || !WIFSTOPPED(st)) {
            return -1;
        }
        __ptrace_syscall_info info{};
        if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof(info), &info) > 0 &&
            info.op == PTRACE_SYSCALL_INFO_ENTRY && at(info)) {
            return pid;
        }
    }
}

TEST_F(DaemonLife, AnInstanceThatLockedARemovedPidFileTakesTheNewOne)
{
    // A restart overlapping an exit: the new instance has opened the pid
    // file, and the exiting one removes it before the new one locks it.
    pid_t pid = StartStoppedAt([](const __ptrace_syscall_info &i) {
        return i.entry.nr == SYS_fcntl && i.entry.args[1] == F_SETLK;
    });
    ASSERT_GT(pid, 0);
    ASSERT_EQ(unlink(kPidFile), 0);
    ASSERT_EQ(ptrace(PTRACE_DETACH, pid, nullptr, nullptr), 0);
    bool holdsPidFile = false;
    for (int i = 0; i < 500 && !holdsPidFile; ++i) {
        holdsPidFile = ReadFile(kPidFile).value_or("") == std::to_string(pid) + "\n";
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(holdsPidFile) << "it must run with its pid at the path\n" << log.Dump();
    kill(pid, SIGTERM);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_EQ(ExitCode(st), 0);
}

TEST_F(DaemonLife, AStopSentWhileItStartsEndsItInOrder)
{
    // The pid file is written, the ISO link not yet read and the handlers
    // not in place: a supervisor that takes the pid file as the sign of a
    // running daemon may stop it now.
    pid_t pid = StartStoppedAt([](const __ptrace_syscall_info &i) {
        return i.entry.nr == SYS_readlink || i.entry.nr == SYS_readlinkat;
    });
    ASSERT_GT(pid, 0);
    ASSERT_EQ(ReadFile(kPidFile).value_or(""), std::to_string(pid) + "\n");
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    ASSERT_EQ(ptrace(PTRACE_DETACH, pid, nullptr, nullptr), 0);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_EQ(ExitCode(st), 0) << st << "\n" << log.Dump();
    EXPECT_FALSE(PathExists(kPidFile));
    EXPECT_TRUE(log.WaitFor("<== BYE ==>"));
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

// Sends signo to pid with a sender pid of our choosing, as sigqueue would
// with a forged si_pid.
bool SendQueued(pid_t pid, int signo, int senderPid)
{
    siginfo_t si{};
    si.si_signo = signo;
    si.si_code = SI_QUEUE;
    si.si_pid = senderPid;
    si.si_uid = getuid();
    return syscall(SYS_rt_sigqueueinfo, pid, signo, &si) == 0;
}

const std::initializer_list<int> kSupervisorBlocked = {SIGTERM, SIGHUP, SIGALRM};

TEST_F(DaemonLife, TermAndHupStopWithAReportNamingTheSender)
{
    const std::string self = "from pid " + std::to_string(getpid()) + "(" + SelfExe() + ")";
    struct Case {
        const char *what;
        bool blocked;        // started with kSupervisorBlocked blocked
        int signo;
        int queuedPid;       // 1: kill(); otherwise the forged sender pid
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"SIGTERM", false, SIGTERM, 1, {"terminating on signal 15 " + self}},
        {"SIGHUP", false, SIGHUP, 1, {"terminating on signal 1 " + self}},
        {"SIGTERM left blocked by the supervisor", true, SIGTERM, 1, {"terminating on signal 15 " + self}},
        {"SIGHUP left blocked by the supervisor", true, SIGHUP, 1, {"terminating on signal 1 " + self}},
        {"sender pid 0", false, SIGTERM, 0, {"terminating on signal 15 from pid 0(NULL)"}},
        {"negative sender pid", false, SIGTERM, -5, {"pid : -5", "terminating on signal 15 from pid -5()"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        Daemon d;
        ASSERT_TRUE(c.blocked ? d.Start(kSupervisorBlocked) : d.Start());
        ASSERT_TRUE(d.WaitStarted()) << log.Dump();
        if (c.queuedPid != 1) {
            ASSERT_TRUE(SendQueued(d.Pid(), c.signo, c.queuedPid));
        }
        StopCleanly(d, c.queuedPid == 1 ? c.signo : 0);
        auto texts = log.Texts();
        for (const auto &want : c.lines) {
            EXPECT_NE(std::find_if(texts.begin(), texts.end(),
                                   [&](const std::string &t) { return t.ends_with(want); }),
                      texts.end())
                << "missing \"" << want << "\"\n" << log.Dump();
        }
        EXPECT_EQ(texts.back(), "<== BYE ==>") << "the farewell is the last line";
    }
}

// One field of /proc/<pid>/status (the main thread's view).
std::string ProcStatusField(pid_t pid, const std::string &field)
{
    std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status").value_or("");
    size_t at = status.find("\n" + field + ":");
    if (at == std::string::npos) {
        return "0";
    }
    size_t from = status.find_first_not_of(" \t", at + field.size() + 2);
    return status.substr(from, status.find('\n', from) - from);
}

bool InSigSet(const std::string &hex, int signo)
{
    return (std::stoull(hex, nullptr, 16) >> (signo - 1)) & 1;
}

TEST_F(DaemonLife, IntPipeAndAlarmLeaveItRunning)
{
    // Started as a supervisor that left the stop and timer signals blocked.
    Daemon d;
    ASSERT_TRUE(d.Start(kSupervisorBlocked));
    ASSERT_TRUE(d.WaitStarted()) << log.Dump();
    for (int signo : kSupervisorBlocked) {
        EXPECT_FALSE(InSigSet(ProcStatusField(d.Pid(), "SigBlk"), signo)) << signo;
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(d.Signal(SIGINT));
        ASSERT_TRUE(d.Signal(SIGPIPE));
        ASSERT_TRUE(d.Signal(SIGALRM));
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(d.Running());
    EXPECT_FALSE(InSigSet(ProcStatusField(d.Pid(), "ShdPnd"), SIGALRM)) << "the timer signal was taken";
    EXPECT_EQ(log.Count("terminating on signal"), 0u);
    EXPECT_EQ(log.Count("UpgSemPost"), 0u) << "the timer handler logs nothing";
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

// A thread of the daemon other than main: one of the pool's workers.
pid_t AnyWorkerThread(pid_t pid)
{
    pid_t tid = -1;
    if (DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (dirent *e = readdir(dir)) {
            pid_t t = static_cast<pid_t>(std::atoi(e->d_name));
            if (t > 0 && t != pid) {
                tid = t;
            }
        }
        closedir(dir);
    }
    return tid;
}

TEST(DaemonFault, FaultOnAWorkerWhileStoppingNeverEndsWithStatus0)
{
    // The worker is held in a SIGSEGV delivery stop while the daemon stops,
    // then gets it as a fault of its own code (si_code > 0), as a crash
    // during shutdown would.
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer's runtime runs inside every call the worker makes;
    // a thread frozen at an arbitrary point may hold that runtime's own locks
    // and stall the rest of the process, which no host would see.
    GTEST_SKIP() << "a thread frozen under the thread sanitizer stalls its runtime";
#endif
    LogCollector log;
    Daemon d;
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(d.WaitStarted()) << log.Dump();
    pid_t tid = AnyWorkerThread(d.Pid());
    ASSERT_GT(tid, 0);
    ASSERT_EQ(ptrace(PTRACE_SEIZE, tid, nullptr, nullptr), 0) << errno;
    // Should a check below fail while the worker is still ours, the daemon
    // can only be reaped once its traced thread has been: end both here.
    bool traced = true;
    struct Untrace {
        std::function<void()> fn;
        ~Untrace() { fn(); }
    } untraceAtExit{[&] {
        if (traced) {
            kill(d.Pid(), SIGKILL);
            int ignored = 0;
            waitpid(tid, &ignored, __WALL);
        }
    }};
    ASSERT_EQ(syscall(SYS_tgkill, d.Pid(), tid, SIGSEGV), 0);
    int st = 0;
    ASSERT_EQ(waitpid(tid, &st, __WALL), tid);
    ASSERT_TRUE(WIFSTOPPED(st) && WSTOPSIG(st) == SIGSEGV) << st;

    ASSERT_TRUE(d.Signal(SIGTERM));
    ASSERT_TRUE(log.WaitFor("terminating on signal 15")) << log.Dump();
    siginfo_t si{};
    ASSERT_EQ(ptrace(PTRACE_GETSIGINFO, tid, nullptr, &si), 0);
    si.si_code = SEGV_MAPERR;
    ASSERT_EQ(ptrace(PTRACE_SETSIGINFO, tid, nullptr, &si), 0);
    ASSERT_EQ(ptrace(PTRACE_DETACH, tid, nullptr, reinterpret_cast<void *>(SIGSEGV)), 0);
    traced = false;

    auto status = d.WaitExit(20s);
    ASSERT_TRUE(status.has_value()) << log.Dump();
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGSEGV) << *status << "\n" << log.Dump();
    EXPECT_TRUE(log.WaitFor("fault signal 11 in the daemon itself"));
}

}  // namespace
