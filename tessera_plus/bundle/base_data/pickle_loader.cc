// Reading pickles: a stack machine over the plain-data opcodes of protocols 0 to 5, with the
// allow-list and the limits described in pickle.h.
#include <bit>
#include <charconv>
#include <cstring>
#include <map>
#include <set>
#include <string_view>

#include <fmt/format.h>

#include "tessera_plus/base/errors.h"
#include "tessera_plus/bundle/base_data/pickle.h"

// GCC 12 reports a false "may be used uninitialized" on moving std::variant values that hold a
// std::string (GCC bug 105562); the values here are always constructed.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace tessera_plus::bundle {
namespace {

enum class Callable {
  kNone,
  kDate,
  kDateTime,
  kTime,
  kTimeDelta,
  kOrderedDict,
  kEncode,
  kBytes,
  kSet
};

Callable callable_named(std::string_view module, std::string_view name) {
  static const std::map<std::pair<std::string_view, std::string_view>, Callable> kAllowed = {
      {{"datetime", "date"}, Callable::kDate},
      {{"datetime", "datetime"}, Callable::kDateTime},
      {{"datetime", "time"}, Callable::kTime},
      {{"datetime", "timedelta"}, Callable::kTimeDelta},
      {{"collections", "OrderedDict"}, Callable::kOrderedDict},
      {{"_codecs", "encode"}, Callable::kEncode},
      {{"builtins", "bytes"}, Callable::kBytes},
      {{"__builtin__", "bytes"}, Callable::kBytes},
      {{"builtins", "set"}, Callable::kSet},
      {{"__builtin__", "set"}, Callable::kSet},
      {{"builtins", "frozenset"}, Callable::kSet},
      {{"__builtin__", "frozenset"}, Callable::kSet},
  };
  auto it = kAllowed.find({module, name});
  return it == kAllowed.end() ? Callable::kNone : it->second;
}

// A stack entry: a value, or an allow-listed name waiting to be called by REDUCE.
struct Item {
  PickleValue value;
  Callable callable = Callable::kNone;
};

// What one container really costs: the shared vector and its control block, the stack entry and
// the bookkeeping below. Counting less would let a file of a million empty lists use far more
// memory than the budget says.
constexpr std::uint64_t kContainerWeight = 256;

// Bookkeeping of each container built: how much it weighs (itself and everything in it, memo
// references counted as copies), how deep it nests, and whether it may still change.
struct ContainerInfo {
  std::uint64_t weight = 0;
  std::size_t depth = 1;
  bool frozen = false;
};

const void* container_of(const PickleValue& v) {
  if (auto* l = std::get_if<std::shared_ptr<PickleList>>(&v.value)) return l->get();
  if (auto* d = std::get_if<std::shared_ptr<PickleDict>>(&v.value)) return d->get();
  return nullptr;
}

// UTF-8 text to the bytes of its code points, each below 256 (Python's str.encode('latin1')).
std::string latin1_bytes(const std::string& text, bool& ok) {
  std::string out;
  ok = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
      out.push_back(static_cast<char>(((c & 0x03) << 6) | (text[++i] & 0x3F)));
    } else {
      ok = false;
      return {};
    }
  }
  return out;
}

class Loader {
 public:
  explicit Loader(const std::string& bytes)
      : in_(bytes), budget_((std::uint64_t{32} << 20) + 16 * std::uint64_t{bytes.size()}) {}
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
  std::string_view line() {
    const std::size_t end = in_.find('\n', pos_);
    if (end == std::string::npos) fail("unexpected end of data");
    std::string_view text(in_.data() + pos_, end - pos_);
    pos_ = end + 1;
    return text;
  }

  void spend(std::uint64_t weight) {
    spent_ += weight;
    if (spent_ > budget_) fail(fmt::format("expands beyond {} bytes", budget_));
  }
  std::uint64_t weight_of(const PickleValue& v) const {
    if (const void* c = container_of(v)) return info_.at(c).weight;
    if (const std::string* t = v.text()) return sizeof(PickleValue) + t->size();
    if (const auto* b = std::get_if<PickleBytes>(&v.value))
      return sizeof(PickleValue) + b->data.size();
    return sizeof(PickleValue);
  }
  std::size_t depth_of(const PickleValue& v) const {
    const void* c = container_of(v);
    return c ? info_.at(c).depth : 0;
  }

  void push(PickleValue v) {
    if (!container_of(v)) spend(weight_of(v));
    stack_.push_back(Item{std::move(v)});
  }
  template <typename Container>
  void push_container(std::shared_ptr<Container> c) {
    spend(kContainerWeight);
    info_[c.get()] = ContainerInfo{kContainerWeight};
    stack_.push_back(Item{PickleValue{std::move(c)}});
  }
  Item pop_item() {
    if (stack_.empty() || (!marks_.empty() && stack_.size() <= marks_.back())) {
      fail("stack underflow");
    }
    Item it = std::move(stack_.back());
    stack_.pop_back();
    return it;
  }
  PickleValue pop() {
    Item it = pop_item();
    if (it.callable != Callable::kNone) fail("a class or function used as data");
    return std::move(it.value);
  }
  Item& top() {
    if (stack_.empty()) fail("stack underflow");
    return stack_.back();
  }
  std::vector<PickleValue> pop_mark() {
    if (marks_.empty()) fail("no mark");
    std::size_t mark = marks_.back();
    marks_.pop_back();
    std::vector<PickleValue> items;
    for (std::size_t i = mark; i < stack_.size(); ++i) {
      if (stack_[i].callable != Callable::kNone) fail("a class or function used as data");
      items.push_back(std::move(stack_[i].value));
    }
    stack_.resize(mark);
    return items;
  }

  // `item` goes into the container `into`: that container's weight and depth grow with it.
  void adopt(const void* into, const PickleValue& item) {
    ContainerInfo& info = info_.at(into);
    if (info.frozen) fail("a shared container changed after it was referenced");
    info.weight += weight_of(item);
    info.depth = std::max(info.depth, depth_of(item) + 1);
    if (info.depth > kMaxPickleDepth) fail(fmt::format("nested deeper than {}", kMaxPickleDepth));
  }
  void push_list(std::vector<PickleValue> items) {
    auto list = std::make_shared<PickleList>();
    push_container(list);
    for (auto& item : items) {
      adopt(list.get(), item);
      list->push_back(std::move(item));
    }
  }
  void append(std::vector<PickleValue> items) {
    auto* l = std::get_if<std::shared_ptr<PickleList>>(&top().value.value);
    if (!l || top().callable != Callable::kNone) fail("append to a non-list");
    PickleList& list = **l;
    for (auto& item : items) {
      adopt(l->get(), item);
      list.push_back(std::move(item));
    }
  }
  void set_items(std::vector<PickleValue> items) {
    if (items.size() % 2) fail("odd number of dict items");
    auto* d = std::get_if<std::shared_ptr<PickleDict>>(&top().value.value);
    if (!d || top().callable != Callable::kNone) fail("set item on a non-dict");
    for (std::size_t i = 0; i < items.size(); i += 2) {
      const std::string* key = items[i].text();
      if (!key) fail("dict key that is not text");
      adopt(d->get(), items[i + 1]);
      spend(key->size());
      (*d)->emplace_back(*key, std::move(items[i + 1]));
    }
  }

  void memo_put(std::uint64_t key) { memo_[key] = top(); }
  void memo_get(std::uint64_t key) {
    auto it = memo_.find(key);
    if (it == memo_.end()) fail("unknown memo key");
    // A reference shares the container; counting it as a copy bounds what any walk over the
    // result can visit, and freezing it keeps a value from ever containing itself.
    if (const void* c = container_of(it->second.value)) info_.at(c).frozen = true;
    spend(weight_of(it->second.value));
    stack_.push_back(it->second);
  }

  void push_text(std::uint64_t n) { push(PickleValue{std::string(take(n), n)}); }
  void push_bytes(std::uint64_t n) { push(PickleValue{PickleBytes{std::string(take(n), n)}}); }
  std::uint64_t memo_key(std::string_view text) const {
    std::uint64_t key = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), key);
    if (ec != std::errc() || end != text.data() + text.size()) fail("bad memo key");
    return key;
  }
  std::string unescape_unicode(std::string_view raw) const;
  std::string unquote_string(std::string_view repr) const;
  void push_long(std::size_t n);
  void push_decimal(std::string_view text);
  void push_float_text(std::string_view text);
  void push_global(std::string_view module, std::string_view name);
  void reduce();
  PickleValue call(Callable callable, const PickleList& args);
  bool step();

  const std::string& in_;
  std::size_t pos_ = 0;
  std::vector<Item> stack_;
  std::vector<std::size_t> marks_;
  std::map<std::uint64_t, Item> memo_;
  std::map<const void*, ContainerInfo> info_;
  std::uint64_t budget_;
  std::uint64_t spent_ = 0;
};

void Loader::push_long(std::size_t n) {
  if (n > 8) fail("integer wider than 64 bits");
  std::uint64_t raw = le(n);
  if (n > 0 && n < 8 && (raw >> (8 * n - 1)) & 1) raw |= ~std::uint64_t{0} << (8 * n);
  push(PickleValue{static_cast<std::int64_t>(raw)});
}

// Protocol 0 integers: "I42", "I01" / "I00" for True / False, "L42L".
void Loader::push_decimal(std::string_view text) {
  if (text == "01") return push(PickleValue{true});
  if (text == "00") return push(PickleValue{false});
  if (!text.empty() && text.back() == 'L') text.remove_suffix(1);
  std::int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) fail("bad decimal integer");
  push(PickleValue{v});
}

void Loader::push_float_text(std::string_view text) {
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) fail("bad decimal float");
  push(PickleValue{v});
}

void Loader::push_global(std::string_view module, std::string_view name) {
  const Callable c = callable_named(module, name);
  if (c == Callable::kNone)
    fail(fmt::format("refused opcode naming {}.{} (not allow-listed)", module, name));
  spend(sizeof(Item));
  stack_.push_back(Item{PickleValue{}, c});
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Protocol 0 text: latin-1 bytes, with \uXXXX and \UXXXXXXXX for every other code point.
std::string Loader::unescape_unicode(std::string_view raw) const {
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const std::size_t digits = raw[i] != '\\' || i + 1 >= raw.size() ? 0
                               : raw[i + 1] == 'u'                   ? 4
                               : raw[i + 1] == 'U'                   ? 8
                                                                     : 0;
    if (digits == 0) {
      append_utf8(out, static_cast<unsigned char>(raw[i]));
      continue;
    }
    std::uint32_t cp = 0;
    const char* first = raw.data() + i + 2;
    if (i + 2 + digits > raw.size() ||
        std::from_chars(first, first + digits, cp, 16).ptr != first + digits || cp > 0x10FFFF) {
      fail("bad escape in protocol-0 text");
    }
    append_utf8(out, cp);
    i += 1 + digits;
  }
  return out;
}

// Protocol 0 byte strings: Python's repr, quoted with ' or ", with backslash escapes.
std::string Loader::unquote_string(std::string_view repr) const {
  if (repr.size() < 2 || (repr.front() != '\'' && repr.front() != '"') ||
      repr.back() != repr.front()) {
    fail("bad quoted string");
  }
  repr = repr.substr(1, repr.size() - 2);
  std::string out;
  for (std::size_t i = 0; i < repr.size(); ++i) {
    if (repr[i] != '\\') {
      out.push_back(repr[i]);
      continue;
    }
    if (++i >= repr.size()) fail("bad escape in quoted string");
    switch (repr[i]) {
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'x': {
        unsigned v = 0;
        const char* first = repr.data() + i + 1;
        if (i + 3 > repr.size() || std::from_chars(first, first + 2, v, 16).ptr != first + 2) {
          fail("bad escape in quoted string");
        }
        out.push_back(static_cast<char>(v));
        i += 2;
        break;
      }
      default:
        out.push_back(repr[i]);  // \\, \', \"
    }
  }
  return out;
}

std::string clock_text(const unsigned char* p) {
  const int usec = p[3] << 16 | p[4] << 8 | p[5];
  std::string text =
      fmt::format("{:02d}:{:02d}:{:02d}", p[0] & 0x7F, p[1], p[2]);  // high bit of hour: fold
  if (usec != 0) text += fmt::format(".{:06d}", usec);
  return text;
}

PickleValue Loader::call(Callable callable, const PickleList& args) {
  auto state = [&](std::size_t size) -> std::string {
    if (args.empty() || args.size() > 2) fail("unexpected arguments of a date or time");
    if (args.size() == 2 && !args[1].is_none()) fail("a date or time with a time zone");
    std::string bytes;
    if (const auto* b = std::get_if<PickleBytes>(&args[0].value)) {
      bytes = b->data;
    } else if (const std::string* t = args[0].text()) {
      bytes = *t;  // Python 2 pickles the state as a byte string
    }
    if (bytes.size() != size) fail("malformed date or time state");
    return bytes;
  };
  switch (callable) {
    case Callable::kDate: {
      const std::string b = state(4);
      const auto* p = reinterpret_cast<const unsigned char*>(b.data());
      return PickleValue{fmt::format("{:04d}-{:02d}-{:02d}", p[0] << 8 | p[1], p[2], p[3])};
    }
    case Callable::kDateTime: {
      const std::string b = state(10);
      const auto* p = reinterpret_cast<const unsigned char*>(b.data());
      return PickleValue{fmt::format("{:04d}-{:02d}-{:02d} {}", p[0] << 8 | p[1], p[2] & 0x7F, p[3],
                                     clock_text(p + 4))};
    }
    case Callable::kTime:
      return PickleValue{clock_text(reinterpret_cast<const unsigned char*>(state(6).data()))};
    case Callable::kTimeDelta: {
      if (args.size() != 3) fail("unexpected arguments of a timedelta");
      double parts[3];
      for (int i = 0; i < 3; ++i) {
        const auto* v = std::get_if<std::int64_t>(&args[static_cast<std::size_t>(i)].value);
        if (!v) fail("unexpected arguments of a timedelta");
        parts[i] = static_cast<double>(*v);
      }
      return PickleValue{parts[0] * 86400 + parts[1] + parts[2] / 1e6};
    }
    case Callable::kOrderedDict:
      if (!args.empty()) fail("unexpected arguments of an OrderedDict");
      return PickleValue{};  // replaced by an empty dict in reduce()
    case Callable::kEncode: {
      bool ok = false;
      if (args.size() != 2 || !args[0].text() || !args[1].text() || *args[1].text() != "latin1") {
        fail("_codecs.encode other than of text to latin1");
      }
      std::string bytes = latin1_bytes(*args[0].text(), ok);
      if (!ok) fail("latin1 text outside latin1");
      return PickleValue{PickleBytes{std::move(bytes)}};
    }
    case Callable::kBytes:
      if (!args.empty()) fail("unexpected arguments of bytes");
      return PickleValue{PickleBytes{}};
    case Callable::kSet:
      return PickleValue{};  // replaced by a list in reduce()
    case Callable::kNone:
      break;
  }
  fail("call of something that is not allow-listed");
}

void Loader::reduce() {
  PickleValue args = pop();
  Item callee = pop_item();
  if (callee.callable == Callable::kNone) fail("refused opcode REDUCE of a value");
  const PickleList* list = args.list();
  if (!list) fail("REDUCE arguments are not a tuple");
  if (callee.callable == Callable::kOrderedDict) {
    call(callee.callable, *list);
    return push_container(std::make_shared<PickleDict>());
  }
  if (callee.callable == Callable::kSet) {
    if (list->size() > 1) fail("unexpected arguments of a set");
    std::vector<PickleValue> items;
    if (list->size() == 1) {
      const PickleList* content = (*list)[0].list();
      if (!content) fail("a set of something that is not a list");
      items = *content;
    }
    return push_list(std::move(items));
  }
  push(call(callee.callable, *list));
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
    case 'I':
    case 'L':
      push_decimal(line());
      break;  // INT, LONG (protocol 0)
    case 'F':
      push_float_text(line());
      break;  // FLOAT (protocol 0)
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
    case 'T':
      push_text(le(4));
      break;  // BINUNICODE, BINSTRING
    case 0x8c:
    case 'U':
      push_text(le(1));
      break;  // SHORT_BINUNICODE, SHORT_BINSTRING
    case 0x8d:
      push_text(le(8));
      break;  // BINUNICODE8
    case 'V':
      push(PickleValue{unescape_unicode(line())});
      break;  // UNICODE (protocol 0, raw-unicode-escape)
    case 'S':
      push(PickleValue{unquote_string(line())});
      break;  // STRING (protocol 0, a quoted repr)
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
    case 'l':
      push_list(pop_mark());
      break;     // LIST (protocol 0)
    case 'd': {  // DICT (protocol 0)
      auto items = pop_mark();
      push_container(std::make_shared<PickleDict>());
      set_items(std::move(items));
      break;
    }
    case 'a':
      append({pop()});
      break;
    case 'e':
    case 0x90:
      append(pop_mark());
      break;  // APPENDS, ADDITEMS
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
      push_container(std::make_shared<PickleDict>());
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
    case 'c': {  // GLOBAL "module\nname\n"
      const std::string module(line());
      push_global(module, line());
      break;
    }
    case 0x93: {  // STACK_GLOBAL
      PickleValue name = pop();
      PickleValue module = pop();
      if (!module.text() || !name.text()) fail("STACK_GLOBAL of something that is not text");
      push_global(*module.text(), *name.text());
      break;
    }
    case 'R':
      reduce();
      break;
    case 'p':
      memo_put(memo_key(line()));
      break;  // PUT (protocol 0)
    case 'g':
      memo_get(memo_key(line()));
      break;  // GET (protocol 0)
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
  if (stack_.back().callable != Callable::kNone) fail("a class or function as the result");
  return std::move(stack_.back().value);
}

}  // namespace

PickleValue pickle_loads(const std::string& bytes) { return Loader(bytes).run(); }

}  // namespace tessera_plus::bundle
