// bsv.h - binary log records: schema strings and their layouts, the record types, the
// "log" record made for every log event, the type registry whose listeners receive
// records, the reader that turns them back into text lines, and the UDP frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

enum : int {
    BSV_TYPE_U8 = 1,
    BSV_TYPE_U16 = 2,
    BSV_TYPE_U32 = 3,
    BSV_TYPE_U64 = 4,
    VALUE_TYPE_STRING = 5,
};

enum : int {
    BSV_LOG_STR_MAX = 1449,  ///< the string part of a "log" record
    BSV_LOG_REC_MAX = 1470,  ///< a whole "log" record
    BSV_REC_MAX = 1472,      ///< the largest record of a registered type
};

/// One field of a layout.
struct bsv_field {
    std::string name;
    int type;    ///< BSV_TYPE_* or VALUE_TYPE_STRING
    int size;    ///< bytes; -1 for strings
    int offset;  ///< bytes from the record start; -1 for strings after the first
};

/// A record layout built from a schema string.
struct bsv_value {
    std::vector<bsv_field> val;
    int count_idx = 0;     ///< number of fields
    int fixed_size = 0;    ///< bytes of the fixed fields (where the strings start)
    bool swapped = false;  ///< numbers are big-endian
};

/// Builds ctx from schema ("name-type,..."; "a|b-str" gives two strings). 0, or -1 for a
/// field without '-' or an unknown type (logged at error level, tag "bsv").
[[nodiscard]] int bsv_value_init(bsv_value *ctx, const char *schema, bool swapped);
/// Field idx of a record as a number (u8..u64). A string field or an index beyond the
/// layout is a programming error (asserted).
uint64_t bsv_value_get(const bsv_value *ctx, std::span<const uint8_t> rec, int idx);
uint8_t bsv_value_get_u8(const bsv_value *ctx, std::span<const uint8_t> rec, int idx);
uint32_t bsv_value_get_u32(const bsv_value *ctx, std::span<const uint8_t> rec, int idx);
uint64_t bsv_value_get_u64(const bsv_value *ctx, std::span<const uint8_t> rec, int idx);
/// String field idx ("" when the record ends before it). Asserts a string field.
std::string bsv_value_get_str(const bsv_value *ctx, std::span<const uint8_t> rec, int idx);

/// The schema of record type id (1, 2, 3, 5, 6) and its byte order. 0, or -1 with
/// "type=%d error: not found\n".
[[nodiscard]] int bsv_type_open_value(int id, bsv_value *ctx);

/// Builds the "log" record (type 1) into out (at least BSV_LOG_REC_MAX bytes) for an event
/// at time sec/usec. Source files under the build's source root lose that prefix. Returns
/// the record length.
int bsv_log_record(std::span<uint8_t> out, uint64_t sec, uint32_t usec, int level,
                   const char *tag, const char *tid_name, const char *file, int line,
                   const char *func, const char *msg, int msg_len);

// ---------------------------------------------------------------------------------------
// Type registry and listeners.

/// A listener of a record type: a bounded queue of records. A full queue drops the new
/// record (a slow reader loses records; logging never waits for it).
struct bsv_reader;

/// Registers the "log" type once (a second call does nothing). Returns 0.
int bsv_reg_log();
/// Opens a listener of the "log" type with room for max_records records (0: 4096).
/// Returns the reader (close with bsv_close_log), or null when 8 listeners exist.
[[nodiscard]] bsv_reader *bsv_open_log(int max_records = 0);
void bsv_close_log(bsv_reader *r);
/// Moves the next record into *rec. Returns its length, 0 when none is waiting.
int bsv_read_raw_log(bsv_reader *r, std::vector<uint8_t> *rec);
/// The next record as a text line ("%04d-%02d-%02d %02d:%02d:%02d.%03d %-5s %d --- [%s]
/// %s %s(): %s", at most 1472 bytes) and its level. Returns the length, 0 when none.
int bsv_read_log(bsv_reader *r, int *level, std::string *text);
/// Records dropped by this reader because its queue was full.
uint64_t bsv_reader_dropped(const bsv_reader *r);
/// Hands rec to every listener of the "log" type (under the registry lock). Returns the
/// number of listeners that took it.
int bsv_log_publish(std::span<const uint8_t> rec);
/// Whether the "log" type has listeners (a cheap check for the log call).
bool bsv_log_has_listeners();

// ---------------------------------------------------------------------------------------
// UDP frames.

/// CRC-8: polynomial 0x07, initial 0, not reflected, no final XOR.
uint8_t bsv_crc8(std::span<const uint8_t> data);
/// RC4 with a fresh key schedule over data in place.
void bsv_rc4(std::span<const uint8_t> key, std::span<uint8_t> data);
/// The program's fixed 16-byte frame key.
std::span<const uint8_t, 16> bsv_frame_key();

/// Identity written into every frame.
struct bsv_frame_id {
    uint64_t sid = 0;    ///< this program run
    uint64_t bid = 0;    ///< boot time, seconds since 1970
    uint64_t stime = 0;  ///< program start time
    uint32_t ver_id = 0;
    uint16_t app_id = 0;
    uint8_t os_id = 2;  ///< linux
    uint8_t arch_id = 0;
    std::string hostname;
};
/// This process's identity (computed once).
const bsv_frame_id &bsv_frame_self();
/// Wraps the record rec of type type_id in a frame: flags 0x02 (0x06 with encrypt), the
/// host name and the record (together at most 1429 bytes, cut with a final zero, so that
/// the frame fits 1472 bytes) and the
/// CRC-8 over bytes 3 to the end of the record; with encrypt, bytes 4 to the end are RC4'd.
/// Returns the frame (empty when it would exceed 1472 bytes).
std::vector<uint8_t> bsv_frame_build(const bsv_frame_id &id, int type_id,
                                     std::span<const uint8_t> rec, bool encrypt);
