// jxproc, the generic control-file client, as a function: the jxproc program and
// jxnode's start-up script run the very same commands.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// args is a command line without the program name ({"cat", "/proc/net/..."}).
// Output goes to out, diagnostics to err. Returns the exit status: 0 success,
// 1 failure (including "jxnode is not running"), 2 usage error.
int jxproc_run(const std::vector<std::string> &args, FILE *out, FILE *err);
void jxproc_usage(FILE *err);
