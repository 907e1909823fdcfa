// dbg_cli.cpp - the debug shell client: connects to a running instance over TCP or its
// local socket, sends commands one at a time and prints each reply (nvtd -e).
#include "dbg_internal.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "log.h"
#include "pal.h"
#include "pal_url.h"
#include "sh.h"

static std::mutex g_name_lock;
static std::string g_app_name;

void dbgcli_set_app_name(const char *name) {
    std::scoped_lock lock(g_name_lock);
    g_app_name = name != nullptr ? name : "";
}

static char *stdin_line(char *buf, int size) {
    if (std::fgets(buf, size, stdin) == nullptr)
        return nullptr;
    buf[std::strcspn(buf, "\r\n")] = '\0';
    return buf;
}

static void stdout_reply(const char *text) {
    if (text[0] == '\0')
        return;  // a command without output prints nothing
    std::fputs(text, stdout);
    std::fputs("\n", stdout);
}

/// The next line to send into *line; false when there is none (end of input, or the
/// command string is used up).
static bool next_line(dbgcli *cli, std::string_view *rest, bool interactive, std::string *line) {
    if (!interactive) {
        while (!rest->empty()) {
            size_t semi = rest->find(';');
            std::string_view piece = rest->substr(0, semi);
            rest->remove_prefix(semi == std::string_view::npos ? rest->size() : semi + 1);
            if (!pal_trim(piece).empty()) {
                *line = std::string(piece.substr(0, 16382));
                return true;
            }
        }
        return false;
    }
    std::vector<char> buf(16384, '\0');
    char *got = nullptr;
    if (cli->use_editor) {
        got = libsh_readline(cli->prompt.c_str(), buf.data(), int(buf.size()));
    } else {
        std::fputs(cli->prompt.c_str(), stdout);
        std::fflush(stdout);
        got = (cli->input != nullptr ? cli->input : stdin_line)(buf.data(), int(buf.size()));
    }
    if (got == nullptr)
        return false;
    *line = got;
    return true;
}

/// Sends line and waits for its reply. 1 with the reply in *reply, 0 on a time-out, -1.
static int send_and_read(net_stream *s, dbgcli *cli, const std::string &line,
                         std::string *reply) {
    cli->state = 1;
    int len = static_cast<int>(line.size()) + 1;  // with its NUL byte
    s->timeout_ms = DBG_WAIT_MS * 5;
    if (net_write(s, line.c_str(), len) != len) {
        LOG2(LOG2_ERR, DBG_TAG, "error: execution command failed\n");
        return -1;
    }
    cli->state = 2;
    s->timeout_ms = cli->timeout_ms > 0 ? cli->timeout_ms : 60000;
    std::vector<char> buf(NET_GETS0_SIZE, '\0');
    int rc = net_gets0(s, buf.data());
    LOG2(LOG2_DBG, DBG_TAG, "ret=%d\n", rc);
    if (rc < 0) {
        LOG2(LOG2_ERR, DBG_TAG, "error: read command returns error\n");
        return -1;
    }
    if (rc == 0) {
        LOG2(LOG2_ERR, DBG_TAG, "error: read command returns timeout\n");
        return 0;
    }
    *reply = buf.data();
    if (!reply->empty() && reply->back() == '\n')
        reply->pop_back();
    return 1;
}

int debug_shell_exec_loop(net_stream *s, dbgcli *cli) {
    bool interactive = cli->cmd == nullptr || std::strcmp(cli->cmd, "sh") == 0;
    std::string_view rest = interactive ? std::string_view() : std::string_view(cli->cmd);
    int result = 0;
    std::string line;
    while (next_line(cli, &rest, interactive, &line)) {
        std::string text(pal_trim(line));
        if (text == "quit" || text == "q")
            break;
        std::string reply;
        int rc = send_and_read(s, cli, text, &reply);
        if (rc < 0) {
            result = -1;
            break;
        }
        if (rc == 0) {
            result = -1;
            continue;
        }
        if (cli->reply != nullptr) {
            *cli->reply = std::move(reply);
            break;
        }
        (cli->output != nullptr ? cli->output : stdout_reply)(reply.c_str());
        std::fflush(stdout);
    }
    cli->state = 0;
    (void)net_close(s);
    return result;
}

static int connect_tcp(net_stream *s, const url_t &u, const char *cmd) {
    const char *host = u.host != nullptr && u.host[0] != '\0' ? u.host : "127.0.0.1";
    LOG2(LOG2_DBG, DBG_TAG, "ip=%s port=%d cmd=[%s]\n", host, int(u.port), cmd ? cmd : "");
    net_err err{};
    os_socket_t sock = sock_connect(host, u.port, 2000, nullptr, &err);
    if (sock == 0) {
        LOG2(LOG2_ERR, DBG_TAG, "sock_connect %s:%u error: %s\n", host, unsigned(u.port),
             net_err_text(&err));
        return -1;
    }
    net_stream_init(s, NET_TYPE_TCP, sock, DBG_WAIT_MS);
    return 0;
}

static int connect_pipe(net_stream *s, const char *url) {
    std::string name = dbg_pipe_name_of(url);
    LOG2(LOG2_DBG, DBG_TAG, "open...\n");
    net_stream_init(s, NET_PIPE_CLI_TYPE, 0, DBG_WAIT_MS);
    if (npipe_cli_open(s, name.c_str(), 2000) != 0) {
        LOG2(int{LOG2_ERR} | LOG2_F_OSERR, DBG_TAG, "os_name_pipe_cli_open [%s] error: ",
             name.c_str());
        return -1;
    }
    return 0;
}

int dbgcli_exec_cmd(const char *url, const char *cmd) {
    char buf[URL_BUF_SIZE];
    url_t u;
    if (url == nullptr || url_parser(&u, buf, url) != 0 || u.scheme == nullptr) {
        LOG2(LOG2_ERR, DBG_TAG, "url_parse error\n");
        return -1;
    }
    dbgcli cli;
    {
        std::scoped_lock lock(g_name_lock);
        cli.prompt = g_app_name + ">";
    }
    cli.cmd = cmd;
    cli.use_editor = true;
    net_stream s{};
    int rc = -1;
    if (std::strcmp(u.scheme, "tcp") == 0)
        rc = connect_tcp(&s, u, cmd);
    else if (std::strcmp(u.scheme, "pipe") == 0)
        rc = connect_pipe(&s, url);
    else
        LOG2(LOG2_ERR, DBG_TAG, "not supprot [%s]\n", u.scheme);
    if (rc != 0)
        return -1;
    return debug_shell_exec_loop(&s, &cli);
}

int dbgcli_local_exec_cmd(const char *pipe_name, int port, const char *cmd) {
    char url[URL_BUF_SIZE];
    if (pipe_name != nullptr && pipe_name[0] != '\0')
        (void)pal_snprintf(url, "pipe://./%s", pipe_name);
    else if (port != 0)
        (void)pal_snprintf(url, "tcp://127.0.0.1:%d", port);
    else {
        LOG2(LOG2_ERR, DBG_TAG, "No debugging interface defined\n");
        return -1;
    }
    LOG2(LOG2_INFO, DBG_TAG, "use=%s\n", url);
    return dbgcli_exec_cmd(url, cmd);
}
