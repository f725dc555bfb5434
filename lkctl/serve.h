#pragma once
// lkctl serve: a stand-in for the platform's bus server. It listens, lets linkKeeper connect,
// and sends it requests or prints what it sends on its own (tests, the demo, benchmarks).

// args[0] is "serve"; the exit status.
int serveMain(int argc, char** argv);
