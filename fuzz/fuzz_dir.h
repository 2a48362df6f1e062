// A fresh directory of the fuzz target's own, under $TMPDIR (or /tmp).
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

inline std::string fuzz_dir(const char *tag)
{
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr ? tmp : "/tmp") + "/vexd_fuzz_" + tag + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) abort();
    return buf.data();
}
