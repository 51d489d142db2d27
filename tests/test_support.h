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
std::string real_data(const std::string& name);  // shared real logs: <format>/<file>
std::string analyser_binary();
std::string tool_binary(const std::string& name);  // a companion tool from the build

}  // namespace testing_support
