// Checking the program's JSON documents from tests: against their committed schema, and field by
// field, through the system Python (json and jsonschema).
#pragma once

#include <string>

namespace tessera_plus::testing {

// Empty when `document` is valid JSON that docs/schemas/`schema` accepts; otherwise what
// Python said.
std::string schema_errors(const std::string& document, const std::string& schema);

// The value at `expression` in `document`, printed by Python: `expression` is applied to the
// parsed document named `d`, e.g. "d['broken'][0]['reason']"; strings print without quotes.
std::string json_field(const std::string& document, const std::string& expression);

}  // namespace tessera_plus::testing
