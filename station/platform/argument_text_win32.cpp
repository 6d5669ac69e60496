// Arguments on Windows: argv holds each in the ANSI code page (a Polish or
// Chinese name arrives in part as "?" on a Western machine), while the
// command line itself is UTF-16; the argument is taken from there.
#include <windows.h>

#include <shellapi.h>

#include <string>

#include "argument_text.h"

namespace {

std::string Narrow(UINT code_page, const std::wstring &text) {
    if (text.empty()) return "";
    const int wide_length = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(code_page, 0, text.data(), wide_length, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return "";
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(code_page, 0, text.data(), wide_length, narrow.data(), length, nullptr, nullptr);
    return narrow;
}

std::wstring Widen(UINT code_page, const std::string &text) {
    if (text.empty()) return L"";
    const int narrow_length = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(code_page, 0, text.data(), narrow_length, nullptr, 0);
    if (length <= 0) return L"";
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(code_page, 0, text.data(), narrow_length, wide.data(), length);
    return wide;
}

}  // namespace

std::string ArgumentText(int argc, char **argv, int index) {
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    // The wide argument where the system's split of the command line and the
    // C runtime's agree on it (the same count, the same argument once in
    // the code page); otherwise argv's own, from the code page.
    std::string text;
    if (wide != nullptr && count == argc && Narrow(CP_ACP, wide[index]) == argv[index]) {
        text = Narrow(CP_UTF8, wide[index]);
    } else {
        text = Narrow(CP_UTF8, Widen(CP_ACP, argv[index]));
    }
    LocalFree(wide);
    return text;
}
