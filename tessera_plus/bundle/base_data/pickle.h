// The instrument list's file format: Python's pickle, restricted to plain data.
//
// The writer emits protocol 2, which every Python 3 reads. The reader accepts files that
// Python's pickle.dump writes at protocols 0 to 5 for plain data (None, bools, ints, floats, str,
// bytes, lists, tuples, sets, dicts) and the few classes below. No code is ever run: the classes
// are recognised by name and rebuilt here from their pickled state.
//
// Classes rebuilt (the allow-list; everything else that names a class or function is refused):
//   datetime.date          -> text "YYYY-MM-DD" (as str() of the date)
//   datetime.datetime      -> text "YYYY-MM-DD HH:MM:SS" or "...:SS.ffffff"; naive only
//   datetime.time          -> text "HH:MM:SS" or "HH:MM:SS.ffffff"; naive only
//   datetime.timedelta     -> float, the number of seconds
//   collections.OrderedDict -> a dict, entries in order
//   _codecs.encode(s, "latin1"), builtins.bytes() -> bytes: how protocols 0 to 2 spell bytes
//   builtins.set, builtins.frozenset               -> a list (protocols 0 and 1 spell sets so)
// Refused with a ValueError: every other GLOBAL / STACK_GLOBAL, BUILD, INST, OBJ, NEWOBJ(_EX),
// persistent ids and extension codes, calls of an allow-listed name with unexpected arguments,
// and a name that is used as anything but the callee of REDUCE.
//
// Limits, so a small hostile file cannot exhaust the process: containers nest at most
// kMaxPickleDepth deep; the values built, counted as if every memo reference (BINGET) were a
// copy, may weigh at most 32 MiB plus 16 times the input size (a real instrument list weighs a
// few times its file); a container fetched from the memo is read-only, so no value can contain
// itself. Destroying a value never recurses, however deep it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace tessera_plus::bundle {

struct PickleValue;
using PickleList = std::vector<PickleValue>;
// Keys are kept as their text form; plain-data pickles of records have text keys.
using PickleDict = std::vector<std::pair<std::string, PickleValue>>;
struct PickleBytes {
  std::string data;
  bool operator==(const PickleBytes&) const = default;
};

inline constexpr std::size_t kMaxPickleDepth = 200;

struct PickleValue {
  PickleValue() = default;
  template <typename T>
  requires(!std::is_same_v<std::decay_t<T>, PickleValue>) PickleValue(T&& v)
      : value(std::forward<T>(v)) {}  // NOLINT: any alternative converts
  PickleValue(const PickleValue&) = default;
  PickleValue(PickleValue&&) noexcept = default;
  PickleValue& operator=(const PickleValue&) = default;
  PickleValue& operator=(PickleValue&&) noexcept = default;
  ~PickleValue();

  std::variant<std::monostate, bool, std::int64_t, double, std::string, PickleBytes,
               std::shared_ptr<PickleList>, std::shared_ptr<PickleDict>>
      value;

  bool is_none() const { return std::holds_alternative<std::monostate>(value); }
  const std::string* text() const { return std::get_if<std::string>(&value); }
  const PickleList* list() const;
  const PickleDict* dict() const;
  // The value at `key` of a dict, or nullptr.
  const PickleValue* get(const std::string& key) const;
};

// Serialises `value` (lists, dicts, text, numbers, None, bools) as a protocol-2 pickle.
std::string pickle_dumps(const PickleValue& value);
// ValueError for anything but a complete plain-data pickle.
PickleValue pickle_loads(const std::string& bytes);

}  // namespace tessera_plus::bundle
