// A stand-in for gnuplot.exe in the Windows end-to-end tests, installed under "C:\Program Files
// (x86)\" where cmd cannot start it: reads the script on standard input and writes a few bytes to
// each "set output 'NAME'". As gnuplot for Windows does, it takes NAME in the ANSI code page until
// the script says "set encoding utf8", and in UTF-8 after.
#include <windows.h>

#include <cstdio>
#include <string>

int main() {
    const std::string output = "set output '";
    UINT code_page = CP_ACP;
    char line[4096];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        const std::string text = line;
        code_page = text.starts_with("set encoding utf8") ? CP_UTF8 : code_page;
        if (!text.starts_with(output) || text.rfind('\'') < output.size()) {
            continue;
        }
        const std::string name = text.substr(output.size(), text.rfind('\'') - output.size());
        wchar_t wide[MAX_PATH] = {};
        std::FILE* file = MultiByteToWideChar(code_page, 0, name.c_str(), -1, wide, MAX_PATH) > 0
                              ? _wfopen(wide, L"wb")
                              : nullptr;
        const bool written = file != nullptr && std::fputs("stand-in picture\n", file) >= 0;
        if (file == nullptr || std::fclose(file) != 0 || !written) {
            std::fprintf(stderr, "gnuplot stand-in: cannot write %s\n", name.c_str());
            return 1;
        }
    }
    return 0;
}
