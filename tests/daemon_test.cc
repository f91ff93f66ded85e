// The daemon's life through the real binary in the sandbox: the pid-file lock,
// the ISO directory, the signals and their report, faults of its own code.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>

#include "ortavis_upgd.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using namespace upgd_test;

class DaemonLife : public ::testing::Test {
protected:
    // Starts the daemon (as a supervisor that left the stop and timer signals
    // blocked, when asked) and waits until it runs, its pid the pid file's text.
    void StartReady(Daemon &d, bool supervisorMask = false)
    {
        ASSERT_TRUE(supervisorMask ? d.Start({SIGTERM, SIGHUP, SIGALRM}) : d.Start());
        ASSERT_TRUE(d.WaitStarted(&log)) << log.Dump();
    }
    // Sends signo (0: the stop was sent already) and waits for an orderly
    // end: status 0, the pid file gone, the farewell the last line.
    void StopCleanly(Daemon &d, int signo)
    {
        ASSERT_TRUE(signo == 0 || d.Signal(signo));
        EXPECT_EQ(ExitCode(d.WaitExit().value_or(-1)), 0) << "no orderly end\n" << log.Dump();
        EXPECT_FALSE(PathExists(kPidFile));
        ASSERT_TRUE(log.WaitFor("<== BYE ==>"));
        EXPECT_EQ(log.Texts().back(), "<== BYE ==>") << "the farewell is the last line";
        EXPECT_EQ(log.Count("can't join thread"), 0u) << log.Dump();
        ExpectLogged("ResetVmStatusThread end");
    }
    // Some logged text ends with `want`.
    void ExpectLogged(const std::string &want)
    {
        EXPECT_TRUE(std::ranges::any_of(log.Texts(), [&](const auto &t) { return t.ends_with(want); }))
            << "missing \"" << want << "\"\n" << log.Dump();
    }
    LogCollector log;
};

TEST_F(DaemonLife, PidFileIsCreated0640AndASecondInstanceExits255LeavingIt)
{
    umask(0);
    Daemon first;
    StartReady(first);
    EXPECT_EQ(std::filesystem::status(kPidFile).permissions(), std::filesystem::perms(0640));
    Daemon second;
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(ExitCode(second.WaitExit().value_or(-1)), 255);
    EXPECT_TRUE(log.WaitFor("Another ortavis-upgd instance is already running.\n"));
    // Said on stderr too; any argument is refused before anything starts, --version aside.
    const std::tuple<const char *, int, const char *> runs[] = {
        {"", 255, "ortavis-upgd: another instance is already running: it holds the lock of /var/run/ortavis-upgd.pid\n"},
        {" --help", 2, "usage: ortavis-upgd (no arguments"}, {" -x", 2, "usage: "}, {" --version x", 2, "usage: "},
        {" --version", 0, "ortavis-upgd 0.1.0\n"}};
    for (const auto &[args, exit, said] : runs) {
        int status = std::system((Daemon::BinaryPath() + args + " >/run/sandbox/d.out 2>&1").c_str());
        EXPECT_EQ(ExitCode(status), exit) << args;
        EXPECT_EQ(ReadFile("/run/sandbox/d.out").value_or("").rfind(said, 0), 0u) << args;
    }
    EXPECT_EQ(ReadFile(kPidFile).value_or(""), std::to_string(first.Pid()) + "\n");
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
    bool ok = waitpid(pid, &st, 0) == pid &&   // stopped at the exec
              ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) == 0;
    for (__ptrace_syscall_info i{}; ok && !(ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof(i), &i) > 0 &&
                                            i.op == PTRACE_SYSCALL_INFO_ENTRY && at(i));) {
        ok = ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr) == 0 && waitpid(pid, &st, 0) == pid && WIFSTOPPED(st);
    }
    return ok ? pid : -1;
}

TEST_F(DaemonLife, AnInstanceThatLockedARemovedPidFileTakesTheNewOne)
{
    // A restart overlapping an exit: the new instance has opened the pid file,
    // the exiting one removes it, and a file is back at the path (as a third
    // instance makes it) before the new one locks the old.
    Daemon d(StartStoppedAt([](const __ptrace_syscall_info &i) {
        return i.entry.nr == SYS_fcntl && i.entry.args[1] == F_SETLK;
    }));
    ASSERT_GT(d.Pid(), 0);
    ASSERT_EQ(unlink(kPidFile), 0);
    ASSERT_TRUE(WriteFile(kPidFile, ""));
    ASSERT_EQ(ptrace(PTRACE_DETACH, d.Pid(), nullptr, nullptr), 0);
    EXPECT_TRUE(d.WaitStarted(&log)) << "it must run with its pid at the path\n" << log.Dump();
    StopCleanly(d, SIGTERM);
}

TEST_F(DaemonLife, AStopSentWhileItStartsEndsItInOrder)
{
    // The pid file is written, the handlers not yet in place: a supervisor
    // that takes the pid file as the sign of a running daemon may stop it now.
    bool wrote = false;   // the pid file's pwrite comes first (a sanitizer's runtime reads links before main)
    Daemon d(StartStoppedAt([&](const __ptrace_syscall_info &i) {
        wrote = wrote || i.entry.nr == SYS_pwrite64;
        return wrote && (i.entry.nr == SYS_readlink || i.entry.nr == SYS_readlinkat);
    }));
    ASSERT_GT(d.Pid(), 0);
    ASSERT_EQ(ReadFile(kPidFile).value_or(""), std::to_string(d.Pid()) + "\n");
    ASSERT_TRUE(d.Signal(SIGTERM));
    ASSERT_EQ(ptrace(PTRACE_DETACH, d.Pid(), nullptr, nullptr), 0);
    StopCleanly(d, 0);
}

TEST_F(DaemonLife, IsoDirectoryFromTheLink)
{
    const std::string link = std::string(kIsoDir) + "/ortavis-linux.iso";
    const std::string dir = kIsoDir;
    const std::string tooLong = "/" + std::string(UPGD_PATH_MAX - 1, 'x');   // no room for its NUL
    // Not a symlink: a regular file with target as its content, or nothing when target is null.
    const struct { const char *what; bool symlink; const char *target; std::string line; } rows[] = {
        {"missing", false, nullptr, "failed to readlink,errno=2"},
        {"regular file", false, "not a link", dir + " is not a symbolic link. iso path is still " + dir},
        {"absolute target", true, "/data/iso/o-1.2.iso", dir + " is a symbolic link,real path is /data/iso"},
        {"target under the root", true, "/ortavis-linux-1.2.iso", dir + " is a symbolic link,real path is "},
        {"target beside the link", true, "ortavis-linux-1.2.iso", dir + " is a symbolic link,real path is " + dir},
        {"relative target", true, "images/o-1.2.iso", dir + " is a symbolic link,real path is " + dir + "/images"},
        {"target filling the buffer", true, tooLong.c_str(), "the path is error or too long, iLen=1024"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        unlink(link.c_str());
        if (r.symlink) {
            ASSERT_EQ(symlink(r.target, link.c_str()), 0);
        } else if (r.target != nullptr) {
            ASSERT_TRUE(WriteFile(link, r.target));
        }
        log.Clear();
        Daemon d;
        StartReady(d);
        StopCleanly(d, SIGTERM);
        ExpectLogged(r.line);
    }
}

TEST_F(DaemonLife, SignalsStopItWithAReportNamingTheSenderOrLeaveItRunning)
{
    const std::string self =
        "from pid " + std::to_string(getpid()) + "(" + std::filesystem::read_symlink("/proc/self/exe").string() + ")";
    constexpr int kKill = 1;
    // supervisorMask: started with SIGTERM, SIGHUP and SIGALRM blocked; sender kKill: kill(), else the forged sender pid.
    const struct { const char *what; bool supervisorMask; int signo; int sender; std::string line; } rows[] = {
        {"SIGTERM", false, SIGTERM, kKill, "terminating on signal 15 " + self},
        {"SIGHUP after a supervisor's mask", true, SIGHUP, kKill, "terminating on signal 1 " + self},
        {"sender pid 0", false, SIGTERM, 0, "terminating on signal 15 from pid 0(NULL)"},
        {"negative sender pid", false, SIGTERM, -5, "terminating on signal 15 from pid -5()"},
        // Fault signals sent by another process are stop requests like SIGTERM.
        {"SIGSEGV sent", false, SIGSEGV, kKill, "terminating on signal 11 " + self},
        {"SIGBUS sent", false, SIGBUS, kKill, "terminating on signal 7 " + self},
        {"SIGABRT sent", false, SIGABRT, kKill, "terminating on signal 6 " + self},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        log.Clear();
        // A crashed instance's pid file: the new pid replaces all of it.
        ASSERT_TRUE(WriteFile(kPidFile, "123456789012345678\nstale text from before\n"));
        Daemon d;
        StartReady(d, r.supervisorMask);
        if (r.supervisorMask) {
            auto blocked = ProcSigSet(d.Pid(), "SigBlk");
            EXPECT_FALSE(blocked[SIGTERM - 1] || blocked[SIGHUP - 1] || blocked[SIGALRM - 1]) << blocked;
            // Every other thread leaves a stop to main.
            for (const auto &t : std::filesystem::directory_iterator("/proc/" + std::to_string(d.Pid()) + "/task")) {
                auto mask = ProcSigSet(d.Pid(), "SigBlk", std::stoi(t.path().filename()));
                EXPECT_TRUE(t.path().filename() == std::to_string(d.Pid()) || (mask[SIGTERM - 1] && mask[SIGHUP - 1]))
                    << t.path() << " " << mask;
            }
            // Ignored, or taken by the timer's handler, which logs nothing.
            for (int signo : {SIGINT, SIGPIPE, SIGALRM, SIGINT, SIGPIPE, SIGALRM}) {
                ASSERT_TRUE(d.Signal(signo));
            }
            // Taken once none is pending: SIGINT by main alone, which need not have run yet when another
            // thread took the timer's signal.
            EXPECT_TRUE(WaitUntil([&] {
                auto pending = ProcSigSet(d.Pid(), "ShdPnd");
                return !pending[SIGINT - 1] && !pending[SIGPIPE - 1] && !pending[SIGALRM - 1];
            }, 30s)) << "not taken";
            EXPECT_TRUE(d.Running());
        }
        siginfo_t si{};   // as sigqueue sends it, with the row's sender pid
        si.si_signo = r.signo;
        si.si_code = SI_QUEUE;
        si.si_pid = r.sender;
        si.si_uid = getuid();
        ASSERT_TRUE(r.sender == kKill || syscall(SYS_rt_sigqueueinfo, d.Pid(), r.signo, &si) == 0);
        StopCleanly(d, r.sender == kKill ? r.signo : 0);
        ExpectLogged(r.line);
        EXPECT_EQ(log.Count("terminating on signal"), 1u) << log.Dump();
    }
}

TEST(DaemonFault, OwnFaultOnMainEndsTheProcessByTheSignal)
{
    // A child runs the daemon's signal handling and termination wait, then faults on main.
    pid_t pid = fork();
    if (pid == 0) {
        if (InitExitSem() != 0) {
            _exit(3);
        }
        InstallSignalHandlers();
        volatile uintptr_t addr = 8;
        *reinterpret_cast<volatile int *>(addr) = 1;
        AwaitTermination();
        _exit(0);
    }
    auto status = Daemon(pid).WaitExit();   // never a spin on the fault
    EXPECT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGSEGV) << status.value_or(-1);
}

TEST(DaemonFault, FaultOnAWorkerRunningOrStoppingEndsItByTheSignalWithoutItsPidFile)
{
    // A worker is held in a SIGSEGV delivery stop (while the daemon stops,
    // or not), then gets it as a fault of its own code (si_code > 0), as a
    // crash would.
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a thread frozen at any point may hold the thread sanitizer's locks and stall the process";
#endif
    LogCollector log;
    for (bool stopping : {false, true}) {
        SCOPED_TRACE(stopping ? "while stopping" : "while running");
        log.Clear();
        Daemon d;
        ASSERT_TRUE(d.Start());
        ASSERT_TRUE(d.WaitStarted(&log)) << log.Dump();
        pid_t tid = -1;   // any thread but main: one of the pool's workers
        for (const auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(d.Pid()) + "/task")) {
            tid = std::max(tid, std::stoi(e.path().filename()) == d.Pid() ? -1 : std::stoi(e.path().filename()));
        }
        ASSERT_GT(tid, 0);
        ASSERT_EQ(ptrace(PTRACE_SEIZE, tid, nullptr, nullptr), 0) << errno;
        bool traced = true;
        [&] {
            ASSERT_EQ(syscall(SYS_tgkill, d.Pid(), tid, SIGSEGV), 0);
            int st = 0;
            ASSERT_EQ(waitpid(tid, &st, __WALL), tid);
            ASSERT_TRUE(WIFSTOPPED(st) && WSTOPSIG(st) == SIGSEGV) << st;
            ASSERT_TRUE(!stopping || d.Signal(SIGTERM));
            ASSERT_TRUE(!stopping || log.WaitFor("terminating on signal 15")) << log.Dump();
            siginfo_t si{};
            ASSERT_EQ(ptrace(PTRACE_GETSIGINFO, tid, nullptr, &si), 0);
            si.si_code = SEGV_MAPERR;
            ASSERT_EQ(ptrace(PTRACE_SETSIGINFO, tid, nullptr, &si), 0);
            traced = ptrace(PTRACE_DETACH, tid, nullptr, reinterpret_cast<void *>(SIGSEGV)) != 0;
        }();
        if (traced) {   // the daemon is reaped only once its traced thread has been
            kill(d.Pid(), SIGKILL);
            waitpid(tid, nullptr, __WALL);
            FAIL() << "the worker stayed traced";
        }
        auto status = d.WaitExit(20s);
        ASSERT_TRUE(status.has_value()) << log.Dump();
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGSEGV) << *status << "\n" << log.Dump();
        EXPECT_TRUE(log.WaitFor("fault signal 11 in the daemon itself"));
        EXPECT_FALSE(PathExists(kPidFile));
    }
}

}  // namespace
