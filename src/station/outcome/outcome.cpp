#include "station/outcome/outcome.h"

#include "analysis/sweeplog/sweeplog.h"
#include "analysis/sweeptimes/sweeptimes.h"
#include "base/exit/exit_status.h"
#include "base/files/files.h"
#include "base/text/text.h"
#include "base/usage/usage.h"
#include "outputs/report/reportout.h"
#include "outputs/report/reportpage.h"
#include "outputs/report/reportplot.h"
#include "records/archive/archive.h"
#include "records/database/database.h"
#include "records/digest/digest.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

using Json = nlohmann::ordered_json;

// The report's own statuses: the log could not be used, or an output not written; the report
// covers the good records only, or goes by the sample number.
constexpr int outcome_exit_unusable = 1;
constexpr int outcome_exit_broken = 3;

// The statuses of an interrupted sweep: SIGHUP, SIGINT (Ctrl-C), SIGTERM.
bool outcome_interrupted(int status) {
    return status == 129 || status == 130 || status == 143;
}

// "status 3: Gyro - no answer for 2002 ms", or "status 0".
std::string outcome_ending(const RunAccount& account) {
    std::string text = text_format("status %d", account.status.value_or(-1));
    if (!account.message.empty()) {
        text += ": " + account.message;
    }
    return text;
}

// The log stands against a complete, readable account: stale, or how the sweep ended.
OutcomeSweep outcome_against(const OutcomeRequest& request, const RunAccount& account,
                             std::string& reason) {
    if (!request.not_before.empty() && account.started < request.not_before) {
        reason = "the run file is an earlier sweep's: this attempt's sweep left none";
        return OutcomeSweep::stale;
    }
    if (account.ended.empty()) {
        reason = "the last sweep did not end (killed, crashed or cut off from its power)";
        return OutcomeSweep::stale;
    }
    if (!account.log_replaced) {
        reason = "the last sweep (" + outcome_ending(account) +
                 ") did not replace the log, which is an earlier sweep's";
        return OutcomeSweep::stale;
    }
    std::error_code code;
    const std::filesystem::path log = files_path(request.log);
    const std::uintmax_t bytes = std::filesystem::is_regular_file(log, code)
                                     ? std::filesystem::file_size(log, code)
                                     : static_cast<std::uintmax_t>(-1);
    if (code || bytes == static_cast<std::uintmax_t>(-1)) {
        reason = "the log cannot be read";
        return OutcomeSweep::stale;
    }
    if (!account.log_bytes || bytes != *account.log_bytes) {
        reason = text_format("the log has %ju bytes where the last sweep left %s: it is not the "
                             "last sweep's",
                             bytes,
                             account.log_bytes ? std::to_string(*account.log_bytes).c_str()
                                               : "an unknown number");
        return OutcomeSweep::stale;
    }
    const int status = account.status.value_or(-1);
    if (status == 0) {
        return OutcomeSweep::complete;
    }
    reason = (outcome_interrupted(status) ? "the sweep was interrupted (" : "the sweep failed (") +
             outcome_ending(account) + ")";
    return outcome_interrupted(status) ? OutcomeSweep::aborted : OutcomeSweep::failed;
}

// The line that says what the run file vouches for.
std::string outcome_sweep_line(const OutcomeRequest& request, const OutcomeResult& result) {
    if (result.sweep == OutcomeSweep::unverified) {
        return "Sweep: unverified, no run file " + files_last_part(runfile_path(request.log)) +
               " beside the log\n";
    }
    if (!result.account) {
        return {}; // the reason says what became of it
    }
    const RunAccount& account = *result.account;
    if (account.ended.empty()) {
        return text_format("Sweep: started %s, never ended\n", account.started.c_str());
    }
    return text_format("Sweep: %s to %s, %s; %ju samples of %ju polls\n", account.started.c_str(),
                       account.ended.c_str(), outcome_ending(account).c_str(),
                       static_cast<std::uintmax_t>(account.samples),
                       static_cast<std::uintmax_t>(account.polls));
}

// The record's own part of report.json.
Json outcome_record_json(const OutcomeRequest& request, const OutcomeResult& result) {
    const auto text_or_null = [](const std::optional<std::string>& text) {
        return text ? Json(*text) : Json(nullptr);
    };
    const char* outcome = outcome_name(result.outcome);
    Json about = {{"format", archive_format},
                  {"serial", request.serial},
                  {"time", archive_record_time(request.now)},
                  {"local_time", archive_local_time(request.now)}};
    for (std::size_t k = 0; k < archive_trace_fields.size(); ++k) {
        about[archive_trace_fields[k]] = k == archive_station && !request.trace[k]
                                             ? Json(archive_host_name())
                                             : text_or_null(request.trace[k]);
    }
    about.update(
        Json{{"program", request.program},
             {"version", usage_version_number()},
             {"turn_rate_dps", reportout_figure(request.turn_rate)},
             {"outcome", outcome ? Json(outcome) : Json(nullptr)},
             {"reason", result.reason.empty() ? Json(nullptr) : Json(result.reason)},
             {"retest_reason", text_or_null(request.retest_reason)},
             {"sweep", result.account ? outcome_sweep_json(*result.account) : Json(nullptr)}});
    return about;
}

// Writes the record's files into its scratch folder. A picture that fails is left out.
bool outcome_fill_record(const ArchiveScratch& scratch, const OutcomeRequest& request,
                         const OutcomeResult& result, std::string& error) {
    std::error_code ignored;
    const std::string run_file = runfile_path(request.log);
    const bool stale = result.sweep == OutcomeSweep::stale;
    const bool times =
        std::filesystem::is_regular_file(files_system(files_path(request.times)), ignored);
    const bool account =
        std::filesystem::is_regular_file(files_system(files_path(run_file)), ignored);
    if ((!stale && !archive_copy(scratch, "gyro_motor.txt", files_path(request.log), error)) ||
        (!stale && times &&
         !archive_copy(scratch, "gyro_motor_times.txt", files_path(request.times), error)) ||
        (account && !archive_copy(scratch, "gyro_motor_run.txt", files_path(run_file), error)) ||
        !archive_put(scratch, "report.txt", result.text, true, error) ||
        !archive_put(scratch, "report.json", result.document.dump(2) + "\n", false, error) ||
        (result.verdict &&
         !archive_put(scratch, "limits.toml", result.verdict->limits.text, false, error))) {
        return false;
    }
    // The pictures are titled by the sensor and its time: every record has its own.
    const std::string title = reportpage_title(result.document);
    if (result.analysed && reportplot_can_draw() &&
        !reportplot_draw(request.program, result.report, result.samples,
                         files_name(scratch.folder / "report.png"), "", title)) {
        std::fprintf(stderr, "%s: the record is kept without its picture\n", request.program);
    }
    // The certificate, from report.json's document as kept, so that it shows what the record
    // holds; sealed with the rest.
    const PagesPictures pictures =
        result.analysed ? reportpage_pictures(request.program, result.report, result.samples)
                        : PagesPictures{{}, "the sweep's log was not analysed"};
    return archive_put(scratch, "record.html", reportpage_html(result.document, pictures), false,
                       error);
}

} // namespace

const char* outcome_name(Outcome outcome) {
    switch (outcome) {
    case Outcome::pass:
        return "PASS";
    case Outcome::fail:
        return "FAIL";
    case Outcome::error:
        return "ERROR";
    case Outcome::aborted:
        return "ABORTED";
    case Outcome::none:
        break;
    }
    return nullptr;
}

Json outcome_sweep_json(const RunAccount& account) {
    const auto time_or_null = [](const std::string& time) {
        return time.empty() ? Json(nullptr) : Json(time);
    };
    return {{"started", account.started},
            {"ended", time_or_null(account.ended)},
            {"status", account.status ? Json(*account.status) : Json(nullptr)},
            {"message", account.message},
            {"samples", account.samples},
            {"polls", account.polls},
            {"log_replaced", account.log_replaced},
            {"log_bytes", account.log_bytes ? Json(*account.log_bytes) : Json(nullptr)},
            {"version", account.version}};
}

bool outcome_verify(const OutcomeRequest& request, OutcomeResult& result) {
    if (!request.limits && request.archive.empty()) {
        result.sweep = OutcomeSweep::unchecked;
        return true;
    }
    const std::string path = runfile_path(request.log);
    RunAccount account;
    std::string error;
    switch (runfile_read(path, account, error)) {
    case RunFileRead::missing:
        // The station's own sweep always leaves one: without it the log is nobody's.
        if (!request.not_before.empty()) {
            result.sweep = OutcomeSweep::stale;
            result.reason = "the sweep left no run file " + files_last_part(path);
            return true;
        }
        if (!request.archive.empty() && !request.unverified) {
            std::fprintf(stderr,
                         "%s: no run file %s beside the log, so nothing says that it is the "
                         "last sweep's or that the sweep ended well; --unverified archives it "
                         "all the same (see --help)\n",
                         request.program, path.c_str());
            return false;
        }
        result.sweep = OutcomeSweep::unverified;
        return true;
    case RunFileRead::broken:
        result.sweep = OutcomeSweep::stale;
        result.reason = "the run file " + files_last_part(path) + " is broken: " + error;
        return true;
    case RunFileRead::read:
        break;
    }
    result.sweep = outcome_against(request, account, result.reason);
    result.account = std::move(account);
    return true;
}

void outcome_judge(const OutcomeRequest& request, OutcomeResult& result) {
    const bool checked = result.sweep != OutcomeSweep::unchecked;
    const bool sweep_failed =
        result.sweep == OutcomeSweep::failed || result.sweep == OutcomeSweep::aborted;
    result.text.clear();
    result.document = Json::object();
    if (result.sweep != OutcomeSweep::stale) {
        std::vector<SweepLogProblem> problems;
        std::string error;
        if (sweeplog_load(request.program, request.log, result.samples, problems)) {
            sweeplog_print_problems(stderr, request.log, problems);
            result.broken_records = problems.size();
            std::vector<double> times;
            result.times_ok = sweeptimes_load(request.program, request.times, request.times_named,
                                              result.samples, times);
            result.analysed =
                report_analyse(result.samples, request.turn_rate, result.report, error, times);
            if (!result.analysed) {
                std::fprintf(stderr, "%s: %s: %s\n", request.program, request.log.c_str(),
                             error.c_str());
            }
        }
        if (!result.analysed && !sweep_failed && checked) {
            result.reason = "the log could not be analysed" + (error.empty() ? "" : ": " + error);
        }
    }
    if (result.analysed) {
        result.text = reportout_text(result.report, request.log);
        result.document = reportout_document(result.report);
        if (result.broken_records > 0) {
            text_append(result.text, "\n%zu broken %s left out (listed on standard error)\n",
                        result.broken_records, result.broken_records == 1 ? "record" : "records");
        }
    }
    if (checked) {
        result.text += (result.text.empty() ? "" : "\n") + outcome_sweep_line(request, result);
    }
    // Only a whole sweep of this sensor, analysed, is judged.
    const bool judged =
        result.analysed && request.limits &&
        (result.sweep == OutcomeSweep::complete || result.sweep == OutcomeSweep::unverified ||
         result.sweep == OutcomeSweep::unchecked);
    if (judged) {
        result.verdict =
            limits_judge(*request.limits, result.document, result.broken_records, !result.times_ok);
        result.text += "\n" + limits_text(*result.verdict);
        result.outcome = result.verdict->pass ? Outcome::pass : Outcome::fail;
    } else if (result.sweep == OutcomeSweep::aborted) {
        result.outcome = Outcome::aborted;
    } else if (!result.reason.empty()) {
        result.outcome = Outcome::error;
    }
    result.document["verdict"] = result.verdict ? limits_verdict_json(*result.verdict) : nullptr;
    if (result.verdict) {
        // Ties the record's verdict to the very limits file it applied, whatever its name.
        const std::optional<std::string> digest = digest_sha256(request.limits->text);
        if (digest) {
            result.document["verdict"]["limits"]["sha256"] = *digest;
        } else {
            std::fprintf(stderr, "%s: cannot take the SHA-256 of the limits\n", request.program);
            result.verdict.reset();
            result.document["verdict"] = nullptr;
            result.reason = "the limits' SHA-256 could not be taken";
            result.outcome = Outcome::error;
        }
    }
    if (!result.reason.empty()) {
        text_append(result.text, "Outcome: %s: %s\n", outcome_name(result.outcome),
                    result.reason.c_str());
    }
}

bool outcome_archive(const OutcomeRequest& request, OutcomeResult& result) {
    result.document["record"] = outcome_record_json(request, result);
    ArchiveScratch scratch;
    std::filesystem::path kept;
    std::string error;
    if (!archive_begin(files_path(request.archive), request.serial, request.now, scratch, error)) {
        std::fprintf(stderr, "%s: the sweep was not archived: %s\n", request.program,
                     error.c_str());
        return false;
    }
    if (!outcome_fill_record(scratch, request, result, error) ||
        !archive_finish(scratch, kept, error)) {
        std::fprintf(stderr, "%s: the sweep was not archived: %s\n", request.program,
                     error.c_str());
        if (!archive_abandon(scratch, error)) {
            std::fprintf(stderr, "%s: %s\n", request.program, error.c_str());
        }
        return false;
    }
    result.record = files_name(kept);
    result.record_name = files_name(kept.filename());
    return true;
}

bool outcome_database(const OutcomeRequest& request, const OutcomeResult& result, std::FILE* says) {
    Database database;
    DatabaseRecord row;
    std::size_t added = 0;
    std::string error;
    if (!database_record(result.document.dump(), result.record_name, row, error) ||
        !database_open(request.database, database, error) ||
        !database_put(database, std::span<const DatabaseRecord>(&row, 1), added, error)) {
        std::fprintf(stderr, "%s: the record was not written to the database: %s\n",
                     request.program, error.c_str());
        std::fprintf(stderr, "%s: it is in the archive: gyro_motor_history --export adds it\n",
                     request.program);
        return false;
    }
    std::fprintf(says, "wrote the record to the database\n");
    return true;
}

int outcome_status(const OutcomeResult& result, bool outputs_ok, bool archived, bool in_database) {
    const bool error = result.outcome == Outcome::error || result.outcome == Outcome::aborted;
    const bool log_unusable = !result.analysed && result.sweep != OutcomeSweep::stale &&
                              result.sweep != OutcomeSweep::failed &&
                              result.sweep != OutcomeSweep::aborted;
    if (log_unusable || !outputs_ok) {
        return outcome_exit_unusable;
    }
    if (!archived) {
        return exit_archive_failed;
    }
    if (!in_database) {
        return exit_database_failed;
    }
    if (error) {
        return exit_sweep_error;
    }
    if (result.outcome == Outcome::fail) {
        return exit_verdict_failed;
    }
    return result.broken_records == 0 && result.times_ok ? exit_ok : outcome_exit_broken;
}
