// Settings that let an httplib server serve many kept-open and slow connections.
// httplib gives each connection a worker for as long as it lasts, both while a request
// head trickles in and while a kept connection waits for its next request; with its
// default eight workers a few hundred clients of the library, which keeps its
// connection between exchanges, queued behind each other for seconds.
#pragma once
#include <httplib.h>

#include <cstddef>

namespace tools {

// Threads mostly sleep in poll(); their stacks are only reserved, not used.
constexpr size_t kServingWorkers = 512;

inline void ServeManyClients(httplib::Server& server) {
    server.new_task_queue = [] { return new httplib::ThreadPool(kServingWorkers); };
    // A kept connection waits this long for its next request, and a stop waits for
    // every kept connection to fall idle: a second, not httplib's five.
    server.set_keep_alive_timeout(1);
    // A client keeps one connection for all its exchanges, not a new one every fifth.
    server.set_keep_alive_max_count(1000);
    // The library writes a request at once. A pause this long inside one is a slow
    // sender holding a worker, and is dropped.
    server.set_read_timeout(1, 0);
    server.set_write_timeout(10, 0);
}

}  // namespace tools
