// The reference servers serve POST only. Any other method is answered at once, before
// a body is read: a method that carries none would otherwise leave the server waiting
// for one. The connection closes after the answer, since a body it had stays unread.
#pragma once
#include <httplib.h>

namespace tools {

inline void RefuseMethod(httplib::Response& res) {
    res.status = 405;
    res.set_header("Allow", "POST");
    res.set_header("Connection", "close");
    res.set_content("POST only\n", "text/plain");
}

}  // namespace tools
