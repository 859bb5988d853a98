// The pre-flight check's result as a JSON value, for --json.
#pragma once

#include "Doctor.h"

#include <nlohmann/json_fwd.hpp>

#include <vector>

// The "doctor" section of the --json document: {"checks": [{"check", "title", "status" ("pass",
// "warn" or "fail"), "finding", "fix" (null when none)}...], "passed", "warned", "failed"}.
nlohmann::ordered_json doctorJson(const std::vector<DoctorCheck>& checks);
