// A fresh directory per test, and whole-file helpers.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::random_device random;
        for (int attempt = 0; attempt < 16 && path_.empty(); ++attempt) {
            const fs::path p = fs::temp_directory_path() / ("settings-test-" + std::to_string(random()));
            if (fs::create_directory(p)) path_ = p;
        }
        if (path_.empty()) throw std::runtime_error("no fresh temporary directory");
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(path_)) names.insert(e.path().filename().string());
        return names;
    }

private:
    fs::path path_;
};

inline void WriteBytes(const std::string& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

inline std::string ReadBytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Bytes that are no text: every value 1..255 in a scrambled order, repeated.
// Without zero bytes, so that a reader cannot simply stop early.
inline std::string Garbage(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(1 + (i * 97 + i / 255) % 255);
    return s;
}

// A new file gets the platform's line end.
#ifdef _WIN32
inline constexpr char kLineEnd[] = "\r\n";
#else
inline constexpr char kLineEnd[] = "\n";
#endif

// A table row's name, as GoogleTest accepts it.
template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    std::string n = info.param.name;
    for (char& ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return n;
}
