#include "tessera_plus/sim/holidays.h"

#include <array>
#include <span>

namespace tessera_plus::tallow::sim {
namespace {

using namespace std::chrono;

constexpr int kFirstYear = 2005;
constexpr int kTabulatedLast = 2030;

// Gregorian (month * 100 + day) of the lunar festivals, 2005-2030: Spring Festival (1/1),
// Dragon Boat (5/5), Mid-Autumn (8/15). Later years repeat the Metonic cycle (19 years).
struct Lunar {
  int spring_festival, dragon_boat, mid_autumn;
};
constexpr std::array<Lunar, kTabulatedLast - kFirstYear + 1> kLunar = {{
    {209, 611, 918},  {129, 531, 1006}, {218, 619, 925},  {207, 608, 914},  {126, 528, 1003},
    {214, 616, 922},  {203, 606, 912},  {123, 623, 930},  {210, 612, 919},  {131, 602, 908},
    {219, 620, 927},  {208, 609, 915},  {128, 530, 1004}, {216, 618, 924},  {205, 607, 913},
    {125, 625, 1001}, {212, 614, 921},  {201, 603, 910},  {122, 622, 929},  {210, 610, 917},
    {129, 531, 1006}, {217, 619, 925},  {206, 609, 915},  {126, 528, 1003}, {213, 616, 922},
    {203, 605, 912},
}};

// Hong Kong's further lunar holidays, 2005-2026: Buddha's Birthday (4/8), Chung Yeung (9/9).
constexpr std::array<std::array<int, 2>, 22> kHongKongLunar = {{
    {516, 1011}, {505, 1030}, {524, 1019}, {512, 1007}, {502, 1026}, {521, 1016},
    {510, 1005}, {428, 1023}, {517, 1013}, {506, 1002}, {525, 1021}, {514, 1009},
    {503, 1028}, {522, 1017}, {512, 1007}, {430, 1025}, {519, 1014}, {508, 1004},
    {526, 1023}, {515, 1011}, {505, 1029}, {524, 1018},
}};

const Lunar& lunar(int year) {
  while (year > kTabulatedLast) year -= 19;
  return kLunar[static_cast<std::size_t>(year - kFirstYear)];
}

// The published mainland closures, 2005-2026, from the Shanghai and Shenzhen exchanges' annual
// holiday notices (休市安排), as (first, last) month-day pairs; weekends inside a range are
// closed anyway. Make-up working weekends are not trading days: the exchanges never open on a
// Saturday or Sunday.
struct Closure {
  int from, to;
};
constexpr Closure k2005[] = {{103, 103}, {207, 215}, {502, 506}, {1003, 1007}};
constexpr Closure k2006[] = {{102, 103}, {126, 203}, {501, 505}, {1002, 1006}};
constexpr Closure k2007[] = {{101, 103}, {219, 223}, {501, 507}, {1001, 1005}, {1231, 1231}};
constexpr Closure k2008[] = {{101, 101}, {206, 212}, {404, 404}, {501, 502},
                             {609, 609}, {915, 915}, {929, 1003}};
constexpr Closure k2009[] = {{101, 102}, {126, 130}, {406, 406},
                             {501, 501}, {528, 529}, {1001, 1008}};
constexpr Closure k2010[] = {{101, 101}, {215, 219}, {405, 405},  {503, 503},
                             {614, 616}, {922, 924}, {1001, 1007}};
constexpr Closure k2011[] = {{103, 103}, {202, 208}, {404, 405},  {502, 502},
                             {606, 606}, {912, 912}, {1003, 1007}};
constexpr Closure k2012[] = {{102, 103}, {123, 127}, {402, 404},
                             {430, 501}, {622, 622}, {1001, 1005}};
constexpr Closure k2013[] = {{101, 103}, {211, 215}, {404, 405},  {429, 501},
                             {610, 612}, {919, 920}, {1001, 1007}};
constexpr Closure k2014[] = {{101, 101}, {131, 206}, {407, 407},  {501, 503},
                             {602, 602}, {908, 908}, {1001, 1007}};
constexpr Closure k2015[] = {{101, 102}, {218, 224}, {406, 406},  {501, 501},
                             {622, 622}, {903, 904}, {1001, 1007}};
constexpr Closure k2016[] = {{101, 101}, {208, 212}, {404, 404},  {502, 502},
                             {609, 610}, {915, 916}, {1003, 1007}};
constexpr Closure k2017[] = {{102, 102}, {127, 202}, {403, 404},
                             {501, 501}, {529, 530}, {1002, 1006}};
constexpr Closure k2018[] = {{101, 101}, {215, 221}, {405, 406},   {430, 501},
                             {618, 618}, {924, 924}, {1001, 1005}, {1231, 1231}};
constexpr Closure k2019[] = {{101, 101}, {204, 208}, {405, 405},  {501, 503},
                             {607, 607}, {913, 913}, {1001, 1007}};
constexpr Closure k2020[] = {{101, 101}, {124, 131}, {406, 406},
                             {501, 505}, {625, 626}, {1001, 1008}};
constexpr Closure k2021[] = {{101, 101}, {211, 217}, {405, 405},  {503, 505},
                             {614, 614}, {920, 921}, {1001, 1007}};
constexpr Closure k2022[] = {{103, 103}, {131, 204}, {404, 405},  {502, 504},
                             {603, 603}, {912, 912}, {1003, 1007}};
constexpr Closure k2023[] = {{102, 102}, {123, 127}, {405, 405},
                             {501, 503}, {622, 623}, {929, 1006}};
constexpr Closure k2024[] = {{101, 101}, {209, 216}, {404, 405},  {501, 503},
                             {610, 610}, {916, 917}, {1001, 1007}};
constexpr Closure k2025[] = {{101, 101}, {128, 204}, {404, 404},
                             {501, 505}, {602, 602}, {1001, 1008}};
constexpr Closure k2026[] = {{101, 102}, {216, 223}, {406, 406},  {501, 505},
                             {619, 619}, {925, 925}, {1001, 1007}};
constexpr std::array<std::span<const Closure>, kPublishedClosuresLastYear - kFirstYear + 1>
    kPublished = {k2005, k2006, k2007, k2008, k2009, k2010, k2011, k2012, k2013, k2014, k2015,
                  k2016, k2017, k2018, k2019, k2020, k2021, k2022, k2023, k2024, k2025, k2026};

// Days HKEX closed outright for typhoon signal 8, black rainstorms or one-off holidays, from its
// market announcements.
constexpr int kHongKongAdHoc[] = {20080806, 20080822, 20110929, 20130814, 20150903, 20160802,
                                  20161021, 20170823, 20201013, 20211013, 20230717, 20240906};

int month_day(sys_days d) {
  year_month_day ymd(d);
  return int(unsigned(ymd.month())) * 100 + int(unsigned(ymd.day()));
}

sys_days at(int year, int md) {
  return sys_days(
      year_month_day{std::chrono::year(year), month(unsigned(md / 100)), day(unsigned(md % 100))});
}

bool is(sys_days d, weekday wd) { return weekday(d) == wd; }

// The exchanges' usual pattern, for years after the published table: the Spring Festival from
// its eve through the sixth day; Qingming, Dragon Boat and Mid-Autumn as one day, a weekend one
// moved to Monday and a Tuesday or Thursday one bridged to the weekend; 1-5 May; 1-7 October.
bool usual_pattern_closed(sys_days d, int y) {
  const Lunar& l = lunar(y);
  auto one_day = [&](sys_days h) {
    if (d == h) return true;
    if (is(h, Saturday)) return d == h + days(2);
    if (is(h, Sunday)) return d == h + days(1);
    if (is(h, Tuesday)) return d == h - days(1);
    if (is(h, Thursday)) return d == h + days(1);
    return false;
  };
  const int md = month_day(d);
  if (one_day(at(y, 101))) return true;
  if (d >= at(y, l.spring_festival) - days(1) && d <= at(y, l.spring_festival) + days(6)) {
    return true;
  }
  if ((md >= 501 && md <= 505) || (md >= 1001 && md <= 1007)) return true;
  return one_day(at(y, y % 4 <= 1 ? 404 : 405)) || one_day(at(y, l.dragon_boat)) ||
         one_day(at(y, l.mid_autumn));
}

sys_days easter_sunday(int y) {
  // The anonymous Gregorian computus.
  int a = y % 19, b = y / 100, c = y % 100, d = b / 4, e = b % 4, f = (b + 8) / 25;
  int g = (b - f + 1) / 3, h = (19 * a + b - d - g + 15) % 30, i = c / 4, k = c % 4;
  int l = (32 + 2 * e + 2 * i - h - k) % 7, m = (a + 11 * h + 22 * l) / 451;
  int month = (h + l - 7 * m + 114) / 31, day = (h + l - 7 * m + 114) % 31 + 1;
  return at(y, month * 100 + day);
}

sys_days sunday_to_monday(sys_days d) { return is(d, Sunday) ? d + days(1) : d; }

bool hong_kong_holiday(sys_days d, int y) {
  const Lunar& l = lunar(y);
  const sys_days easter = easter_sunday(y);
  if (d == easter - days(2) || d == easter + days(1)) return true;
  if (d == sunday_to_monday(at(y, 101))) return true;
  // Lunar New Year: three days; since 2013 a Sunday among them gives the fourth day too.
  const sys_days lny = at(y, l.spring_festival);
  if (d >= lny && d <= lny + days(2)) return true;
  bool sunday_in = is(lny, Sunday) || is(lny + days(1), Sunday) || is(lny + days(2), Sunday);
  if (d == lny + days(3) && (y >= 2013 ? sunday_in : is(lny, Sunday))) return true;
  if (y < 2013 && is(lny, Saturday) && d == lny - days(1)) return true;
  // Ching Ming, moved off a Sunday and off the Easter holidays.
  sys_days ching_ming = sunday_to_monday(at(y, y < 2008 || y % 4 > 1 ? 405 : 404));
  while (ching_ming == easter + days(1) || ching_ming == easter - days(2)) ching_ming += days(1);
  if (d == ching_ming) return true;
  for (int md : {501, 701}) {
    if (d == sunday_to_monday(at(y, md))) return true;
  }
  sys_days national = sunday_to_monday(at(y, 1001));
  if (d == national || d == sunday_to_monday(at(y, l.dragon_boat))) return true;
  sys_days after_mid_autumn = sunday_to_monday(at(y, l.mid_autumn) + days(1));
  if (after_mid_autumn == national) after_mid_autumn += days(1);
  if (d == after_mid_autumn) return true;
  if (y - kFirstYear < int(kHongKongLunar.size())) {
    const auto& hk = kHongKongLunar[std::size_t(y - kFirstYear)];
    if (d == sunday_to_monday(at(y, hk[0])) || d == sunday_to_monday(at(y, hk[1]))) return true;
  }
  // Christmas Day and the first weekday after it (Saturday counts, Sunday does not).
  const sys_days christmas = at(y, 1225);
  sys_days first = christmas, second = christmas + days(1);
  if (is(christmas, Saturday)) second = christmas + days(2);  // 26th falls on Sunday: Monday
  if (is(christmas, Sunday)) {
    first = christmas + days(1);
    second = christmas + days(2);
  }
  return d == first || d == second;
}

}  // namespace

bool mainland_closed(sys_days d) {
  const int y = int(year_month_day(d).year());
  if (y < kFirstYear) return false;
  if (y > kPublishedClosuresLastYear) return usual_pattern_closed(d, y);
  const int md = month_day(d);
  for (const Closure& c : kPublished[std::size_t(y - kFirstYear)]) {
    if (md >= c.from && md <= c.to) return true;
  }
  return false;
}

bool hong_kong_closed(sys_days d) {
  const int y = int(year_month_day(d).year());
  const int number = y * 10000 + month_day(d);
  for (int ad_hoc : kHongKongAdHoc) {
    if (number == ad_hoc) return true;
  }
  return hong_kong_holiday(d, y);
}

bool hong_kong_half_day(sys_days d) {
  const int y = int(year_month_day(d).year());
  const int md = month_day(d);
  if (md == 1224 || md == 1231) return true;
  return d == at(y, lunar(y).spring_festival) - days(1);
}

}  // namespace tessera_plus::tallow::sim
