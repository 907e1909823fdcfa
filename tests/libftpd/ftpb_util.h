// ftpb_util.h - helpers of the transfer, listing and client tests: an in-process server on
// a temporary root, the raw client with a data connection, files on disk and bounded
// subprocesses. Header-only so the test target needs no list of helper sources.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ftpd_test_util.h"
#include "vfs.h"

namespace fs = std::filesystem;

/// Deterministic bytes that differ from block to block (catches misplaced offsets).
inline std::string ftpb_bytes(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    std::mt19937 gen(seed);
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>(gen() & 0xff);
    return s;
}

/// Whether the server's end of the data connection has taken every byte the client sent:
/// as /proc/net/tcp shows them, the client's end has nothing unacknowledged and the
/// server's end has nothing left in its receive queue.
inline bool ftpb_server_took_all(const net_stream &data) {
    os_sockaddr mine{}, peer{};
    if (!os_socket_local(data.handle, &mine) || !os_socket_peer(data.handle, &peer))
        return false;
    std::ifstream in("/proc/net/tcp");
    std::string line;
    int ends_idle = 0;
    while (std::getline(in, line)) {
        unsigned local = 0, remote = 0;
        unsigned long tx = 0, rx = 0;
        if (sscanf(line.c_str(), " %*d: %*x:%x %*x:%x %*x %lx:%lx", &local, &remote, &tx, &rx) != 4)
            continue;
        if (local == mine.port && remote == peer.port)
            ends_idle += tx == 0;
        if (local == peer.port && remote == mine.port)
            ends_idle += rx == 0;
    }
    return ends_idle == 2;
}

/// Runs a shell command line; returns its exit status (the command bounds its own time
/// with "timeout").
inline int ftpb_sh(const std::string &cmd, std::string *out = nullptr) {
    std::string full = cmd + " 2>&1";
    FILE *p = popen(full.c_str(), "r");
    if (p == nullptr)
        return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    int st = pclose(p);
    if (out)
        *out = text;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

/// Test fixture: the server runs in the test process on a free loopback port and serves
/// a fresh temporary directory. Tests adjust g_ftpd_conf in configure() before the start.
class FtpbServer : public ::testing::Test {
protected:
    ftpd_test_server server;
    fs::path root;
    int port = 0;

    virtual void configure() {}

    void SetUp() override {
        sock_env_init();
        ASSERT_TRUE(server.start([this](ftpd_conf &c) {
            c.read_timeout_ms = 3000;
            c.read_bs = 65536;
            c.write_bs = 65536;
            configure();
        }));
        root = server.root;
        port = server.port;
    }

    void TearDown() override {
        server.stop();
        ftpd_lib_exit();
    }
};

/// The raw client with a data connection: PASV, and whole transfers on top.
struct ftpb_client : ftp_client {
    net_stream data{};

    ~ftpb_client() { close_data(); }

    /// Connects to 127.0.0.1:port and logs in anonymously.
    bool open(int port) {
        return ftp_client::open(port) && reply() == 220 && login("anonymous", "x") == 230;
    }

    /// PASV; returns the announced port, or 0 on any failure.
    int pasv_port() {
        unsigned h[6];
        size_t p = cmd("PASV") == 227 ? text.find('(') : std::string::npos;
        if (p == std::string::npos ||
            sscanf(text.c_str() + p, "(%u,%u,%u,%u,%u,%u)", &h[0], &h[1], &h[2], &h[3], &h[4],
                   &h[5]) != 6)
            return 0;
        return static_cast<int>(h[4] * 256 + h[5]);
    }

    /// PASV, then connects the data stream. Returns false on any failure.
    bool pasv() {
        int p = pasv_port();
        std::string url = "tcp://127.0.0.1:" + std::to_string(p);
        if (p == 0 || net_open(&data, url.c_str(), 3000) != 0)
            return false;
        data.timeout_ms = 5000;
        return true;
    }

    void close_data() {
        if (data.handle != 0)
            (void)net_close(&data);
        net_stream_init(&data, NET_TYPE_TCP, 0, 5000);
    }

    /// Reads the data connection to its end (bounded by the stream's time-out per read).
    std::string read_data() {
        std::string out;
        std::vector<char> buf(65536);
        for (;;) {
            int n = net_read(&data, buf.data(), static_cast<int>(buf.size()));
            if (n > 0)
                out.append(buf.data(), static_cast<size_t>(n));
            if (n <= 0 || data.disconnected)
                break;
        }
        close_data();
        return out;
    }

    bool write_data(const std::string &bytes) {
        int n = net_write(&data, bytes.data(), static_cast<int>(bytes.size()));
        close_data();
        return n == static_cast<int>(bytes.size());
    }

    /// PASV + a transfer command whose data is read: returns the data; *code gets the
    /// final reply code (-1 when the command was refused before 150).
    std::string get(const std::string &command, int *code) {
        *code = -1;
        if (!pasv())
            return "";
        int c = cmd(command);
        if (c != 150) {
            close_data();
            *code = c;
            return "";
        }
        std::string out = read_data();
        *code = reply();
        return out;
    }

    /// PASV + an upload command; returns the final reply code.
    int put(const std::string &command, const std::string &bytes) {
        if (!pasv())
            return -1;
        int c = cmd(command);
        if (c != 150) {
            close_data();
            return c;
        }
        if (!write_data(bytes))
            return -2;
        return reply();
    }
};
