// The pre-flight check's JSON form: the table's rows under stable names, and the counts.
#include "DoctorJson.h"

#include <nlohmann/json.hpp>

nlohmann::ordered_json doctorJson(const std::vector<DoctorCheck>& checks) {
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    unsigned counts[3] = {};
    for (const DoctorCheck& check : checks) {
        ++counts[static_cast<int>(check.status)];
        rows.push_back({{"check", check.id},
                        {"title", check.title},
                        {"status", doctorStatusName(check.status)},
                        {"finding", check.finding},
                        {"fix", check.fix.empty() ? nlohmann::ordered_json()
                                                  : nlohmann::ordered_json(check.fix)}});
    }
    return {{"checks", rows}, {"passed", counts[0]}, {"warned", counts[1]}, {"failed", counts[2]}};
}
