// ftpd_test_util.cpp - the in-process server fixture and the raw control client.
#include "ftpd_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "log.h"
#include "pal.h"
#include "pal_socket.h"
#include "ssl.h"
#include "vfs.h"

namespace fs = std::filesystem;

int ftpd_test_free_port() {
    os_socket_t s = os_socket_init(OS_SOCKET_TCP, OS_AF_INET);
    os_sockaddr sa{};
    if (!s || !os_ipaddr_parse("127.0.0.1", &sa) || !os_socket_bind(s, &sa)) {
        if (s)
            os_socket_exit(s);
        return 0;
    }
    os_sockaddr local{};
    int port = os_socket_local(s, &local) ? local.port : 0;
    os_socket_exit(s);
    return port;
}

std::string ftpd_test_tmpdir(const char *tag) {
    std::string tmpl = (fs::temp_directory_path() / (std::string("nvtd_") + tag + "_XXXXXX"));
    char *p = mkdtemp(tmpl.data());
    return p ? std::string(p) : std::string();
}

void ftpd_test_rmtree(const std::string &dir) {
    std::error_code ec;
    if (!dir.empty() && dir.find("nvtd_") != std::string::npos)
        fs::remove_all(dir, ec);
}

static int count_entries(const char *dir) {
    std::error_code ec;
    int n = 0;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        n++;
    return n;
}

int ftpd_test_thread_count() {
    return count_entries("/proc/self/task");
}

int ftpd_test_fd_count() {
    return count_entries("/proc/self/fd");
}

bool ftpd_test_wait_until(const std::function<bool()> &pred, int timeout_ms) {
    uint64_t end = os_clock_ms() + uint64_t(timeout_ms);
    while (!pred()) {
        if (os_clock_ms() >= end)
            return pred();
        os_sleep_ms(20);
    }
    return true;
}

bool ftpd_test_server::start(const std::function<void(ftpd_conf &)> &tweak) {
    static bool once = false;
    if (!once) {
        once = true;
        if (!getenv("NVTD_TEST_LOG"))
            log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0L);
        (void)ssl_lib_init();
        (void)libvfs_init();
    }
    ftpd_lib_init();
    root = ftpd_test_tmpdir("ftproot");
    port = ftpd_test_free_port();
    ftpd_conf &c = g_ftpd_conf;
    c.ftp_addr = "127.0.0.1";
    c.ftp_port = port;
    c.ftps_addr = "127.0.0.1";
    c.ftp_root = root;
    c.idle_timeout_ms = 15000;
    if (tweak)
        tweak(c);
    ftps_port = c.ftps_port;
    srv = ftpd_start();
    return srv != nullptr;
}

void ftpd_test_server::stop() {
    if (srv) {
        ftpd_stop(srv);
        srv = nullptr;
    }
    ftpd_test_rmtree(root);
    root.clear();
}

// Connects a socket bound to src_addr (the kernel picks the port) to 127.0.0.1:port.
static os_socket_t connect_from(const char *src_addr, int port, int timeout_ms) {
    os_sockaddr src{}, dst{};
    if (!os_ipaddr_parse(src_addr, &src) || !os_ipaddr_parse("127.0.0.1", &dst))
        return 0;
    dst.port = uint16_t(port);
    os_socket_t s = os_socket_init(OS_SOCKET_TCP, OS_AF_INET);
    if (!s)
        return 0;
    if (!os_socket_bind(s, &src) || os_socket_connect(s, &dst) < 0 ||
        os_socket_wait(s, OS_SOCKET_WRITE, timeout_ms) <= 0 || os_socket_connect(s, &dst) != 1) {
        os_socket_exit(s);
        return 0;
    }
    return s;
}

bool ftp_client::open(int port, const char *src_addr, int timeout_ms) {
    close();
    os_socket_t s = src_addr ? connect_from(src_addr, port, timeout_ms)
                             : sock_connect("127.0.0.1", port, timeout_ms, nullptr, nullptr);
    if (!s)
        return false;
    net_stream_init(&st, NET_TYPE_TCP, s, 500);
    return true;
}

bool ftp_client::start_tls() {
    st.timeout_ms = 5000;
    bool ok = ssl_cli_connect(&st) != nullptr;
    st.timeout_ms = 500;
    return ok;
}

bool ftp_client::send(const std::string &line) {
    return send_raw(line + "\r\n");
}

bool ftp_client::send_raw(const std::string &bytes) {
    if (!st.handle)
        return false;
    return net_write(&st, bytes.data(), int(bytes.size())) == int(bytes.size());
}

// One line within the deadline: 1, 0 (time-out) or -1.
static int read_line(net_stream *st, std::string *out, uint64_t end) {
    char buf[16384];
    for (;;) {
        int n = net_gets(st, buf, sizeof buf);
        if (n < 0)
            return -1;
        if (n > 0) {
            *out = buf;
            return 1;
        }
        if (os_clock_ms() >= end)
            return 0;
    }
}

int ftp_client::reply(int timeout_ms) {
    last.clear();
    lines.clear();
    text.clear();
    if (!st.handle)
        return -1;
    uint64_t end = os_clock_ms() + uint64_t(timeout_ms);
    std::string line;
    if (read_line(&st, &line, end) <= 0 || line.size() < 3)
        return -1;
    lines.push_back(line);
    // A multi-line reply ends with the same code followed by a blank.
    if (line.size() > 3 && line[3] == '-') {
        do {
            if (read_line(&st, &line, end) <= 0)
                return -1;
            lines.push_back(line);
        } while (line.size() < 4 || line.compare(0, 3, lines[0], 0, 3) != 0 || line[3] != ' ');
    }
    for (const std::string &l : lines)
        last += (last.empty() ? "" : "\n") + l;
    text = line.size() > 4 ? line.substr(4) : "";
    return atoi(lines[0].c_str());
}

int ftp_client::cmd(const std::string &line, int timeout_ms) {
    if (!send(line))
        return -1;
    return reply(timeout_ms);
}

int ftp_client::login(const std::string &user, const std::string &pass) {
    if (cmd("USER " + user) != 331)
        return -1;
    return cmd("PASS " + pass);
}

bool ftp_client::wait_closed(int timeout_ms) {
    if (!st.handle)
        return true;
    uint64_t end = os_clock_ms() + uint64_t(timeout_ms);
    char buf[4096];
    for (;;) {
        int n = net_read(&st, buf, sizeof buf);
        if (n < 0)
            return true;
        if (os_clock_ms() >= end)
            return false;
    }
}

void ftp_client::close() {
    if (st.handle)
        (void)net_close(&st);
    st.handle = 0;
    st.tls = nullptr;
    st.io = nullptr;
    st.disconnected = 0;
}

void ftp_run_steps(ftp_client &c, const std::vector<ftp_step> &steps) {
    for (const ftp_step &st : steps) {
        EXPECT_EQ(c.cmd(st.cmd), st.code) << st.cmd << " -> " << c.last;
        if (st.text) {
            EXPECT_EQ(c.text, st.text) << st.cmd;
        }
    }
}
