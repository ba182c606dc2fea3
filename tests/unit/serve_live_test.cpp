// serve_live_test.cpp - tapwatcher-sim --serve on loopback under hostile
// clients: its port is its own, clients that hang on do not keep the page
// from being served, a reload keeps the keyboard. Every wait is bounded.
#include "tests/harness/harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kSim = std::string(TAPWATCHER_BINARY_DIR) + "/bin/tapwatcher-sim";

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Reads what `fd` has within `seconds` into `out`, until `done(out)`.
template <typename Done> void ReadUntil(int fd, std::string& out, double seconds, Done done) {
    const double end = Now() + seconds;
    while (!done(out) && Now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, (int)((end - Now()) * 1000) + 1) <= 0)
            break;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, (size_t)n);
    }
}

// A --serve run: its address line read, ended (and reaped) at the end.
struct Server {
    pid_t pid = -1;
    int out = -1, err = -1;
    std::string stdout_text, stderr_text, token;
    int port = 0;
    testing_support::TempDir root;

    explicit Server(const std::string& address) {
        int o[2], e[2];
        if (pipe(o) != 0 || pipe(e) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(o[1], 1);
            dup2(e[1], 2);
            execl(kSim.c_str(), kSim.c_str(), "--serve", address.c_str(), "--root",
                  root.path.c_str(), (char*)nullptr);
            _exit(127);
        }
        close(o[1]);
        close(e[1]);
        out = o[0];
        err = e[0];
        ReadUntil(out, stdout_text, 10,
                  [](const std::string& s) { return s.find('\n') != s.npos; });
        std::smatch m;
        if (std::regex_search(stdout_text, m, std::regex(R"(http://\S+:(\d+)/\?t=([0-9a-f]+))"))) {
            port = std::stoi(m[1]);
            token = m[2];
        }
        ReadUntil(err, stderr_text, 0.2, [](const std::string&) { return false; });
    }
    // Waits up to `seconds` for the exit; its status, or -1.
    int Exit(double seconds) {
        const double end = Now() + seconds;
        int status;
        while (Now() < end) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                ReadUntil(err, stderr_text, 1, [](const std::string&) { return false; });
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10000);
        }
        return -1;
    }
    ~Server() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            if (Exit(5) < 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
        close(out);
        close(err);
    }
};

// A connection to 127.0.0.1:port, or -1.
int Connect(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, (sockaddr*)&a, sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Sends a request on a new connection; what came back within `seconds`, up
// to `until` (the end of the answer when empty). `keep` gets the socket.
std::string Ask(int port, const std::string& request, double seconds, const std::string& until = "",
                int* keep = nullptr) {
    int s = Connect(port);
    std::string got;
    if (s < 0 || send(s, request.data(), request.size(), MSG_NOSIGNAL) < 0)
        return got;
    ReadUntil(s, got, seconds, [&](const std::string& g) {
        return !until.empty() && g.find(until) != std::string::npos;
    });
    if (keep)
        *keep = s;
    else
        close(s);
    return got;
}

std::string Get(const Server& sv, const std::string& path, const std::string& extra = "") {
    return "GET " + path + (path.find('?') == path.npos ? "?t=" : "&t=") + sv.token +
           " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(sv.port) + "\r\n" + extra + "\r\n";
}

std::string PostInput(const Server& sv, const std::string& session) {
    const std::string body = R"({"events":[{"k":"sync"}]})";
    return "POST /input?t=" + sv.token + "&s=" + session +
           " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(sv.port) +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// Opens an event stream; its hello's session and whether it drives.
std::string OpenStream(const Server& sv, int& sock, bool& driving) {
    std::string got = Ask(sv.port, Get(sv, "/events"), 3, "}\n\n", &sock);
    std::smatch m;
    driving = got.find("\"driving\":true") != got.npos;
    return std::regex_search(got, m, std::regex(R"("session":(\d+))")) ? m[1].str() : "";
}

TEST(ServeLive, APortInUseCannotBeListenedOn) {
    Server first("127.0.0.1:0");
    ASSERT_GT(first.port, 0) << first.stdout_text << first.stderr_text;
    Server second("127.0.0.1:" + std::to_string(first.port));
    EXPECT_EQ(second.port, 0) << second.stdout_text;
    EXPECT_EQ(second.Exit(5), 2);
    EXPECT_NE(second.stderr_text.find("cannot listen"), std::string::npos) << second.stderr_text;
}

// Eight clients that send a header line a second, then 200 that send
// nothing: the page, its event stream and its input are each served within
// 2 s all along.
TEST(ServeLive, ClientsThatHangOnDoNotDelayThePage) {
    Server sv("127.0.0.1:0");
    ASSERT_GT(sv.port, 0) << sv.stdout_text << sv.stderr_text;
    std::vector<int> slow;
    for (int i = 0; i < 8; ++i) {
        slow.push_back(Connect(sv.port));
        send(slow.back(), "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
    }
    int stream = -1;
    bool driving = false;
    double worst = 0;
    for (int round = 0; round < 4; ++round) {
        for (int s : slow)
            send(s, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL);
        double t0 = Now();
        EXPECT_NE(Ask(sv.port, Get(sv, "/"), 2, "</html>").find("200 OK"), std::string::npos);
        if (stream < 0) {
            std::string session = OpenStream(sv, stream, driving);
            ASSERT_TRUE(driving) << session;
            EXPECT_NE(Ask(sv.port, PostInput(sv, session), 2, "ok\n").find("200 OK"),
                      std::string::npos);
        }
        worst = std::max(worst, Now() - t0);
        usleep(500000);
    }
    for (int i = 0; i < 200; ++i)
        slow.push_back(Connect(sv.port));
    double t0 = Now();
    EXPECT_NE(Ask(sv.port, Get(sv, "/"), 2, "</html>").find("200 OK"), std::string::npos);
    worst = std::max(worst, Now() - t0);
    EXPECT_LT(worst, 2.0);
    for (int s : slow)
        close(s);
    close(stream);
}

// A reload: the driving page's stream closes and a new one opens at once; the
// new one drives and its input is taken.
TEST(ServeLive, AReloadedPageDrivesAtOnce) {
    Server sv("127.0.0.1:0");
    ASSERT_GT(sv.port, 0) << sv.stdout_text << sv.stderr_text;
    int first = -1, second = -1;
    bool driving = false;
    OpenStream(sv, first, driving);
    ASSERT_TRUE(driving);
    close(first);
    std::string session = OpenStream(sv, second, driving);
    EXPECT_TRUE(driving);
    EXPECT_NE(Ask(sv.port, PostInput(sv, session), 2, "ok\n").find("200 OK"), std::string::npos);
    close(second);
}

// A name that binds loopback only is not warned about.
TEST(ServeLive, LocalhostIsNotWarnedAbout) {
    Server sv("localhost:0");
    ASSERT_GT(sv.port, 0) << sv.stdout_text << sv.stderr_text;
    EXPECT_EQ(sv.stderr_text.find("warning"), std::string::npos) << sv.stderr_text;
}

} // namespace
