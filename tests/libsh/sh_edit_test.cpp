// sh_edit_test.cpp - the line editor driven through a pseudo-terminal: editing keys,
// history, search, completion, paging, Ctrl-C and the plain fallback.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {
/// The helper on the slave side of a pty; the test types on the master.
class PtyEdit : public testing::Test {
protected:
    void start(const char *mode = "read", const char *term = "xterm", int rows = 40,
               int cols = 100) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        std::string slave = ptsname(master_);
        winsize ws{};
        ws.ws_row = static_cast<unsigned short>(rows);
        ws.ws_col = static_cast<unsigned short>(cols);
        ASSERT_EQ(ioctl(master_, TIOCSWINSZ, &ws), 0);
        slave_ = open(slave.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_, 0);
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            setsid();
            int fd = open(slave.c_str(), O_RDWR);
            dup2(fd, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            setenv("TERM", term, 1);
            execl(SH_EDIT_HELPER, SH_EDIT_HELPER, mode, static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    void TearDown() override {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0)
            close(master_);
        if (slave_ >= 0)
            close(slave_);
    }
    void send(const std::string &keys) {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    /// Reads until text appears after the mark (at most 5 s). Moves the mark past it.
    bool wait_for(const std::string &text) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            size_t at = out_.find(text, mark_);
            if (at != std::string::npos) {
                mark_ = at + text.size();
                return true;
            }
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            end - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0)
                return false;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0)
                continue;
            char buf[4096];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0)
                return false;
            out_.append(buf, static_cast<size_t>(n));
        }
    }
    /// The exit status of the helper (bounded wait); -1 when it did not end.
    int wait_exit() {
        for (int i = 0; i < 500; i++) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            char buf[4096];  // keep the helper from blocking on a full terminal
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 10) > 0)
                (void)!read(master_, buf, sizeof buf);
        }
        return -1;
    }
    std::string since_mark() const { return out_.substr(mark_); }
    int master_ = -1, slave_ = -1;
    pid_t pid_ = -1;
    bool exited_ = false;
    std::string out_;
    size_t mark_ = 0;
};
}  // namespace

TEST_F(PtyEdit, CursorKeysInsertInPlace) {
    start();
    ASSERT_TRUE(wait_for("T> "));
    send("ab\x1b[DX\x1b[HY\x1b[FZ\r");
    EXPECT_TRUE(wait_for("GOT[YaXbZ]"));
    ASSERT_TRUE(wait_for("T> "));
    send("ab\x1bOD\x1bOD\x06X\x1b[1~-\x1b[4~+\r");  // SS3 and VT220 forms
    EXPECT_TRUE(wait_for("GOT[-aXb+]"));
}

TEST_F(PtyEdit, CutPasteAndWordKeys) {
    start();
    ASSERT_TRUE(wait_for("T> "));
    send("hello big world\x17\x17\x19\r");  // Ctrl-W twice, Ctrl-Y pastes the last cut
    EXPECT_TRUE(wait_for("GOT[hello big]"));
    ASSERT_TRUE(wait_for("T> "));
    send("abc def\x01\x1bu\x1b" "f\x1b" "c\r");  // Alt-U, Alt-F, Alt-C
    EXPECT_TRUE(wait_for("GOT[ABC def]"));
    ASSERT_TRUE(wait_for("T> "));
    send("one two\x1b[1;5D\x0b\x01\x14\r");  // Ctrl-Left, Ctrl-K, Ctrl-A, Ctrl-T
    EXPECT_TRUE(wait_for("GOT[one]"));
    ASSERT_TRUE(wait_for("T> "));
    send("x  \x02\x1b\\y\x1b[3~\r");  // Alt-\ squeezes the blanks
    EXPECT_TRUE(wait_for("GOT[xy]"));
    ASSERT_TRUE(wait_for("T> "));
    send("keep\x18gone\x1br\r");  // Ctrl-X cuts all, Alt-R reverts to the start
    EXPECT_TRUE(wait_for("GOT[]"));
}

TEST_F(PtyEdit, HistoryDropsRepeatsAndListsOnF2) {
    start();
    for (const char *l : {"one", "one", "history", "two "}) {
        ASSERT_TRUE(wait_for("T> "));
        send(std::string(l) + "\r");
    }
    ASSERT_TRUE(wait_for("GOT[two]"));
    ASSERT_TRUE(wait_for("T> "));
    send("\x1bOQ");
    ASSERT_TRUE(wait_for("   1  one\r\n   2  two\r\n"));
    EXPECT_EQ(since_mark().find("   3  "), std::string::npos);
    send("\x1b[A\x1b[A\r");
    EXPECT_TRUE(wait_for("GOT[one]"));
}

TEST_F(PtyEdit, HistoryRingKeepsTheNewest256) {
    start("read", "xterm", 300, 100);
    for (int i = 0; i < 300; i++) {
        ASSERT_TRUE(wait_for("T> "));
        send("l" + std::to_string(i) + "\r");
        ASSERT_TRUE(wait_for("GOT[l" + std::to_string(i) + "]"));
    }
    ASSERT_TRUE(wait_for("T> "));
    send("\x1bOQ");
    ASSERT_TRUE(wait_for("   1  l44\r\n"));
    ASSERT_TRUE(wait_for(" 256  l299\r\n"));
    send("\x1b[5~\r");  // PgUp: the oldest line kept
    EXPECT_TRUE(wait_for("GOT[l44]"));
}

TEST_F(PtyEdit, SearchIncludesAndExcludes) {
    start();
    for (const char *l : {"show info", "show memory", "show info memory", "help"}) {
        ASSERT_TRUE(wait_for("T> "));
        send(std::string(l) + "\r");
    }
    ASSERT_TRUE(wait_for("GOT[help]"));
    ASSERT_TRUE(wait_for("T> "));
    send("\x12");
    ASSERT_TRUE(wait_for("Input Patterns <F1> help: "));
    send("\"SHOW info\" -memory\r");
    ASSERT_TRUE(wait_for("   1  show info\r\n"));
    EXPECT_EQ(since_mark().find("   2  "), std::string::npos);
    ASSERT_TRUE(wait_for("Input history id: 1"));
    send("\r\r");
    EXPECT_TRUE(wait_for("GOT[show info]"));
}

TEST_F(PtyEdit, SearchRejectsIdOutOfRange) {
    start();
    for (const char *l : {"show info", "show memory"}) {
        ASSERT_TRUE(wait_for("T> "));
        send(std::string(l) + "\r");
    }
    ASSERT_TRUE(wait_for("GOT[show memory]"));
    ASSERT_TRUE(wait_for("T> "));  // keys typed earlier would meet the cooked terminal
    send("\x12show\r");
    ASSERT_TRUE(wait_for("   2  show memory\r\n"));
    ASSERT_TRUE(wait_for("Input history id: "));
    send("3\r");
    EXPECT_TRUE(wait_for("Invalid history id: 3"));
    ASSERT_TRUE(wait_for("T> "));
    send("\x12\x1bOP");  // F1 in the pattern prompt shows the pattern help
    EXPECT_TRUE(wait_for("Patterns are separated by ' ', patter match is case insensitive:"));
}

TEST_F(PtyEdit, CompletesCommandsAndSetValues) {
    start();
    ASSERT_TRUE(wait_for("T> "));
    send("se\t");
    ASSERT_TRUE(wait_for("set "));
    send("log.l\t");
    ASSERT_TRUE(wait_for("log.level "));
    send("i\t\r");
    EXPECT_TRUE(wait_for("GOT[set log.level info]"));
    ASSERT_TRUE(wait_for("T> "));
    send("sho\t\t");  // one candidate, then the items listed with their descriptions
    EXPECT_TRUE(wait_for("info    "));
    EXPECT_TRUE(wait_for("View program running global info"));
}

TEST_F(PtyEdit, PagingWaitsForSpaceAndStopsOnOtherKeys) {
    start("read", "xterm", 8, 100);
    ASSERT_TRUE(wait_for("T> "));
    send("\x1bOP");
    ASSERT_TRUE(wait_for("*** Press <Space> or <Enter> to continue . . ."));
    send(" ");
    ASSERT_TRUE(wait_for("*** Press <Space> or <Enter> to continue . . ."));
    send("q");
    send("done\r");
    ASSERT_TRUE(wait_for("GOT[done]"));
    EXPECT_EQ(out_.find("| Control"), std::string::npos);  // the listing stopped early
}

TEST_F(PtyEdit, CtrlCEndsWithOneAndRestoresTheTerminal) {
    start();
    ASSERT_TRUE(wait_for("T> "));
    send("abc");
    ASSERT_TRUE(wait_for("abc"));
    send("\x03");
    EXPECT_EQ(wait_exit(), 1);
    termios t{};
    ASSERT_EQ(tcgetattr(slave_, &t), 0);
    EXPECT_TRUE(t.c_lflag & ECHO);
    EXPECT_TRUE(t.c_lflag & ICANON);
}

TEST_F(PtyEdit, CtrlGAndCtrlDEndInput) {
    start();
    ASSERT_TRUE(wait_for("T> "));
    send("ab\x04\x02\x04\r");  // Ctrl-D deletes under the cursor while the line has text
    ASSERT_TRUE(wait_for("GOT[a]"));
    ASSERT_TRUE(wait_for("T> "));
    send("abc\x07");
    EXPECT_TRUE(wait_for("EOF"));
    EXPECT_EQ(wait_exit(), 0);
}

TEST_F(PtyEdit, DumbTerminalReadsPlainLines) {
    start("read", "dumb");
    ASSERT_TRUE(wait_for("T> "));
    send("plain\x1b[A\n");
    EXPECT_TRUE(wait_for("GOT[plain\x1b[A]"));
    send("\x04");
    EXPECT_TRUE(wait_for("EOF"));
}

TEST_F(PtyEdit, LogLineRedrawsTheEditedLine) {
    start("console");
    ASSERT_TRUE(wait_for("C> "));
    send("ech");
    ASSERT_TRUE(wait_for("ech"));
    kill(pid_, SIGUSR1);
    ASSERT_TRUE(wait_for("async log line\r\n"));
    ASSERT_TRUE(wait_for("C> ech"));
    send("o hi\r");
    EXPECT_TRUE(wait_for("hi\r\n"));
    send("q\r");
    EXPECT_TRUE(wait_for("SESSION END"));
    EXPECT_EQ(wait_exit(), 0);
}
