#include "base/host.h"

#include <sys/select.h>
#include <unistd.h>

namespace {
mpv_handle *host_handle = nullptr;
}

mpv_handle *host() { return host_handle; }
void host_set(mpv_handle *handle) { host_handle = handle; }

void host_wait(int ms) {
    int fd = host_handle ? mpv_get_wakeup_pipe(host_handle) : -1;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    fd_set set;
    FD_ZERO(&set);
    if (fd >= 0) FD_SET(fd, &set);
    int ready = select(fd >= 0 ? fd + 1 : 0, fd >= 0 ? &set : nullptr, nullptr, nullptr, &tv);
    if (ready > 0) {
        // The pipe only signals; empty it so that the next wait blocks again.
        char buf[256];
        ssize_t ignored = read(fd, buf, sizeof buf);
        (void)ignored;
    }
}
