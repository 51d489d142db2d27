// Countries section of the monthly page: places every site of the month in a
// row of the country table (by its top-level domain, or through the GeoDB for
// numeric addresses), ranks the rows by hits into the top-country slots,
// draws the pie chart and writes the table into report_page.
//
// Owns the top-country slots. Needs the month's site_table, month_totals,
// the country table of the catalogue, the GeoDB lookup and the page helpers.
// The country counters are written only here (and cleared by reset_month).
#pragma once

#include <cstdint>

struct country_entry;

// top_country_slots[k] -> ranked row k, e.g. [0] -> "Україна (ua)" row with
// count 812; nullptr while empty. settings.TopCountries entries.
extern country_entry** top_country_slots;
// Rows with a non-zero hit count after the last accumulation.
extern uint64_t country_count;

enum countries_code : int { countries_ok = 0, countries_nomem = 1 };

// Reserves settings.TopCountries empty slots (driver, at start-up, once
// TopCountries is clamped). Returns countries_ok (also for 0 slots) or
// countries_nomem; the caller then prints its message and sets TopCountries 0.
int allocate_top_country_slots();
// Empties every slot (reset_month, at each new month).
void clear_top_country_slots();
// Frees the slots (end of run; tests).
void free_top_country_slots();

// Country row of a site name by the host rule (GeoDB when settings.GeoDB is
// on); row 0 for unknown. Never nullptr.
country_entry* country_of_site(const char* name);

// Writes the countries section into report_page (open monthly page). Needs
// settings.TopCountries > 0 and the slots reserved; does nothing otherwise.
// Draws "ctry_usage_YYYYMM.png" when CountryGraph is on.
void write_top_countries();
