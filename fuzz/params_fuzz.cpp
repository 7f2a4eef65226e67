// Fuzz target: the parameter reader and the listing on arbitrary file contents. Besides crashes
// and sanitizer reports it checks what every stored text must look like.
#include "sweep/params/params.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int params_fuzz_fd = -1;
std::string params_fuzz_path;
std::FILE* params_fuzz_sink = nullptr;

bool params_fuzz_is_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A stored text is the trimmed, non-empty value of one line piece: it fits in the piece after
// its key and '=', and holds no ';' and no line end.
void params_fuzz_check(const InputParameters& parameters) {
    for (const ParameterKey& entry : parameter_keys) {
        if (entry.text_field == nullptr) {
            continue;
        }
        const char* text = (parameters.*(entry.text_field)).get();
        if (text == nullptr) {
            continue;
        }
        const std::size_t length = std::strlen(text);
        const std::size_t room = params_line_capacity - 1 - std::strlen(entry.key) - 1;
        if (length == 0 || length > room || params_fuzz_is_white(text[0]) ||
            params_fuzz_is_white(text[length - 1]) || std::strchr(text, ';') != nullptr ||
            std::strchr(text, '\n') != nullptr) {
            std::fprintf(stderr, "params_fuzz: bad text for %s: \"%s\"\n", entry.key, text);
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The not-found reports would cost more than the parsing; libFuzzer writes to stderr.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    // The input lives in memory; the reader opens it by name like any other file.
    params_fuzz_fd = memfd_create("params_fuzz", 0);
    params_fuzz_sink = std::fopen("/dev/null", "w");
    if (params_fuzz_fd < 0 || params_fuzz_sink == nullptr) {
        std::abort();
    }
    params_fuzz_path = "/proc/self/fd/" + std::to_string(params_fuzz_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(params_fuzz_fd, 0) != 0) {
        std::abort();
    }
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n =
            pwrite(params_fuzz_fd, data + written, size - written, static_cast<off_t>(written));
        if (n <= 0) {
            std::abort();
        }
        written += static_cast<std::size_t>(n);
    }

    const std::optional<InputParameters> parameters =
        read_input_parameters(params_fuzz_path.c_str());
    if (!parameters) {
        std::abort(); // the file is always there
    }
    params_fuzz_check(*parameters);
    dump_input_parameters(params_fuzz_sink, *parameters);
    return 0;
}
