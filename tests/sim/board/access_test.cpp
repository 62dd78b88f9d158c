// Who may talk to the board, and for how long: the control socket and the device socket are their
// owner's alone and refuse another user's process even when it reaches them; `simboard ctl`
// gives up on a board that does not answer, and a client that connects and says nothing holds
// up no other.
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "control.hpp"
#include "eventually.hpp"
#include "files.hpp"
#include "listener.hpp"
#include "root.hpp"
#include "sim_board.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using simboard::ControlServer;
using testsupport::eventually;
using testsupport::in_child;
using testsupport::TempDir;

constexpr uid_t kNobody = 65534;

// A connection to `path`; -1 with errno set when it cannot be made.
int connect_to(const std::string& path) {
    const int sock = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return sock;
    const int err = errno;
    ::close(sock);
    errno = err;
    return -1;
}

// Whether the other end has hung up `sock` (or sent something) by now, without waiting.
bool hung_up(int sock) {
    pollfd fd{sock, POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
}

// Becomes the user nobody for good (in a child process).
bool become_nobody() {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
           ::setresuid(kNobody, kNobody, kNobody) == 0;
}

class ControlAccess : public ::testing::Test {
  protected:
    void start(std::chrono::milliseconds request_limit = ControlServer::kRequestLimit) {
        fs::create_directories(root_ / "run");
        server_ = std::make_unique<ControlServer>(
            [this](const std::vector<std::string>& words, std::string& text) {
                ++handled_;
                text = words[0] == "escape" ? "\x1b]0;owned\x07 done\n" : "fine";
                return true;
            },
            request_limit);
        std::string error;
        ASSERT_TRUE(server_->listen(path_, error)) << error;
    }
    void TearDown() override {
        if (server_) server_->stop();
    }

    TempDir tmp_{"ctlaccess"};
    const fs::path root_ = tmp_.path() / "board";
    const std::string path_ = (root_ / "run/ctl.sock").string();
    std::unique_ptr<ControlServer> server_;
    std::atomic<int> handled_{0};
};

TEST_F(ControlAccess, TheSocketIsItsOwnersAndAnotherUsersProcessIsRefused) {
    start();
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    fs::permissions(tmp_.path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(root_, fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(root_ / "run", fs::perms::owner_all | fs::perms::others_exec);

    // The socket's permissions keep another user out.
    const int refused = in_child([&] {
        if (!become_nobody()) return 3;
        return connect_to(path_) < 0 && errno == EACCES ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(refused) && WEXITSTATUS(refused) == 0) << refused;

    // Reached all the same (the permissions opened up by hand), it is refused by its credentials.
    ::chmod(path_.c_str(), 0666);
    const int answered = in_child([&] {
        if (!become_nobody()) return 3;
        const int sock = connect_to(path_);
        if (sock < 0) return 4;
        static constexpr char kQuit[] = "quit";
        ::send(sock, kQuit, sizeof kQuit, MSG_NOSIGNAL);
        char reply[256] = {};
        const ssize_t n = ::recv(sock, reply, sizeof reply - 1, 0);
        return n > 0 && reply[0] == '1' && std::strstr(reply, "another user") != nullptr ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(answered) && WEXITSTATUS(answered) == 0) << answered;
    EXPECT_EQ(handled_, 0);
    // The owner is still served.
    EXPECT_EQ(simboard::run_ctl(root_, {"status"}), 0);
    EXPECT_EQ(handled_, 1);
}

TEST_F(ControlAccess, CtlGivesUpOnABoardThatDoesNotAnswer) {
    // A board that has stopped (SIGSTOP, a debugger): its socket takes connections, nobody
    // answers them.
    fs::create_directories(root_ / "run");
    std::string error;
    const int listening = simboard::listen_at(path_, 0, error);
    ASSERT_GE(listening, 0) << error;
    testing::internal::CaptureStderr();
    EXPECT_EQ(simboard::run_ctl(root_, {"status"}, 200ms), 2);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("did not answer within 0.2 s"), std::string::npos) << said;

    // Its queue of connections full (the connection above is still in it): the connection
    // itself is what does not come.
    testing::internal::CaptureStderr();
    EXPECT_EQ(simboard::run_ctl(root_, {"status"}, 200ms), 2);
    said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("did not answer"), std::string::npos) << said;
    ::close(listening);
}

TEST_F(ControlAccess, AClientThatSaysNothingHoldsUpNoOtherAndIsHungUpInTime) {
    start(60s);  // far longer than any answer takes: the silent client stays while others talk
    const int silent = connect_to(path_);
    ASSERT_GE(silent, 0);
    EXPECT_EQ(simboard::run_ctl(root_, {"status"}), 0);
    EXPECT_EQ(simboard::run_ctl(root_, {"status"}), 0);
    EXPECT_FALSE(hung_up(silent));  // the answers came while it was still waited for
    ::close(silent);
    server_->stop();

    start(100ms);
    const int slow = connect_to(path_);
    ASSERT_GE(slow, 0);
    EXPECT_TRUE(eventually([&] { return hung_up(slow); }, 30s, 10ms));
    char byte;
    EXPECT_EQ(::recv(slow, &byte, 1, MSG_DONTWAIT), 0);  // hung up without an answer
    ::close(slow);
    EXPECT_EQ(handled_, 2);
}

TEST_F(ControlAccess, ConnectionsBeyondTheLimitAreTurnedAwayAtOnce) {
    start(60s);
    std::vector<int> silent;
    for (size_t i = 0; i < ControlServer::kMaxClients; ++i) silent.push_back(connect_to(path_));
    testing::internal::CaptureStderr();
    EXPECT_EQ(simboard::run_ctl(root_, {"status"}), 1);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("the board is busy"), std::string::npos) << said;
    for (const int s : silent) ::close(s);
    // Once they have gone the board answers again.
    EXPECT_TRUE(eventually([&] { return simboard::run_ctl(root_, {"status"}) == 0; }, 30s, 20ms));
}

TEST_F(ControlAccess, WhatTheBoardAnswersIsShownEscaped) {
    start();
    testing::internal::CaptureStdout();
    EXPECT_EQ(simboard::run_ctl(root_, {"escape"}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\\x1B]0;owned\\x07 done\n");
}

TEST(RootAccess, RunIsKeptToItsOwner) {
    TempDir tmp;
    const fs::path root = tmp.path() / "board";
    fs::create_directories(root / "run");  // a root from before: run/ as the umask left it
    fs::permissions(root / "run", fs::perms::owner_all | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read |
                                      fs::perms::others_exec);
    std::string error;
    ASSERT_TRUE(simboard::prepare_root(root, simboard::Model::kTK700, error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat((root / "run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
