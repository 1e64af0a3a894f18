#include "tests/support/env.h"

#include <cstdlib>
#include <utility>

namespace tessera_plus::testing {

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  set(value);
}

ScopedEnv::~ScopedEnv() {
  if (restores_) set(old_);
}

ScopedEnv::ScopedEnv(ScopedEnv&& other) noexcept
    : name_(std::move(other.name_)), old_(std::move(other.old_)) {
  other.restores_ = false;
}

void ScopedEnv::set(const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

}  // namespace tessera_plus::testing
