// bsv_frame.cpp - the UDP frame around one record: identity of the sending machine and
// program, CRC-8 over the frame, and RC4 for the encrypted form.
#include "bsv.h"

#include <chrono>
#include <cstring>

#include "nvtd_version.h"
#include "pal.h"

uint8_t bsv_crc8(std::span<const uint8_t> data) {
    uint8_t crc = 0;
    for (uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; i++)
            crc = uint8_t(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

void bsv_rc4(std::span<const uint8_t> key, std::span<uint8_t> data) {
    uint8_t s[256];
    for (int i = 0; i < 256; i++)
        s[i] = uint8_t(i);
    for (int i = 0, j = 0; i < 256; i++) {
        j = (j + s[i] + key[size_t(i) % key.size()]) & 0xFF;
        std::swap(s[i], s[j]);
    }
    int i = 0, j = 0;
    for (uint8_t &b : data) {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        b ^= s[(s[i] + s[j]) & 0xFF];
    }
}

std::span<const uint8_t, 16> bsv_frame_key() {
    // Shared with the receiving tools; it hides the records from casual readers on the
    // path, nothing more.
    static constexpr uint8_t key[16] = {0x6e, 0x76, 0x74, 0x64, 0x2d, 0x62, 0x73, 0x76,
                                        0x9a, 0x31, 0xc4, 0x57, 0x0e, 0xb2, 0x7d, 0xe8};
    return std::span<const uint8_t, 16>(key);
}

static uint64_t now_us() {
    using namespace std::chrono;
    return uint64_t(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

const bsv_frame_id &bsv_frame_self() {
    static const bsv_frame_id id = [] {
        bsv_frame_id f;
        f.stime = now_us() / 1000000;
        f.sid = (now_us() << 16) ^ uint64_t(os_getpid());
        f.bid = f.stime - os_clock_ms() / 1000;  // the monotonic clock starts at boot
        f.ver_id = NVTD_VERSION_NUM;
        f.app_id = 0;  // this program is not in the table of known senders
        f.os_id = 2;
        f.arch_id = sizeof(void *) == 8 ? 9 : 0;  // x64
        f.hostname = os_hostname();
        return f;
    }();
    return id;
}

static void put_le(std::vector<uint8_t> &out, uint64_t v, int size) {
    for (int i = 0; i < size; i++)
        out.push_back(uint8_t(v >> (8 * i)));
}

std::vector<uint8_t> bsv_frame_build(const bsv_frame_id &id, int type_id,
                                     std::span<const uint8_t> rec, bool encrypt) {
    std::vector<uint8_t> f{'b', 's', 'v', uint8_t(encrypt ? 0x06 : 0x02), 0, 0};
    put_le(f, 5, 2);
    put_le(f, id.sid, 8);
    put_le(f, id.bid, 8);
    put_le(f, id.stime, 8);
    put_le(f, id.ver_id, 4);
    put_le(f, id.app_id, 2);
    put_le(f, id.os_id, 1);
    put_le(f, id.arch_id, 1);
    put_le(f, uint64_t(type_id), 2);
    size_t body_start = f.size();
    f.insert(f.end(), id.hostname.begin(), id.hostname.end());
    f.push_back(0);
    f.insert(f.end(), rec.begin(), rec.end());
    // Host name and record are cut so that the whole frame, CRC byte included, stays
    // within 1472 bytes (one Ethernet datagram): 1429 bytes.
    constexpr size_t body_max = BSV_REC_MAX - 42 - 1;
    if (f.size() - body_start > body_max) {
        f.resize(body_start + body_max);
        f.back() = 0;
    }
    size_t total = f.size() + 1;
    if (total > BSV_REC_MAX)
        return {};
    f[4] = uint8_t(total);
    f[5] = uint8_t(total >> 8);
    f.push_back(bsv_crc8(std::span<const uint8_t>(f).subspan(3)));
    if (encrypt)
        bsv_rc4(bsv_frame_key(), std::span<uint8_t>(f).subspan(4));
    return f;
}
