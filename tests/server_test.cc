// The Unix socket helpers on real sockets in the sandbox.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ortavis_upgd_server.h"
#include "upgd_sandbox.h"

namespace {

using upgd_test::LogCollector;

bool IsSocket(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

TEST(ServerSocket, StaleFileIsReplacedAndTheSocketDoesNotBlock)
{
    const std::string path = "/var/run/upgraded_manage";
    ASSERT_TRUE(upgd_test::WriteFile(path, "left from an earlier run"));
    int fd = CreateServerSocket(path.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(IsSocket(path));
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(accept(fd, nullptr, nullptr), -1);
    EXPECT_EQ(errno, EAGAIN);

    int failures = 0;
    int client = ConnectUnixSocket(path.c_str(), &failures);
    ASSERT_GE(client, 0);
    EXPECT_TRUE(fcntl(client, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(failures, 0);
    int served = accept(fd, nullptr, nullptr);
    EXPECT_GE(served, 0);
    close(served);
    close(client);
    close(fd);
}

TEST(ServerSocket, LongPathsAreCutTo107Characters)
{
    std::string dir = "/var/run/" + std::string(90, 'd');
    ASSERT_TRUE(upgd_test::MakeDirs(dir));
    std::string path = dir + "/" + std::string(40, 's');
    int fd = CreateServerSocket(path.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(IsSocket(path.substr(0, 107)));
    int failures = 0;
    int client = ConnectUnixSocket(path.c_str(), &failures);   // reaches the same cut path
    EXPECT_GE(client, 0);
    close(client);
    close(fd);
}

TEST(ConnectSocket, FailuresAreCountedAndOnlyTheFirstTenLogged)
{
    LogCollector log;
    int failures = 0;
    ASSERT_TRUE(upgd_test::WriteFile("/var/run/not-a-socket", ""));
    for (int i = 0; i < 12; ++i) {
        const char *path = i % 2 ? "/var/run/nobody-listens" : "/var/run/not-a-socket";
        EXPECT_EQ(ConnectUnixSocket(path, &failures), -1);
    }
    EXPECT_EQ(failures, 12);
    log.Barrier();
    EXPECT_EQ(log.Count("' failed."), 10u) << log.Dump();
}

}  // namespace
