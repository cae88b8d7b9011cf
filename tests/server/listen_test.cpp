// Where libsql-server listens: IPv4 and bracketed IPv6 addresses (regression:
// [::1] was refused), whether the address is loopback (the server warns
// otherwise), and a login that never comes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "server/server.h"
#include "tests/engine/engine_helpers.h"

namespace {

TEST(ServerListen, AddressesAndWhetherTheyAreLoopback) {
  engine_test::TempDb t;
  server::ServerIdentity id;
  struct Case {
    const char* host;
    bool loopback;
  } cases[] = {{"127.0.0.1", true}, {"127.0.0.2", true}, {"0.0.0.0", false}, {"[::1]", true},
               {"[::]", false}};
  for (const Case& c : cases) {
    server::Server s(t.db(), id);
    try {
      EXPECT_EQ(s.Listen(c.host, 0), c.loopback) << c.host;
      EXPECT_EQ(s.Address().rfind(std::string(c.host) + ":", 0), 0u) << s.Address();
    } catch (const std::runtime_error& e) {
      // A machine without IPv6 cannot bind it; the address was understood.
      EXPECT_NE(std::string(e.what()).find("cannot listen on"), std::string::npos) << e.what();
      EXPECT_EQ(c.host[0], '[') << e.what();
    }
  }
  for (const char* bad : {"localhost", "::1", "[127.0.0.1]", "1.2.3"}) {
    server::Server s(t.db(), id);
    EXPECT_THROW(s.Listen(bad, 0), std::runtime_error) << bad;
  }
}

// A client that connects and sends nothing is disconnected once the login
// time-out has passed; the server goes on serving.
TEST(ServerListen, AHalfOpenConnectionIsClosedAfterTheLoginTimeOut) {
  engine_test::TempDb t;
  server::ServerIdentity id;
  server::Server s(t.db(), id);
  s.Listen("127.0.0.1", 0);
  s.SetLoginTimeout(std::chrono::milliseconds(200));
  std::thread serving([&] { s.Serve(); });
  const int port = std::stoi(s.Address().substr(s.Address().rfind(':') + 1));
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  const auto start = std::chrono::steady_clock::now();
  char b;
  EXPECT_EQ(recv(fd, &b, 1, 0), 0) << "the server closes the connection";
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_LT(waited, std::chrono::seconds(4));
  close(fd);
  s.Stop();
  serving.join();
}

}  // namespace
