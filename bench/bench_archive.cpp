// --- archive: a sensor archive of many records, for timing gyro_motor_history over it ---------
// Each record is sealed as gyro_motor_report seals it: its log, report.json with the verdict on its
// limits.toml, and the manifest, which the history checks on every read.
#include "analysis/limits/limits.h"
#include "base/text/text.h"
#include "bench/bench.h"
#include "outputs/report/reportout.h"
#include "records/archive/archive.h"
#include "records/digest/digest.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace {

// A sweep's figures, near those of a sensor with small errors: the report's own document, so
// that each record is as large as a real one and holds every figure a real one holds.
Report bench_report(std::mt19937& random) {
    std::normal_distribution<double> small(0.0, 1.0);
    Report report;
    report.samples = 660;
    const double interval_ms = 37.6 + 0.1 * small(random);
    report.sampling = {true, 660, interval_ms, 45.0 + small(random), 659 * interval_ms / 1000};
    report.cruise = {9, 650, 642};
    ReportHeading& h = report.heading;
    h.turned_deg = 352.0 + small(random);
    h.b_deg = 0.1 * small(random);
    h.c_deg = 0.1 * small(random);
    h.d_deg = 0.05 * small(random);
    h.e_deg = 0.05 * small(random);
    h.residual_rms_deg = 0.02 + 0.002 * small(random);
    h.peak_deviation_deg = 0.25 + 0.1 * small(random);
    ReportMag& m = report.mag;
    m.hard_iron_x_gauss = 0.01 * small(random);
    m.hard_iron_y_gauss = 0.01 * small(random);
    m.major_gauss = 0.25 + 0.005 * small(random);
    m.minor_gauss = 0.24 + 0.005 * small(random);
    m.major_angle_deg = 30.0 * small(random);
    m.fit_rms_gauss = 0.001 + 0.0002 * small(random);
    report.yaw_rate.mean_dps = 14.4 + 0.02 * small(random);
    report.yaw_rate.std_dps = 0.01;
    report.yaw_rate.scale_error_percent = 0.1 * small(random);
    report.tilt = {0.1 * small(random),
                   0.1 * small(random),
                   0.1 * small(random),
                   0.1 * small(random),
                   0.2,
                   0.2};
    const double temperature = 25.0 + 2.0 * small(random);
    report.temperature = {temperature, temperature - 0.4, temperature + 0.4};
    return report;
}

// The limits of every record, as a real limits file names them.
constexpr const char* bench_limits =
    "name = \"HS-200 production, rev C\"\n"
    "[figures]\n"
    "\"heading.peak_deviation_deg\" = { max_abs = 0.5 }\n"
    "\"yaw_rate.scale_error_percent\" = { min = -0.3, max = 0.3 }\n"
    "\"mag.fit_rms_gauss\" = { max = 0.002 }\n";

// A sample log of a real sweep's size: 660 samples of five lines, about 140 KB.
std::string bench_log(std::mt19937& random) {
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::string log;
    for (int sample = 0; sample < 660; ++sample) {
        const double heading = -180.0 + 360.0 * sample / 660.0;
        text_append(log, "Roll %7.2f Pitch %7.2f Heading %7.2f \n", value(random), value(random),
                    heading);
        text_append(log, "X Roll Rate %7.3f Y Pitch Rate %7.3f Z Yaw Rate %7.3f \n", value(random),
                    value(random), 14.4 + value(random));
        text_append(log, "X Accel %8.5f Y Accel %8.5f Z Accel %8.5f \n", value(random),
                    value(random), 1.0 + value(random) / 100.0);
        text_append(log, "X Mag %8.5f Y Mag %8.5f Z Mag %8.5f \n", value(random), value(random),
                    value(random));
        text_append(log, "Temp %7.2f \n", 25.0 + value(random));
    }
    return log;
}

// Writes a file of the record; false, said on standard error, when it cannot.
bool bench_put(const fs::path& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.string().c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
        std::fclose(file) != 0) {
        std::fprintf(stderr, "gm_bench: cannot write %s: %s\n", path.string().c_str(),
                     std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace

int bench_archive(const std::string& dir, std::uint64_t records, std::uint64_t per_sensor) {
    std::mt19937 random(1);
    const auto start = BenchClock::now();
    std::uint64_t bytes = 0;
    std::uint64_t log_bytes = 0;
    // Sensors SN00001, SN00002, ..., each swept per_sensor times an hour apart from 2026-01-01.
    for (std::uint64_t i = 0; i < records; ++i) {
        const std::uint64_t sensor = i / per_sensor + 1;
        const std::uint64_t hour = i;
        const std::string serial = text_format("SN%05llu", static_cast<unsigned long long>(sensor));
        const auto day = static_cast<unsigned>(hour / 24);
        const std::chrono::year_month_day date{
            std::chrono::sys_days{std::chrono::January / 1 / 2026} + std::chrono::days{day}};
        const unsigned year = static_cast<unsigned>(static_cast<int>(date.year()));
        const unsigned month = static_cast<unsigned>(date.month());
        const unsigned month_day = static_cast<unsigned>(date.day());
        const auto hh = static_cast<unsigned>(hour % 24);
        const fs::path folder = fs::path(dir) / serial /
                                text_format("%04u%02u%02uT%02u0000Z", year, month, month_day, hh);
        nlohmann::ordered_json document = reportout_document(bench_report(random));
        std::error_code error;
        fs::create_directories(folder, error);
        Limits limits;
        std::string problem;
        if (error || !bench_put(folder / "limits.toml", bench_limits) ||
            !limits_read((folder / "limits.toml").string(), document, limits, problem)) {
            std::fprintf(stderr, "gm_bench: cannot write %s: %s\n", folder.string().c_str(),
                         error ? error.message().c_str() : problem.c_str());
            return 1;
        }
        document["verdict"] = limits_verdict_json(limits_judge(limits, document, 0, false));
        document["verdict"]["limits"]["sha256"] = digest_sha256(bench_limits).value_or("");
        document["record"] = {
            {"format", archive_format},
            {"serial", serial},
            {"time", text_format("%04u-%02u-%02uT%02u:00:00Z", year, month, month_day, hh)},
            {"operator", "anna"},
            {"station", "benchpc-3"},
            {"lot", text_format("L%llu", static_cast<unsigned long long>(sensor / 100))},
            {"part", "HS-200"},
            {"program", "gyro_motor_report"},
            {"version", "0.1"}};
        const std::string json = document.dump(2) + "\n";
        const std::string log = bench_log(random);
        if (!bench_put(folder / "report.json", json) ||
            !bench_put(folder / "gyro_motor.txt", log) ||
            !archive_write_manifest(folder, problem)) {
            std::fprintf(stderr, "gm_bench: %s\n", problem.c_str());
            return 1;
        }
        log_bytes += log.size();
        bytes += json.size();
    }
    bench_print_count("records", records);
    bench_print_count("sensors", (records + per_sensor - 1) / per_sensor);
    bench_print_count("json_bytes", bytes);
    bench_print("mean_json_bytes",
                records == 0 ? 0.0 : static_cast<double>(bytes) / static_cast<double>(records));
    bench_print("mean_log_bytes",
                records == 0 ? 0.0 : static_cast<double>(log_bytes) / static_cast<double>(records));
    bench_print("generate_s", bench_ms_since(start) / 1000.0);
    return 0;
}
