// The server socket (vm_test drives the connect side): made over a stale file,
// never blocking, a long path cut to 107 characters as connect cuts it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "ortavis_upgd_server.h"
#include "upgd_sandbox.h"

TEST(ServerSocket, ReplacesAStaleFileNeverBlocksAndCutsALongPathAsConnectDoes)
{
    const std::string dir = "/var/run/" + std::string(90, 'd');
    ASSERT_TRUE(upgd_test::MakeDirs(dir));
    ASSERT_TRUE(upgd_test::WriteFile("/var/run/upgraded_manage", "left from an earlier run"));
    for (const std::string &path : {std::string("/var/run/upgraded_manage"), dir + "/" + std::string(40, 's')}) {
        SCOPED_TRACE(path.size());
        int fd = CreateServerSocket(path.c_str());
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(std::filesystem::is_socket(path.substr(0, 107)));
        EXPECT_TRUE(accept(fd, nullptr, nullptr) == -1 && errno == EAGAIN) << "it waited for a client";
        int failures = 0;
        int client = ConnectUnixSocket(path.c_str(), &failures);
        EXPECT_GE(client, 0);
        int served = accept(fd, nullptr, nullptr);
        EXPECT_GE(served, 0);
        close(served);
        close(client);
        close(fd);
    }
}
