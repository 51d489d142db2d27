// Public logs of real servers, read and parsed whole. The expected counts were
// worked out independently of the program, with grep and awk over the files:
//   clf    lines matching ^[^ ]+ [^ ]+ [^[]*\[[^] ]{2}/[^]]*\] ".*" [0-9-]
//   ftp    lines whose 4th field has ":" at places 3 and 6, year 1990..2100,
//          day 1..31
//   squid  lines of at least 8 fields
//   w3c    data lines whose column count equals that of the last "#Fields:"
//          directive, which names cs-uri-stem
// Lines are counted with grep -c '', so a last line without a newline counts.
#include <gtest/gtest.h>

#include <cstring>

#include "input/log_reader.h"
#include "input/parse.h"
#include "run/settings.h"
#include "test_support.h"

namespace ts = testing_support;

namespace {

struct real_log {
    const char* name;
    log_type type;
    int lines;
    int good;
};

constexpr real_log real_logs[] = {
    {"apache/antlr-org-2003.log", log_clf, 6211, 6211},
    {"apache/ccsite-2001-03.log", log_clf, 1437, 1437},
    {"apache/ccsite-2001-04.log", log_clf, 35, 35},
    {"apache/elastic-examples-2015-05.log", log_clf, 10000, 10000},
    {"apache/lnav-bad-request-400.log", log_clf, 1, 1},
    {"apache/lnav-gpxe-2009.log", log_clf, 3, 3},
    {"apache/lnav-zanbil-shop.log", log_clf, 1000, 1000},
    {"apache/lovecoding-2020-12-ipv6.log", log_clf, 2129, 2128},
    {"apache/lovecoding-vhost-combined-2020-11.log", log_clf, 1582, 1582},
    {"apache/ncl2016-honeypot-2015.log", log_clf, 99, 99},
    {"apache/plaso-mixed-fixture-userfield.log", log_clf, 15, 15},
    {"apache/rsaxvc-2021-12-yearend.log", log_clf, 2278, 2278},
    {"apache/rsaxvc-ssl-common-2022-01.log", log_clf, 9858, 9858},
    {"xferlog/baoleiji-2013-nonstd.xferlog", log_ftp, 10, 10},
    {"xferlog/ccsite-2001.xferlog", log_ftp, 9, 9},
    {"xferlog/webtct-2016-0207.xferlog", log_ftp, 187, 187},
    {"xferlog/webtct-2016-0221.xferlog", log_ftp, 128, 128},
    {"xferlog/webtct-2016.xferlog", log_ftp, 643, 643},
    {"squid/ja4proj-squid6-2025.log", log_squid, 222, 222},
    {"squid/linuc2-2018.log", log_squid, 122, 122},
    {"squid/ncl2017-secrepo-2010.log", log_squid, 113, 113},
    {"w3c/knowit-iis85-ftpsvc-u_ex160206.log", log_w3c, 131, 123},
    {"w3c/knowit-iis85-site2-u_ex160214.log", log_w3c, 358, 354},
    {"w3c/knowit-iis85-u_ex160106.log", log_w3c, 1341, 1257},
    {"w3c/lnav-iis85-big.log", log_w3c, 254, 210},
    {"w3c/plaso-iis10-exchange-sanitized.log", log_w3c, 19, 9},
    {"w3c/waikolai-iis70-u_ex091107.log", log_w3c, 412, 352},
    {"w3c/waikolai-iis70-u_ex091231.log", log_w3c, 67, 35},
    {"w3c/waikolai-iis70-u_ex100101.log", log_w3c, 120, 68},
};

TEST(RealLogs, EveryLineReadAndTheRightOnesGood) {
    SKIP_WITHOUT_REAL_DATA();
    reset_settings();
    settings.Verbosity = 0;
    char line[log_line_size];
    for (const real_log& r : real_logs) {
        SCOPED_TRACE(r.name);
        settings.LogType = r.type;
        reset_w3c_columns();
        ASSERT_EQ(open_log(ts::real_data(r.name).c_str()), log_ok);
        int lines = 0;
        int good = 0;
        int code;
        while ((code = read_log_line(line)) != log_end) {
            ++lines;
            ASSERT_EQ(code, log_ok) << "no line of these logs is oversized";
            good += parse_record(line) == record_good;
            ASSERT_EQ(std::strchr(log_rec.request, '\n'), nullptr);
        }
        close_log();
        EXPECT_EQ(lines, r.lines);
        EXPECT_EQ(good, r.good);
    }
}

}  // namespace
