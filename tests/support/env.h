// Environment variables set for one scope: a test or fixture changes TESSERA_LOG_FILE,
// TESSERA_NOW and the like without leaking them into the next test or losing what ctest set.
#pragma once

#include <optional>
#include <string>

namespace tessera_plus::testing {

// Sets (or with nullopt unsets) `name` until the object goes away, then puts back the value it
// had before (or unsets it again).
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(ScopedEnv&& other) noexcept;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ScopedEnv& operator=(ScopedEnv&&) = delete;

  // Changes the value for the rest of the scope; the value restored at the end stays the first.
  void set(const std::optional<std::string>& value);

 private:
  std::string name_;
  std::optional<std::string> old_;
  bool restores_ = true;
};

}  // namespace tessera_plus::testing
