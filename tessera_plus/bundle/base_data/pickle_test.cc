// The instrument list's pickle format: what we write Python reads, what Python writes at
// protocols 2 to 5 we read, and nothing but plain data gets through.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/base_data/instrument_list.h"
#include "tessera_plus/bundle/base_data/pickle.h"
#include "tests/support/temp_dir.h"

// GCC 12 reports a false "may be used uninitialized" on moving std::variant values that hold a
// std::string (GCC bug 105562), as in pickle.cc.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace tessera_plus {
namespace {

using bundle::PickleDict;
using bundle::PickleList;
using bundle::PickleValue;
using testing::read_file;
using testing::run_python;
using testing::TempDir;

PickleValue record(const std::string& id, std::int64_t n, double x) {
  auto d = std::make_shared<PickleDict>();
  d->emplace_back("order_book_id", PickleValue{id});
  d->emplace_back("exchange", PickleValue{std::string("XSHE")});
  d->emplace_back("round_lot", PickleValue{n});
  d->emplace_back("price", PickleValue{x});
  d->emplace_back("listed", PickleValue{true});
  d->emplace_back("note", PickleValue{});
  return PickleValue{d};
}

TEST(Pickle, PythonLoadsWhatWeWrite) {
  TempDir dir;
  auto list = std::make_shared<PickleList>();
  list->push_back(record("000001.XSHE", 100, 10.25));
  list->push_back(record("平安银行", -70000, -0.5));
  list->push_back(record("big", 5000000000LL, 1e300));
  list->push_back(record("small", -3000000000LL, 0));
  std::ofstream(dir / "x.pk", std::ios::binary) << bundle::pickle_dumps(PickleValue{list});
  std::string out;
  ASSERT_EQ(run_python(R"(
import sys, pickle
rows = pickle.load(open(sys.argv[1], 'rb'))
for r in rows:
    print(r['order_book_id'], r['exchange'], r['round_lot'], repr(r['price']), r['listed'], r['note'])
)",
                       dir / "x.pk", &out),
            0)
      << out;
  EXPECT_EQ(out,
            "000001.XSHE XSHE 100 10.25 True None\n"
            "平安银行 XSHE -70000 -0.5 True None\n"
            "big XSHE 5000000000 1e+300 True None\n"
            "small XSHE -3000000000 0.0 True None\n");
}

TEST(Pickle, ReadsWhatPythonWritesAtProtocolsTwoToFive) {
  TempDir dir;
  ASSERT_EQ(run_python(R"(
import sys, pickle
shared = {'nested': [1, 2.5, None]}
rows = [{'order_book_id': '000001.XSHE', 'exchange': 'XSHE', 'n': 2**40, 'neg': -129,
         'ok': False, 't': (1, 'a'), 'shared': shared},
        {'order_book_id': '430047.BJSE', 'exchange': 'BJSE', 'n': 0, 'neg': -1,
         'ok': True, 't': (), 'shared': shared}] * 3
for p in (2, 3, 4, 5):
    with open('%s/p%d.pk' % (sys.argv[1], p), 'wb') as f:
        pickle.dump(rows, f, protocol=p)
)",
                       dir.path().string()),
            0);
  for (int p = 2; p <= 5; ++p) {
    SCOPED_TRACE(p);
    PickleValue v = bundle::pickle_loads(read_file(dir / ("p" + std::to_string(p) + ".pk")));
    ASSERT_NE(v.list(), nullptr);
    ASSERT_EQ(v.list()->size(), 6u);
    const PickleValue& last = v.list()->back();
    EXPECT_EQ(*last.get("exchange")->text(), "BJSE");
    EXPECT_EQ(std::get<std::int64_t>(v.list()->front().get("n")->value), std::int64_t{1} << 40);
    EXPECT_EQ(std::get<std::int64_t>(v.list()->front().get("neg")->value), -129);
    EXPECT_FALSE(std::get<bool>(v.list()->front().get("ok")->value));
    const PickleList* nested = last.get("shared")->get("nested")->list();
    ASSERT_NE(nested, nullptr);
    EXPECT_EQ(std::get<double>((*nested)[1].value), 2.5);
    EXPECT_TRUE((*nested)[2].is_none());
  }
}

// LONG1 and LONG4 hold little-endian two's-complement integers of any byte count; Python writes
// the fewest bytes that keep the sign, so the top bit of the last byte is the sign at every width.
TEST(Pickle, WideIntegersKeepTheirSignAtEveryWidth) {
  auto long1 = [](const std::string& bytes) {
    return std::string("\x80\x02\x8a", 3) + char(bytes.size()) + bytes + ".";
  };
  auto long4 = [](const std::string& bytes) {
    const auto n = static_cast<std::uint32_t>(bytes.size());
    std::string count = {char(n), char(n >> 8), char(n >> 16), char(n >> 24)};
    return std::string("\x80\x02\x8b", 3) + count + bytes + ".";
  };
  auto value = [](const std::string& pickle) {
    return std::get<std::int64_t>(bundle::pickle_loads(pickle).value);
  };
  const std::pair<std::string, std::int64_t> cases[] = {
      {std::string(), 0},
      {std::string("\x7f", 1), 127},
      {std::string("\x80", 1), -128},
      {std::string("\xff", 1), -1},
      {std::string("\x80\x00", 2), 128},
      {std::string("\x00\x80", 2), -32768},
      {std::string("\xff\x7f\xff", 3), -32769},
      {std::string("\x00\x00\x00\x00\x00\x00\x00\x80", 8), INT64_MIN},
      {std::string("\xff\xff\xff\xff\xff\xff\xff\x7f", 8), INT64_MAX},
      {std::string("\xfe\xff\xff\xff\xff\xff\xff\xff", 8), -2},
      {std::string("\x00\x00\x00\x00\x00\x00\x80", 7), -(std::int64_t{1} << 55)},
  };
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    EXPECT_EQ(value(long1(bytes)), expected);
    EXPECT_EQ(value(long4(bytes)), expected);
  }
  // Beyond 64 bits even when the value would fit (Python never writes such padding).
  EXPECT_THROW(value(long1(std::string(9, '\0'))), ValueError);
  EXPECT_THROW(value(long4(std::string("\xff\xff\xff\xff\xff\xff\xff\xff\xff", 9))), ValueError);

  // What Python writes for the boundaries, through pickle.dumps itself.
  TempDir dir;
  ASSERT_EQ(run_python(R"(
import sys, pickle
values = [-2**63, -2**31 - 1, -2**31, -2**15 - 1, -256, -129, -128, -1, 255, 2**31, 2**63 - 1]
pickle.dump(values, open(sys.argv[1], 'wb'), protocol=2)
)",
                       dir / "ints.pk"),
            0);
  const PickleValue ints = bundle::pickle_loads(read_file(dir / "ints.pk"));
  ASSERT_NE(ints.list(), nullptr);
  std::vector<std::int64_t> got;
  for (const PickleValue& v : *ints.list()) got.push_back(std::get<std::int64_t>(v.value));
  EXPECT_EQ(got, (std::vector<std::int64_t>{INT64_MIN, -2147483649LL, -2147483648LL, -32769, -256,
                                            -129, -128, -1, 255, 2147483648LL, INT64_MAX}));
}

// The instrument list as the host's base updater leaves it: plain dicts under the service's field
// names, each read into its own member.
TEST(Pickle, InstrumentListReadsEveryFieldByTheHostsNames) {
  TempDir dir;
  const std::string path = dir / "instruments.pk";
  ASSERT_EQ(run_python(R"(
import sys, pickle
row = {'order_book_id': '000001.XSHE', 'symbol': '平安银行', 'type': 'CS', 'exchange': 'XSHE',
       'listed_date': '1991-04-03', 'de_listed_date': '0000-00-00',
       'underlying_order_book_id': 'u1', 'underlying_symbol': 'u2', 'stock_code': '000001',
       'round_lot': 100.0}
gone = dict(row, order_book_id='000003.XSHE', de_listed_date='2002-06-14')
with open(sys.argv[1], 'wb') as f:
    pickle.dump([row, gone], f, protocol=4)
)",
                       path),
            0);
  const std::vector<tallow::Instrument> list = bundle::read_instrument_list(path);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].order_book_id, "000001.XSHE");
  EXPECT_EQ(list[0].symbol, "平安银行");
  EXPECT_EQ(list[0].type, "CS");
  EXPECT_EQ(list[0].exchange, "XSHE");
  EXPECT_EQ(list[0].listed_date, "1991-04-03");
  EXPECT_EQ(list[0].de_listed_date, "0000-00-00");
  EXPECT_EQ(list[0].underlying_order_book_id, "u1");
  EXPECT_EQ(list[0].underlying_symbol, "u2");
  EXPECT_EQ(list[0].stock_code, "000001");
  EXPECT_EQ(list[1].order_book_id, "000003.XSHE");
  EXPECT_EQ(list[1].de_listed_date, "2002-06-14");
}

TEST(Pickle, RefusesAnythingThatCouldRunCode) {
  TempDir dir;
  std::string marker = dir / "pwned";
  ASSERT_EQ(run_python(R"(
import sys, os, pickle, collections
class Evil:
    def __reduce__(self):
        return (os.system, ('touch ' + sys.argv[2],))
for p in (2, 5):
    pickle.dump([{'exchange': 'XSHE', 'x': Evil()}], open('%s/evil%d.pk' % (sys.argv[1], p), 'wb'), protocol=p)
pickle.dump([collections.Counter(a=1)], open(sys.argv[1] + '/global.pk', 'wb'), protocol=2)
)",
                       dir.path().string() + " " + marker),
            0);
  for (const char* name : {"evil2.pk", "evil5.pk", "global.pk"}) {
    SCOPED_TRACE(name);
    try {
      bundle::pickle_loads(read_file(dir / name));
      ADD_FAILURE() << "accepted";
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find("refused opcode"), std::string::npos) << e.what();
    }
  }
  EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(Pickle, TruncatedOrGarbageInputIsAValueError) {
  auto list = std::make_shared<PickleList>();
  list->push_back(record("000001.XSHE", 100, 1.0));
  std::string good = bundle::pickle_dumps(PickleValue{list});
  for (std::size_t cut : {std::size_t{1}, std::size_t{5}, good.size() / 2}) {
    EXPECT_THROW(bundle::pickle_loads(good.substr(0, good.size() - cut)), ValueError);
  }
  EXPECT_THROW(bundle::pickle_loads(""), ValueError);
  EXPECT_THROW(bundle::pickle_loads("hello world"), ValueError);
  EXPECT_THROW(bundle::pickle_loads(std::string("\x80\x02X\xff\xff\xff\x7f", 8)), ValueError);
  // SETITEMS over a key without its value.
  EXPECT_THROW(bundle::pickle_loads(std::string("\x80\x02}(X\x01\x00\x00\x00"
                                                "au.",
                                                12)),
               ValueError);
}

TEST(Pickle, DeepNestingAndMemoBombsAreRefusedWithinTheirLimits) {
  // 10^6 nested lists: "]" a million times, then "a" to put each into the one below it.
  std::string deep = "\x80\x02" + std::string(1000000, ']') + std::string(999999, 'a') + ".";
  EXPECT_THROW(bundle::pickle_loads(deep), ValueError);
  // A 1 MiB string memoised once and fetched 200 000 times: 200 GB if copies were free.
  std::string bomb("\x80\x02]q\x00(X", 7);
  const std::uint32_t n = 1 << 20;
  for (int i = 0; i < 4; ++i) bomb.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
  bomb += std::string(n, 'x') + "q\x01";
  for (int i = 0; i < 200000; ++i) bomb += "h\x01";
  bomb += "e.";
  try {
    bundle::pickle_loads(bomb);
    ADD_FAILURE() << "accepted";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("expands beyond"), std::string::npos) << e.what();
  }
  // Within the limits nesting is fine, and destroying it does not recurse per level.
  std::string nested = "\x80\x02" + std::string(150, ']') + std::string(149, 'a') + ".";
  EXPECT_NO_THROW(bundle::pickle_loads(nested));
}

TEST(Pickle, ReadsOldProtocolsAndTheAllowListedClasses) {
  TempDir dir;
  ASSERT_EQ(run_python(R"(
import sys, pickle, datetime, collections
recs = [{'order_book_id': '000001.XSHE', 'exchange': 'XSHE', 'listed': datetime.date(1991, 4, 3),
         'at': datetime.datetime(2020, 1, 2, 9, 31, 0, 500), 'open': datetime.time(9, 30),
         'extra': collections.OrderedDict(a=1), 'raw': b'\x00\xff', 'name': '平安银行'}]
for p in range(6):
    pickle.dump(recs, open('%s/p%d.pk' % (sys.argv[1], p), 'wb'), protocol=p)
)",
                       dir.path().string()),
            0);
  for (int p = 0; p <= 5; ++p) {
    SCOPED_TRACE(p);
    PickleValue v = bundle::pickle_loads(read_file(dir / fmt::format("p{}.pk", p)));
    ASSERT_NE(v.list(), nullptr);
    const PickleValue& rec = (*v.list())[0];
    EXPECT_EQ(*rec.get("listed")->text(), "1991-04-03");
    EXPECT_EQ(*rec.get("at")->text(), "2020-01-02 09:31:00.000500");
    EXPECT_EQ(*rec.get("open")->text(), "09:30:00");
    EXPECT_EQ(*rec.get("name")->text(), "平安银行");
    ASSERT_NE(rec.get("extra")->dict(), nullptr);
    EXPECT_EQ(std::get<std::int64_t>(rec.get("extra")->get("a")->value), 1);
    EXPECT_EQ(std::get<bundle::PickleBytes>(rec.get("raw")->value).data, std::string("\0\xff", 2));
  }
}

}  // namespace
}  // namespace tessera_plus
