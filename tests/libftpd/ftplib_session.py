"""Drives an nvtd FTP server with Python's ftplib: every file and listing command, their
failure replies, restart offsets, ABOR during a rate-limited download and readonly
refusals. Run by tests/integration/test_ftp_clients.py as
ftplib_session.py HOST PORT ROOT MODE, MODE being "rw" (download rate limited to 1 MiB/s)
or "ro" (readonly). Exits 0 when every check held."""
import ftplib
import io
import os
import sys
import time

host, port, root, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)


def expect_error(fn, code, text, what):
    try:
        fn()
    except ftplib.all_errors as e:
        msg = str(e)
        check(msg == f"{code} {text}", f"{what}: got {msg!r}, want {code} {text}")
        return
    failures.append(f"{what}: no error")


def retr(ftp, name, rest=None):
    buf = io.BytesIO()
    ftp.retrbinary(f"RETR {name}", buf.write, rest=rest)
    return buf.getvalue()


def put(root_path, name, data):
    with open(os.path.join(root_path, name), "wb") as f:
        f.write(data)


def read(name):
    with open(os.path.join(root, name), "rb") as f:
        return f.read()


def rw_session(ftp):
    body = bytes(range(256)) * 4
    put(root, "f.bin", body)
    os.makedirs(os.path.join(root, "sub"), exist_ok=True)
    put(os.path.join(root, "sub"), "in sub.txt", b"x")
    check(retr(ftp, "f.bin") == body, "RETR whole")
    check(retr(ftp, "f.bin", rest=1000) == body[1000:], "REST+RETR")
    ftp.storbinary("STOR f.bin", io.BytesIO(b"new"))
    check(read("f.bin") == b"new", "STOR truncates")
    put(root, "g.bin", b"0123456789")
    ftp.storbinary("STOR g.bin", io.BytesIO(b"ab"), rest=4)
    check(read("g.bin") == b"0123ab6789", "REST+STOR keeps the tail")
    ftp.storbinary("APPE created.bin", io.BytesIO(b"one"))
    ftp.storbinary("APPE created.bin", io.BytesIO(b"two"))
    check(read("created.bin") == b"onetwo", "APPE creates and appends")
    put(root, "crlf.txt", b"a\r\nb\nc\r\n")
    lines = []
    ftp.voidcmd("TYPE A")
    raw = io.BytesIO()
    ftp.retrbinary("RETR crlf.txt", raw.write)
    check(raw.getvalue() == b"a\r\nb\nc\r\n", "TYPE A leaves line ends")
    ftp.voidcmd("TYPE I")
    ftp.dir("sub", lines.append)
    check(len(lines) == 1 and lines[0].endswith(" in sub.txt"), f"dir(path): {lines}")
    lines = []
    ftp.retrlines("LIST -a sub", lines.append)
    check(len(lines) == 1 and lines[0].endswith(" in sub.txt"), f"LIST -a: {lines}")
    check(sorted(ftp.nlst()) == sorted(os.listdir(root)), "NLST")
    check(ftp.size("created.bin") == 6, "SIZE")
    check(ftp.sendcmd("MDTM created.bin").startswith("213 20"), "MDTM")
    check(ftp.mkd("made") == "/made", "MKD")
    expect_error(lambda: ftp.mkd("made"), 550, "Create directory operation failed", "MKD existing")
    ftp.rename("created.bin", "made/moved.bin")
    check(read("made/moved.bin") == b"onetwo", "RNFR/RNTO")
    expect_error(lambda: ftp.rename("missing", "x"), 503, "Rename directory operation failed",
                 "RNFR missing then RNTO")
    ftp.delete("made/moved.bin")
    expect_error(lambda: ftp.delete("made/moved.bin"), 550, "Delete operation failed.", "DELE gone")
    ftp.rmd("made")
    expect_error(lambda: ftp.rmd("made"), 550, "Remove directory operation failed", "RMD gone")
    expect_error(lambda: ftp.size("sub"), 550, "Could not get file size.", "SIZE dir")
    expect_error(lambda: retr(ftp, "nothere"), 550, "Failured to open file.", "RETR missing")
    check(ftp.sendcmd("SYST") == "215 Unix Type: L8", "SYST")
    check(ftp.sendcmd("NOOP") == "200 NOOP ok", "NOOP")
    check("REST STREAM" in ftp.sendcmd("FEAT"), "FEAT")
    check(ftp.sendcmd("HELP").endswith("214 Help OK."), "HELP")
    check(ftp.sendcmd("OPTS UTF8 ON") == "200 Always in UTF8 mode.", "OPTS UTF8")
    check("TYPE: BINARY" in ftp.sendcmd("STAT"), "STAT")
    check(" f.bin" in ftp.sendcmd("STAT f.bin"), "STAT path")
    abor_during_download(ftp)


def abor_during_download(ftp):
    put(root, "big.bin", b"z" * (8 << 20))
    conn = ftp.transfercmd("RETR big.bin")
    got = conn.recv(65536)
    t0 = time.monotonic()
    ftp.putcmd("ABOR")  # ftplib.abort() would also send Telnet bytes out of band
    while conn.recv(65536):
        pass
    conn.close()
    first = ftp.getline()
    second = ftp.getline()
    check(len(got) > 0, "data before ABOR")
    check(first == "426 Transfer aborted.", f"ABOR first reply {first!r}")
    check(second == "226 ABOR successful", f"ABOR second reply {second!r}")
    check(time.monotonic() - t0 < 4, "ABOR took effect quickly")
    check(ftp.sendcmd("NOOP") == "200 NOOP ok", "session after ABOR")


def ro_session(ftp):
    put(root, "keep.txt", b"k")
    os.makedirs(os.path.join(root, "dir"), exist_ok=True)
    for what, fn in [("STOR", lambda: ftp.storbinary("STOR n", io.BytesIO(b"n"))),
                     ("APPE", lambda: ftp.storbinary("APPE n", io.BytesIO(b"n"))),
                     ("MKD", lambda: ftp.mkd("m")),
                     ("RMD", lambda: ftp.rmd("dir")),
                     ("DELE", lambda: ftp.delete("keep.txt")),
                     ("RNTO", lambda: ftp.rename("keep.txt", "k2"))]:
        expect_error(fn, 550, "no perm.", f"readonly {what}")
    check(sorted(os.listdir(root)) == ["dir", "keep.txt"], "readonly changed nothing")
    check(retr(ftp, "keep.txt") == b"k", "readonly RETR")


def main():
    ftp = ftplib.FTP()
    ftp.connect(host, port, timeout=20)
    ftp.login()
    (rw_session if mode == "rw" else ro_session)(ftp)
    ftp.quit()
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
