// The instrument list's file format: Python's pickle, restricted to plain data.
//
// The writer emits protocol 2, which every Python 3 reads. The reader accepts files that
// Python's pickle.dump writes at protocols 2 to 5 for plain data (None, bools, ints, floats, str,
// bytes, lists, tuples, dicts) and refuses every opcode that could name or call code (GLOBAL,
// STACK_GLOBAL, REDUCE, BUILD, INST, OBJ, NEWOBJ, persistent ids, extensions) with a ValueError, so
// a hostile file can never make the program do anything.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace tessera_plus::tessera {

struct PickleValue;
using PickleList = std::vector<PickleValue>;
// Keys are kept as their text form; plain-data pickles of records have text keys.
using PickleDict = std::vector<std::pair<std::string, PickleValue>>;
struct PickleBytes {
  std::string data;
  bool operator==(const PickleBytes&) const = default;
};

struct PickleValue {
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

}  // namespace tessera_plus::tessera
