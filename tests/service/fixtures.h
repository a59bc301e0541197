// Reading the recorded service responses the service tests run on.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

inline std::string fixture_path(const std::string &name) {
    return std::string(SOLVANE_FIXTURES) + "/" + name;
}

// The whole fixture as a terminated text; an unreadable fixture fails the test.
inline std::string fixture(const std::string &name) {
    std::ifstream file(fixture_path(name), std::ios::binary);
    EXPECT_TRUE(file.good()) << "fixture missing: " << name;
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}
