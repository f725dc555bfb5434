#pragma once
// The Wi-Fi key of set-connection and modify from somewhere other than the command line,
// where every local user can read it in /proc for as long as lkctl runs: standard input
// ("key -"), a file (--key-file FILE) or a prompt without echo on the terminal (--ask).
#include <string>
#include <vector>

// Replaces "key -" by the key read from standard input, and takes --key-file FILE or --ask
// out of the words, putting "key KEY" after "wifi". False with *error naming the option.
bool readKeyArguments(std::vector<std::string>* words, std::string* error);
