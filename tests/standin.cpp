// A stand-in for bin/zip and bin/unzip. What it does comes from QUILLFOLD_STANDIN:
//   exit:N                 write a line to stderr and exit with N
//   say:N:TEXT             write TEXT to stdout (as zip writes its errors) and exit with N
//   crash                  end as a crashed program does
//   sleep:MS[:FILE]        sleep, then create FILE (if given), exit 0
//   record:FILE            append the arguments to FILE, one per line, then a blank line
//   ask                    exit 0 only if there is neither input nor a terminal to ask on
//   lie:NAME               run the real zip, except for a file named NAME: report
//                          success without adding it
//   slow:MS:FILE           run the real zip, then sleep, then create FILE: a zip
//                          that takes its time and writes until its very end
// The real zip is QUILLFOLD_REAL_ZIP, or Debian's /usr/bin/zip.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {
std::string RealZip()
{
    const char* real = std::getenv("QUILLFOLD_REAL_ZIP");
    return real ? real : "/usr/bin/zip";
}

// The arguments as UTF-8, whatever the system's code page.
std::vector<std::string> Arguments(int argc, char* argv[])
{
#ifdef _WIN32
    (void)argc, (void)argv;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        std::string utf8(size_t(WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr)), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, utf8.data(), int(utf8.size()), nullptr, nullptr);
        utf8.pop_back();
        arguments.push_back(utf8);
    }
    LocalFree(wide);
    return arguments;
#else
    return std::vector<std::string>(argv, argv + argc);
#endif
}

// Runs the real zip with these arguments (the first is replaced); its exit code, or 9.
int RunRealZip(std::vector<std::string> arguments)
{
    arguments[0] = RealZip();
#ifdef _WIN32
    // One command line, quoted as the C runtime reads it back.
    std::wstring line;
    for (const std::string& argument : arguments) {
        std::wstring wide(size_t(MultiByteToWideChar(CP_UTF8, 0, argument.c_str(), -1, nullptr, 0)), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, argument.c_str(), -1, wide.data(), int(wide.size()));
        wide.pop_back();
        line += line.empty() ? L"\"" : L" \"";
        for (size_t i = 0, slashes = 0; i <= wide.size(); ++i) {
            if (i < wide.size() && wide[i] == L'\\') {
                ++slashes;
                continue;
            }
            const bool quote = i < wide.size() && wide[i] == L'"';
            line.append(quote || i == wide.size() ? slashes * 2 : slashes, L'\\');
            slashes = 0;
            if (quote)
                line += L"\\\"";
            else if (i < wide.size())
                line += wide[i];
        }
        line += L'"';
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return 9;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 9;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return int(code);
#else
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    int status = 0;
    if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0 || waitpid(child, &status, 0) < 0)
        return 9;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 9;
#endif
}

void SleepThenTouch(const char* setting)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(setting)));
    if (const char* file = std::strchr(setting, ':')) {
        if (FILE* f = std::fopen(file + 1, "w"))
            std::fclose(f);
    }
}

// True if something could be typed in: input, or a terminal to ask on.
bool CouldAsk()
{
#ifdef _WIN32
    char answer[16];
    DWORD read = 0;
    if (ReadFile(GetStdHandle(STD_INPUT_HANDLE), answer, sizeof answer, &read, nullptr) && read > 0)
        return true;
    const HANDLE console = CreateFileW(L"CONIN$", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE)
        return false;
    DWORD mode = 0;
    const bool usable = GetConsoleMode(console, &mode);
    CloseHandle(console);
    return usable;
#else
    char answer[16];
    return read(STDIN_FILENO, answer, sizeof answer) > 0 || open("/dev/tty", O_RDWR) >= 0;
#endif
}
}  // namespace

int main(int argc, char* argv[])
{
    const std::vector<std::string> arguments = Arguments(argc, argv);
    const char* what = std::getenv("QUILLFOLD_STANDIN");
    const std::string mode = what ? what : "exit:0";
    if (mode.rfind("exit:", 0) == 0) {
        const int code = std::atoi(mode.c_str() + 5);
        if (code != 0)
            std::fprintf(stderr, "standin error: asked to fail with %d\n", code);
        return code;
    }
    if (mode.rfind("say:", 0) == 0) {
        const std::size_t colon = mode.find(':', 4);
        std::printf("%s\n", mode.substr(colon + 1).c_str());
        return std::atoi(mode.c_str() + 4);
    }
    if (mode == "crash") {
#ifdef _WIN32
        TerminateProcess(GetCurrentProcess(), 0xC0000409);  // as a failed check ends a program there
#endif
        std::signal(SIGABRT, SIG_DFL);
        std::abort();
    }
    if (mode.rfind("sleep:", 0) == 0) {
        SleepThenTouch(mode.c_str() + 6);
        return 0;
    }
    if (mode.rfind("record:", 0) == 0) {
        FILE* f = std::fopen(mode.c_str() + 7, "a");
        if (!f)
            return 9;
        for (const std::string& argument : arguments)
            std::fprintf(f, "%s\n", argument.c_str());
        std::fprintf(f, "\n");
        std::fclose(f);
        return 0;
    }
    if (mode.rfind("lie:", 0) == 0) {
        const std::string& file = arguments.back();
        const std::string name = file.substr(file.find_last_of("/\\") + 1);
        if (name == mode.substr(4))
            return 0;
        return RunRealZip(arguments);
    }
    if (mode.rfind("slow:", 0) == 0) {
        const int code = RunRealZip(arguments);
        SleepThenTouch(mode.c_str() + 5);
        return code;
    }
    if (mode == "ask")
        return CouldAsk() ? 3 : 0;
    return 8;
}
