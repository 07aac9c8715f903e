// The kernel side of one client connection: runs its requests in the kernel
// layer as the client's task. Kept apart from the socket code so that neither
// side sees the other's headers.
#pragma once

#include "ctl/jxctl_proto.h"

#include <functional>

namespace jxnode {

struct caller_creds {
    int pid; // > 0: whose memory the user copies reach
    unsigned uid;
    unsigned gid;
};

struct session;

// Makes the calling thread's task the client's; probe says whether the client
// hung up or aborted its call (polled while a call sleeps in the kernel).
session *session_begin(const caller_creds &who, const char *comm, std::function<bool()> probe);
// The process behind the connection changed (a handle passed on or inherited).
void session_set_caller(session *s, const caller_creds &who, const char *comm);
const caller_creds &session_caller(const session *s);
// Runs one validated-by-size request; false when the connection ends after the answer.
bool session_call(session *s, const jxctl_req &req, jxctl_resp *resp);
// Releases the open file or netlink endpoint and detaches the probe.
void session_end(session *s);

} // namespace jxnode
