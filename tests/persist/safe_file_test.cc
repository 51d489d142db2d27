// Whole-file replacement: what may stand at a file's name or at its
// temporary name beforehand (nothing, an old file, a leftover temporary, a
// planted symbolic or hard link), and a write that fails as on a full disk.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "persist/safe_file.h"
#include "test_support.h"

using testing_support::file_exists;
using testing_support::read_file;
using testing_support::scratch_dir;
using testing_support::write_file;

namespace {

bool is_link(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The replacement of page.html from each starting point: the code, what the
// name holds afterwards, and that a file another name points at (victim) is
// never written.
TEST(Replacement, WhatStandsAtTheNames) {
    struct start_case {
        const char* what;
        void (*prepare)(const scratch_dir&);
        int code;
        const char* after;  // page.html afterwards; nullptr: a symbolic link still
    } cases[] = {
        {"nothing", [](const scratch_dir&) {}, safe_ok, "new"},
        {"an old page", [](const scratch_dir& d) { write_file(d.file("page.html"), "old page"); }, safe_ok, "new"},
        {"a leftover temporary",
         [](const scratch_dir& d) { write_file(d.file("page.html.new"), "half a page from a killed run"); }, safe_ok,
         "new"},
        {"a hard link to another file",
         [](const scratch_dir& d) { link(d.file("victim").c_str(), d.file("page.html").c_str()); }, safe_ok, "new"},
        {"a hard link at the temporary",
         [](const scratch_dir& d) { link(d.file("victim").c_str(), d.file("page.html.new").c_str()); }, safe_ok,
         "new"},
        {"a symbolic link", [](const scratch_dir& d) { symlink(d.file("victim").c_str(), d.file("page.html").c_str()); },
         safe_target_symlink, nullptr},
        {"a symbolic link at the temporary",
         [](const scratch_dir& d) { symlink(d.file("victim").c_str(), d.file("page.html.new").c_str()); },
         safe_symlink, "absent"},
    };
    for (const start_case& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        write_file(dir.file("victim"), "victim");
        c.prepare(dir);
        reset_unwritten_files();
        int code = -1;
        std::FILE* f = open_replacement(dir.file("page.html").c_str(), 0666, &code);
        EXPECT_EQ(code, c.code);
        if (f != nullptr) {
            std::fputs("new", f);
            int error = -1;
            EXPECT_TRUE(close_replacement(f, &error));
            EXPECT_EQ(error, 0);
        }
        if (c.after == nullptr) {
            EXPECT_TRUE(is_link(dir.file("page.html")));
        } else if (std::string(c.after) == "absent") {
            EXPECT_FALSE(file_exists(dir.file("page.html")));
        } else {
            EXPECT_EQ(read_file(dir.file("page.html")), c.after);
        }
        EXPECT_EQ(read_file(dir.file("victim")), "victim");
        if (c.code != safe_symlink) {
            EXPECT_FALSE(file_exists(dir.file("page.html.new")));
        }
        // A refused link is the file's own affair, not a failed write.
        EXPECT_EQ(unwritten_files(), 0);
    }
}

// The permission bits of the file replaced are kept, as when it was
// rewritten in place.
TEST(Replacement, KeepsThePermissions) {
    scratch_dir dir;
    write_file(dir.file("page.html"), "old");
    ASSERT_EQ(chmod(dir.file("page.html").c_str(), 0640), 0);
    int code = -1;
    std::FILE* f = open_replacement(dir.file("page.html").c_str(), 0666, &code);
    ASSERT_NE(f, nullptr);
    std::fputs("new", f);
    int error = 0;
    ASSERT_TRUE(close_replacement(f, &error));
    struct stat st;
    ASSERT_EQ(stat(dir.file("page.html").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A write that fails (a file-size limit, as a full disk does) leaves the old
// file, no temporary, the cause and one unwritten file; the limit is set in a
// child so that the test runner keeps its own.
TEST(Replacement, FailedWriteKeepsTheOldFile) {
    scratch_dir dir;
    const std::string page = dir.file("page.html");
    write_file(page, "old page");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
        reset_unwritten_files();
        int code = -1;
        std::FILE* f = open_replacement(page.c_str(), 0666, &code);
        if (f == nullptr) _exit(10);
        for (int i = 0; i < 1000; ++i) std::fputs("a line of the new page\n", f);
        int error = 0;
        const char* name = nullptr;
        const bool closed = close_replacement(f, &error, &name);
        _exit(closed ? 11 : error != EFBIG ? 12 : std::string(name) != page ? 13 : unwritten_files() != 1 ? 14 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(page), "old page");
    EXPECT_FALSE(file_exists(page + ".new"));
}

// The history's and the state's temporary is created afresh too: a hard link
// planted under its name is removed, not written through.
TEST(Temporary, PlantedHardLinkIsNotWrittenThrough) {
    scratch_dir dir;
    write_file(dir.file("victim"), "victim");
    const std::string temp = dir.file("corvalist.hist.new");
    ASSERT_EQ(link(dir.file("victim").c_str(), temp.c_str()), 0);
    int code = -1;
    std::FILE* f = open_temporary(temp.c_str(), &code);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(code, safe_ok);
    std::fputs("history", f);
    ASSERT_TRUE(finish_temporary(f, temp.c_str(), true));
    EXPECT_EQ(read_file(temp), "history");
    EXPECT_EQ(read_file(dir.file("victim")), "victim");
}

}  // namespace
