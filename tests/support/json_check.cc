#include "tests/support/json_check.h"

#include <cstdio>

#include "tests/support/check_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tessera_plus::testing {
namespace {

// Runs `script` with the document at argv[1]; its standard output and standard error together.
std::string python_on(const std::string& document, const std::string& script) {
  TempDir dir;
  const std::string doc_path = dir.path() / "doc.json";
  const std::string script_path = dir.path() / "script.py";
  write_file(doc_path, document);
  write_file(script_path, script);
  const std::string command = "/usr/bin/python3 '" + script_path + "' '" + doc_path + "' 2>&1";
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "cannot start /usr/bin/python3";
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

}  // namespace

std::string schema_errors(const std::string& document, const std::string& schema) {
  return python_on(document, std::string("import json, sys, jsonschema\n"
                                         "schema = json.load(open('") +
                                 TESSERA_PLUS_SOURCE_DIR + "/docs/schemas/" + schema +
                                 "'))\n"
                                 "jsonschema.Draft202012Validator.check_schema(schema)\n"
                                 "jsonschema.validate(json.load(open(sys.argv[1])), schema)\n");
}

std::string json_field(const std::string& document, const std::string& expression) {
  std::string out = python_on(document,
                              "import json, sys\nd = json.load(open(sys.argv[1]))\n"
                              "v = " +
                                  expression +
                                  "\nprint(v if isinstance(v, str) else "
                                  "json.dumps(v, ensure_ascii=False), end='')\n");
  return out;
}

}  // namespace tessera_plus::testing
