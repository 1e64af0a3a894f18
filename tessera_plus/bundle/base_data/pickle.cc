#include "tessera_plus/bundle/base_data/pickle.h"

#include <bit>
#include <cstring>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"

// GCC 12 reports a false "may be used uninitialized" on moving std::variant values that hold a
// std::string (GCC bug 105562); the values here are always constructed.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace tessera_plus::tessera {

const PickleList* PickleValue::list() const {
  auto p = std::get_if<std::shared_ptr<PickleList>>(&value);
  return p ? p->get() : nullptr;
}

const PickleDict* PickleValue::dict() const {
  auto p = std::get_if<std::shared_ptr<PickleDict>>(&value);
  return p ? p->get() : nullptr;
}

const PickleValue* PickleValue::get(const std::string& key) const {
  const PickleDict* d = dict();
  if (!d) return nullptr;
  for (const auto& [k, v] : *d)
    if (k == key) return &v;
  return nullptr;
}

namespace {

template <typename T>
void put_le(std::string& out, T v) {
  for (std::size_t i = 0; i < sizeof(T); ++i)
    out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void dump(const PickleValue& v, std::string& out);

void dump_int(std::int64_t v, std::string& out) {
  if (v >= 0 && v < 256) {
    out += 'K';
    out.push_back(static_cast<char>(v));
  } else if (v >= 0 && v < 65536) {
    out += 'M';
    put_le(out, static_cast<std::uint16_t>(v));
  } else if (v >= INT32_MIN && v <= INT32_MAX) {
    out += 'J';
    put_le(out, static_cast<std::uint32_t>(static_cast<std::int32_t>(v)));
  } else {
    out += '\x8a';
    out += '\x08';
    put_le(out, static_cast<std::uint64_t>(v));
  }
}

void dump_text(const std::string& s, std::string& out) {
  out += 'X';
  put_le(out, static_cast<std::uint32_t>(s.size()));
  out += s;
}

struct Dumper {
  std::string& out;
  void operator()(std::monostate) { out += 'N'; }
  void operator()(bool b) { out += b ? '\x88' : '\x89'; }
  void operator()(std::int64_t i) { dump_int(i, out); }
  void operator()(double d) {
    out += 'G';
    auto bits = std::bit_cast<std::uint64_t>(d);
    for (int i = 7; i >= 0; --i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
  }
  void operator()(const std::string& s) { dump_text(s, out); }
  void operator()(const PickleBytes&) {
    throw ValueError("bytes values cannot be written at pickle protocol 2");
  }
  void operator()(const std::shared_ptr<PickleList>& l) {
    out += ']';
    if (l->empty()) return;
    out += '(';
    for (const PickleValue& item : *l) dump(item, out);
    out += 'e';
  }
  void operator()(const std::shared_ptr<PickleDict>& d) {
    out += '}';
    if (d->empty()) return;
    out += '(';
    for (const auto& [k, item] : *d) {
      dump_text(k, out);
      dump(item, out);
    }
    out += 'u';
  }
};

void dump(const PickleValue& v, std::string& out) { std::visit(Dumper{out}, v.value); }

// A stack machine over the plain-data subset of the pickle opcodes.
class Loader {
 public:
  explicit Loader(const std::string& bytes) : in_(bytes) {}
  PickleValue run();

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw ValueError(fmt::format("not a plain-data pickle: {} at byte {}", what, pos_));
  }
  const char* take(std::size_t n) {
    if (n > in_.size() - pos_) fail("unexpected end of data");
    const char* p = in_.data() + pos_;
    pos_ += n;
    return p;
  }
  std::uint64_t le(std::size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(take(n));
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= std::uint64_t{p[i]} << (8 * i);
    return v;
  }
  PickleValue pop() {
    if (stack_.empty() || (!marks_.empty() && stack_.size() <= marks_.back()))
      fail("stack underflow");
    PickleValue v = std::move(stack_.back());
    stack_.pop_back();
    return v;
  }
  PickleValue& top() {
    if (stack_.empty()) fail("stack underflow");
    return stack_.back();
  }
  std::vector<PickleValue> pop_mark() {
    if (marks_.empty()) fail("no mark");
    std::size_t mark = marks_.back();
    marks_.pop_back();
    std::vector<PickleValue> items(std::make_move_iterator(stack_.begin() + mark),
                                   std::make_move_iterator(stack_.end()));
    stack_.resize(mark);
    return items;
  }
  void push(PickleValue v) { stack_.push_back(std::move(v)); }
  void push_text(std::size_t n) { push(PickleValue{std::string(take(n), n)}); }
  void push_bytes(std::size_t n) { push(PickleValue{PickleBytes{std::string(take(n), n)}}); }
  void push_long(std::size_t n);
  void push_list(std::vector<PickleValue> items) {
    push(PickleValue{std::make_shared<PickleList>(std::move(items))});
  }
  PickleList& list_at_top();
  void set_items(std::vector<PickleValue> items);
  void memo_put(std::uint64_t key) { memo_[key] = top(); }
  void memo_get(std::uint64_t key) {
    auto it = memo_.find(key);
    if (it == memo_.end()) fail("unknown memo key");
    push(it->second);
  }
  bool step();

  const std::string& in_;
  std::size_t pos_ = 0;
  std::vector<PickleValue> stack_;
  std::vector<std::size_t> marks_;
  std::map<std::uint64_t, PickleValue> memo_;
};

void Loader::push_long(std::size_t n) {
  if (n > 8) fail("integer wider than 64 bits");
  std::uint64_t raw = le(n);
  if (n > 0 && n < 8 && (raw >> (8 * n - 1)) & 1) raw |= ~std::uint64_t{0} << (8 * n);
  push(PickleValue{static_cast<std::int64_t>(raw)});
}

PickleList& Loader::list_at_top() {
  auto* l = std::get_if<std::shared_ptr<PickleList>>(&top().value);
  if (!l) fail("append to a non-list");
  return **l;
}

void Loader::set_items(std::vector<PickleValue> items) {
  if (items.size() % 2) fail("odd number of dict items");
  auto* d = std::get_if<std::shared_ptr<PickleDict>>(&top().value);
  if (!d) fail("set item on a non-dict");
  for (std::size_t i = 0; i < items.size(); i += 2) {
    const std::string* key = items[i].text();
    if (!key) fail("dict key that is not text");
    (*d)->emplace_back(*key, std::move(items[i + 1]));
  }
}

bool Loader::step() {
  auto op = static_cast<unsigned char>(*take(1));
  switch (op) {
    case 0x80:
      take(1);
      break;  // PROTO
    case 0x95:
      take(8);
      break;  // FRAME
    case '(':
      marks_.push_back(stack_.size());
      break;  // MARK
    case '.':
      return false;  // STOP
    case 'N':
      push(PickleValue{});
      break;
    case 0x88:
      push(PickleValue{true});
      break;
    case 0x89:
      push(PickleValue{false});
      break;
    case 'J':
      push(PickleValue{std::int64_t{static_cast<std::int32_t>(le(4))}});
      break;
    case 'K':
      push(PickleValue{static_cast<std::int64_t>(le(1))});
      break;
    case 'M':
      push(PickleValue{static_cast<std::int64_t>(le(2))});
      break;
    case 0x8a:
      push_long(le(1));
      break;  // LONG1
    case 0x8b:
      push_long(le(4));
      break;  // LONG4
    case 'G': {
      const auto* p = reinterpret_cast<const unsigned char*>(take(8));
      std::uint64_t bits = 0;
      for (int i = 0; i < 8; ++i) bits = (bits << 8) | p[i];
      push(PickleValue{std::bit_cast<double>(bits)});
      break;
    }
    case 'X':
      push_text(le(4));
      break;  // BINUNICODE
    case 0x8c:
      push_text(le(1));
      break;  // SHORT_BINUNICODE
    case 0x8d:
      push_text(le(8));
      break;  // BINUNICODE8
    case 'T':
      push_text(le(4));
      break;  // BINSTRING
    case 'U':
      push_text(le(1));
      break;  // SHORT_BINSTRING
    case 'B':
      push_bytes(le(4));
      break;  // BINBYTES
    case 'C':
      push_bytes(le(1));
      break;  // SHORT_BINBYTES
    case 0x8e:
    case 0x96:
      push_bytes(le(8));
      break;  // BINBYTES8, BYTEARRAY8
    case ']':
    case ')':
    case 0x8f:
      push_list({});
      break;  // empty list, tuple, set
    case 'a': {
      PickleValue v = pop();
      list_at_top().push_back(std::move(v));
      break;
    }
    case 'e':
    case 0x90: {  // APPENDS, ADDITEMS
      auto items = pop_mark();
      PickleList& l = list_at_top();
      for (auto& item : items) l.push_back(std::move(item));
      break;
    }
    case 't':
    case 0x91:
      push_list(pop_mark());
      break;  // TUPLE, FROZENSET
    case 0x85: {
      auto a = pop();
      push_list({a});
      break;
    }
    case 0x86: {
      auto b = pop();
      auto a = pop();
      push_list({a, b});
      break;
    }
    case 0x87: {
      auto c = pop();
      auto b = pop();
      auto a = pop();
      push_list({a, b, c});
      break;
    }
    case '}':
      push(PickleValue{std::make_shared<PickleDict>()});
      break;
    case 's': {
      auto v = pop();
      auto k = pop();
      set_items({k, v});
      break;
    }
    case 'u':
      set_items(pop_mark());
      break;
    case 'q':
      memo_put(le(1));
      break;  // BINPUT
    case 'r':
      memo_put(le(4));
      break;  // LONG_BINPUT
    case 0x94:
      memo_put(memo_.size());
      break;  // MEMOIZE
    case 'h':
      memo_get(le(1));
      break;  // BINGET
    case 'j':
      memo_get(le(4));
      break;  // LONG_BINGET
    default:
      --pos_;
      fail(fmt::format("refused opcode 0x{:02x} (only plain data is accepted)", op));
  }
  return true;
}

PickleValue Loader::run() {
  while (step()) {
  }
  if (stack_.size() != 1 || !marks_.empty()) fail("unbalanced stack at STOP");
  return std::move(stack_.back());
}

}  // namespace

std::string pickle_dumps(const PickleValue& value) {
  std::string out = "\x80\x02";
  dump(value, out);
  out += '.';
  return out;
}

PickleValue pickle_loads(const std::string& bytes) { return Loader(bytes).run(); }

}  // namespace tessera_plus::tessera
