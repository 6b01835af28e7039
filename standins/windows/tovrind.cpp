// Stand-in credential tool for Windows, built as tovrind.exe: answers exactly
// as the shell stand-in standins/bin/tovrind does. It writes the bytes of the
// file named by TOVRIND_REPLY_FILE, or else the text of TOVRIND_REPLY as UTF-8,
// to its standard output, and exits with the status in TOVRIND_EXIT (0 when
// unset). TOVRIND_STDERR, when set, is written to its standard error first.
#include "standins/windows/console.h"

int wmain() {
    using namespace standin;
    std::wstring noise;
    if (get_env(L"TOVRIND_STDERR", noise)) write_all(GetStdHandle(STD_ERROR_HANDLE), to_utf8(noise));

    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    std::wstring file, reply;
    if (get_env(L"TOVRIND_REPLY_FILE", file) && !file.empty()) {
        std::string bytes;
        if (!read_file(file, bytes)) {
            write_all(GetStdHandle(STD_ERROR_HANDLE), "tovrind: cannot read " + to_utf8(file) + "\n");
            return 66;
        }
        write_all(out, bytes);
    } else if (get_env(L"TOVRIND_REPLY", reply)) {
        write_all(out, to_utf8(reply));
    }

    std::wstring status;
    if (!get_env(L"TOVRIND_EXIT", status) || status.empty()) return 0;
    return static_cast<int>(std::wcstol(status.c_str(), nullptr, 10));
}
