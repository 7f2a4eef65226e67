// Fuzz target: the sweep report on arbitrary log contents, through the log reader, the analysis,
// the text, the JSON and the picture's script. Besides crashes and sanitizer reports it checks
// that a report it makes names a cruise inside the log.
#include "analysis/report/report.h"
#include "outputs/report/reportout.h"
#include "outputs/report/reportplot.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* log = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (log == nullptr) {
        return 0; // fmemopen refuses an empty buffer
    }
    std::vector<SweepLogSample> samples;
    std::vector<SweepLogProblem> problems;
    sweeplog_read(log, samples, problems);
    std::fclose(log);

    Report report;
    std::string error;
    if (!report_analyse(samples, 14.4, report, error)) {
        if (error.empty() || error.find('\n') != std::string::npos) {
            std::fprintf(stderr, "report_fuzz: no one-line reason: \"%s\"\n", error.c_str());
            std::abort();
        }
        return 0;
    }
    const ReportCruise& cruise = report.cruise;
    if (cruise.first < 1 || cruise.first > cruise.last || cruise.last > samples.size() ||
        cruise.count != cruise.last - cruise.first + 1 || cruise.count < report_min_samples) {
        std::fprintf(stderr, "report_fuzz: cruise %zu-%zu (%zu) in %zu samples\n", cruise.first,
                     cruise.last, cruise.count, samples.size());
        std::abort();
    }
    const std::string text = reportout_text(report, "fuzz.txt");
    const std::string json = reportout_json(report);
    const std::string script = reportplot_gnuplot_script(report, samples, "a.png", "a.svg", "t");
    if (text.empty() || json.empty() || script.empty()) {
        std::abort();
    }
    return 0;
}
