// ssl_cert.cpp - creation of the FTPS key (RSA-2048, DER file) and of a self-signed
// certificate for it (PEM file). Only the year of the clock matters: a clock before 2024
// is surely wrong, and a certificate made with it would be useless for ten years.
#include "ssl.h"
#include "ssl_internal.h"

#include "log.h"
#include "pal.h"

#include <cstring>

static const char *const CERT_NAME = "CN=CA,O=norva,C=CN";
enum : int { CERT_BUF = 4096, KEY_BITS = 2048, KEY_EXPONENT = 65537, FIRST_GOOD_YEAR = 2024 };

namespace {
// Random source for one creation step.
struct cert_rng {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    cert_rng() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
    }
    ~cert_rng() {
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
    int seed(const char *pers) {
        return mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy,
                                     reinterpret_cast<const unsigned char *>(pers),
                                     std::strlen(pers));
    }
    cert_rng(const cert_rng &) = delete;
    cert_rng &operator=(const cert_rng &) = delete;
};

// Everything one certificate is made of, freed on every path.
struct cert_parts {
    cert_rng rng;
    mbedtls_pk_context key;
    mbedtls_mpi serial;
    mbedtls_x509write_cert crt;
    cert_parts() {
        mbedtls_pk_init(&key);
        mbedtls_mpi_init(&serial);
        mbedtls_x509write_crt_init(&crt);
    }
    ~cert_parts() {
        mbedtls_x509write_crt_free(&crt);
        mbedtls_mpi_free(&serial);
        mbedtls_pk_free(&key);
    }
    cert_parts(const cert_parts &) = delete;
    cert_parts &operator=(const cert_parts &) = delete;
};
}  // namespace

// Logs a library failure as "<what> -0x%04x - %s" and passes the code on.
static int lib_fail(const char *what, int ret) {
    char err[512];
    LOG2(LOG2_ERR, SSL_TAG, "%s -0x%04x - %s\n", what, -ret, ssl_err_text(ret, err, sizeof err));
    return ret;
}

static int gen_rsa_key(mbedtls_pk_context *pk) {
    cert_rng rng;
    int ret = rng.seed("gen_key");
    if (ret != 0)
        return lib_fail("mbedtls_ctr_drbg_seed returned", ret);
    ret = mbedtls_pk_setup(pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
    if (ret != 0)
        return lib_fail("mbedtls_pk_setup", ret);
    ret = mbedtls_rsa_gen_key(mbedtls_pk_rsa(*pk), mbedtls_ctr_drbg_random, &rng.drbg, KEY_BITS,
                              KEY_EXPONENT);
    if (ret != 0)
        return lib_fail("mbedtls_rsa_gen_key", ret);
    return 0;
}

int ssl_create_pem_der(char *pem, size_t pem_size, unsigned char *der, size_t *der_len) {
    PAL_ASSERT_RET(pem && der && der_len && pem_size > 0, PAL_EINVAL);
    if (ssl_compat_crypto_init() != 0)
        return PAL_EFAIL;
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    int ret = gen_rsa_key(&pk);
    if (ret == 0) {
        ret = mbedtls_pk_write_key_pem(&pk, reinterpret_cast<unsigned char *>(pem), pem_size);
        if (ret != 0)
            lib_fail("mbedtls_psa_rsa_export_key_pem", ret);
    }
    if (ret == 0) {
        // The DER writer fills the end of the buffer; move the key to its start.
        ret = mbedtls_pk_write_key_der(&pk, der, *der_len);
        if (ret < 0) {
            lib_fail("mbedtls_psa_rsa_export_key_der", ret);
        } else {
            std::memmove(der, der + *der_len - ret, static_cast<size_t>(ret));
            *der_len = static_cast<size_t>(ret);
            ret = 0;
        }
    }
    mbedtls_pk_free(&pk);
    return ret;
}

// Validity "%d0101000000" to "%d1231235959" ten years on, from this year. -1 when the
// clock cannot be right.
static int cert_validity(mbedtls_x509write_cert *crt) {
    pal_tm now{};
    os_localtime(&now);
    if (now.year < FIRST_GOOD_YEAR) {
        LOG2(LOG2_ERR, SSL_TAG, "Please set the correct time for the system\n");
        return -1;
    }
    char not_before[32];
    char not_after[32];
    pal_snprintf(not_before, "%d0101000000", now.year);
    pal_snprintf(not_after, "%d1231235959", now.year + 10);
    int ret = mbedtls_x509write_crt_set_validity(crt, not_before, not_after);
    if (ret != 0)
        return lib_fail("mbedtls_x509write_crt_set_validity returned", ret);
    return 0;
}

static int cert_names_and_serial(cert_parts *c) {
    mbedtls_x509write_crt_set_subject_key(&c->crt, &c->key);
    mbedtls_x509write_crt_set_issuer_key(&c->crt, &c->key);
    int ret = mbedtls_x509write_crt_set_subject_name(&c->crt, CERT_NAME);
    if (ret != 0)
        return lib_fail("mbedtls_x509write_crt_set_subject_name returned", ret);
    ret = mbedtls_x509write_crt_set_issuer_name(&c->crt, CERT_NAME);
    if (ret != 0)
        return lib_fail("mbedtls_x509write_crt_set_issuer_name returned", ret);
    mbedtls_x509write_crt_set_version(&c->crt, MBEDTLS_X509_CRT_VERSION_3);
    mbedtls_x509write_crt_set_md_alg(&c->crt, MBEDTLS_MD_SHA256);
    ret = mbedtls_x509write_crt_set_serial(&c->crt, &c->serial);
    if (ret != 0)
        return lib_fail("mbedtls_x509write_crt_set_serial returned", ret);
    return 0;
}

static int cert_extensions(mbedtls_x509write_cert *crt) {
    int ret = mbedtls_x509write_crt_set_basic_constraints(crt, 0, -1);
    if (ret != 0)
        return lib_fail("x509write_crt_set_basic_contraints returned", ret);
    ret = mbedtls_x509write_crt_set_subject_key_identifier(crt);
    if (ret != 0)
        return lib_fail("mbedtls_x509write_crt_set_subject_key_identifier returned", ret);
    ret = mbedtls_x509write_crt_set_authority_key_identifier(crt);
    if (ret != 0)
        return lib_fail("mbedtls_x509write_crt_set_authority_key_identifier returned", ret);
    return 0;
}

static int cert_build(cert_parts *c, const char *issuer_key_pem) {
    int ret = c->rng.seed("crt create app");
    if (ret != 0) {
        char err[512];
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_ctr_drbg_seed returned %d - %s\n", ret,
             ssl_err_text(ret, err, sizeof err));
        return ret;
    }
    ret = mbedtls_mpi_read_string(&c->serial, 10, "1");
    if (ret != 0)
        return lib_fail("mbedtls_mpi_read_string returned", ret);
    ret = ssl_compat_parse_key(&c->key, reinterpret_cast<const unsigned char *>(issuer_key_pem),
                               std::strlen(issuer_key_pem) + 1, &c->rng.drbg);
    if (ret != 0) {
        char err[512];
        LOG2(LOG2_ERR, SSL_TAG, "mbedtls_pk_parse_keyfile returned -x%02x - %s\n", -ret,
             ssl_err_text(ret, err, sizeof err));
        return ret;
    }
    if ((ret = cert_names_and_serial(c)) != 0)
        return ret;
    if ((ret = cert_validity(&c->crt)) != 0)
        return ret;
    return cert_extensions(&c->crt);
}

int ssl_create_x509(const char *issuer_key_pem, char *out, size_t out_size) {
    PAL_ASSERT_RET(issuer_key_pem && out && out_size > 0, PAL_EINVAL);
    if (ssl_compat_crypto_init() != 0)
        return PAL_EFAIL;
    cert_parts c;
    int ret = cert_build(&c, issuer_key_pem);
    if (ret != 0)
        return ret;
    unsigned char pem[CERT_BUF];
    ret = mbedtls_x509write_crt_pem(&c.crt, pem, sizeof pem, mbedtls_ctr_drbg_random,
                                    &c.rng.drbg);
    if (ret != 0)
        return lib_fail("mbedtls_x509write_crt_pem", ret);
    if (pal_strlcpy({out, out_size}, reinterpret_cast<const char *>(pem)) < 0)
        return PAL_ETRUNC;
    return 0;
}

int ssl_create_key_x509_file(const char *key_file, const char *crt_file) {
    PAL_ASSERT_RET(key_file && crt_file && *key_file && *crt_file, -1);
    char key_pem[CERT_BUF];
    unsigned char buf[CERT_BUF];
    size_t der_len = sizeof buf;
    int ret = ssl_create_pem_der(key_pem, sizeof key_pem, buf, &der_len);
    if (ret != 0) {
        LOG2(SSL_LOG_ERR_OS, SSL_TAG, "ssl_create_pem_der eno=%d", ret);
        return -1;
    }
    // The private key is readable by its owner only, also when an older key file was not.
    std::string_view der(reinterpret_cast<const char *>(buf), der_len);
    int wr = os_replace_file(key_file, der, 0600, false);
    mbedtls_platform_zeroize(buf, sizeof buf);
    if (wr != 0) {
        mbedtls_platform_zeroize(key_pem, sizeof key_pem);
        LOG2(SSL_LOG_ERR_OS, SSL_TAG, "os_file_write_bin [%s] error: ", key_file);
        return -1;
    }
    char crt_pem[CERT_BUF];
    ret = ssl_create_x509(key_pem, crt_pem, sizeof crt_pem);
    mbedtls_platform_zeroize(key_pem, sizeof key_pem);
    if (ret != 0) {
        LOG2(SSL_LOG_ERR_OS, SSL_TAG, "ssl_create_pem_der eno=%d", ret);
        return -1;
    }
    // The certificate is public: a file it replaces keeps its mode.
    if (os_replace_file(crt_file, crt_pem, 0644, true) != 0) {
        LOG2(SSL_LOG_ERR_OS, SSL_TAG, "os_file_write_bin [%s] error: ", crt_file);
        return -1;
    }
    return 0;
}
