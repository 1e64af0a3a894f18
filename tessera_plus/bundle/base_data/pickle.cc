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

namespace tessera_plus::bundle {

const PickleList* PickleValue::list() const {
  auto p = std::get_if<std::shared_ptr<PickleList>>(&value);
  return p ? p->get() : nullptr;
}

const PickleDict* PickleValue::dict() const {
  auto p = std::get_if<std::shared_ptr<PickleDict>>(&value);
  return p ? p->get() : nullptr;
}

PickleValue::~PickleValue() {
  // Nested containers would otherwise be destroyed by recursion as deep as the nesting: take the
  // children of every container about to die out into a work list first, so each destructor below
  // sees empty containers only.
  std::vector<PickleValue> pending;
  auto take_children = [&pending](PickleValue& v) {
    if (auto* l = std::get_if<std::shared_ptr<PickleList>>(&v.value)) {
      if (*l && l->use_count() == 1) {
        for (PickleValue& item : **l) pending.push_back(std::move(item));
        (*l)->clear();
      }
    } else if (auto* d = std::get_if<std::shared_ptr<PickleDict>>(&v.value)) {
      if (*d && d->use_count() == 1) {
        for (auto& entry : **d) pending.push_back(std::move(entry.second));
        (*d)->clear();
      }
    }
  };
  take_children(*this);
  while (!pending.empty()) {
    PickleValue v = std::move(pending.back());
    pending.pop_back();
    take_children(v);
  }
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

}  // namespace

std::string pickle_dumps(const PickleValue& value) {
  std::string out = "\x80\x02";
  dump(value, out);
  out += '.';
  return out;
}

}  // namespace tessera_plus::bundle
