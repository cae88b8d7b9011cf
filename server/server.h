// libsql-server's network side: a listening socket, one thread per client,
// and a clean stop. Each client's messages go to its ClientSession; an
// attention that arrives while a statement waits for another session's
// transaction cancels the wait.
#pragma once

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/engine.h"
#include "server/client_session.h"

namespace server {

class Server {
 public:
  // db and identity must outlive the server.
  Server(engine::Database& db, const ServerIdentity& identity);
  ~Server();  // stops and joins every client thread
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens on host:port (port 0: any free port); host is an IPv4
  // address or an IPv6 one in brackets. Returns whether it is a loopback
  // address. Throws std::runtime_error naming the address when it cannot.
  bool Listen(const std::string& host, int port);
  // How long a client may take from connecting to its login (default 30 s).
  void SetLoginTimeout(std::chrono::milliseconds t) { login_timeout_ = t; }
  // "ADDR:PORT" as bound.
  std::string Address() const { return address_; }
  // Accepts clients until Stop. Returns once every client is gone: their
  // open transactions are rolled back by then.
  void Serve();
  // Asks Serve to return; safe from a signal handler.
  void Stop();

 private:
  struct Client {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void RunClient(Client& c);
  void Reap(bool all);

  engine::Database& db_;
  const ServerIdentity& id_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::string address_;
  std::atomic<bool> stopping_{false};
  std::chrono::milliseconds login_timeout_{30000};
  std::mutex clients_mutex_;
  std::list<Client> clients_;
};

}  // namespace server
