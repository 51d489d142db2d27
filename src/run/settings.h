// Settings: every user-chosen behaviour of a run, in one process-wide record.
//
// Each field is named exactly after the configuration keyword that sets it and
// carries its compiled-in default. The record is written during start-up only
// (defaults, one default configuration file, then the command line in order,
// then the driver completes and clamps a few values) and read everywhere after.
// Text settings point at owned heap copies (or at the literal defaults below);
// nullptr means unset. Lists and group lists are the pattern lists of
// stats/lists.h, empty (nullptr) by default. Colours are "#rrggbb" in 8 bytes.
#pragma once

#include "lang/lang.h"
#include "stats/lists.h"

enum log_type : int { log_clf = 0, log_ftp = 1, log_squid = 2, log_w3c = 3 };

// Whole cache lines: both threads of the main pass read the settings for
// every record, and a counter that shared a line with them would cost the
// reading thread that line each time it was written.
struct alignas(64) settings_rec {
    // No keyword of its own: 0 really quiet, 1 quiet, 2 normal. Quiet,
    // ReallyQuiet, -q, -Q and -v set it.
    int Verbosity = 2;
    // clf, ftp, squid or w3c, by the first letter of the LogType value or -F.
    log_type LogType = log_clf;

    const char* OutputDir = nullptr;
    const char* LogFile = nullptr;
    const char* ReportTitle = rpt_default_title;
    const char* HostName = nullptr;
    bool IgnoreHist = false;
    bool TimeMe = false;
    bool Debug = false;
    bool HourlyGraph = true;
    bool HourlyStats = true;
    int TopSites = 30;
    int TopURLs = 30;
    int TopReferrers = 30;
    int TopAgents = 15;
    int TopCountries = 30;
    nlist* HideSite = nullptr;
    nlist* HideURL = nullptr;
    nlist* HideReferrer = nullptr;
    nlist* HideAgent = nullptr;
    nlist* IndexAlias = nullptr;
    nlist* HTMLHead = nullptr;
    nlist* HTMLPost = nullptr;
    nlist* HTMLTail = nullptr;
    int MangleAgents = 0;
    nlist* IgnoreSite = nullptr;
    nlist* IgnoreURL = nullptr;
    nlist* IgnoreReferrer = nullptr;
    nlist* IgnoreAgent = nullptr;
    bool GMTTime = false;
    glist* GroupURL = nullptr;
    glist* GroupSite = nullptr;
    glist* GroupReferrer = nullptr;
    glist* GroupAgent = nullptr;
    bool GroupShading = true;
    bool GroupHighlight = true;
    bool Incremental = false;
    const char* IncrementalName = "corvalist.current";
    const char* HistoryName = "corvalist.hist";
    const char* HTMLExtension = "html";
    nlist* HTMLPre = nullptr;
    nlist* HTMLBody = nullptr;
    nlist* HTMLEnd = nullptr;
    bool UseHTTPS = false;
    nlist* IncludeSite = nullptr;
    nlist* IncludeURL = nullptr;
    nlist* IncludeReferrer = nullptr;
    nlist* IncludeAgent = nullptr;
    nlist* PageType = nullptr;
    int VisitTimeout = 1800;
    bool GraphLegend = true;
    int GraphLines = 2;
    bool FoldSeqErr = false;
    bool CountryGraph = true;
    int TopKSites = 10;
    int TopKURLs = 10;
    int TopEntry = 10;
    int TopExit = 10;
    int TopSearch = 20;
    glist* SearchEngine = nullptr;
    int GroupDomains = 0;
    bool HideAllSites = false;
    bool AllSites = false;
    bool AllURLs = false;
    bool AllReferrers = false;
    bool AllAgents = false;
    bool AllSearchStr = false;
    bool AllUsers = false;
    int TopUsers = 20;
    nlist* HideUser = nullptr;
    nlist* IgnoreUser = nullptr;
    nlist* IncludeUser = nullptr;
    glist* GroupUser = nullptr;
    const char* DumpPath = nullptr;
    const char* DumpExtension = "tab";
    bool DumpHeader = false;
    bool DumpSites = false;
    bool DumpURLs = false;
    bool DumpReferrers = false;
    bool DumpAgents = false;
    bool DumpUsers = false;
    bool DumpSearchStr = false;
    const char* DNSCache = nullptr;
    int DNSChildren = 0;
    bool DailyGraph = true;
    bool DailyStats = true;
    bool LinkReferrer = false;
    nlist* PagePrefix = nullptr;
    char ColorHit[8] = "#00805c";
    char ColorFile[8] = "#0040ff";
    char ColorSite[8] = "#ff8000";
    char ColorKbyte[8] = "#ff0000";
    char ColorPage[8] = "#00e0ff";
    char ColorVisit[8] = "#ffff00";
    char ColorMisc[8] = "#00e0ff";
    char PieColor1[8] = "#800080";
    char PieColor2[8] = "#80ffc0";
    char PieColor3[8] = "#ff00ff";
    char PieColor4[8] = "#ffc080";
    bool CacheIPs = false;
    int CacheTTL = 7;
    bool GeoDB = false;
    const char* GeoDBDatabase = nullptr;
    bool StripCGI = true;
    int TrimSquidURL = 0;
    nlist* OmitPage = nullptr;
    bool HTAccess = false;
    bool IgnoreState = false;
    bool DefaultIndex = true;
    bool NormalizeURL = true;
    int IndexMonths = 12;
    int GraphMonths = 12;
    bool YearHeaders = true;
    bool YearTotals = true;
    bool CountryFlags = false;
    const char* FlagDir = "flags";
    bool SearchCaseI = true;
};

static_assert(sizeof(settings_rec::ColorHit) == 8, "colours are 7 characters and a zero");

extern settings_rec settings;

// Restores every field to its compiled-in default (tests use it between cases).
// Frees the lists and the text copies made by the configuration reader.
void reset_settings();
