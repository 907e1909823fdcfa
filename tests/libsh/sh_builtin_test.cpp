// sh_builtin_test.cpp - the built-in commands with their exact texts and results.
#include "sh_test_util.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace std::string_literals;

TEST_F(ShellTest, EchoEscapesAndOptions) {
    sh_result r = sh_run("echo -e a\\101\\c b");
    EXPECT_EQ(r.text, "aA b\0"s);
    EXPECT_EQ(sh_run("echo -n -e x").text, "x\0"s);
    EXPECT_EQ(sh_run("echo -x").text, "-x\n\0"s);
    EXPECT_EQ(sh_run("echo a\\tb\\101").text, "a\\tb\\101\n\0"s);
    EXPECT_EQ(sh_run("echo -e \\t\\\\\\q \\0101 \\477").text, "\t\\\\q \b1 '7\n\0"s);
    EXPECT_EQ(sh_run("echo -eE \\t").text, "\\t\n\0"s);
    EXPECT_EQ(sh_run("echo -h").text,
              "echo [opt] [string|var]...\nEcho the STRING(s) to output\n\t-h Display this help\n\0"s);
}

TEST_F(ShellTest, HelpListsEveryCommand) {
    sh_result r = sh_run("help");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text.rfind("show      \tShow the status of the program\n", 0), 0u) << r.text;
    EXPECT_NE(r.text.find("?         \tSynonym for `help'\n"
                          "\nFor more information, type 'help command' for each command.\n"
                          "e.g. help pwd\n"),
              std::string::npos);
    EXPECT_EQ(sh_run("help nosuch").text, r.text);
    EXPECT_EQ(sh_run("?").text, r.text);
}

TEST_F(ShellTest, HelpOfACommandRunsItsUsage) {
    EXPECT_EQ(sh_run("help pwd").text, "pwd\nPrint working directory\n\t-h Display this help\n\0"s);
    EXPECT_EQ(sh_run("help alias").text, "\0"s);
    sh_result set = sh_run("help set");
    EXPECT_EQ(set.text.rfind("Set public options\n", 0), 0u) << set.text;
    EXPECT_NE(set.text.find("set log.level [verb|dbg|info|noti|warn|err|crit] -- Set log output level\n"),
              std::string::npos);
    EXPECT_EQ(sh_run("help unset").text,
              "unset [var ...]\nCancel environment variable\n\t-h Display this help\n\0"s);
    EXPECT_EQ(sh_run("help source").text,
              "source [opt] [file]...\nExec commands from file\n-h: Display this help\n\0"s);
}

TEST_F(ShellTest, HelpOfExitDoesNotStop) {
    libsh_mem_ctx m;
    libsh_mem_ctx_init(&m);
    EXPECT_EQ(libsh_exec_line(&m.ctx, "help exit"), 0);
    EXPECT_EQ(m.ctx.exit_flag.load(), 0);
    EXPECT_EQ(m.text, "exit\nExit the service program\n\t-h Display this help\n\0"s);
}

TEST_F(ShellTest, SetChangesTheLogLevel) {
    sh_result bad = sh_run("set log.level verbose");
    EXPECT_EQ(bad.rc, -1);
    EXPECT_EQ(bad.text, "error: invalid param [verbose]\n\0"s);
    EXPECT_EQ(sh_run("set log.level dbg").rc, 0);
    EXPECT_TRUE(log2_enabled(LOG2_DBG));
    EXPECT_EQ(sh_run("set log.level info").rc, 0);
    EXPECT_FALSE(log2_enabled(LOG2_DBG));
    EXPECT_EQ(sh_run("show dvar").text, "log.level=info\nlog.dbgview=0\n\0"s);
    EXPECT_EQ(sh_run("sd").text, "log.level=info\nlog.dbgview=0\n\0"s);
}

TEST_F(ShellTest, SetUnknownAndWrongForms) {
    sh_result r = sh_run("set no.such 1");
    EXPECT_EQ(r.rc, -12);
    EXPECT_EQ(r.text, "error: The set variable 'no.such' does not exist\n\0"s);
    sh_result list = sh_run("set");
    EXPECT_EQ(list.rc, -1);
    EXPECT_EQ(list.text, "Set public options\n"
                         "set log.level [verb|dbg|info|noti|warn|err|crit] -- Set log output level\n"
                         "set log.dbgview [0|1] -- Turn outputDebugString output on or off\n\0"s);
    EXPECT_EQ(sh_run("set -h").rc, 0);
}

TEST_F(ShellTest, ShowItemsAndList) {
    sh_result r = sh_run("show nosuch");
    EXPECT_EQ(r.rc, -12);
    EXPECT_EQ(r.text, "error: The show variable 'nosuch' does not exist\n\0"s);
    sh_result list = sh_run("show");
    EXPECT_EQ(list.rc, 0);
    EXPECT_EQ(list.text.rfind("Show the status of the program\n"
                              "show info -- View program running global info\n",
                              0),
              0u)
        << list.text;
    EXPECT_NE(list.text.find("show dvar -- View program Dynamic variable\n"), std::string::npos);
}

TEST_F(ShellTest, ShowInfoLines) {
    ASSERT_EQ(sh_run("set log.level info").rc, 0);
    std::string t = sh_run("show info").text;
    for (const char *key : {"ver=", "ver_date=", "start_time=", "is_root=", "log_level=info\n",
                            "bsv_pipe_name=''\n", "cpu_endian=little\n", "os_is_nt=0\n",
                            "os_info=Linux ", "hw_info=", "os_start_time="})
        EXPECT_NE(t.find(key), std::string::npos) << key << " in " << t;
}

TEST_F(ShellTest, CallUnknownAndList) {
    sh_result r = sh_run("call nosuch");
    EXPECT_EQ(r.rc, -12);
    EXPECT_EQ(r.text, "error: The call func 'nosuch' does not exist\n\0"s);
    sh_result list = sh_run("c");
    EXPECT_EQ(list.rc, -1);
    EXPECT_NE(list.text.find("call application commands\ncall kill -- Execute exit() to exit the process\n"),
              std::string::npos)
        << list.text;
    EXPECT_EQ(sh_run("call tlog").rc, 0);
}

TEST_F(ShellTest, AliasDefineShowAndMiss) {
    EXPECT_EQ(sh_run("alias shal=\"echo z\" shal").text, "shal=echo z\n\0"s);
    sh_result miss = sh_run("alias shal shno");
    EXPECT_EQ(miss.rc, 1);
    EXPECT_EQ(miss.text, "shal=echo z\nshno not found\n\0"s);
    std::string all = sh_run("alias").text;
    EXPECT_NE(all.find("si=show info\n"), std::string::npos);
    EXPECT_NE(all.find("shal=echo z\n"), std::string::npos);
    EXPECT_EQ(sh_run("alias -h").text, "\0"s);
}

TEST_F(ShellTest, UnaliasNamesAndMisses) {
    ASSERT_EQ(libsh_alias_set("shun", "echo"), 0);
    sh_result r = sh_run("unalias shun shun");
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.text, "shun not found\n\0"s);
    std::string v;
    EXPECT_FALSE(libsh_alias_get("shun", &v));
}

TEST_F(ShellTest, UnsetAndEnv) {
    (void)sh_run("SHENV_X=1");
    EXPECT_NE(sh_run("env").text.find("\nSHENV_X=1\n"), std::string::npos);
    EXPECT_EQ(sh_run("unset SHENV_X").rc, 0);
    EXPECT_EQ(sh_run("env").text.find("SHENV_X="), std::string::npos);
    EXPECT_EQ(std::getenv("SHENV_X"), nullptr);  // never the process's environment
}

TEST_F(ShellTest, OptionsArePermutedUnlessPosixlyCorrect) {
    (void)sh_run("SHENV_P=1");
    EXPECT_EQ(sh_run("unset SHENV_P -h").text,
              "unset [var ...]\nCancel environment variable\n\t-h Display this help\n\0"s);
    std::string v;
    EXPECT_TRUE(libsh_env_get("SHENV_P", &v));
    setenv("POSIXLY_CORRECT", "1", 1);
    sh_result r = sh_run("unset SHENV_P -h");
    unsetenv("POSIXLY_CORRECT");
    EXPECT_EQ(r.text, "\0"s);
    EXPECT_FALSE(libsh_env_get("SHENV_P", &v));
}

TEST_F(ShellTest, PwdPrintsTheDirectory) {
    std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(sh_run("pwd").text, cwd + "\n" + '\0');
}

TEST_F(ShellTest, QuitAndExit) {
    static int hook_calls = 0;
    libsh_app app;
    app.exit_hook = [] {
        hook_calls++;
        return 0;
    };
    libsh_set_app(app);
    libsh_mem_ctx m;
    libsh_mem_ctx_init(&m);
    EXPECT_EQ(libsh_exec_line(&m.ctx, "q"), 0);
    EXPECT_EQ(m.ctx.exit_flag.load(), 1);
    EXPECT_EQ(hook_calls, 0);
    libsh_mem_ctx_init(&m);
    EXPECT_EQ(libsh_exec_line(&m.ctx, "exit"), 0);
    EXPECT_EQ(m.ctx.exit_flag.load(), 1);
    EXPECT_EQ(hook_calls, 1);
    libsh_set_app(libsh_app{});
}

namespace {
class ShellSource : public ShellTest {
protected:
    void SetUp() override {
        ShellTest::SetUp();
        dir_ = std::filesystem::temp_directory_path() / ("shsrc_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string file(const char *name, const std::string &text) {
        std::string p = (dir_ / name).string();
        std::ofstream(p) << text;
        return p;
    }
    std::filesystem::path dir_;
};
}  // namespace

TEST_F(ShellSource, RunsEveryLineAndSkipsBlankOnes) {
    std::string p = file("a.sh", "echo one\n\n# note\necho two; echo three\nSHSRC=4\necho end");
    sh_result r = sh_run("source " + p);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "one\n\0two\n\0three\n\0end\n\0\0"s);
    std::string v;
    EXPECT_TRUE(libsh_env_get("SHSRC", &v));
}

TEST_F(ShellSource, MissingDirectoryAndDeviceAreRefused) {
    sh_result r = sh_run("source " + (dir_ / "none").string() + "; echo after");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.text, "open:[" + (dir_ / "none").string() + "] error:No such file or directory\n" + '\0');
    EXPECT_EQ(sh_run("source " + dir_.string()).text,
              "open:[" + dir_.string() + "] error:Is a directory\n" + '\0');
    EXPECT_EQ(sh_run("source /dev/zero").text, "open:[/dev/zero] error:Not a regular file\n\0"s);
    EXPECT_EQ(sh_run("source").rc, 1);
}

TEST_F(ShellSource, FileThatSourcesItselfStops) {
    std::string p = (dir_ / "self.sh").string();
    file("self.sh", "echo in\nsource " + p + "\n");
    sh_result r = sh_run("source " + p);
    EXPECT_EQ(r.rc, 0);
    size_t ins = 0;
    for (size_t at = r.text.find("in\n"); at != std::string::npos; at = r.text.find("in\n", at + 1))
        ins++;
    EXPECT_EQ(ins, 16u);
    EXPECT_NE(r.text.find("source: files nested deeper than 16"), std::string::npos);
}
