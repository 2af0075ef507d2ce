#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::test {

// One accepted connection of a TScriptedServer, driven by the test's handler on the server's
// thread. Reads give up after a few seconds so a broken client cannot hang a test.
class TScriptedConnection {
public:
    TScriptedConnection(int fd, class TScriptedServer& server);
    ~TScriptedConnection();
    TScriptedConnection(const TScriptedConnection&) = delete;
    TScriptedConnection& operator=(const TScriptedConnection&) = delete;

    // Sends the bytes as they are (no line end added).
    void Send(const std::string& raw);
    // One line without its CR LF, recorded in the server's Lines; empty and Eof() at the end.
    std::string ReadLine();
    // The data after DATA up to the terminating "." line, as received on the wire (dot-stuffing
    // and line ends untouched); the "." line itself is not included.
    std::string ReadData();
    void Close();
    bool Eof() const { return eof_; }

private:
    bool Fill();
    int fd_;
    TScriptedServer& server_;
    std::string buffer_;
    bool eof_ = false;
};

// A small SMTP peer that says exactly what a test tells it to, for the replies that no real
// server can be made to give. Listens on a free loopback port (IPv4 or IPv6) and runs the
// handler for each accepted connection, one after another, on its own thread.
class TScriptedServer {
public:
    using THandler = std::function<void(TScriptedConnection&)>;

    explicit TScriptedServer(THandler handler, bool ipv6 = false);
    ~TScriptedServer();
    TScriptedServer(const TScriptedServer&) = delete;
    TScriptedServer& operator=(const TScriptedServer&) = delete;

    std::uint16_t Port() const { return port_; }
    // "127.0.0.1:port" or "[::1]:port".
    std::string Server() const;
    // Every line received so far, over all connections.
    std::vector<std::string> Lines() const;
    // The data of every DATA phase so far, as received on the wire.
    std::vector<std::string> Data() const;
    int Connections() const { return connections_; }

    // A well-behaved server whose replies can be changed: replies are looked up by the whole
    // received line, then by its first word in upper case ("HELO", "MAIL", "RCPT", "DATA",
    // ".", "QUIT"); "greeting" is the first thing sent. A reply is sent with CR LF appended
    // (it may hold CR LF itself for several lines). Special replies: "<close>" closes the
    // connection without a word, "<silent>" sends nothing and waits for the client to go.
    static THandler Standard(std::map<std::string, std::string> replies = {});

private:
    friend class TScriptedConnection;
    void Run();
    void Record(const std::string& line);
    void RecordData(const std::string& data);

    THandler handler_;
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    bool ipv6_ = false;
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<std::string> data_;
    std::thread thread_;
};

} // namespace ostrel::test
