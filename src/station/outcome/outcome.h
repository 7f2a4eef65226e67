// One sweep judged and kept: the step that gyro_motor_report and gyro_motor_station share. It
// checks the log against the sweep's own account (the run file beside it, sweep/runfile/),
// analyses the log, judges the figures against the limits and writes the record into the sensor
// archive, and decides the attempt's outcome:
//
//   PASS, FAIL  the sweep ended with status 0 and its figures were judged against the limits;
//   ERROR       the log is not the last sweep's (stale), the sweep ended with a failure, or its
//               log could not be analysed: never a PASS, whatever the figures say;
//   ABORTED     the sweep was interrupted (status 129, 130 or 143).
//
// A stale log is not analysed at all: nothing in it is this sensor's. Every other log is, and an
// ERROR or ABORTED sweep's figures are shown and kept, unjudged.
#pragma once

#include "analysis/limits/limits.h"
#include "analysis/report/report.h"
#include "records/archive/archive.h"
#include "sweep/runfile/runfile.h"

#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

enum class Outcome { none, pass, fail, error, aborted };

// "PASS", "FAIL", "ERROR", "ABORTED"; nullptr for none (a sweep judged against no limits).
const char* outcome_name(Outcome outcome);

// What is judged and how it is kept.
struct OutcomeRequest {
    const char* program = "";        // for messages, and the record's program
    std::string log;                 // the sample log
    std::string times;               // its times file
    bool times_named = false;        // given by name: one that is missing is a problem
    std::optional<double> turn_rate; // the commanded turn rate, deg/s
    const Limits* limits = nullptr;  // none: no verdict
    bool unverified = false;         // a log without a run file may be archived
    std::string not_before;          // a run file that started earlier is stale (runfile_time)
    std::string archive;             // empty: nothing is kept
    std::string database;            // an ODBC connection string: the record goes there too
    std::string serial;              // with archive
    // The record's operator, station, lot and part (archive_trace_fields); a station not given
    // is the computer's name.
    std::array<std::optional<std::string>, archive_trace_fields.size()> trace;
    std::optional<std::string> retest_reason; // why a sensor with a PASS record is swept again
    std::chrono::system_clock::time_point now;
};

// How the log stands against the run file.
enum class OutcomeSweep {
    unchecked,  // neither judged nor archived: the run file is not looked at
    unverified, // no run file beside the log
    stale,      // the log is not the last sweep's, or the run file cannot be trusted
    failed,     // the last sweep's log, of a sweep that ended with a failure
    aborted,    // the last sweep's log, of an interrupted sweep
    complete,   // the last sweep's log, of a sweep that ended with status 0
};

struct OutcomeResult {
    OutcomeSweep sweep = OutcomeSweep::unchecked;
    std::optional<RunAccount> account;
    Outcome outcome = Outcome::none;
    std::string reason; // why ERROR or ABORTED
    bool analysed = false;
    Report report;
    std::vector<SweepLogSample> samples;
    std::size_t broken_records = 0;
    bool times_ok = true;
    std::optional<LimitsVerdict> verdict;
    std::string text;                // the report as printed and kept
    nlohmann::ordered_json document; // its JSON, and the record's report.json with "record"
    std::string record;              // where the record went, once archived
    std::string record_name;         // its folder's name
};

// Checks the log against its run file when it is judged or archived. False, after one line on
// standard error, when it must not be archived: there is no run file and no request to archive an
// unverified sweep (the caller ends with status 2, nothing written).
bool outcome_verify(const OutcomeRequest& request, OutcomeResult& result);

// Analyses the log (unless it is stale), judges it, and makes the text and the JSON document.
// A log that cannot be read or analysed is said on standard error after "program: ".
void outcome_judge(const OutcomeRequest& request, OutcomeResult& result);

// Writes the record: the log and its times (unless stale), the run file, report.txt,
// report.json with its "record", the limits, and the picture where gnuplot is. False, said on
// standard error after "program: ", when it could not be written.
bool outcome_archive(const OutcomeRequest& request, OutcomeResult& result);

// Writes the archived record to the database too, and says so on `says`. False, in one line on
// standard error, when it could not (the folder stays the primary copy).
bool outcome_database(const OutcomeRequest& request, const OutcomeResult& result, std::FILE* says);

// The report's exit status: 1 when the log could not be used (a failed sweep's log is its ERROR)
// or an output failed, then 6 not archived, 8 not in the database, 7 ERROR or ABORTED, 5 FAIL, 3
// broken records or times, else 0.
int outcome_status(const OutcomeResult& result, bool outputs_ok, bool archived,
                   bool in_database = true);

// The account's fields as the record holds them under "sweep".
nlohmann::ordered_json outcome_sweep_json(const RunAccount& account);
