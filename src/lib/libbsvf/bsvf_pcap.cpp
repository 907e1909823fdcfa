// bsvf_pcap.cpp - the pcap writer: a 24-byte file header, then per record a 16-byte packet
// header whose time comes from the record's first 12 bytes and the rest of the record as
// packet data. Files are buffered by stdio; streams go through their write operation.
#include "bsvf.h"

#include <cstdio>
#include <string>
#include <vector>

#include "log.h"
#include "pal.h"

struct bsvf_pcap {
    bool swapped = false;
    int linktype = 0;
    std::string path;  ///< file writers only
    std::FILE *file = nullptr;
    bsvf_write_fn fn = nullptr;  ///< stream writers only
    void *arg = nullptr;
    bool failed = false;
    std::vector<uint8_t> out;  ///< stream bytes not yet written
};

static void put32(std::vector<uint8_t> &o, uint32_t v, bool swapped) {
    for (int i = 0; i < 4; i++)
        o.push_back(uint8_t(v >> (swapped ? 24 - 8 * i : 8 * i)));
}
static void put16(std::vector<uint8_t> &o, uint16_t v, bool swapped) {
    o.push_back(uint8_t(swapped ? v >> 8 : v));
    o.push_back(uint8_t(swapped ? v : v >> 8));
}
static uint32_t get32(const uint8_t *p, bool swapped) {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++)
        v |= uint32_t(p[i]) << (swapped ? 24 - 8 * i : 8 * i);
    return v;
}

static std::vector<uint8_t> file_header(const bsvf_pcap *h) {
    std::vector<uint8_t> o;
    put32(o, 0xa1b2c3d4, h->swapped);
    put16(o, 2, h->swapped);
    put16(o, 4, h->swapped);
    put32(o, 0, h->swapped);  // zone
    put32(o, 0, h->swapped);  // significant figures
    put32(o, 65536, h->swapped);
    put32(o, uint32_t(h->linktype), h->swapped);
    return o;
}

static bsvf_pcap *pcap_new(int type) {
    if (type < 1 || type > 15) {
        LOG2(LOG2_ERR, "bsv", "type=%d error\n", type);
        return nullptr;
    }
    auto *h = new bsvf_pcap;
    h->linktype = 146 + type;
    h->swapped = type == 2;
    return h;
}

/// Opens the file and writes the header unless appending to a non-empty file.
static bool file_open(bsvf_pcap *h, bool append) {
    h->file = std::fopen(h->path.c_str(), append ? "ab+" : "wb");
    if (h->file == nullptr) {
        LOG2(int{LOG2_DBG} | LOG2_F_OSERR, "bsv", "pcap_dump_open failed.\n");
        return false;
    }
    if (append && std::fseek(h->file, 0, SEEK_END) == 0 && std::ftell(h->file) > 0)
        return true;
    std::vector<uint8_t> hdr = file_header(h);
    return std::fwrite(hdr.data(), 1, hdr.size(), h->file) == hdr.size();
}

bsvf_pcap *bsvf_pcap_create_imp(const char *path, bool append, int type) {
    PAL_ASSERT_RET(path != nullptr, nullptr);
    bsvf_pcap *h = pcap_new(type);
    if (h == nullptr)
        return nullptr;
    h->path = path;
    if (!file_open(h, append)) {
        bsvf_pcap_close(h);
        return nullptr;
    }
    return h;
}

bsvf_pcap *bsvf_pcap_create_stream(bsvf_write_fn fn, void *arg, int type) {
    bsvf_pcap *h = pcap_new(type);
    if (h == nullptr)
        return nullptr;
    h->fn = fn;
    h->arg = arg;
    h->out = file_header(h);
    if (bsvf_pcap_flush(h) != 0) {
        bsvf_pcap_close(h);
        return nullptr;
    }
    return h;
}

int bsvf_pcap_write(bsvf_pcap *h, std::span<const uint8_t> rec) {
    PAL_ASSERT_RET(h != nullptr, -1);
    PAL_ASSERT_RET(rec.size() > 12, -1);
    if (h->failed || (h->fn == nullptr && h->file == nullptr))
        return -1;  // a file that could not be opened again after a cut
    uint32_t sec = get32(rec.data(), false);  // records are little-endian (type 2 aside)
    uint32_t usec = get32(rec.data() + 8, false);
    if (h->swapped) {
        sec = get32(rec.data() + 4, true);
        usec = get32(rec.data() + 8, true);
    }
    std::vector<uint8_t> pkt;
    pkt.reserve(16 + rec.size() - 12);
    put32(pkt, sec, h->swapped);
    put32(pkt, usec, h->swapped);
    put32(pkt, uint32_t(rec.size() - 12), h->swapped);
    put32(pkt, uint32_t(rec.size() - 12), h->swapped);
    pkt.insert(pkt.end(), rec.begin() + 12, rec.end());
    if (h->file != nullptr)
        return std::fwrite(pkt.data(), 1, pkt.size(), h->file) == pkt.size() ? 0 : -1;
    h->out.insert(h->out.end(), pkt.begin(), pkt.end());
    return 0;
}

int bsvf_pcap_flush(bsvf_pcap *h) {
    PAL_ASSERT_RET(h != nullptr, -1);
    if (h->file != nullptr)
        return std::fflush(h->file) == 0 ? 0 : -1;
    if (h->failed || h->fn == nullptr)
        return -1;
    if (h->out.empty())
        return 0;
    int n = h->fn(h->arg, h->out.data(), int(h->out.size()));
    h->out.clear();
    if (n < 0)
        h->failed = true;
    return n < 0 ? -1 : 0;
}

/// Offset of the first packet that starts at or beyond half; data.size() when none does.
static size_t cut_offset(const std::vector<uint8_t> &data, size_t half, bool swapped) {
    size_t at = 24;
    while (at + 16 <= data.size() && at < half)
        at += 16 + get32(data.data() + at + 8, swapped);
    return std::min(at, data.size());
}

static bool read_all(const char *path, std::vector<uint8_t> *out) {
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return false;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out->insert(out->end(), buf, buf + n);
    bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

int bsvf_pcap_cap(bsvf_pcap *h, uint64_t cap) {
    PAL_ASSERT_RET(h != nullptr, -1);
    if (h->file == nullptr || cap == 0)
        return 0;
    long size = std::ftell(h->file);
    if (size < 0) {
        LOG2(int{LOG2_DBG} | LOG2_F_OSERR, "bsv", "ftell error: ");
        return -1;
    }
    if (uint64_t(size) < cap)
        return 0;
    std::fclose(h->file);
    h->file = nullptr;
    std::vector<uint8_t> data;
    if (!read_all(h->path.c_str(), &data) || data.size() < 24) {
        LOG2(LOG2_ERR, "bsv", "file error offset=%d fsize=%d\n", 0, int(data.size()));
        (void)file_open(h, true);
        return -1;
    }
    size_t from = cut_offset(data, size_t(cap / 2), h->swapped);
    h->file = std::fopen(h->path.c_str(), "wb+");
    if (h->file == nullptr) {
        LOG2(int{LOG2_DBG} | LOG2_F_OSERR, "bsv", "fopen error: ");
        return -1;
    }
    std::fwrite(data.data(), 1, 24, h->file);
    std::fwrite(data.data() + from, 1, data.size() - from, h->file);
    return std::fflush(h->file) == 0 ? 0 : -1;
}

void bsvf_pcap_close(bsvf_pcap *h) {
    if (h == nullptr)
        return;
    if (h->file != nullptr)
        std::fclose(h->file);
    delete h;
}
