// gyro_motor_params: reads a parameter file and lists what it sets, so that a file can be checked
// before it is used. Lines that set nothing are reported as the reader reports them.
#include "base/exit/exit_status.h"
#include "programs/cli.h"
#include "sweep/params/params.h"

#include <cstdio>
#include <optional>
#include <string>

namespace {

// The file could not be read, or the listing could not be written.
constexpr int params_tool_failed = 1;

} // namespace

int main(int argc, char** argv) {
    std::string path;
    CLI::App app("Reads PARAMETER_FILE, reports the lines that start with no known key and lists\n"
                 "every parameter.",
                 "gyro_motor_params");
    cli_setup(app);
    app.add_option("PARAMETER_FILE", path, "the parameter file to check")
        ->required()
        ->check(cli_text());
    app.footer("Exit status: 0 listed, 1 file not readable, 2 wrong arguments.");
    if (const std::optional<int> status = cli_parse(app, argc, argv)) {
        return *status;
    }

    const std::optional<InputParameters> parameters = read_input_parameters(path.c_str());
    if (!parameters) {
        return params_tool_failed;
    }
    dump_input_parameters(stdout, *parameters);
    // A listing that could not be written (a full disk, a closed pipe) is no success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "gyro_motor_params: could not write the listing\n");
        return params_tool_failed;
    }
    return exit_ok;
}
