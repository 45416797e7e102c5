// A stand-in for bin/zip and bin/unzip. What it does comes from QUILLFOLD_STANDIN:
//   exit:N                 write a line to stderr and exit with N
//   say:N:TEXT             write TEXT to stdout (as zip writes its errors) and exit with N
//   crash                  abort
//   sleep:MS[:FILE]        sleep, then create FILE (if given), exit 0
//   record:FILE            append the arguments to FILE, one per line, then a blank line
//   ask                    exit 0 only if there is neither input nor a terminal to ask on
//   lie:NAME               run the real zip, except for a file named NAME: report
//                          success without adding it
//   slow:MS:FILE           run the real zip, then sleep, then create FILE: a zip
//                          that takes its time and writes until its very end
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

int main(int argc, char* argv[])
{
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
        std::signal(SIGABRT, SIG_DFL);
        std::abort();
    }
    if (mode.rfind("sleep:", 0) == 0) {
        const char* ms = mode.c_str() + 6;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(ms)));
        if (const char* file = std::strchr(ms, ':')) {
            if (FILE* f = std::fopen(file + 1, "w"))
                std::fclose(f);
        }
        return 0;
    }
    if (mode.rfind("record:", 0) == 0) {
        FILE* f = std::fopen(mode.c_str() + 7, "a");
        if (!f)
            return 9;
        for (int i = 0; i < argc; ++i)
            std::fprintf(f, "%s\n", argv[i]);
        std::fprintf(f, "\n");
        std::fclose(f);
        return 0;
    }
    if (mode.rfind("lie:", 0) == 0) {
        const std::string file = argv[argc - 1];
        const std::string name = file.substr(file.find_last_of('/') + 1);
        if (name == mode.substr(4))
            return 0;
        argv[0] = const_cast<char*>("/usr/bin/zip");
        execv(argv[0], argv);
        return 9;
    }
    if (mode.rfind("slow:", 0) == 0) {
        argv[0] = const_cast<char*>("/usr/bin/zip");
        pid_t child = 0;
        int status = 0;
        if (posix_spawn(&child, argv[0], nullptr, nullptr, argv, environ) != 0 || waitpid(child, &status, 0) < 0)
            return 9;
        const char* ms = mode.c_str() + 5;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(ms)));
        if (const char* file = std::strchr(ms, ':')) {
            if (FILE* f = std::fopen(file + 1, "w"))
                std::fclose(f);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 9;
    }
    if (mode == "ask") {
        char answer[16];
        if (read(STDIN_FILENO, answer, sizeof answer) > 0)
            return 3;  // something could be typed in
        if (open("/dev/tty", O_RDWR) >= 0)
            return 4;  // a terminal to ask on
        return 0;
    }
    return 8;
}
