// The station's platform part on Windows: the sweep started with CreateProcessW() (no cmd in
// between), sharing the console, which delivers Ctrl-C and Ctrl-Break to both; the station's
// handler (SetConsoleCtrlHandler) only notes them, so that the station waits for the sweep, which
// stops safely on its own. Colours through the console's text attributes.
#include "station/shift/shift.h"

#include "base/files/files.h"
#include "base/text/text.h"

#include <cerrno>
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX 1
#endif
#include <windows.h>

namespace {

volatile LONG shift_signal = 0;
WORD shift_plain_attributes = 0;
bool shift_attributes_known = false;

BOOL WINAPI shift_on_control(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        // The numbers of SIGINT and SIGBREAK's stand-in, as the sweep's statuses count them.
        InterlockedExchange(&shift_signal, 2);
        return TRUE;
    }
    return FALSE; // closing the console, logoff, shutdown: as any console program
}

HANDLE shift_output() {
    return GetStdHandle(STD_OUTPUT_HANDLE);
}

} // namespace

bool shift_is_console() {
    DWORD mode = 0;
    return GetConsoleMode(shift_output(), &mode) != 0;
}

bool shift_input_is_console() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

void shift_set_colour(ShiftColour colour) {
    std::fflush(stdout);
    const HANDLE output = shift_output();
    if (!shift_attributes_known) {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (!GetConsoleScreenBufferInfo(output, &info)) {
            return;
        }
        shift_plain_attributes = info.wAttributes;
        shift_attributes_known = true;
    }
    const WORD background = shift_plain_attributes & 0xF0;
    WORD attributes = shift_plain_attributes;
    switch (colour) {
    case ShiftColour::green:
        attributes = background | FOREGROUND_GREEN | FOREGROUND_INTENSITY;
        break;
    case ShiftColour::red:
        attributes = background | FOREGROUND_RED | FOREGROUND_INTENSITY;
        break;
    case ShiftColour::yellow:
        attributes = background | FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_INTENSITY;
        break;
    case ShiftColour::plain:
        break;
    }
    SetConsoleTextAttribute(output, attributes);
}

std::filesystem::path shift_sweep_program() {
    std::wstring self(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    self.resize(length);
    return std::filesystem::path(self).parent_path() / L"gyro_motor.exe";
}

void shift_catch_signals() {
    SetConsoleCtrlHandler(shift_on_control, TRUE);
}

int shift_take_signal() {
    return static_cast<int>(InterlockedExchange(&shift_signal, 0));
}

bool shift_start(const std::filesystem::path& program, ShiftSweep& sweep, std::string& error) {
    // The command line is the program's quoted path alone: the sweep takes no arguments.
    std::wstring command = L"\"" + program.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
        error = text_format("%s: cannot start it: error %lu", files_name(program).c_str(),
                            GetLastError());
        return false;
    }
    CloseHandle(process.hThread);
    sweep.process = reinterpret_cast<std::intptr_t>(process.hProcess);
    return true;
}

std::optional<int> shift_wait(ShiftSweep& sweep, unsigned wait_ms) {
    const HANDLE process = reinterpret_cast<HANDLE>(sweep.process);
    if (WaitForSingleObject(process, wait_ms) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 255;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    sweep.process = -1;
    return static_cast<int>(code);
}
