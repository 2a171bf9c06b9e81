#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarn::test
{

// A small HTTP/1.1 server on 127.0.0.1 with an ephemeral port that records
// every request it receives (request line, headers, body, arrival time) and
// answers with scripted replies. One connection at a time, "Connection:
// close". Its thread stops when the server is destroyed, or by itself after
// maxLifetime. Plain POSIX sockets, no framework types.
class LoopbackHttpServer
{
public:
    enum class Reply
    {
        ok,             // 200 with an empty body
        serverError,    // 503 with an empty body
        dropConnection, // reads the request, closes without a response
        hang            // reads the request, answers nothing until the server
                        // stops (at most 5 s), then closes
    };

    struct Request
    {
        std::string method;
        std::string target;
        std::map<std::string, std::string> headers; // lower-case names
        std::string body;
        std::chrono::steady_clock::time_point receivedAt;
    };

    explicit LoopbackHttpServer (std::chrono::milliseconds maxLifetime = std::chrono::seconds (60));
    ~LoopbackHttpServer();

    LoopbackHttpServer (const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator= (const LoopbackHttpServer&) = delete;

    uint16_t port() const noexcept { return boundPort; }
    std::string baseUrl() const; // "http://127.0.0.1:<port>"

    // Replies for the next requests, in order; afterwards `otherwise`.
    void scriptReplies (std::deque<Reply> replies, Reply otherwise = Reply::ok);

    std::vector<Request> requests() const;
    // Waits until at least count requests have arrived; false on timeout.
    bool waitForRequests (std::size_t count, std::chrono::milliseconds timeout) const;

    // Closes the listening socket: later connections are refused.
    void stop();

private:
    void run (std::chrono::milliseconds maxLifetime);
    void serve (int client);
    Reply nextReply();

    int listener = -1;
    uint16_t boundPort = 0;
    std::atomic<bool> stopRequested { false };

    mutable std::mutex mutex;
    mutable std::condition_variable arrived;
    std::vector<Request> received;
    std::deque<Reply> scripted;
    Reply fallback = Reply::ok;

    std::thread thread;
};

} // namespace tarn::test
