// gyro_motor_history: the view over a sensor archive that gyro_motor_report --archive fills. Lists
// the sensors (or every sweep), or summarises each figure over the latest sweep of each sensor with
// its process capability against the limits applied, and the first-pass and final yields; as a
// text table, CSV or JSON, draws a figure over time and temperature, and writes one page over the
// batch (--html). The same views come from a lab's SQL database (--database), which --export
// fills from an archive folder: that part is gyro_motor_history_database.cpp. The reading and the
// statistics live in records/history/, the database in records/database/ and records/dbhistory/,
// the tables, the pictures and the page in outputs/history/.
#include "programs/gyro_motor_history.h"
#include "outputs/gnuplot/gnuplot.h"
#include "outputs/history/historyout.h"
#include "outputs/history/historypage.h"
#include "outputs/history/historyplot.h"
#include "programs/cli.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace {

constexpr const char* history_description =
    "Reads a sensor archive (DIR/SERIAL/20261209T101503Z/report.json, as\n"
    "gyro_motor_report --serial ID --archive DIR writes it), checks every record,\n"
    "and shows one row per sensor: serial, sweeps, the time and outcome (PASS,\n"
    "FAIL, ERROR, ABORTED) of its latest sweep, what it failed on, its limits and\n"
    "a few of its figures. --sweeps shows one row per sweep; --summary one row per\n"
    "figure; --verify checks the archive and lists the records that are not\n"
    "whole. --export copies the archive's whole records to a SQL database;\n"
    "--database shows the same views from there. --html writes one page over the\n"
    "batch to open in a browser.";

constexpr const char* history_footer =
    R"(The summary takes the latest sweep of each sensor (after the filters) and gives
per figure n (the sensors whose latest sweep measured it), not_measured, the
mean, the sample standard deviation sd (n - 1), min and max. A figure whose
limit is max_abs alone is summarised on its size |x|, against max_abs as the
one upper limit. Against the limits the records' verdicts applied (guards left
out) the capability, from sd and from sigma_within, the mean moving range /
1.128 over the latest sweeps in time order:
  Pp = (USL - LSL) / (6 sd), Ppk = min(USL - mean, mean - LSL) / (3 sd),
  Cp and Cpk the same with sigma_within; with one limit Ppu = (USL - mean) /
  (3 sd) or Ppl = (mean - LSL) / (3 sd), and Cpu or Cpl.
Ppk and Cpk come with Bissell's 95 % interval. Below 25 values the indices are
flagged few, below 2 none is given. normality_p is the Anderson-Darling test
of a normal distribution (from 8 values), flagged below 0.05.
Where the latest sweeps applied different limits to a figure it says so and
gives none. First-pass yield: sensors whose first sweep (by time) passed, of
the sensors whose first sweep has a verdict; final yield likewise with the
latest sweep. A sweep without a verdict (reported without --limits) neither
passes nor fails: its sensor counts on neither side of that yield; nor does
one whose sweep did not complete (ERROR, ABORTED), which is counted apart, and
whose figures enter no statistic. With --since or --until the first-pass
yield counts only the sensors whose first sweep in the archive lies in the
window. --csv writes the yields after the figures, past an empty line.

Times are UTC: --since 2026-12-09 keeps sweeps from that day's midnight on,
--until 2026-12-09 those up to the end of that day; with a time of day
(2026-12-09T10:15:03Z or 20261209T101503Z) both take that second itself.

--png FILE --plot FIGURE draws the figure of every sweep over time and
temperature with its limits and guard band; --chart imr instead draws its
individuals and moving range chart: the latest sweep of each sensor in time
order with the centre line, the control limits mean +/- 3 sigma_within (the
points beyond them marked with their serial), the limits and the guard band,
and below it the moving ranges with their upper control limit 3.267 times
their mean.

Failing figures go by their short names (peak_deviation_deg for
heading.peak_deviation_deg). The summary ends with the failures by figure:
how many sensors failed on it at their first sweep and at their latest,
largest first. Limits are shown as their name and the first digits of the
SHA-256 of their file, rev C (3f2a9c1e); a name that two different files
carry is marked *, and --limits takes a name, such digits (8 or more) or both
as shown. The --operator, --station, --lot and --part filters take a GLOB as
--serial does; --show adds those fields as columns.

Every record is checked: its manifest.sha256 matches its files, it lies in
its serial's folder, every figure is a number or null, it has a verdict where
it must, and that verdict is what its own limits.toml gives for its own
figures. A record that fails a check, one that cannot be read (no
report.json, not valid JSON, no record.time), a scratch folder .partial-...
left by a crash (10 minutes old or more), and anything that is no sensor's
folder or record folder are skipped, each with one line PATH: reason on
standard error. A scratch folder younger than that is a record being
written: a note on standard error, and the status stays. A record written
before records had manifests is read but unverified. Serials that differ
only in letter case (SN0042, sn0042) are one sensor's: its records are
listed together, with a warning on standard error. With --csv -, --json - or
--html - the text goes to standard error. --png needs gnuplot on the PATH.
Outputs are never written into the archive.

The page of --html, for a browser, from a file or a share: the yields, the
failures by figure, the summary's tables, a trend chart of each judged figure
(of --figures when given) with its limits and guard band (without gnuplot the
page says why it has none), one row per sensor with a link to the certificate
(record.html) of each of its sweeps, relative to the page, and the records
left out with their reason. It needs DIR.

CONNECTION is an ODBC connection string, e.g. "DSN=bench" or
"Driver={PostgreSQL Unicode};Server=db;Database=bench;Uid=gm;Pwd=...".
--export writes every whole record of DIR that the database does not hold yet
(a record is known by its serial and its folder's name, so a second run adds
nothing) and makes the tables on first use; several benches may export at once.
A record that is not whole, or unverified, is not exported: it is listed as
PATH: reason on standard error.

Exit status:
  0  listed (with --verify: every record is whole)
  1  the archive cannot be read or holds no record (none left by the filters),
     or an output could not be written
  2  bad arguments
  3  records were skipped (each named on standard error), the rest listed
     or exported; with --verify: a record is not whole or unverified (each
     listed)
  8  the database could not be used (the reason on standard error))";

CLI::Validator history_time_check() {
    return CLI::Validator(
        [](const std::string& text) -> std::string {
            bool date_only = false;
            return archive_parse_time(text, date_only)
                       ? ""
                       : "not a UTC date or time like 2026-12-09 or 2026-12-09T10:15:03Z: " + text;
        },
        "");
}

// The filter the options ask for; a usage error's text when --since is after --until.
std::optional<std::string> history_make_filter(const HistoryOptions& options,
                                               SelectFilter& filter) {
    filter.serial_glob = options.serial;
    bool date_only = false;
    if (!options.since.empty()) {
        filter.since = archive_parse_time(options.since, date_only);
    }
    if (!options.until.empty()) {
        // A date takes in its whole day.
        filter.until = archive_parse_time(options.until, date_only);
        *filter.until += date_only ? 86400 - 1 : 0;
    }
    filter.limits_name = options.limits;
    filter.trace_globs = options.trace;
    if (filter.since && filter.until && *filter.since > *filter.until) {
        return "--since " + options.since + " is after --until " + options.until;
    }
    return std::nullopt;
}

std::optional<int> history_parse_arguments(int argc, char** argv, HistoryOptions& options,
                                           SelectFilter& filter) {
    CLI::App app(history_description, history_name);
    cli_setup(app);
    app.footer(history_footer);
    CLI::Option* dir = app.add_option("DIR", options.dir, "the archive folder")->check(cli_text());
    CLI::Option* database = app.add_option("--database", options.database,
                                           "show the records of the SQL database that\n"
                                           "CONNECTION names, not those of DIR")
                                ->type_name("CONNECTION")
                                ->check(cli_text())
                                ->excludes(dir);
    CLI::Option* export_to = app.add_option("--export", options.export_to,
                                            "copy the records of DIR to the SQL database that\n"
                                            "CONNECTION names (nothing else is shown)")
                                 ->type_name("CONNECTION")
                                 ->check(cli_text())
                                 ->needs(dir)
                                 ->excludes(database);
    CLI::Option* sweeps = app.add_flag("--sweeps", options.sweeps, "one row per sweep");
    CLI::Option* summary = app.add_flag("--summary", options.summary,
                                        "one row per figure over the latest sweep of each\n"
                                        "sensor, with its capability, the yields and the\n"
                                        "failures by figure")
                               ->excludes(sweeps);
    CLI::Option* verify = app.add_flag("--verify", options.verify,
                                       "check every record of DIR and list those that are\n"
                                       "not whole, and nothing else (an audit)")
                              ->needs(dir)
                              ->excludes(database)
                              ->excludes(export_to);
    std::vector<CLI::Option*> views{sweeps, summary};
    views.push_back(app.add_option("--figures", options.figures,
                                   "the figures to show, by their path in\n"
                                   "report.json, e.g. heading.B_deg (default: the\n"
                                   "rows heading.peak_deviation_deg,\n"
                                   "yaw_rate.scale_error_percent, mag.fit_rms_gauss;\n"
                                   "the summary the figures with limits, or every\n"
                                   "figure when no sweep was judged)")
                        ->delimiter(',')
                        // One LIST a time: DIR, no longer required, is no further figure.
                        ->allow_extra_args(false)
                        ->type_name("LIST")
                        ->check(cli_text()));
    views.push_back(app.add_option("--show", options.show,
                                   "the record's fields to show as columns, of\n"
                                   "operator, station, lot, part")
                        ->delimiter(',')
                        ->allow_extra_args(false)
                        ->type_name("LIST")
                        ->check(CLI::IsMember(std::vector<std::string>(
                            archive_trace_fields.begin(), archive_trace_fields.end()))));
    views.push_back(
        app.add_option("--serial", options.serial,
                       "only the serials that match GLOB (* and ?), in\nany letter case")
            ->type_name("GLOB")
            ->check(cli_text()));
    views.push_back(app.add_option("--since", options.since, "only sweeps at or after TIME (UTC)")
                        ->type_name("TIME")
                        ->check(history_time_check()));
    views.push_back(app.add_option("--until", options.until, "only sweeps at or before TIME (UTC)")
                        ->type_name("TIME")
                        ->check(history_time_check()));
    views.push_back(app.add_option("--limits", options.limits,
                                   "only sweeps judged against the limits named NAME,\n"
                                   "or whose file's SHA-256 begins with these digits")
                        ->type_name("NAME"));
    for (std::size_t k = 0; k < archive_trace_fields.size(); ++k) {
        const std::string field = archive_trace_fields[k];
        views.push_back(app.add_option("--" + field, options.trace[k],
                                       "only sweeps whose " + field + " matches GLOB")
                            ->type_name("GLOB")
                            ->check(cli_record_field()));
    }
    views.push_back(app.add_option("--csv", options.csv,
                                   "write the table as CSV to FILE (- for\nstandard output)")
                        ->type_name("FILE")
                        ->check(cli_text()));
    views.push_back(app.add_option("--json", options.json,
                                   "write the table as JSON to FILE (- for\nstandard output)")
                        ->type_name("FILE")
                        ->check(cli_text()));
    CLI::Option* png = app.add_option("--png", options.png, "draw the figure of --plot to FILE")
                           ->type_name("FILE")
                           ->check(cli_text());
    views.push_back(png);
    views.push_back(app.add_option("--html", options.html,
                                   "write the batch's page to FILE (- for standard\noutput)")
                        ->type_name("FILE")
                        ->check(cli_text())
                        ->excludes(database));
    views.push_back(app.add_option("--plot", options.plot,
                                   "the figure to draw over time and over the mean\n"
                                   "temperature")
                        ->type_name("FIGURE")
                        ->check(cli_text())
                        ->needs(png));
    png->needs("--plot");
    views.push_back(app.add_option("--chart", options.chart,
                                   "trend: the figure of every sweep over time and\n"
                                   "temperature (default); imr: the individuals and\n"
                                   "moving range chart of the latest sweep of each\n"
                                   "sensor in time order")
                        ->type_name("KIND")
                        ->check(CLI::IsMember({"trend", "imr"}))
                        ->needs(png));
    for (CLI::Option* view : views) {
        export_to->excludes(view);
    }
    if (const std::optional<int> status = cli_parse(app, argc, argv)) {
        return *status;
    }
    if (options.dir.empty() && options.database.empty()) {
        return history_usage_error("DIR (or --database CONNECTION) is required");
    }
    for (const CLI::Option* view : views) {
        if (verify->count() > 0 && view->count() > 0) {
            return history_usage_error("--verify checks the whole archive and shows nothing "
                                       "else: no " +
                                       view->get_name() + " with it");
        }
    }
    if ((options.csv == "-") + (options.json == "-") + (options.html == "-") > 1) {
        return history_usage_error(
            "only one of --csv -, --json - and --html - can take standard output");
    }
    const std::string standard_output;
    const std::array<CliFile, 5> files{{
        {"DIR", &options.dir},
        {"--csv", options.csv == "-" ? &standard_output : &options.csv},
        {"--json", options.json == "-" ? &standard_output : &options.json},
        {"--png", &options.png},
        {"--html", options.html == "-" ? &standard_output : &options.html},
    }};
    if (const std::optional<std::string> problem = cli_check_files(files)) {
        return history_usage_error(*problem);
    }
    // An output in the archive would be read back as a damaged record by every later run.
    for (const CliFile& file : std::span(files).subspan(1)) {
        if (!options.dir.empty() && !file.second->empty() &&
            files_inside(*file.second, options.dir)) {
            return history_usage_error(std::string(file.first) + " " + *file.second +
                                       " is inside the archive " + options.dir);
        }
    }
    if (const std::optional<std::string> problem = history_make_filter(options, filter)) {
        return history_usage_error(*problem);
    }
    return std::nullopt;
}

// Writes an output to FILE, or to standard output for "-"; says so on `says`.
bool history_write(const std::string& path, const std::string& text, const char* what,
                   std::FILE* says) {
    const bool to_stdout = path == "-";
    std::FILE* file = to_stdout ? stdout : files_open(path, "wb");
    if (file == nullptr) {
        const int error = errno;
        std::fprintf(stderr, "%s: cannot write %s: %s\n", history_name, path.c_str(),
                     files_failure(path, error).c_str());
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if ((to_stdout ? std::fflush(file) : std::fclose(file)) != 0 || !written) {
        std::fprintf(stderr, "%s: cannot write the %s to %s\n", history_name, what,
                     to_stdout ? "standard output" : path.c_str());
        if (!to_stdout) {
            files_remove(path);
        }
        return false;
    }
    if (!to_stdout) {
        std::fprintf(says, "wrote %s\n", path.c_str());
    }
    return true;
}

// What the records come from, for the messages and the picture's title.
std::string history_where(const HistoryOptions& options) {
    return options.database.empty() ? options.dir : "the database";
}

bool history_draw(const HistoryOptions& options, const std::vector<HistoryRecord>& records,
                  const std::vector<HistorySensor>& sensors, std::FILE* says) {
    const HistorySummary summary = history_summarise(records, sensors, {options.plot});
    const HistoryFigureSummary& figure = summary.figures.front();
    const bool imr = options.chart == "imr";
    const std::string title = options.plot + " of " + history_where(options);
    const std::string script =
        imr ? historyplot_imr_script(figure, options.png, title)
            : historyplot_gnuplot_script(records, figure, options.png, title);
    if (script.empty()) {
        if (imr) {
            std::fprintf(stderr,
                         "%s: a control chart needs two sensors whose latest sweep measured %s; "
                         "%zu did\n",
                         history_name, options.plot.c_str(), figure.n);
        } else {
            std::fprintf(stderr, "%s: no sweep measured %s, so there is nothing to draw\n",
                         history_name, options.plot.c_str());
        }
        return false;
    }
    const std::optional<std::filesystem::path> gnuplot = gnuplot_find();
    if (!gnuplot) {
        std::fprintf(stderr, "%s: gnuplot not found on the PATH, so no picture was drawn. %s.\n",
                     history_name, usage_gnuplot_install);
        return false;
    }
    if (!gnuplot_draw(history_name, *gnuplot, {options.png}, script)) {
        return false;
    }
    std::fprintf(says, "wrote %s\n", options.png.c_str());
    return true;
}

// --verify: one line per record that is not whole (to standard output: it is the audit's
// result), and the count.
int history_verify(const HistoryArchive& archive) {
    std::size_t whole = 0;
    for (const HistorySkip& skip : archive.skipped) {
        std::printf("%s: %s\n", skip.path.c_str(), skip.reason.c_str());
    }
    for (const HistoryRecord& record : archive.records) {
        if (record.sealed) {
            ++whole;
        } else {
            std::printf("%s: unverified: no manifest (written before records had one)\n",
                        record.path.c_str());
        }
    }
    const std::size_t not_whole = archive.skipped.size() + archive.records.size() - whole;
    std::printf("%zu %s whole", whole, whole == 1 ? "record" : "records");
    if (not_whole > 0) {
        std::printf(", %zu not (listed above)", not_whole);
    }
    std::printf("\n");
    if (std::fflush(stdout) != 0) {
        return history_exit_failed;
    }
    return not_whole == 0 ? history_exit_ok : history_exit_skipped;
}

std::optional<int> history_from_folder(const HistoryOptions& options, const SelectFilter& filter,
                                       HistoryView& view) {
    HistoryArchive archive;
    if (const std::optional<int> status = history_read_folder(options, archive)) {
        return status;
    }
    const std::vector<std::string> known = history_figure_paths(archive.records);
    for (const std::string& figure : history_asked(options)) {
        if (std::find(known.begin(), known.end(), figure) == known.end()) {
            return history_usage_error("no record has the figure " + figure);
        }
    }
    std::vector<HistoryRecord>& records = archive.records;
    // A sensor's first pass is its first sweep in the archive, which a time window may leave out:
    // the records before the window tell.
    std::vector<HistoryRecord> unwindowed;
    view.window = filter.since || filter.until;
    if (view.window && (options.summary || !options.html.empty())) {
        SelectFilter others = filter;
        others.since.reset();
        others.until.reset();
        unwindowed = records;
        select_filter(unwindowed, others);
    }
    select_filter(records, filter);
    if (records.empty()) {
        std::fprintf(stderr, "%s: no record in %s matches the filters\n", history_name,
                     options.dir.c_str());
        return history_exit_failed;
    }
    view.figures = options.figures;
    if (view.figures.empty() && options.summary) {
        // The figures the sweeps were judged on; every figure when none was judged.
        view.figures = history_judged_figures(records);
        if (view.figures.empty()) {
            view.figures = history_figure_paths(records);
        }
    } else if (view.figures.empty()) {
        for (const char* figure : history_key_figures) {
            if (std::find(known.begin(), known.end(), figure) != known.end()) {
                view.figures.emplace_back(figure);
            }
        }
    }
    view.sensors = history_sensors(records);
    if (view.window && (options.summary || !options.html.empty())) {
        history_mark_first_sweeps(unwindowed, records, view.sensors);
    }
    view.sweeps = records.size();
    view.records = std::move(records);
    view.skipped = std::move(archive.skipped);
    return std::nullopt;
}

} // namespace

int history_usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s (see --help)\n", history_name, message.c_str());
    return exit_bad_arguments;
}

// The figures --figures and --plot name.
std::vector<std::string> history_asked(const HistoryOptions& options) {
    std::vector<std::string> asked = options.figures;
    if (!options.plot.empty()) {
        asked.push_back(options.plot);
    }
    return asked;
}

void history_print_skipped(const std::vector<HistorySkip>& skipped) {
    for (const HistorySkip& skip : skipped) {
        std::fprintf(stderr, "%s: %s\n", skip.path.c_str(), skip.reason.c_str());
    }
}

// Serials that differ only in letter case, written before the archive refused a second spelling:
// the view takes them as one sensor's, and says so.
void history_print_spellings(const std::vector<std::vector<std::string>>& spellings) {
    for (const std::vector<std::string>& spelled : spellings) {
        std::string serials;
        for (std::size_t i = 0; i < spelled.size(); ++i) {
            serials += i == 0 ? "" : i + 1 == spelled.size() ? " and " : ", ";
            serials += spelled[i];
        }
        std::fprintf(stderr, "%s: %s differ only in letter case: one sensor\n", history_name,
                     serials.c_str());
    }
}

// Reads the archive folder; a status when the program ends here (with --verify, always but for
// an empty archive).
std::optional<int> history_read_folder(const HistoryOptions& options, HistoryArchive& archive) {
    const std::string& dir = options.dir;
    std::string error;
    if (!history_read(dir, archive, error)) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", history_name, dir.c_str(), error.c_str());
        return history_exit_failed;
    }
    history_print_skipped(archive.busy);
    if (options.verify && !(archive.records.empty() && archive.skipped.empty())) {
        return history_verify(archive);
    }
    history_print_skipped(archive.skipped);
    history_print_spellings(archive.spellings);
    if (archive.records.empty()) {
        std::fprintf(stderr, "%s: %s holds no record%s\n", history_name, dir.c_str(),
                     archive.skipped.empty() ? "" : " that could be read");
        return history_exit_failed;
    }
    return std::nullopt;
}

int main(int argc, char** argv) {
    HistoryOptions options;
    SelectFilter filter;
    if (const std::optional<int> status = history_parse_arguments(argc, argv, options, filter)) {
        return *status;
    }
    if (!options.export_to.empty()) {
        return history_export(options);
    }
    HistoryView view;
    if (const std::optional<int> status = options.database.empty()
                                              ? history_from_folder(options, filter, view)
                                              : history_from_database(options, filter, view)) {
        return *status;
    }
    const std::vector<HistoryRecord>& records = view.records;
    const std::vector<HistorySensor>& sensors = view.sensors;
    HistoryTraceColumns trace;
    for (const std::string& field : options.show) {
        trace.push_back(static_cast<std::size_t>(
            std::find(archive_trace_fields.begin(), archive_trace_fields.end(), field) -
            archive_trace_fields.begin()));
    }
    std::optional<HistorySummary> summary;
    HistoryTable table;
    if (options.summary) {
        summary = history_summarise(records, sensors, view.figures);
        summary->window = view.window;
        table = historyout_summary(*summary);
    } else if (options.sweeps) {
        table = historyout_sweeps(records, view.figures, trace);
    } else {
        table = historyout_sensors(records, sensors, view.figures, trace);
    }

    std::FILE* const says =
        options.csv == "-" || options.json == "-" || options.html == "-" ? stderr : stdout;
    std::fprintf(says, "%zu %s of %zu %s", view.sweeps, view.sweeps == 1 ? "sweep" : "sweeps",
                 sensors.size(), sensors.size() == 1 ? "sensor" : "sensors");
    const auto unverified = std::count_if(records.begin(), records.end(),
                                          [](const HistoryRecord& r) { return !r.sealed; });
    if (unverified > 0) {
        std::fprintf(says, ", %td unverified (written before records had manifests)", unverified);
    }
    if (!view.skipped.empty()) {
        std::fprintf(says, ", %zu skipped (listed on standard error)", view.skipped.size());
    }
    std::fprintf(
        says, "\n\n%s",
        (summary ? historyout_summary_text(table, *summary) : historyout_text(table)).c_str());
    if (summary) {
        std::fprintf(says, "\n%s", historyout_yields_text(*summary).c_str());
        if (!summary->pareto.empty()) {
            std::fprintf(says,
                         "\nFailures by figure (sensors failing on it at their first sweep, "
                         "at their latest):\n%s",
                         historyout_text(historyout_pareto(*summary)).c_str());
        }
    }
    const std::string shared = historyout_shared_names_text(history_shared_names(records));
    std::fprintf(says, "%s%s", shared.empty() ? "" : "\n", shared.c_str());
    bool outputs_ok = std::fflush(says) == 0;
    if (!options.csv.empty()) {
        const std::string csv =
            summary ? historyout_summary_csv(table, *summary) : historyout_csv(table);
        outputs_ok = history_write(options.csv, csv, "CSV", says) && outputs_ok;
    }
    if (!options.json.empty()) {
        const std::string json =
            historyout_json(table, summary ? &*summary : nullptr, view.skipped);
        outputs_ok = history_write(options.json, json, "JSON", says) && outputs_ok;
    }
    if (!options.png.empty()) {
        outputs_ok = history_draw(options, records, sensors, says) && outputs_ok;
    }
    if (!options.html.empty()) {
        HistorySummary batch = history_summarise(
            records, sensors,
            options.figures.empty() ? history_judged_figures(records) : options.figures);
        batch.window = view.window;
        const std::string page = historypage_make(history_name, options.dir, options.html, records,
                                                  sensors, batch, view.skipped);
        outputs_ok = history_write(options.html, page, "page", says) && outputs_ok;
    }
    if (!outputs_ok) {
        return history_exit_failed;
    }
    return view.skipped.empty() ? history_exit_ok : history_exit_skipped;
}
