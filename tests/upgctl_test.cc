// The ortavis-upgctl binary against a scripted daemon on the real socket path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "fake_manage_daemon.h"
#include "upgd_sandbox.h"

extern char **environ;

namespace {

using namespace upgd_test;
using Session = FakeManageDaemon::Session;

struct Outcome {
    int exit = -1;
    std::string out;
    std::string err;
};

// Runs ortavis-upgctl with args, its output caught in files of the sandbox.
Outcome Upgctl(const std::vector<std::string> &args)
{
    const std::string outPath = "/run/sandbox/upgctl.out";
    const std::string errPath = "/run/sandbox/upgctl.err";
    std::string prog = UPGCTL_PATH;
    std::vector<char *> argv{prog.data()};
    std::vector<std::string> copies(args);
    for (std::string &a : copies) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    Outcome run;
    if (posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        run.exit = ExitCode(status);
    }
    posix_spawn_file_actions_destroy(&fa);
    run.out = ReadFile(outPath).value_or("<missing>");
    run.err = ReadFile(errPath).value_or("<missing>");
    return run;
}

std::string U32(uint32_t v)
{
    return std::string(reinterpret_cast<const char *>(&v), sizeof(v));
}

std::string Name(const std::string &name)
{
    return U32(static_cast<uint32_t>(name.size())) + name;
}

std::string Control(uint32_t action, uint32_t interval, const std::string &para)
{
    return U32(action) + U32(interval) + Name(para);
}

TEST(Upgctl, HelpListsEveryCommand)
{
    for (const char *flag : {"--help", "-h", "help"}) {
        Outcome r = Upgctl({flag});
        EXPECT_EQ(r.exit, 0) << flag;
        EXPECT_EQ(r.err, "") << flag;
        for (const char *cmd : {"health VM", "fix VM", "result VM MODULE", "auto VM", "upgrade VM", "upgrade no",
                                "interval MINUTES", "off"}) {
            EXPECT_NE(r.out.find(cmd), std::string::npos) << flag << " lacks " << cmd;
        }
    }
}

TEST(Upgctl, UsageErrorsExit2WithOneLineAndSendNothing)
{
    FakeManageDaemon daemon([](Session &s, const ManageRequest &req) { s.Reply(req, 0, "x"); });
    ASSERT_TRUE(daemon.Listening());
    const std::vector<std::vector<std::string>> rows = {
        {}, {"bogus"}, {"health"}, {"health", "web01", "web02"}, {"off", "now"},
        {"auto", "web01", "4"}, {"auto", "web01", "0"}, {"auto", "web01", "x"}, {"auto", "web01", "+2"},
        {"interval", "29"}, {"interval", "525601"}, {"interval", "3o"}, {"interval", "-60"}, {"interval", " 60"},
        {"interval", "99999999999999999999"},
        {"result", "web01"}, {"result", "web01", std::string(16, 'm')}, {"result", "web01", ""},
        {"health", std::string(128, 'v')}, {"health", ""}, {"upgrade", ""}, {"upgrade", std::string(513, 'v')},
    };
    for (const auto &args : rows) {
        std::string shown;
        for (const std::string &a : args) {
            shown += "[" + a.substr(0, 20) + "]";
        }
        Outcome r = Upgctl(args);
        EXPECT_EQ(r.exit, 2) << shown;
        EXPECT_TRUE(r.err.rfind("ortavis-upgctl: ", 0) == 0 && r.err.find('\n') == r.err.size() - 1)
            << shown << ": " << r.err;
        EXPECT_EQ(r.out, "") << shown;
    }
    EXPECT_EQ(daemon.RequestCount(), 0u);
}

TEST(Upgctl, EachCommandSendsItsRequestAndReportsTheAnswer)
{
    const std::string v127(127, 'v');
    const std::string fail = "ortavis-upgctl: ";
    // The daemon answers row i with its result and reply; the tool prints out and err and exits with exit.
    struct Row {
        std::vector<std::string> args;
        uint32_t type;
        std::string body;
        int32_t result;
        std::string reply, out, err;
        int exit;
    };
    const std::vector<Row> rows = {
        {{"health", "web01"}, 3, Name("web01") + U32(1), 0, "web01:{0}", "web01:{0}\n", "", 0},
        {{"fix", "web01"}, 3, Name("web01") + U32(2), 0, "web01:{13}", "web01:{13}\n", "", 0},
        {{"result", "web01", "tools"}, 4, Name("web01") + Name("tools"), 0, "web01:{tools,2.1.0,0,2.2.0}",
         "web01:{tools,2.1.0,0,2.2.0}\n", "", 0},
        {{"auto", "db-2", "3"}, 6, Name("db-2") + U32(3), 0, "db-2:{5}", "db-2:{5}\n", "", 0},
        {{"health", v127}, 3, Name(v127) + U32(1), 0, "long", "long\n", "", 0},
        {{"health", "ghost"}, 3, Name("ghost") + U32(1), 1, "ghost:{13}", "ghost:{13}\n", "", 1},
        {{"health", "web01"}, 3, Name("web01") + U32(1), 1, "", "", fail + "the daemon refused the request\n", 1},
        {{"off"}, 5, Control(2, 0, "no"), 0, "", "periodic upgrade stopped\n", "", 0},
        {{"interval", "60"}, 5, Control(1, 60, "no"), 0, "", "periodic upgrade every 60 minutes\n", "", 0},
        {{"upgrade", "web01,web02"}, 5, Control(1, 0, "web01,web02"), 0, "", "upgrade requested\n", "", 0},
        {{"upgrade", "no"}, 5, Control(1, 0, "no"), 0, "", "upgrade of all VMs requested\n", "", 0},
        {{"upgrade", "no"}, 5, Control(1, 0, "no"), 2, "", "", fail + "an upgrade run is already under way\n", 1},
        {{"upgrade", "ghost"}, 5, Control(1, 0, "ghost"), 3, "", "", fail + "none of the named VMs was found\n", 1},
        {{"interval", "525600"}, 5, Control(1, 525600, "no"), 5, "", "", fail + "a parameter is out of range\n", 1},
        {{"off"}, 5, Control(2, 0, "no"), 1, "", "", fail + "the daemon refused the request\n", 1},
    };
    Outcome none = Upgctl({"health", "web01"});   // before the daemon is there
    EXPECT_EQ(none.exit, 3);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, fail + "cannot connect to /var/run/upgraded_manage: No such file or directory\n");

    FakeManageDaemon daemon([&](Session &s, const ManageRequest &req) {
        s.Reply(req, rows[req.session - 1].result, rows[req.session - 1].reply);
    });
    for (const Row &row : rows) {
        Outcome r = Upgctl(row.args);
        EXPECT_EQ(r.exit, row.exit) << row.args[0] << " " << row.result << ": " << r.err;
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, row.err);
    }
    std::vector<ManageRequest> reqs = daemon.Requests();
    ASSERT_EQ(reqs.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(reqs[i].head.msgType, rows[i].type) << i;
        EXPECT_EQ(reqs[i].body, rows[i].body) << i;
    }
}

}  // namespace
