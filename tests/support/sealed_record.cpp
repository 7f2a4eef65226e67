#include "tests/support/sealed_record.h"

#include "analysis/limits/limits.h"
#include "records/archive/archive.h"
#include "records/digest/digest.h"
#include "tests/support/tool_run.h"

bool sealed_record_write(const std::filesystem::path& folder, nlohmann::ordered_json json,
                         const std::optional<std::string>& limits_toml, std::string& error) {
    std::filesystem::create_directories(folder);
    json["record"]["format"] = archive_format;
    json["verdict"] = nullptr;
    if (limits_toml) {
        tool_write_file(folder / "limits.toml", *limits_toml);
        Limits limits;
        if (!limits_read((folder / "limits.toml").string(), json, limits, error)) {
            return false;
        }
        json["verdict"] = limits_verdict_json(limits_judge(limits, json, 0, false));
        json["verdict"]["limits"]["sha256"] = *digest_sha256(*limits_toml);
    }
    tool_write_file(folder / "report.json", json.dump(2) + "\n");
    return archive_write_manifest(folder, error);
}
