// Holds a document to the Updater's published JSON schema with Debian's python3-jsonschema, a
// validator that is not ours, so our own writer is never the only judge of its output.
#pragma once

#include "ProcessRunner.h"

#include <string>

namespace testsupport {

// Empty when text is one JSON document the schema accepts; else the validator's findings, one per
// line (a missing validator is a finding too, never a pass).
inline std::string schemaViolations(const std::string& text) {
    static const char* kScript = R"(import json, sys
try:
    import jsonschema
except ImportError as e:
    print("python3-jsonschema is not installed: %s" % e); sys.exit(2)
schema = json.load(open(sys.argv[1]))
try:
    document = json.loads(sys.stdin.read())
except ValueError as e:
    print("not one JSON document: %s" % e); sys.exit(1)
errors = sorted(jsonschema.Draft7Validator(schema).iter_errors(document), key=lambda e: list(map(str, e.path)))
for e in errors:
    print("/".join(map(str, e.path)) + ": " + e.message)
sys.exit(1 if errors else 0)
)";
    ProcessOptions options;
    options.input = text;
    try {
        ProcessResult result =
            runProcess("/usr/bin/python3", {"-c", kScript, CORVANE_JSON_SCHEMA}, options);
        if (result.exitStatus == 0)
            return {};
        return result.out.empty() ? "validator failed: " + result.err : result.out;
    } catch (const std::exception& e) {
        return std::string("validator did not run: ") + e.what();
    }
}

} // namespace testsupport
