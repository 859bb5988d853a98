// The pre-flight check's result as a JSON value, for --json.
#pragma once

#include "Doctor.h"

#include <nlohmann/json_fwd.hpp>

#include <vector>

// {"checks": [{"check", "title", "status" ("pass", "warn" or "fail"), "finding", "fix" (null
// when none)}...], "passed", "warned", "failed", "exit_status"}.
nlohmann::json doctorJson(const std::vector<DoctorCheck>& checks);
