// A test that needs the real logs is skipped, with the reason, where they are
// absent, and fails instead where skipping is forbidden (as in CI).
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "test_support.h"

namespace ts = testing_support;

namespace {

TEST(RealData, AbsentLogsSkipTheirTestsUnlessSkipsAreForbidden) {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    ts::scratch_dir dir;
    const std::string missing = dir.file("no-realdata");
    const std::string filter = "--gtest_filter=Incremental.ThreePiecesGiveTheSameMonthAsOneRun";

    ts::run_result r = ts::run_program(
        dir.path, {"-u", "CORVALIST_NO_SKIP", "CORVALIST_REALDATA=" + missing, self, filter}, "", "/usr/bin/env");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("[  SKIPPED ] Incremental.ThreePiecesGiveTheSameMonthAsOneRun"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("no real logs at " + missing), std::string::npos) << r.out;

    r = ts::run_program(dir.path, {"CORVALIST_NO_SKIP=1", "CORVALIST_REALDATA=" + missing, self, filter}, "",
                        "/usr/bin/env");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("[  FAILED  ] Incremental.ThreePiecesGiveTheSameMonthAsOneRun"), std::string::npos) << r.out;
}

}  // namespace
