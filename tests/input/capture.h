// Catches what the code under test writes to standard error or standard
// output: the descriptor is pointed at a scratch file until text() is called.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "test_support.h"

class stream_capture {
public:
    explicit stream_capture(int fd) : fd_(fd) {
        std::fflush(fd_ == 2 ? stderr : stdout);
        path_ = dir_.file("captured");
        saved_ = dup(fd_);
        const int file = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, fd_);
        close(file);
    }
    ~stream_capture() { restore(); }
    // Stops capturing and returns everything written meanwhile.
    std::string text() {
        restore();
        return testing_support::read_file(path_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(fd_ == 2 ? stderr : stdout);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }
    int fd_;
    int saved_ = -1;
    testing_support::scratch_dir dir_;
    std::string path_;
};
