// The internet layer under the HTTP transport: parse a URL, open a session, connect, open
// a request, send it, read its status and its body in chunks, close. Each step reports its
// own failure in its result, so the transport can tell the user which one failed; nothing
// here throws except std::bad_alloc.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ThreadQueue.h"

namespace platform {

// Service types of a parsed URL; only kInetServiceHttp is ever served.
enum : uint32_t {
    kInetServiceFtp = 1,
    kInetServiceGopher = 2,
    kInetServiceHttp = 3,
    kInetServiceUnknown = 0x1000,
    kInetServiceFile,
    kInetServiceHttps,
};

struct UrlParts {
    uint32_t service = kInetServiceUnknown;
    std::string server;  // host name or address, IPv6 without its brackets
    std::string object;  // path and query as they go on the request line; "/" at least
    uint16_t port = 0;   // the scheme's default when the URL names none
};

// Splits "scheme://[user[:password]@]host[:port][object]"; false when that is not what
// the text holds. An unknown scheme still parses, with kInetServiceUnknown.
bool ParseUrl(const std::string& url, UrlParts& parts);

// The system layer's defaults, which hold for every exchange; tests shorten them.
struct HttpTimeouts {
    uint32_t connectMs = 60000;   // to establish the connection
    uint32_t idleSeconds = 30;    // an exchange that receives under 1 KiB in any such span fails
};
// Returns the previous values; affects requests opened afterwards.
HttpTimeouts SetHttpTimeouts(const HttpTimeouts& timeouts);

// One request. Close (or destruction) ends it; it must go before its connection.
class HttpFile {
public:
    virtual ~HttpFile() = default;
    // Sends the header block (lines each ended by CR LF) and the body, then waits for
    // the answer's status line and headers. The layer adds only Host and Content-Length.
    virtual bool Send(const std::string& headers, const void* body, size_t length) = 0;
    virtual bool QueryStatusCode(uint32_t& status) = 0;
    // The length the answer declares for its body, or -1 when it declares none.
    virtual int64_t ContentLength() = 0;
    // Waits until buf holds max bytes of the body or the body has ended; the bytes read,
    // 0 once the body is over, -1 when the exchange failed (ErrorCode, ErrorText say why).
    virtual int64_t Read(void* buf, size_t max) = 0;
    // True once AbortHttpExchanges has ended this request: every step fails from then on.
    virtual bool Aborted() const = 0;
    virtual uint32_t ErrorCode() const = 0;
    virtual std::string ErrorText() const = 0;
    virtual void Close() = 0;
};

// A server and port to send requests to; connects only when a request is sent.
class HttpConnection {
public:
    virtual ~HttpConnection() = default;
    // verb "GET" or "POST"; an empty referrer sends none. Null when no request can be made.
    virtual std::unique_ptr<HttpFile> OpenRequest(const char* verb, const std::string& object,
                                                  const std::string& referrer) = 0;
    virtual void Close() = 0;
};

// Must outlive its connections and their requests.
class HttpSession {
public:
    virtual ~HttpSession() = default;
    // Null when no connection object can be made.
    virtual std::unique_ptr<HttpConnection> Connect(const std::string& server, uint16_t port) = 0;
    virtual void Close() = 0;
};

// Ends the request that `thread` has under way, if any, from another thread: a step
// blocked on the network returns failure at once, later steps fail without waiting.
// Requests the thread opens afterwards are not touched. Called after the cancel request
// is posted, so the failure it causes is always seen as the cancel.
void AbortHttpExchanges(ThreadId thread);

// Frees what the layer keeps for the calling thread. A thread that is done with the
// layer calls it before it lets anyone go who might end the process.
void ReleaseHttpThreadState();

// agent names the program to servers; null when the layer cannot start a session.
std::unique_ptr<HttpSession> OpenHttpSession(const std::string& agent);

}  // namespace platform
