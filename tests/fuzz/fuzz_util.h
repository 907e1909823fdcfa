// fuzz_util.h - what the fuzz targets share: a quiet log, and a byte feed that stands in
// for a peer behind a net stream's io table (reads take the fuzz input in pieces, writes
// are kept for the target to look at).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "log.h"
#include "net.h"

/// The input as a peer sends it: at most `piece` bytes per read, so that lines and
/// records also arrive split; after the last byte every read fails as a closed peer's.
struct fuzz_feed {
    const uint8_t *data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    size_t piece = 997;
    std::string sent;  ///< everything written to the peer
    bool keep_sent = true;
};

inline fuzz_feed *fuzz_feed_of(net_stream *s) {
    return reinterpret_cast<fuzz_feed *>(s->handle);
}

inline int fuzz_feed_recv(net_stream *s, void *buf, int len) {
    fuzz_feed *f = fuzz_feed_of(s);
    if (f->pos >= f->size) {
        s->disconnected = 1;
        return -1;
    }
    size_t n = std::min({f->size - f->pos, f->piece, size_t(len < 0 ? 0 : len)});
    std::copy_n(f->data + f->pos, n, static_cast<uint8_t *>(buf));
    f->pos += n;
    return int(n);
}

inline int fuzz_feed_send(net_stream *s, const void *buf, int len) {
    fuzz_feed *f = fuzz_feed_of(s);
    // Bounded, so that a target that loops on replies cannot grow without limit.
    if (f->keep_sent && f->sent.size() < (1u << 20))
        f->sent.append(static_cast<const char *>(buf), size_t(len));
    return len;
}

inline const net_io_ops fuzz_feed_ops = {"fuzz", fuzz_feed_recv, fuzz_feed_send, nullptr};

/// A stream record whose reads and writes go to f (which the caller keeps alive).
inline void fuzz_feed_stream(net_stream *s, fuzz_feed *f) {
    net_stream_init(s, NET_TYPE_MEM, reinterpret_cast<os_socket_t>(f), 1000);
    s->io = &fuzz_feed_ops;
}

/// Log lines would cost most of each run and bury the fuzzer's own report.
inline void fuzz_quiet_log() {
    log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, 0L);
}
