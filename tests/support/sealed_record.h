// Records made by hand for the tests of what reads an archive, sealed as gyro_motor_report
// --archive seals them, through the archive's and the limits' own code, so that they pass every
// check of records/verify/.
#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>

// Writes `json` as the record in `folder`: record.format set, with `limits_toml` that file and the
// verdict it gives for the figures (with its SHA-256), else verdict null; then report.json and
// manifest.sha256. False, with the reason, when the limits cannot be read or a file written.
bool sealed_record_write(const std::filesystem::path& folder, nlohmann::ordered_json json,
                         const std::optional<std::string>& limits_toml, std::string& error);
