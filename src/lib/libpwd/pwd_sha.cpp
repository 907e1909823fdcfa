// pwd_sha.cpp - SHA-1 and Base64 for the "{SHA}" form of the configured password.
// A small self-contained digest: the password check is its only user.
#include "libpwd.h"

#include <algorithm>
#include <cstring>

#include "pal.h"

namespace {
struct sha1_ctx {
    uint32_t h[5];
    uint64_t total;
    uint8_t block[64];
    size_t fill;
};
}  // namespace

static uint32_t rol(uint32_t v, int n) {
    return (v << n) | (v >> (32 - n));
}

static void sha1_block(sha1_ctx *c, const uint8_t *p) {
    uint32_t w[80];
    for (int i = 0; i < 16; i++)
        w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 |
               uint32_t(p[4 * i + 2]) << 8 | uint32_t(p[4 * i + 3]);
    for (int i = 16; i < 80; i++)
        w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = c->h[0], b = c->h[1], cc = c->h[2], d = c->h[3], e = c->h[4];
    for (int i = 0; i < 80; i++) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & cc) | (~b & d);
            k = 0x5a827999;
        } else if (i < 40) {
            f = b ^ cc ^ d;
            k = 0x6ed9eba1;
        } else if (i < 60) {
            f = (b & cc) | (b & d) | (cc & d);
            k = 0x8f1bbcdc;
        } else {
            f = b ^ cc ^ d;
            k = 0xca62c1d6;
        }
        uint32_t t = rol(a, 5) + f + e + k + w[i];
        e = d;
        d = cc;
        cc = rol(b, 30);
        b = a;
        a = t;
    }
    c->h[0] += a;
    c->h[1] += b;
    c->h[2] += cc;
    c->h[3] += d;
    c->h[4] += e;
}

static void sha1_update(sha1_ctx *c, const uint8_t *p, size_t len) {
    c->total += len;
    while (len > 0) {
        size_t n = std::min(len, sizeof c->block - c->fill);
        memcpy(c->block + c->fill, p, n);
        c->fill += n;
        p += n;
        len -= n;
        if (c->fill == sizeof c->block) {
            sha1_block(c, c->block);
            c->fill = 0;
        }
    }
}

void pwd_sha1(const void *data, size_t len, uint8_t digest[20]) {
    sha1_ctx c{{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0}, 0, {}, 0};
    sha1_update(&c, static_cast<const uint8_t *>(data), len);
    uint64_t bits = c.total * 8;
    const uint8_t pad = 0x80, zero = 0;
    sha1_update(&c, &pad, 1);
    while (c.fill != 56)
        sha1_update(&c, &zero, 1);
    uint8_t lenbuf[8];
    for (int i = 0; i < 8; i++)
        lenbuf[i] = uint8_t(bits >> (56 - 8 * i));
    sha1_update(&c, lenbuf, 8);
    for (int i = 0; i < 5; i++)
        for (int j = 0; j < 4; j++)
            digest[4 * i + j] = uint8_t(c.h[i] >> (24 - 8 * j));
}

int pwd_base64(const uint8_t *data, size_t len, std::span<char> out) {
    static const char tab[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t need = (len + 2) / 3 * 4 + 1;
    if (out.size() < need)
        return -1;
    size_t o = 0;
    for (size_t i = 0; i < len; i += 3) {
        uint32_t v = uint32_t(data[i]) << 16;
        if (i + 1 < len)
            v |= uint32_t(data[i + 1]) << 8;
        if (i + 2 < len)
            v |= data[i + 2];
        out[o++] = tab[(v >> 18) & 63];
        out[o++] = tab[(v >> 12) & 63];
        out[o++] = i + 1 < len ? tab[(v >> 6) & 63] : '=';
        out[o++] = i + 2 < len ? tab[v & 63] : '=';
    }
    out[o] = '\0';
    return static_cast<int>(o);
}

const char *pwd_sha_encode(const char *pwd, std::span<char> out) {
    if (out.empty())
        return "";
    out[0] = '\0';
    if (!pwd || !*pwd)
        return out.data();
    uint8_t digest[20];
    pwd_sha1(pwd, strlen(pwd), digest);
    char b64[64];
    if (pwd_base64(digest, sizeof digest, b64) < 0)
        return out.data();
    (void)pal_snprintf(out, "{SHA}%s", b64);
    return out.data();
}
