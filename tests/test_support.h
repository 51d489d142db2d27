// Helpers shared by the test programs: scratch directories, files, and running
// the built analyser as a child process with a fixed clock and zone.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

// A fresh empty directory under the system temp dir, removed by the destructor.
struct scratch_dir {
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::string path;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// Makes path the working directory while it lives and goes back to the
// previous one when it ends; ok() tells whether both directories were had.
class working_dir {
  public:
    explicit working_dir(const std::string& path);
    ~working_dir();
    working_dir(const working_dir&) = delete;
    working_dir& operator=(const working_dir&) = delete;
    bool ok() const { return ok_; }

  private:
    std::string old_;
    bool ok_ = false;
};

// Whole file as bytes; empty string when it cannot be read.
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

struct run_result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs the analyser binary (or another program when program is given) in dir
// with args, TZ=UTC, LC_ALL=C, SOURCE_DATE_EPOCH as given (empty: unset) and
// standard input from input (empty: /dev/null).
run_result run_program(const std::string& dir, const std::vector<std::string>& args,
                       const std::string& input = "", const std::string& program = "",
                       const std::string& source_date_epoch = "1388534400");

std::string test_data(const std::string& name);  // tests/data/<name>
// Shared real logs: <format>/<file> under the directory the build was
// configured with (CORVALIST_REALDATA_DIR), or CORVALIST_REALDATA from the
// environment when set.
std::string real_data(const std::string& name);
bool real_data_present();
// True when CORVALIST_NO_SKIP is set in the environment (CI sets it): a test
// that would be skipped for want of something fails instead.
bool skips_forbidden();

// Reverse lookups without any outside name server: moves this process, and
// whatever it forks or starts afterwards, into a mount namespace of its own
// where /etc/hosts maps only 127.0.0.1 to "localhost" and /etc/nsswitch.conf
// asks nothing but that file. Every lookup is then answered at once, from
// the file, the same way on every machine. Needs root, or user namespaces
// for another user; call it while the process has one thread. Returns false
// when it cannot be done (the process is left as it was); once done, later
// calls return true at once.
bool use_private_resolver();
std::string analyser_binary();
std::string tool_binary(const std::string& name);  // a companion tool from the build

}  // namespace testing_support

// Skips the calling test, with the reason, when the real logs are absent
// (fails it instead under CORVALIST_NO_SKIP).
#define SKIP_WITHOUT_REAL_DATA()                                                                      \
    do {                                                                                              \
        if (!::testing_support::real_data_present()) {                                                \
            if (::testing_support::skips_forbidden())                                                 \
                FAIL() << "no real logs at " << ::testing_support::real_data("") << " (CORVALIST_NO_SKIP)"; \
            GTEST_SKIP() << "no real logs at " << ::testing_support::real_data("")                    \
                         << " (configure with -DCORVALIST_REALDATA_DIR=...)";                          \
        }                                                                                             \
    } while (0)

// Skips the calling test, with the reason, when use_private_resolver fails
// (fails it instead under CORVALIST_NO_SKIP).
#define SKIP_WITHOUT_PRIVATE_RESOLVER()                                                               \
    do {                                                                                              \
        if (!::testing_support::use_private_resolver()) {                                             \
            if (::testing_support::skips_forbidden())                                                 \
                FAIL() << "no private resolver configuration (CORVALIST_NO_SKIP)";                    \
            GTEST_SKIP() << "no private resolver configuration: needs root or user namespaces, "     \
                            "and no test may ask an outside name server";                             \
        }                                                                                             \
    } while (0)
