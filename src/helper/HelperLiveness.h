#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What tells helpers apart and shows which of them still run. Each helper holds a listening AF_UNIX socket in
// the abstract namespace, named after a random token that also tags every route it adds: the name exists per
// network namespace and goes with the process, so there is no file for anyone to lock, rename, replace or fill.
// A name alone proves nothing (anyone may bind a free one), so a check also asks the kernel who listens there:
// a process with CAP_NET_ADMIN permitted and no_new_privs set, which no member can make except by running a
// helper, and a helper never listens on a descriptor it was given.
class HelperLiveness {
  public:
    HelperLiveness() = default;
    ~HelperLiveness();
    HelperLiveness(const HelperLiveness&) = delete;
    HelperLiveness& operator=(const HelperLiveness&) = delete;

    // Picks a token no helper in this network namespace holds and listens under its name; false with the reason.
    bool Open(std::string& error);
    uint32_t Token() const { return m_token; }
    // The listening socket, for the serve loop: a check's connection is taken and closed at once.
    int Fd() const { return m_fd; }
    void AcceptAll();

    // False when no helper holding token runs in this network namespace. When it cannot be told (a peer the
    // kernel does not name, or one too busy to be reached), it counts as running: nothing of a live helper's is
    // ever removed on a doubt.
    static bool IsAlive(uint32_t token);

  private:
    int m_fd = -1;
    uint32_t m_token = 0;
};

// Whether the text of /proc/PID/status is a helper's run by uid: that real uid (the one the socket was made
// under, so that a reused process id does not pass), "NoNewPrivs:\t1" and CAP_NET_ADMIN in CapPrm.
bool StatusIsHelpers(std::string_view status, uint32_t uid);
