// Benchmark log generator: writes a deterministic combined-format access log.
//
//   genlog LINES URL_POOL SEED OUTPUT
//
// The same arguments always give the same bytes. The log runs forward in time
// from 2013-01-01 over about four months (with rare small steps back inside
// the hour, as several server processes writing one log produce), from many
// client addresses and host names, with a hot set of popular pages plus a long
// uniform tail over URL_POOL distinct URLs, referrers from the site itself,
// from other sites and from search engines with query words, a spread of
// browser and robot agents, and statuses 200, 304, 404, 206, 301, 302, 500.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

uint64_t rng_state;

// splitmix64: small, fast and the same on every platform.
uint64_t next_random() {
    uint64_t z = (rng_state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

uint64_t below(uint64_t n) { return n == 0 ? 0 : next_random() % n; }

// Skewed pick in [0, n): small values far more often than large ones.
uint64_t skewed(uint64_t n) {
    const uint64_t a = below(n), b = below(n), c = below(n);
    uint64_t m = a < b ? a : b;
    return m < c ? m : c;
}

const char* const sections[] = {"news", "docs", "blog", "shop", "forum", "wiki", "images",
                                "download", "about", "help", "archive", "events"};
const char* const page_kinds[] = {".html", ".html", ".html", ".htm", ".php", "/", ".png",
                                  ".jpg", ".gif", ".css", ".js", ".pdf", ".zip"};
const char* const words[] = {"weather", "kyiv", "linux", "server", "log", "analysis", "cheap",
                             "flights", "recipe", "borscht", "football", "news", "python",
                             "download", "manual", "apache", "nginx", "install", "error",
                             "music", "lviv", "odesa", "train", "hotel", "map", "photo",
                             "history", "tutorial", "free", "book"};
const char* const other_sites[] = {"http://forum.example.org/", "http://www.example.net/links.html",
                                   "https://news.example.com/today", "http://blog.example.ua/post/",
                                   "http://webring.example.info/next", "https://t.example.co/",
                                   "http://planet.example.org/", "http://aggregator.example.com/r?id="};
struct engine {
    const char* prefix;  // up to the query variable
};
const engine engines[] = {
    {"http://www.google.com/search?hl=uk&q="},
    {"https://www.google.com.ua/search?client=firefox&q="},
    {"http://www.bing.com/search?q="},
    {"http://search.yahoo.com/search?p="},
    {"http://yandex.ru/yandsearch?text="},
    {"https://duckduckgo.com/?q="},
    {"http://www.baidu.com/s?wd="},
    {"http://search.aol.com/aol/search?query="},
};
const char* const browsers[] = {
    "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/%d.0.%d.%d Safari/537.36",
    "Mozilla/5.0 (X11; Linux x86_64; rv:%d.0) Gecko/20100101 Firefox/%d.%d",
    "Mozilla/5.0 (compatible; MSIE %d.0; Windows NT 6.%d; Trident/%d.0)",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_%d_%d) AppleWebKit/536.30 (KHTML, like Gecko) Version/6.0 Safari/536.30",
    "Opera/9.80 (Windows NT 6.1; U; uk) Presto/2.%d.%d Version/12.%d",
    "Mozilla/5.0 (iPhone; CPU iPhone OS %d_%d like Mac OS X) AppleWebKit/536.26 (KHTML, like Gecko) Mobile/10B%d",
    "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html) v%d.%d.%d",
    "Mozilla/5.0 (compatible; bingbot/2.0; +http://www.bing.com/bingbot.htm) r%d.%d.%d",
    "Wget/1.%d.%d (linux-gnu) %d",
    "curl/7.%d.%d libcurl %d",
};
const char* const month_abbr[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr int agent_pool = 400;
char agents[agent_pool][200];

void make_agents() {
    for (int i = 0; i < agent_pool; ++i) {
        const char* form = browsers[skewed(sizeof browsers / sizeof browsers[0])];
        std::snprintf(agents[i], sizeof agents[i], form, 10 + static_cast<int>(below(20)),
                      static_cast<int>(below(10)), static_cast<int>(below(2000)));
    }
}

// Civil date of a day count since 1970-01-01 (days-from-civil inverted).
void civil_from_days(int64_t z, int* y, int* m, int* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = static_cast<int>(yy + (*m <= 2));
}

void write_url(char* out, std::size_t size, uint64_t id) {
    const char* section = sections[id % (sizeof sections / sizeof sections[0])];
    const char* kind = page_kinds[(id / 7) % (sizeof page_kinds / sizeof page_kinds[0])];
    if (id == 0)
        std::snprintf(out, size, "/");
    else if (kind[0] == '/')
        std::snprintf(out, size, "/%s/topic%llu/", section, static_cast<unsigned long long>(id));
    else
        std::snprintf(out, size, "/%s/%llu/item%llu%s", section,
                      static_cast<unsigned long long>(id % 97),
                      static_cast<unsigned long long>(id), kind);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s LINES URL_POOL SEED OUTPUT\n", argv[0]);
        return 2;
    }
    const uint64_t lines = std::strtoull(argv[1], nullptr, 10);
    const uint64_t url_pool = std::strtoull(argv[2], nullptr, 10);
    rng_state = std::strtoull(argv[3], nullptr, 10);
    FILE* out = std::fopen(argv[4], "w");
    if (out == nullptr || url_pool == 0) {
        std::perror(argv[4]);
        return 1;
    }
    static char buffer[1 << 20];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    make_agents();

    const uint64_t host_pool = lines / 15 + 100;
    const uint64_t hot_urls = url_pool / 50 + 10;
    // About four months (120 days) whatever the line count.
    const double step = 120.0 * 86400.0 / static_cast<double>(lines);
    const int64_t start = 15706LL * 86400;  // 2013-01-01 00:00:00
    double clock = 0;
    char url[160], ref[400], agent_buf[220];

    for (uint64_t n = 0; n < lines; ++n) {
        clock += step * (0.5 + static_cast<double>(below(1000)) / 1000.0);
        int64_t t = start + static_cast<int64_t>(clock);
        if (below(200) == 0) t -= static_cast<int64_t>(below(600));  // a late writer
        const int64_t days = t / 86400;
        const int sec_of_day = static_cast<int>(t % 86400);
        int y, mo, d;
        civil_from_days(days, &y, &mo, &d);

        // Client: a numeric address or a host name.
        const uint64_t h = skewed(host_pool);
        char host[64];
        if (h % 3 == 0)
            std::snprintf(host, sizeof host, "host-%llu.isp%llu.example.%s",
                          static_cast<unsigned long long>(h),
                          static_cast<unsigned long long>(h % 40),
                          (h & 1) ? "net" : "com.ua");
        else
            std::snprintf(host, sizeof host, "%llu.%llu.%llu.%llu",
                          static_cast<unsigned long long>(10 + h % 200),
                          static_cast<unsigned long long>((h >> 3) % 256),
                          static_cast<unsigned long long>((h >> 11) % 256),
                          static_cast<unsigned long long>(1 + (h * 7) % 254));

        const uint64_t id = below(10) < 6 ? skewed(hot_urls) : below(url_pool);
        write_url(url, sizeof url, id);
        const bool query = below(20) == 0;

        int status = 200;
        const uint64_t s = below(1000);
        if (s < 80) status = 304;
        else if (s < 130) status = 404;
        else if (s < 150) status = 206;
        else if (s < 165) status = 301;
        else if (s < 175) status = 302;
        else if (s < 178) status = 500;
        const uint64_t bytes = status == 304 ? 0 : 200 + below(60000);

        const uint64_t r = below(100);
        if (r < 40) {
            std::snprintf(ref, sizeof ref, "-");
        } else if (r < 70) {
            char from[160];
            write_url(from, sizeof from, skewed(hot_urls));
            std::snprintf(ref, sizeof ref, "http://www.example.com%s", from);
        } else if (r < 84) {
            std::snprintf(ref, sizeof ref, "%s%llu", other_sites[below(8)],
                          static_cast<unsigned long long>(below(5000)));
        } else {
            const int nwords = 1 + static_cast<int>(below(3));
            int used = std::snprintf(ref, sizeof ref, "%s", engines[skewed(8)].prefix);
            for (int w = 0; w < nwords && used < 300; ++w)
                used += std::snprintf(ref + used, sizeof ref - used, "%s%s", w ? "+" : "",
                                      words[skewed(sizeof words / sizeof words[0])]);
            std::snprintf(ref + used, sizeof ref - used, "&start=%llu",
                          static_cast<unsigned long long>(below(3) * 10));
        }
        std::snprintf(agent_buf, sizeof agent_buf, "%s", agents[skewed(agent_pool)]);

        char when[40];
        std::snprintf(when, sizeof when, "%02d/%s/%04d:%02d:%02d:%02d +0000", d, month_abbr[mo - 1],
                      y, sec_of_day / 3600, sec_of_day / 60 % 60, sec_of_day % 60);
        const char* user = below(50) == 0 ? "alice" : "-";
        if (status == 304)
            std::fprintf(out, "%s - %s [%s] \"GET %s%s HTTP/1.1\" %d - \"%s\" \"%s\"\n", host, user,
                         when, url, query ? "?session=42&page=2" : "", status, ref, agent_buf);
        else
            std::fprintf(out, "%s - %s [%s] \"GET %s%s HTTP/1.1\" %d %llu \"%s\" \"%s\"\n", host,
                         user, when, url, query ? "?session=42&page=2" : "", status,
                         static_cast<unsigned long long>(bytes), ref, agent_buf);
    }
    if (std::fclose(out) != 0) {
        std::perror(argv[4]);
        return 1;
    }
    return 0;
}
