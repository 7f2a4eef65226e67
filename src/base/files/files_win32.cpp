// File names on Windows: UTF-8 in the programs, UTF-16 at the system, converted here only.
#include "base/files/files.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdlib>

namespace {

std::wstring files_wide(std::string_view text) {
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), size);
    return wide;
}

std::string files_utf8(std::wstring_view wide) {
    const int length = static_cast<int>(wide.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text.data(), size, nullptr, nullptr);
    return text;
}

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
        arguments.push_back(files_utf8(wide[i]));
    }
    LocalFree(wide);
    // The names are printed as they are held; a console in another code page would garble them.
    files_console_page = GetConsoleOutputCP();
    if (files_console_page != 0 && files_console_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        std::atexit(files_restore_console);
    }
    return arguments;
}

std::FILE* files_open(const std::string& name, const char* mode) {
    return _wfopen(files_wide(name).c_str(), files_wide(mode).c_str());
}

std::filesystem::path files_path(std::string_view name) {
    return std::filesystem::path(files_wide(name));
}

std::string files_name(const std::filesystem::path& path) {
    return files_utf8(path.native());
}

bool files_same_name(const std::filesystem::path& a, const std::filesystem::path& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}
