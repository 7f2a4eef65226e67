// --- archive: a sensor archive of many records, for timing gyro_motor_history over it ---------
#include "base/text/text.h"
#include "bench/bench.h"
#include "outputs/report/reportout.h"

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

// The verdict on three figures, as gyro_motor_report --limits writes it.
nlohmann::ordered_json bench_verdict(const nlohmann::ordered_json& document) {
    using Json = nlohmann::ordered_json;
    struct Limit {
        const char* group;
        const char* key;
        Json min;
        Json max;
        Json max_abs;
    };
    const Limit limits[] = {{"heading", "peak_deviation_deg", nullptr, nullptr, 0.5},
                            {"yaw_rate", "scale_error_percent", -0.3, 0.3, nullptr},
                            {"mag", "fit_rms_gauss", nullptr, 0.002, nullptr}};
    Json figures = Json::object();
    Json rows = Json::array();
    int failed = 0;
    for (const Limit& limit : limits) {
        const std::string figure = std::string(limit.group) + "." + limit.key;
        const double value = document[limit.group][limit.key].get<double>();
        const bool pass =
            (limit.min.is_null() || value >= limit.min.get<double>()) &&
            (limit.max.is_null() || value <= limit.max.get<double>()) &&
            (limit.max_abs.is_null() || std::fabs(value) <= limit.max_abs.get<double>());
        failed += pass ? 0 : 1;
        figures[figure] = {
            {"min", limit.min}, {"max", limit.max}, {"max_abs", limit.max_abs}, {"guard", nullptr}};
        rows.push_back({{"figure", figure},
                        {"value", value},
                        {"min", limit.min},
                        {"max", limit.max},
                        {"max_abs", limit.max_abs},
                        {"guard", nullptr},
                        {"pass", pass},
                        {"reason", pass ? Json(nullptr) : Json("above max")}});
    }
    return {{"limits",
             {{"name", "HS-200 production, rev C"}, {"file", "limits.toml"}, {"figures", figures}}},
            {"result", failed == 0 ? "PASS" : "FAIL"},
            {"checked", 3},
            {"failed", failed},
            {"broken_records", 0},
            {"rows", rows}};
}

} // namespace

int bench_archive(const std::string& dir, std::uint64_t records, std::uint64_t per_sensor) {
    std::mt19937 random(1);
    const auto start = BenchClock::now();
    std::uint64_t bytes = 0;
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
        document["verdict"] = bench_verdict(document);
        document["record"] = {
            {"serial", serial},
            {"time", text_format("%04u-%02u-%02uT%02u:00:00Z", year, month, month_day, hh)},
            {"station", "benchpc-3"},
            {"operator", "anna"},
            {"program", "gyro_motor_report"},
            {"version", "0.1"}};
        const std::string json = document.dump(2) + "\n";
        std::error_code error;
        fs::create_directories(folder, error);
        std::FILE* file = std::fopen((folder / "report.json").string().c_str(), "wb");
        if (error || file == nullptr ||
            std::fwrite(json.data(), 1, json.size(), file) != json.size() ||
            std::fclose(file) != 0) {
            std::fprintf(stderr, "gm_bench: cannot write %s: %s\n", folder.string().c_str(),
                         error ? error.message().c_str() : std::strerror(errno));
            return 1;
        }
        bytes += json.size();
    }
    bench_print_count("records", records);
    bench_print_count("sensors", (records + per_sensor - 1) / per_sensor);
    bench_print_count("json_bytes", bytes);
    bench_print("mean_json_bytes",
                records == 0 ? 0.0 : static_cast<double>(bytes) / static_cast<double>(records));
    bench_print("generate_s", bench_ms_since(start) / 1000.0);
    return 0;
}
