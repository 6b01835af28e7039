// Stand-in PowerShell for Windows, built as powershell.exe. It accepts only the
// credential tool's command line,
//   -NoProfile -ExecutionPolicy Bypass -Command "& tovrind.exe"
// and then runs tovrind.exe as PowerShell's call operator would: looked up in
// the directories of PATH only, with this process's standard handles and
// environment, answering with the tool's exit status.
#include "standins/windows/console.h"

namespace {

const wchar_t* const kExpected[] = {L"-NoProfile", L"-ExecutionPolicy", L"Bypass", L"-Command",
                                    L"& tovrind.exe"};
constexpr int kExpectedCount = sizeof kExpected / sizeof kExpected[0];

int refuse(int argc, wchar_t** argv) {
    std::wstring shown;
    for (int i = 1; i < argc; ++i) shown += (i > 1 ? L" " : L"") + std::wstring(L"[") + argv[i] + L"]";
    standin::write_all(GetStdHandle(STD_ERROR_HANDLE),
                       "powershell.exe stand-in: unexpected arguments: " + standin::to_utf8(shown) + "\n");
    return 64;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    using namespace standin;
    if (argc != kExpectedCount + 1) return refuse(argc, argv);
    for (int i = 0; i < kExpectedCount; ++i)
        if (std::wcscmp(argv[i + 1], kExpected[i]) != 0) return refuse(argc, argv);

    std::wstring path;
    get_env(L"PATH", path);
    wchar_t found[MAX_PATH];
    if (path.empty() || SearchPathW(path.c_str(), L"tovrind.exe", nullptr, MAX_PATH, found, nullptr) == 0) {
        write_all(GetStdHandle(STD_ERROR_HANDLE),
                  "tovrind.exe : The term 'tovrind.exe' is not recognized as the name of a cmdlet, "
                  "function, script file, or operable program.\n");
        return 1;
    }

    std::wstring command_line = L"\"" + std::wstring(found) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    // Wine now and then fails a process start with ERROR_INTERNAL_ERROR before
    // the process exists; such a start is made again, up to three times.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        started = CreateProcessW(found, &command_line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &process);
        if (!started && GetLastError() != ERROR_INTERNAL_ERROR) break;
    }
    if (!started) {
        write_all(GetStdHandle(STD_ERROR_HANDLE), "powershell.exe stand-in: cannot start tovrind.exe\n");
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}
