// Helpers of the settings file's tests.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>

#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

using testsupport::ReadBytes;
using testsupport::TempDir;
using testsupport::WriteBytes;

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
