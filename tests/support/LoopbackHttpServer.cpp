#include "support/LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace tarn::test
{

namespace
{
    constexpr auto clientTimeout = std::chrono::seconds (5);

    std::string toLower (std::string text)
    {
        std::transform (text.begin(), text.end(), text.begin(), [] (unsigned char c) { return (char) std::tolower (c); });
        return text;
    }

    std::string trim (const std::string& text)
    {
        const auto first = text.find_first_not_of (" \t");
        if (first == std::string::npos)
            return {};
        return text.substr (first, text.find_last_not_of (" \t") - first + 1);
    }

    void sendAll (int socket, const std::string& data)
    {
        std::size_t sent = 0;
        while (sent < data.size())
        {
            const auto n = ::send (socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += (std::size_t) n;
        }
    }

    // Reads more bytes into buffer; false on close, error or timeout.
    bool readSome (int socket, std::string& buffer, std::chrono::steady_clock::time_point deadline)
    {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds> (deadline - std::chrono::steady_clock::now()).count();
        if (remaining <= 0)
            return false;

        pollfd descriptor { socket, POLLIN, 0 };
        if (::poll (&descriptor, 1, (int) remaining) <= 0)
            return false;

        char chunk[4096];
        const auto n = ::recv (socket, chunk, sizeof (chunk), 0);
        if (n <= 0)
            return false;

        buffer.append (chunk, (std::size_t) n);
        return true;
    }
} // namespace

LoopbackHttpServer::LoopbackHttpServer (std::chrono::milliseconds maxLifetime)
{
    listener = ::socket (AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        throw std::runtime_error ("LoopbackHttpServer: socket() failed");

    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
    address.sin_port = 0;

    socklen_t length = sizeof (address);
    if (::bind (listener, reinterpret_cast<sockaddr*> (&address), sizeof (address)) != 0
        || ::listen (listener, 16) != 0
        || ::getsockname (listener, reinterpret_cast<sockaddr*> (&address), &length) != 0)
    {
        ::close (listener);
        throw std::runtime_error ("LoopbackHttpServer: cannot listen on 127.0.0.1");
    }

    boundPort = ntohs (address.sin_port);
    thread = std::thread ([this, maxLifetime] { run (maxLifetime); });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    stop();
}

void LoopbackHttpServer::stop()
{
    stopRequested = true;
    if (thread.joinable())
        thread.join();

    if (listener >= 0)
    {
        ::close (listener);
        listener = -1;
    }
}

std::string LoopbackHttpServer::baseUrl() const
{
    return "http://127.0.0.1:" + std::to_string (boundPort);
}

void LoopbackHttpServer::scriptReplies (std::deque<Reply> replies, Reply otherwise)
{
    const std::lock_guard lock (mutex);
    scripted = std::move (replies);
    fallback = otherwise;
}

std::vector<LoopbackHttpServer::Request> LoopbackHttpServer::requests() const
{
    const std::lock_guard lock (mutex);
    return received;
}

bool LoopbackHttpServer::waitForRequests (std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock (mutex);
    return arrived.wait_for (lock, timeout, [&] { return received.size() >= count; });
}

LoopbackHttpServer::Reply LoopbackHttpServer::nextReply()
{
    const std::lock_guard lock (mutex);
    if (scripted.empty())
        return fallback;

    const auto reply = scripted.front();
    scripted.pop_front();
    return reply;
}

void LoopbackHttpServer::run (std::chrono::milliseconds maxLifetime)
{
    const auto end = std::chrono::steady_clock::now() + maxLifetime;

    while (! stopRequested && std::chrono::steady_clock::now() < end)
    {
        pollfd descriptor { listener, POLLIN, 0 };
        if (::poll (&descriptor, 1, 20) <= 0)
            continue;

        const int client = ::accept (listener, nullptr, nullptr);
        if (client < 0)
            continue;

        serve (client);
        ::close (client);
    }

    // Refuse connections from now on.
    ::shutdown (listener, SHUT_RDWR);
}

void LoopbackHttpServer::serve (int client)
{
    const auto deadline = std::chrono::steady_clock::now() + clientTimeout;
    std::string buffer;

    std::size_t headerEnd;
    while ((headerEnd = buffer.find ("\r\n\r\n")) == std::string::npos)
        if (! readSome (client, buffer, deadline))
            return;

    Request request;
    request.receivedAt = std::chrono::steady_clock::now();

    const auto head = buffer.substr (0, headerEnd);
    auto lineEnd = head.find ("\r\n");
    const auto requestLine = head.substr (0, lineEnd);
    const auto firstSpace = requestLine.find (' ');
    const auto secondSpace = requestLine.find (' ', firstSpace + 1);
    request.method = requestLine.substr (0, firstSpace);
    request.target = requestLine.substr (firstSpace + 1, secondSpace - firstSpace - 1);

    while (lineEnd != std::string::npos)
    {
        const auto start = lineEnd + 2;
        lineEnd = head.find ("\r\n", start);
        const auto line = head.substr (start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        const auto colon = line.find (':');
        if (colon != std::string::npos)
            request.headers[toLower (trim (line.substr (0, colon)))] = trim (line.substr (colon + 1));
    }

    if (const auto expect = request.headers.find ("expect");
        expect != request.headers.end() && toLower (expect->second) == "100-continue")
        sendAll (client, "HTTP/1.1 100 Continue\r\n\r\n");

    std::size_t contentLength = 0;
    if (const auto length = request.headers.find ("content-length"); length != request.headers.end())
        contentLength = (std::size_t) std::stoull (length->second);

    request.body = buffer.substr (headerEnd + 4);
    while (request.body.size() < contentLength)
        if (! readSome (client, request.body, deadline))
            break;

    const auto reply = nextReply();
    {
        const std::lock_guard lock (mutex);
        received.push_back (request);
    }
    arrived.notify_all();

    switch (reply)
    {
        case Reply::ok:
            sendAll (client, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            break;
        case Reply::serverError:
            sendAll (client, "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            break;
        case Reply::dropConnection:
            break;
        case Reply::hang:
            for (int i = 0; i < 250 && ! stopRequested; ++i)
                std::this_thread::sleep_for (std::chrono::milliseconds (20));
            break;
    }
}

} // namespace tarn::test
