#pragma once
// What the benchmarks that need NetworkManager share: running themselves again inside
// scripts/nm-sandbox.sh (a private NetworkManager, D-Bus, network and /run).
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

// Inside the sandbox already: returns at once. Otherwise runs "nm-sandbox.sh run SELF DAEMON
// ARGS..." in this process's place (absolute paths: the sandbox is entered through other
// programs) and returns only when that fails, after saying why.
inline void lkRunInNmSandbox(const char* script, const char* name, int argc, char** argv) {
    if (getenv("LK_NM_SANDBOX")) return;
    char self[PATH_MAX], daemon[PATH_MAX];
    if (!realpath("/proc/self/exe", self) || !realpath(argv[1], daemon)) {
        fprintf(stderr, "%s: ", name);
        perror("realpath");
        return;
    }
    std::vector<char*> args = {const_cast<char*>(script), const_cast<char*>("run"), self, daemon};
    args.insert(args.end(), argv + 2, argv + argc);
    args.push_back(nullptr);
    execv(script, args.data());
    fprintf(stderr, "%s: ", name);
    perror(script);
}
