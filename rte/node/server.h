// jxnode's transport: serves the proc tree, the netlink carrier, the kernel log
// and the device list to rte/ctl clients over a Unix SOCK_SEQPACKET socket
// (messages in ctl/jxctl_proto.h).
//
// Each connection has a thread that runs the client's calls in the kernel layer
// as the client's task: current carries its pid, credentials and process name, so
// permission checks, user copies and log lines are those of the calling process.
// A client that hangs up (or aborts a call from a signal handler) is a pending
// signal for that task, so a call asleep in the kernel ends with -EINTR.
#pragma once

#include <memory>
#include <string>

namespace jxnode {

class Server {
  public:
    Server();
    ~Server(); // stops
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens on path (its directory is created 0755 when missing, the socket is
    // 0660) and serves from background threads. A stale socket file is replaced;
    // -EADDRINUSE when another node answers on path, -EEXIST when path is not a
    // socket, -EBUSY when already serving, else -errno.
    int start(const std::string &path);
    // Stops accepting, hangs up every connection (their calls in progress are
    // interrupted and their files released), waits for the connection threads and
    // removes the socket file.
    void stop();
    bool running() const;
    const std::string &path() const;

  private:
    struct impl;
    std::unique_ptr<impl> d_;
};

} // namespace jxnode
