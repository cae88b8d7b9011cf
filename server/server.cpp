// Sockets and threads of libsql-server. A client's thread reads one message,
// hands it to the client's session and writes the reply; while a statement
// waits for the database it peeks at the socket for an attention packet.
#include "server/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

// Reads exactly n bytes, waiting also on the stop pipe. False at the end of
// the stream, on an error, when the server stops or once deadline (when
// given) has passed.
bool ReadFull(int fd, int stop_fd, char* buf, std::size_t n,
              std::optional<Clock::time_point> deadline) {
  std::size_t got = 0;
  while (got < n) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    int wait_ms = -1;
    if (deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
      if (left.count() <= 0) return false;
      wait_ms = static_cast<int>(left.count());
    }
    int ready = poll(fds, 2, wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (ready == 0) continue;  // the deadline, checked above
    if (fds[1].revents) return false;
    ssize_t r = recv(fd, buf + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t r = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    sent += static_cast<std::size_t>(r);
  }
  return true;
}

// Whether an attention packet is waiting on fd; consumes it when it is.
bool TakeAttention(int fd) {
  char header[tds::kHeaderSize];
  ssize_t r = recv(fd, header, sizeof header, MSG_PEEK | MSG_DONTWAIT);
  if (r != static_cast<ssize_t>(sizeof header)) return r == 0;  // a closed client cancels too
  if (static_cast<std::uint8_t>(header[0]) != tds::kAttention) return false;
  std::size_t length =
      static_cast<unsigned char>(header[2]) << 8 | static_cast<unsigned char>(header[3]);
  std::string packet(std::max(length, tds::kHeaderSize), '\0');
  r = recv(fd, packet.data(), packet.size(), MSG_DONTWAIT);
  return r > 0;
}

}  // namespace

Server::Server(engine::Database& db, const ServerIdentity& identity) : db_(db), id_(identity) {
  if (pipe(stop_pipe_) != 0) throw std::runtime_error("cannot create a pipe");
  fcntl(stop_pipe_[1], F_SETFL, O_NONBLOCK);
}

Server::~Server() {
  Stop();
  Reap(true);
  if (listen_fd_ >= 0) close(listen_fd_);
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
}

bool Server::Listen(const std::string& host, int port) {
  // An IPv6 address is written in brackets: [::1]:1433.
  const bool v6 = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  const std::string bare = v6 ? host.substr(1, host.size() - 2) : host;
  const std::string where = host + ":" + std::to_string(port);
  sockaddr_storage storage{};
  socklen_t size;
  bool loopback;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET6, bare.c_str(), &a->sin6_addr) != 1)
      throw std::runtime_error("not an IPv6 address: " + host);
    loopback = IN6_IS_ADDR_LOOPBACK(&a->sin6_addr);
    size = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, bare.c_str(), &a->sin_addr) != 1)
      throw std::runtime_error("not an IPv4 address (or an IPv6 one in brackets): " + host);
    loopback = (ntohl(a->sin_addr.s_addr) >> 24) == 127;
    size = sizeof *a;
  }
  listen_fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("cannot create a socket");
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&storage), size) != 0)
    throw std::runtime_error("cannot listen on " + where + ": " + std::strerror(errno));
  if (listen(listen_fd_, 64) != 0)
    throw std::runtime_error("cannot listen on " + where + ": " + std::strerror(errno));
  socklen_t len = size;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&storage), &len);
  const std::uint16_t bound = v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                                 : reinterpret_cast<sockaddr_in*>(&storage)->sin_port;
  address_ = host + ":" + std::to_string(ntohs(bound));
  return loopback;
}

void Server::Stop() {
  stopping_ = true;
  char b = 1;
  ssize_t ignored = write(stop_pipe_[1], &b, 1);
  (void)ignored;
}

void Server::Serve() {
  while (!stopping_) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
    if (fds[1].revents || stopping_) break;
    Reap(false);
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(clients_mutex_);
    Client& c = clients_.emplace_back();
    c.fd = fd;
    c.thread = std::thread([this, &c] { RunClient(c); });
  }
  stopping_ = true;
  close(listen_fd_);
  listen_fd_ = -1;
  Reap(true);
}

void Server::Reap(bool all) {
  std::lock_guard<std::mutex> lock(clients_mutex_);
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (!all && !it->done) {
      ++it;
      continue;
    }
    if (it->thread.joinable()) it->thread.join();
    it = clients_.erase(it);
  }
}

void Server::RunClient(Client& c) {
  {
    ClientSession session(db_, id_);
    tds::MessageReader reader;
    auto cancelled = [&] { return stopping_.load() || TakeAttention(c.fd); };
    std::string packet;
    // A client has login_timeout_ to log in: a half-open connection does not
    // hold its thread for ever.
    const Clock::time_point login_deadline = Clock::now() + login_timeout_;
    for (;;) {
      std::optional<Clock::time_point> deadline;
      if (session.spid() == 0) deadline = login_deadline;
      char header[tds::kHeaderSize];
      if (!ReadFull(c.fd, stop_pipe_[0], header, sizeof header, deadline)) {
        if (session.spid() == 0 && Clock::now() >= login_deadline)
          std::cerr << "libsql-server: a client did not log in within "
                    << login_timeout_.count() / 1000.0 << " s; connection closed" << std::endl;
        break;
      }
      std::size_t length =
          static_cast<unsigned char>(header[2]) << 8 | static_cast<unsigned char>(header[3]);
      if (length < tds::kHeaderSize) {
        std::cerr << "libsql-server: malformed packet header; connection closed" << std::endl;
        break;
      }
      packet.assign(header, sizeof header);
      packet.resize(length);
      if (!ReadFull(c.fd, stop_pipe_[0], packet.data() + tds::kHeaderSize,
                    length - tds::kHeaderSize, deadline))
        break;
      ClientSession::Reply reply;
      try {
        std::optional<tds::MessageReader::Message> m = reader.Feed(packet);
        if (!m) continue;
        reply = session.Handle(*m, cancelled);
      } catch (const tds::ProtocolError& e) {
        reply.close = true;
        reply.log = std::string("malformed packet (") + e.what() + "); connection closed";
      }
      if (!reply.log.empty()) std::cerr << "libsql-server: " << reply.log << std::endl;
      if (!reply.packets.empty() && !WriteAll(c.fd, reply.packets)) break;
      if (reply.close) break;
    }
  }  // the session closes here: its open transaction is rolled back
  shutdown(c.fd, SHUT_RDWR);
  close(c.fd);
  c.done = true;
}

}  // namespace server
