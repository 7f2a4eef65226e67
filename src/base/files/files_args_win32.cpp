// The command line on Windows, in UTF-8. Apart from the other file functions so that a program
// that never asks for it (gyro_motor) does not import shell32, which a bare Windows lacks.
#include "base/files/files.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdlib>
#include <filesystem>

namespace {

UINT files_console_page = 0;

void files_restore_console() {
    SetConsoleOutputCP(files_console_page);
}

} // namespace

std::vector<std::string> files_arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* const wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc)
                        : std::vector<std::string>{};
    }
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i) {
        arguments.push_back(files_name(std::filesystem::path(wide[i])));
    }
    LocalFree(wide);
    // The names are printed as they are held; a console in another code page would garble them.
    files_console_page = GetConsoleOutputCP();
    if (files_console_page != 0 && files_console_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        std::atexit(files_restore_console);
    }
    return arguments;
}
