// ftpd_test_util.h - an in-process FTP server on a loopback port with a temporary root,
// and a raw control-connection client, for the FTP server's tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "ftpd.h"
#include "net.h"

/// A free TCP port on 127.0.0.1 (bound once with port 0, then released).
int ftpd_test_free_port();
/// A new empty directory under the system's temporary folder.
std::string ftpd_test_tmpdir(const char *tag);
/// Removes a directory tree (tests' own folders only).
void ftpd_test_rmtree(const std::string &dir);
/// Threads and open descriptors of this process.
int ftpd_test_thread_count();
int ftpd_test_fd_count();
/// Polls pred every 20 ms until it holds or timeout_ms passed. Returns its last value.
bool ftpd_test_wait_until(const std::function<bool()> &pred, int timeout_ms);
/// Writes a whole file (parents must exist), replacing what it held.
inline void ftpd_test_write(const std::filesystem::path &p, const std::string &data) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << data;
}
/// A whole file's bytes ("" when it cannot be read).
inline std::string ftpd_test_read(const std::filesystem::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/// The server under test. start() applies the library defaults, a loopback address, a free
/// port and a temporary root, then tweak, then starts; stop() ends it and removes the root.
struct ftpd_test_server {
    std::string root;
    int port = 0;
    int ftps_port = 0;
    ftpd_server *srv = nullptr;

    bool start(const std::function<void(ftpd_conf &)> &tweak = {});
    void stop();
    ~ftpd_test_server() { stop(); }
};

/// One command and what it must get: the reply code and, when given, the reply's text after
/// the code (of its last line).
struct ftp_step {
    std::string cmd;
    int code;
    const char *text = nullptr;
};

struct ftp_client;
/// Sends each step's command in order and checks its reply, naming the step on failure.
void ftp_run_steps(ftp_client &c, const std::vector<ftp_step> &steps);

/// A control connection speaking raw lines.
struct ftp_client {
    net_stream st{};
    std::string last;                ///< the last reply whole (CR LF removed, LF kept)
    std::vector<std::string> lines;  ///< the same, line by line
    std::string text;                ///< its last line after the code

    /// Connects to 127.0.0.1:port, from src_addr when given (e.g. "127.0.0.2").
    bool open(int port, const char *src_addr = nullptr, int timeout_ms = 3000);
    /// TLS handshake as client on the open connection.
    bool start_tls();
    /// Sends text followed by CR LF.
    bool send(const std::string &line);
    /// Sends bytes as they are.
    bool send_raw(const std::string &bytes);
    /// Reads one reply (multi-line aware). Returns its code, or -1 on a read failure or
    /// when nothing complete came within timeout_ms.
    int reply(int timeout_ms = 8000);
    /// send + reply.
    int cmd(const std::string &line, int timeout_ms = 8000);
    /// USER + PASS; returns the PASS reply code.
    int login(const std::string &user, const std::string &pass);
    /// True when the server closes the connection within timeout_ms (all data read).
    bool wait_closed(int timeout_ms);
    void close();
    ~ftp_client() { close(); }
};
