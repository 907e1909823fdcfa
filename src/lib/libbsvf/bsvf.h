// bsvf.h - capture files in the pcap format (one record per packet, link type 146 + record
// type) and the binary record writer that the log call feeds: capture file as the log
// file, the UDP stream "bsvlog" and the in-process listeners.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

/// A capture writer; owned by the caller until bsvf_pcap_close. One thread at a time.
struct bsvf_pcap;

/// Where a stream writer sends its bytes: returns len, or a negative value on failure.
using bsvf_write_fn = int (*)(void *arg, const void *data, int len);

/// Opens the capture file path for records of type (1 to 15; 2 writes big-endian). With
/// append, an existing non-empty file keeps its content and gets no second header.
/// Returns the handle, or null ("type=%d error\n" for a bad type, else logged at debug
/// level, tag "bsvf").
[[nodiscard]] bsvf_pcap *bsvf_pcap_create_imp(const char *path, bool append, int type);
/// A capture stream through fn (a socket): the header is written at once. Null on a bad
/// type or when the header cannot be written.
[[nodiscard]] bsvf_pcap *bsvf_pcap_create_stream(bsvf_write_fn fn, void *arg, int type);
/// Writes one record (longer than 12 bytes, asserted) as a packet: the first 12 bytes
/// (seconds, microseconds) become the packet time. Returns 0, or -1 when the write failed
/// (a stream writer stays failed until its owner starts a new one).
int bsvf_pcap_write(bsvf_pcap *h, std::span<const uint8_t> rec);
/// Flushes buffered packets. 0 or -1.
int bsvf_pcap_flush(bsvf_pcap *h);
/// Size cap of a file writer: once the file has reached cap bytes it keeps the header and
/// the packets from the first one that starts at or beyond cap/2. 0, or -1 (logged).
int bsvf_pcap_cap(bsvf_pcap *h, uint64_t cap);
void bsvf_pcap_close(bsvf_pcap *h);

/// Installs the binary record writer into the log call and the capture-file and UDP sinks
/// into the log settings (".pcap" log files, "bsvlog"). Once per process (later calls do
/// nothing); call before the log settings are read.
void bsvf_log_init();
/// Opens the capture file path as the log's binary file (the log's "file" setting with a
/// ".pcap" name). 0 or -1 ("bsvf_pcap_file %s err\n" on standard error).
int bsvf_log_file_open(const char *path, bool append);
/// Closes the log's capture file, if any.
void bsvf_log_file_close();
/// Opens the UDP stream of frames ("udp://HOST:PORT" or "udps://...", default port 514)
/// through the opener thread "bsvnet". 0, or -1 for a URL that does not parse.
int bsvf_log_udp_open(const char *url);
void bsvf_log_udp_close();
