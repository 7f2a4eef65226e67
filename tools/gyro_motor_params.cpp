// gyro_motor_params: reads a parameter file and lists what it sets, so that a file can be checked
// before it is used. Lines that set nothing are reported as the reader reports them.
#include "params/params.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* params_tool_usage = "usage: gyro_motor_params PARAMETER_FILE\n";

// Exit statuses.
constexpr int params_tool_ok = 0;
constexpr int params_tool_unreadable = 1;
constexpr int params_tool_misuse = 2;

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf("%s", params_tool_usage);
        std::printf("Reads PARAMETER_FILE, reports the lines that start with no known key and "
                    "lists every parameter.\n"
                    "Exit status: 0 listed, 1 file not readable, 2 wrong arguments.\n");
        return params_tool_ok;
    }
    if (argc == 2 && argv[1][0] == '-' && argv[1][1] != '\0') {
        std::fprintf(stderr, "gyro_motor_params: unknown option %s\n", argv[1]);
        std::fprintf(stderr, "%s", params_tool_usage);
        return params_tool_misuse;
    }
    if (argc != 2) {
        std::fprintf(stderr, "%s", params_tool_usage);
        return params_tool_misuse;
    }

    const std::optional<InputParameters> parameters = read_input_parameters(argv[1]);
    if (!parameters) {
        return params_tool_unreadable;
    }
    dump_input_parameters(stdout, *parameters);
    // A listing that could not be written (a full disk, a closed pipe) is no success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "gyro_motor_params: could not write the listing\n");
        return params_tool_unreadable;
    }
    return params_tool_ok;
}
