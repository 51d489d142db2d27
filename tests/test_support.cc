#include "test_support.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testing_support {

scratch_dir::scratch_dir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "corvalist-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path = buf.data();
}

scratch_dir::~scratch_dir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
}

working_dir::working_dir(const std::string& path) {
    std::error_code ec;
    old_ = std::filesystem::current_path(ec).string();
    if (ec) return;
    ok_ = chdir(path.c_str()) == 0;
}

working_dir::~working_dir() {
    if (ok_ && chdir(old_.c_str()) != 0) std::perror(old_.c_str());
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool file_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

static std::string slurp_fd(int fd) {
    std::string s;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    return s;
}

run_result run_program(const std::string& dir, const std::vector<std::string>& args,
                       const std::string& input, const std::string& program,
                       const std::string& source_date_epoch) {
    run_result r;
    std::string prog = program.empty() ? analyser_binary() : program;
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0 || pipe(in_pipe) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
        setenv("TZ", "UTC", 1);
        setenv("LC_ALL", "C", 1);
        if (source_date_epoch.empty())
            unsetenv("SOURCE_DATE_EPOCH");
        else
            setenv("SOURCE_DATE_EPOCH", source_date_epoch.c_str(), 1);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(prog.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(prog.c_str(), argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    std::thread feeder([&] {
        size_t off = 0;
        while (off < input.size()) {
            ssize_t n = write(in_pipe[1], input.data() + off, input.size() - off);
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
        close(in_pipe[1]);
    });
    std::string err;
    std::thread err_reader([&] { err = slurp_fd(err_pipe[0]); });
    r.out = slurp_fd(out_pipe[0]);
    err_reader.join();
    feeder.join();
    close(out_pipe[0]);
    close(err_pipe[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.err = err;
    return r;
}

std::string test_data(const std::string& name) { return std::string(CORVALIST_TEST_DATA) + "/" + name; }
static std::string real_data_dir() {
    const char* set = std::getenv("CORVALIST_REALDATA");
    return set != nullptr && *set != '\0' ? set : CORVALIST_REALDATA;
}

std::string real_data(const std::string& name) { return real_data_dir() + "/" + name; }

bool real_data_present() {
    struct stat st;
    return stat(real_data_dir().c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool skips_forbidden() {
    const char* set = std::getenv("CORVALIST_NO_SKIP");
    return set != nullptr && *set != '\0' && std::strcmp(set, "0") != 0;
}

static bool write_text(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}

// Binds a file holding text over target, in the current mount namespace.
static bool bind_text(const std::string& target, const std::string& text) {
    char tmpl[] = "/tmp/corvalist-resolver-XXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd < 0) return false;
    close(fd);
    const bool ok = write_text(tmpl, text) && mount(tmpl, target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    unlink(tmpl);  // the mount keeps the file
    return ok;
}

static bool enter_private_resolver() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWNS) != 0) {
        // Not root: a user namespace of our own may still allow the mounts.
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
        if (!write_text("/proc/self/setgroups", "deny") ||
            !write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return false;
    }
    // Mounts made here must not reach the rest of the system.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    if (!bind_text("/etc/hosts", "127.0.0.1 localhost\n") ||
        !bind_text("/etc/nsswitch.conf", "passwd: files\ngroup: files\nhosts: files\n"))
        return false;
    // A name service cache daemon would answer from the system's own
    // configuration: its socket is hidden under an empty directory.
    struct stat st;
    if (stat("/run/nscd", &st) == 0 && S_ISDIR(st.st_mode)) {
        char empty[] = "/tmp/corvalist-nscd-XXXXXX";
        if (mkdtemp(empty) == nullptr) return false;
        const bool hidden = mount(empty, "/run/nscd", nullptr, MS_BIND, nullptr) == 0;
        rmdir(empty);
        if (!hidden) return false;
    }
    return true;
}

bool use_private_resolver() {
    static int state = 0;  // 1 done, -1 failed, 0 not tried
    if (state == 0) state = enter_private_resolver() ? 1 : -1;
    return state > 0;
}
std::string analyser_binary() { return CORVALIST_BINARY; }
std::string tool_binary(const std::string& name) { return std::string(CORVALIST_TOOLS_DIR) + "/" + name; }

}  // namespace testing_support
