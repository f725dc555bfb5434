/* Preloaded by the integration tests into a daemon built with -DLK_SANITIZE=ON: SIGUSR2 has
 * LeakSanitizer report unreachable memory on standard error while the daemon keeps running
 * (LeakSanitizer cannot run under a debugger, and the daemon has no orderly exit). */
#include <signal.h>
#include <string.h>
#include <unistd.h>

int __lsan_do_recoverable_leak_check(void) __attribute__((weak));

static void check(int signo) {
    (void)signo;
    static const char done[] = "leak check: done\n";
    static const char none[] = "leak check: no LeakSanitizer in this process\n";
    if (!__lsan_do_recoverable_leak_check) {
        write(STDERR_FILENO, none, sizeof none - 1);
        return;
    }
    __lsan_do_recoverable_leak_check();
    write(STDERR_FILENO, done, sizeof done - 1);
}

__attribute__((constructor)) static void install(void) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = check;
    sigaction(SIGUSR2, &action, NULL);
}
