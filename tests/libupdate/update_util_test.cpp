// update_util_test.cpp - the utilities: download into a file (whole or not at all),
// configuration merge and query.
#include "update.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "update_test_util.h"

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ok_reply(const std::string &body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

// Names in dir other than keep: leftovers such as temporary files.
std::vector<std::string> others(const std::string &dir, const std::string &keep) {
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        if (e.path().filename() != keep)
            out.push_back(e.path().filename().string());
    return out;
}

TEST(UpdateDownload, WritesBodyAndCreatesParents) {
    temp_dir dir;
    std::string body("bin\0ary\r\n", 9);
    script_server srv(ok_reply(body));
    std::string out = dir.file("a/b/c/file.bin");
    ASSERT_EQ(update_download(srv.url("/f").c_str(), out.c_str()), UPDATE_EXIT_OK);
    EXPECT_EQ(read_file(out), body);
}

TEST(UpdateDownload, ReplacesExistingFileKeepingItsMode) {
    temp_dir dir;
    std::string out = dir.file("f.txt");
    write_file(out, "a much longer old content that must not survive in part");
    ASSERT_EQ(chmod(out.c_str(), 0640), 0);
    script_server srv(ok_reply("new"));
    ASSERT_EQ(update_download(srv.url("/f").c_str(), out.c_str()), UPDATE_EXIT_OK);
    EXPECT_EQ(read_file(out), "new");
    struct stat sb {};
    ASSERT_EQ(stat(out.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0640u);
    EXPECT_TRUE(others(dir.path, "f.txt").empty());
}

TEST(UpdateDownload, ShortBodyLeavesExistingFileUntouched) {
    temp_dir dir;
    std::string out = dir.file("keep.txt");
    write_file(out, "old");
    script_server srv("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\npartial");
    log_capture logs;
    EXPECT_EQ(update_download(srv.url("/f").c_str(), out.c_str()), UPDATE_EXIT_FAIL);
    EXPECT_EQ(read_file(out), "old");
    EXPECT_TRUE(others(dir.path, "keep.txt").empty());
    EXPECT_TRUE(logs.has("not written")) << logs.all();
}

TEST(UpdateDownload, FailedFetchCreatesNothing) {
    temp_dir dir;
    script_server srv("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    std::string out = dir.file("sub/f.txt");
    EXPECT_EQ(update_download(srv.url("/f").c_str(), out.c_str()), UPDATE_EXIT_FAIL);
    EXPECT_FALSE(std::filesystem::exists(dir.file("sub")));
}

TEST(UpdateDownload, OutputThatIsDirectoryFails) {
    temp_dir dir;
    std::filesystem::create_directory(dir.file("d"));
    write_file(dir.file("d/inside"), "x");
    script_server srv(ok_reply("body"));
    log_capture logs;
    EXPECT_EQ(update_download(srv.url("/f").c_str(), dir.file("d").c_str()), UPDATE_EXIT_FAIL);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("d")));
    EXPECT_EQ(read_file(dir.file("d/inside")), "x");
    EXPECT_TRUE(others(dir.path, "d").empty());
    EXPECT_TRUE(logs.has("write [" + dir.file("d") + "] error")) << logs.all();
}

TEST(UpdateDownload, ParentThatIsFileFails) {
    temp_dir dir;
    // A regular file where a parent directory should be: no user can write below it.
    write_file(dir.file("plain"), "x");
    script_server srv(ok_reply("body"));
    log_capture logs;
    EXPECT_EQ(update_download(srv.url("/f").c_str(), dir.file("plain/f.txt").c_str()),
              UPDATE_EXIT_FAIL);
    EXPECT_EQ(read_file(dir.file("plain")), "x");
    EXPECT_TRUE(logs.has("mkdir [" + dir.file("plain") + "] error")) << logs.all();
}

TEST(UpdateConfMerge, TakesOverSharedKeysAndKeepsComments) {
    temp_dir dir;
    std::string nw = dir.file("new.ini"), old = dir.file("old.ini");
    write_file(nw, "; new file\n[nvtd]\n; the port\nftp_server_port = 21\nnew_key = 5\n"
                   "[log]\nlevel = info\n");
    write_file(old, "[nvtd]\nftp_server_port = 2121\ngone_key = 1\n[other]\nlevel = dbg\n");
    ASSERT_EQ(update_conf_merge(nw.c_str(), old.c_str()), UPDATE_EXIT_OK);
    std::string text = read_file(nw);
    EXPECT_NE(text.find("; new file"), std::string::npos) << text;
    EXPECT_NE(text.find("; the port"), std::string::npos) << text;
    std::string v;
    ASSERT_EQ(update_conf_get(nw.c_str(), "nvtd:ftp_server_port", &v), UPDATE_EXIT_OK);
    EXPECT_EQ(v, "2121");
    ASSERT_EQ(update_conf_get(nw.c_str(), "nvtd:new_key", &v), UPDATE_EXIT_OK);
    EXPECT_EQ(v, "5");
    ASSERT_EQ(update_conf_get(nw.c_str(), "nvtd:gone_key", &v), UPDATE_EXIT_OK);
    EXPECT_EQ(v, "");
    ASSERT_EQ(update_conf_get(nw.c_str(), "log:level", &v), UPDATE_EXIT_OK);
    EXPECT_EQ(v, "info");  // a key of another section is not shared
}

TEST(UpdateConfMerge, NothingSharedLeavesFileAsItWas) {
    temp_dir dir;
    std::string nw = dir.file("new.ini"), old = dir.file("old.ini");
    write_file(nw, "[a]\nx = 1\n");
    write_file(old, "[b]\nx = 2\n");
    ASSERT_EQ(update_conf_merge(nw.c_str(), old.c_str()), UPDATE_EXIT_OK);
    EXPECT_EQ(read_file(nw), "[a]\nx = 1\n");
}

TEST(UpdateConfMerge, MissingFileFails) {
    temp_dir dir;
    std::string nw = dir.file("new.ini");
    write_file(nw, "[a]\nx = 1\n");
    log_capture logs;
    EXPECT_EQ(update_conf_merge(nw.c_str(), dir.file("absent.ini").c_str()), UPDATE_EXIT_FAIL);
    EXPECT_TRUE(logs.has("load [" + dir.file("absent.ini") + "] error")) << logs.all();
    EXPECT_EQ(update_conf_merge(dir.file("absent.ini").c_str(), nw.c_str()), UPDATE_EXIT_FAIL);
    EXPECT_EQ(read_file(nw), "[a]\nx = 1\n");
}

TEST(UpdateConfGet, MissingFileFails) {
    temp_dir dir;
    std::string v = "stale";
    EXPECT_EQ(update_conf_get(dir.file("absent.ini").c_str(), "a:b", &v), UPDATE_EXIT_FAIL);
}

}  // namespace
