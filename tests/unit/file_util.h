// Whole-file reads and writes for the unit tests. A missing file reads as
// empty; a write replaces what was there.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace test_files {

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::vector<uint8_t> read_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string &path, const void *data, size_t len)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char *>(data), static_cast<std::streamsize>(len));
}

inline void write_file(const std::string &path, const std::string &data)
{
    write_file(path, data.data(), data.size());
}

inline void write_file(const std::string &path, const std::vector<uint8_t> &data)
{
    write_file(path, data.data(), data.size());
}

}  // namespace test_files
