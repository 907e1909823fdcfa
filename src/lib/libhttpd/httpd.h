// httpd.h - a small HTTP server: a tree of named handlers, one request per connection,
// each connection on its own short-lived thread. The web console is its user.
//
// A handler writes its reply through the emit operations; the first one sends the status
// line and the headers (no length: the body ends when the connection closes). A handler
// that writes nothing sends nothing, not even headers.
#pragma once

#include <cstddef>
#include <ctime>

struct httpd_server;
struct httpd_request;

/// Handler of one path: runs on the request's thread.
using httpd_handler = void (*)(httpd_server *srv, httpd_request *r);

enum : int { HTTPD_METHOD_NONE = 0, HTTPD_METHOD_GET = 1, HTTPD_METHOD_POST = 2 };

/// Request threads that may run at once per server; connections beyond it are answered
/// "503 Service Unavailable" and closed at once. A request whose client stays silent ends
/// after the 2000 ms read time-out.
enum : int { HTTPD_MAX_REQUESTS = 64 };

/// A new server record with an empty handler tree; arg is handed back by httpd_server_arg.
/// Null when out of memory.
[[nodiscard]] httpd_server *httpd_server_new(void *arg);
/// Registers handler under name in the directory dir ("/" is the root; the directories of
/// the path are created as needed). The entry goes first in its directory, so a later
/// registration of the same name hides the earlier one. 0, or -1 when out of memory.
/// Only before httpd_server_start.
int httpdAddHandler(httpd_server *srv, const char *dir, const char *name, httpd_handler fn);
/// Opens the listener name ("dbg_http") on the address list (';' or ',' separated; empty:
/// 127.0.0.1 and ::1) and port (0: a free port) with http_accept_proc. 0, or -1 (logged).
int httpd_server_start(httpd_server *srv, const char *addrs, int port, const char *name);
/// The port the server listens on (0 before the start).
int httpd_server_port(const httpd_server *srv);
/// The arg given to httpd_server_new.
void *httpd_server_arg(const httpd_server *srv);
/// When the server started (its record was created).
time_t httpd_server_start_time(const httpd_server *srv);
/// Request threads running now.
int httpd_server_active(const httpd_server *srv);
/// Closes the listener, ends the running requests (their reads end within one time-out
/// slice) and waits for their threads, then frees the tree and the record. Called by a
/// handler of this server, it returns at once and the record lives until that request and
/// the others have ended. Null is ignored.
void httpd_server_free(httpd_server *srv);

// ---------------------------------------------------------------------------------------
// The request, as read.

int httpd_req_method(const httpd_request *r);      ///< HTTPD_METHOD_*
int httpd_req_protocol(const httpd_request *r);    ///< 1: HTTP/1.0, 2: otherwise
bool httpd_req_gzip(const httpd_request *r);       ///< Accept-Encoding starts with gzip
const char *httpd_req_path(const httpd_request *r);   ///< cleaned, without the query
const char *httpd_req_query(const httpd_request *r);  ///< the raw text after the first '?'
const char *httpd_req_host(const httpd_request *r);   ///< the Host header's value
const char *httpd_req_user(const httpd_request *r);   ///< Basic user ("" without one)
const char *httpd_req_password(const httpd_request *r);
int httpd_req_cred_len(const httpd_request *r);    ///< decoded Basic credential bytes
const char *httpd_req_peer(const httpd_request *r);   ///< the client's address text

/// Request variables (the decoded query parameters and what handlers set). A second value
/// under the same name is chained behind the first; httpdGetVar returns the first value,
/// or null when the name is unknown. Leading blanks and tabs of names are dropped.
void httpdSetVar(httpd_request *r, const char *name, const char *value);
const char *httpdGetVar(const httpd_request *r, const char *name);

// ---------------------------------------------------------------------------------------
// The reply. The emit operations return the bytes of the body sent (0 for none) or -1 when
// the connection failed; each write waits at most the 2000 ms time-out. httpdWriteHead
// returns 0 or -1.

/// The status text, "200 Output Follows" until changed (at most 1023 characters).
void httpdSetStatus(httpd_request *r, const char *status);
/// The Content-Type, "text/html" until changed (at most 1023 characters).
void httpd_set_content_type(httpd_request *r, const char *type);
/// Appends one header line (without CR LF) when it still fits. 0, or -1 when it does not.
int httpdAppendHeader(httpd_request *r, const char *line);
/// Sends the status line and the headers once (a second call does nothing). A length
/// above 0 adds Content-Length and Last-Modified (mtime, or now when it is 0).
int httpdWriteHead(httpd_request *r, long long body_len, time_t mtime);
/// Expands $name of the request variables in text and sends it (with the headers first).
/// The expanded text is cut at 65536 bytes.
int httpdEmitTemplate(httpd_request *r, const char *text);
/// Sends text as it is (with the headers first).
int httpdEmitText(httpd_request *r, const char *text);
/// Sends len bytes (with the headers first).
int httpdEmitBytes(httpd_request *r, const void *data, size_t len);
/// The authentication challenge: "401 Please Authenticate" with the Basic realm "norva".
void httpdRequireAuth(httpd_request *r);
/// Body bytes sent so far.
long long httpd_req_sent(const httpd_request *r);

// ---------------------------------------------------------------------------------------
// Pieces the engine is built from, open to tests and fuzzing.

/// Cleans a request path in place: "//" becomes "/", then "/./" becomes "/", then "/../"
/// becomes "/" (a parent segment is dropped, never climbed).
void httpd_clean_path(char *path);
/// Expands $name in text from r's variables into out (at most cap - 1 bytes, NUL-ended).
/// Returns the expanded length.
size_t httpd_expand(const httpd_request *r, const char *text, char *out, size_t cap);
/// Standard Base64 (RFC 4648) of in, decoded as far as it is valid, into out (cap bytes).
/// Returns the decoded length.
size_t httpd_base64_decode(const char *in, unsigned char *out, size_t cap);
/// A request record not tied to a connection (tests and fuzzing): feed it the bytes of a
/// request with httpd_req_parse, then inspect it; its output operations send nothing and
/// return -1. Free with httpd_req_free.
[[nodiscard]] httpd_request *httpd_req_new_detached();
void httpd_req_free(httpd_request *r);
/// Parses one request from data (as httpdReadRequest does from a connection). 0 when a
/// valid request was read, -1 otherwise.
int httpd_req_parse(httpd_request *r, const char *data, size_t len);
