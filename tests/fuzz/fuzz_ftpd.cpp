// fuzz_ftpd.cpp - one FTP control session fed the input as the client's byte stream: the
// line reader, the dispatcher and every command's argument parsing (PORT/EPRT, REST,
// TYPE, LIST options, paths) on a file system rooted in a scratch directory that is laid
// out anew for each input. The first byte sets how the bytes arrive (low three bits),
// whether the extensions are on (0x20: MLST, MLSD, MFMT, AUTH, PBSZ, PROT) and TLS is
// required (0x10), the client's address (0x40: ::1) and read-only (0x80); the rest is the
// stream. No TLS configuration exists here, so AUTH TLS is refused before any handshake.
// Data connections go only to the client's own address, 127.0.0.1: `make fuzz` runs this
// target in a network namespace of its own where nothing listens, and the connect and
// accept waits are cut short here, so PORT and PASV fail at once instead of waiting.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "ftpd.h"
#include "ftpd_internal.h"
#include "fuzz_util.h"
#include "vfs.h"

namespace fs = std::filesystem;

static std::string g_root;

static void fuzz_root_lay_out() {
    std::error_code ec;
    fs::remove_all(g_root, ec);
    fs::create_directories(g_root + "/dir/sub", ec);
    std::ofstream(g_root + "/a.txt") << "line one\nline two\r\n";
    std::ofstream(g_root + "/dir/b.bin") << std::string(5000, '\x7f');
    std::ofstream(g_root + "/dir/sp ace \"q\".txt") << "x";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_quiet_log();
    unsetenv("NVTD_TEST_FAULT");  // SITE FAULT faults on purpose only when this is set
    std::string tmpl = (fs::temp_directory_path() / "nvtd_fuzz_ftpd_XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        std::abort();
    g_root = tmpl;
    if (libvfs_init() != 0)
        std::abort();
    ftpd_lib_init();
    g_ftpd_conf.port_connect_timeout_ms = 50;
    g_ftpd_conf.pasv_accept_wait_ms = 0;
    g_ftpd_conf.read_timeout_ms = 100;
    g_ftpd_conf.ftp_root = g_root;
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_root, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    static const size_t pieces[] = {1, 2, 7, 64, 1000, 8192, 65536, 1u << 30};
    fuzz_root_lay_out();
    g_ftpd_conf.readonly = (data[0] & 0x80) != 0;
    g_ftpd_conf.ftp_extensions = (data[0] & 0x20) != 0;
    g_ftpd_conf.ftps_required = (data[0] & 0x10) != 0;
    fuzz_feed f;
    f.data = data + 1;
    f.size = size - 1;
    f.piece = pieces[data[0] & 7];
    net_stream s;
    fuzz_feed_stream(&s, &f);
    ftpd_srv_stream(&s, g_root.c_str(), (data[0] & 0x40) ? "::1" : "127.0.0.1");
    return 0;
}
