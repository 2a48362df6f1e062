// The benchmark programs' command line: "PROGRAM SUBCOMMAND ARGS...", each
// subcommand with a fixed number of arguments.
#pragma once

#include <cstdio>
#include <string_view>

struct subcommand {
    std::string_view name;
    int args;
    int (*run)(char **);
};

// Runs the subcommand that argv names, with its arguments; 2 after printing
// `usage` when none fits.
template <size_t N>
int subcommand_main(const subcommand (&table)[N], int argc, char **argv, const char *usage)
{
    if (argc >= 2) {
        for (const subcommand &s : table) {
            if (s.name == argv[1] && argc == s.args + 2) return s.run(argv + 2);
        }
    }
    fprintf(stderr, "%s\n", usage);
    return 2;
}
